#!/usr/bin/env bash
# Times interleave at its default bounds: the exploration of each of the six demos (goal:
# at most 30 s each) and the search that finds each exercise's fault (goal: at most 5 s).
# Beside each demo, the same number of runs cut after one turn, measured in the same
# session: the part of the time that is starting and stopping the program, so that the
# ratio shows what the turns themselves cost. hyperfine runs each command 3 times.
#
# Usage: bench/interleave.sh      (about five minutes)
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."

scripts/deps bench
cmake --workflow --preset release >/dev/null
bin=$PWD/build/release/bin
scratch=$(mktemp -d)  # schedules the searches save, and hyperfine's results
trap 'rm -rf "$scratch"' EXIT
quoted="'${bin//\'/\'\\\'\'}'"  # hyperfine hands each command to sh

# Runs the commands under hyperfine in the scratch folder; prints each one's median.
medians() {
    (cd "$scratch" && hyperfine --style none --runs 3 --ignore-failure --export-csv times.csv "$@" >log 2>&1) ||
        { cat "$scratch/log"; exit 1; }
    tail -n +2 "$scratch/times.csv" | awk -F, '{ print $4 }'
}

printf '%-24s %10s %10s %12s %10s\n' "demo (1000 runs)" "median s" "runs/s" "1-turn runs" "ratio"
for demo in dinerspawn dinerlanes duetlock stackbell slotring pulsewait; do
    read -r full start < <(medians "$quoted/interleave $demo" "$quoted/interleave --turns 1 $demo" | paste -sd' ')
    printf '%-24s %10.2f %10.0f %11.2fs %9.1fx\n' "$demo" "$full" "$(echo "$full" | awk '{ print 1000 / $1 }')" \
        "$start" "$(echo "$full $start" | awk '{ print $1 / $2 }')"
done
printf '\n%-24s %10s %10s\n' "exercise" "median s" "of 5 s"
for exercise in dinerlanes_same_side stackbell_two_consumers slotring_seven_ahead duetlock_forgetful two_locks; do
    found=$(medians "$quoted/interleave $exercise")
    printf '%-24s %10.3f %9.1f%%\n' "$exercise" "$found" "$(echo "$found" | awk '{ print $1 / 5 * 100 }')"
done
