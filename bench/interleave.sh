#!/usr/bin/env bash
# Measures interleave where its speed matters, each figure beside a reference taken in the
# same run on the same host:
#   1. a turn, against a futex round trip between two processes (bench/round_trip; goal:
#      a turn at most 2x a round trip), and a run's start, against starting the same
#      program bare (goal: at most 1.2x);
#   2. the six demos explored at the default bounds (goal: at most 30 s each), and the
#      search that finds each exercise's fault (goal: at most 5 s);
#   3. how far every distinct order reaches on each mended exercise and on the demos' first
#      60 turns: runs, distinct orders, and whether that was all of them, within a budget;
#   4. a run of a program built with interleave-cc (its memory accesses turns), against a run
#      of the same program built the usual way (goal: at most 5x);
#   5. the reduction's gain: on programs drawn from seeds, the runs of every schedule against
#      the runs of every distinct order that reach the same ways to end (the suite's check).
# hyperfine times every command; the figures are medians.
#
# Usage: bench/interleave.sh [SECONDS] [SEEDS]  (budget of each search in part 3, 30 by
#                                              default; seeds of part 5 per family, 200;
#                                              about half an hour in all)
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."
budget=${1:-30}
seeds=${2:-200}

scripts/deps test bench
# The check build: the one the tests run, with the probes (the mended exercises among them).
cmake --preset check >/dev/null
cmake --build --preset check >/dev/null
bin=$PWD/build/check/bin
probes=$PWD/build/check/probes
scratch=$(mktemp -d)  # schedules the searches save, and hyperfine's results
trap 'rm -rf "$scratch"' EXIT
q() { printf "'%s'" "${1//\'/\'\\\'\'}"; }  # hyperfine hands each command to sh

# The median seconds of each command, one per line, in the scratch folder.
medians() {
    local runs=$1
    shift
    (cd "$scratch" && hyperfine --style none --runs "$runs" --ignore-failure --export-csv times.csv "$@" >log 2>&1) ||
        { cat "$scratch/log"; exit 1; }
    tail -n +2 "$scratch/times.csv" | awk -F, '{ print $4 }'
}
# One field of the JSON object that interleave --json printed.
get() { sed -E "s/.*\"$1\": (\"[^\"]*\"|[^,}]*).*/\1/" <<<"$json"; }
calc() { awk "BEGIN { printf \"$1\", $2 }"; }

echo "1. A turn and a run's start (hyperfine, medians of 5)"
trips=100000
read -r with_trips without < <(medians 5 -N "$(q "$bin/round_trip") $trips" "$(q "$bin/round_trip") 0" | paste -sd' ')
trip_us=$(calc %.3f "($with_trips - $without) / $trips * 1e6")
echo "   futex round trip between two processes: $trip_us us"

# A run's start: a program that ends at once, run bare, and under interleave cut after its
# first turn, 201 runs less 1 (interleave's own start).
short=$probes/two_locks_same_order
read -r bare < <(medians 20 -N "$(q "$short")")
cut="--search priorities --turns 1"
read -r many one < <(medians 5 "$(q "$bin/interleave") $cut --runs 201 $(q "$short")" \
    "$(q "$bin/interleave") $cut --runs 1 $(q "$short")" | paste -sd' ')
start_ms=$(calc %.3f "($many - $one) / 200 * 1e3")
echo "   a run's start: $start_ms ms; the program started bare: $(calc %.3f "$bare * 1e3") ms;" \
    "ratio $(calc %.2f "$start_ms / ($bare * 1e3)")x (goal 1.2x)"

# A turn: each demo under random priorities (a switch of thread at any turn), 100 runs cut
# after 400 turns, less the runs' starts measured above.
printf '   %-12s %10s %10s %14s\n' demo "turns/s" "us/turn" "/ round trip"
for demo in dinerspawn dinerlanes duetlock stackbell slotring pulsewait; do
    opts="--search priorities --runs 100 --turns 400"
    json=$(cd "$scratch" && "$bin/interleave" --json $opts "$demo" || true)
    turns=$(get turns)
    read -r t < <(medians 3 "$(q "$bin/interleave") $opts $demo")
    turn_us=$(calc %.2f "($t - 100 * $start_ms / 1e3) / $turns * 1e6")
    printf '   %-12s %10.0f %10.2f %13.1fx\n' "$demo" "$(calc %f "1e6 / $turn_us")" "$turn_us" \
        "$(calc %f "$turn_us / $trip_us")"
done
echo "   (goal: a turn at most 2x a round trip)"

echo
echo "2. At the default bounds (hyperfine, median of 3)"
printf '   %-26s %10s %8s\n' "demo, explored" "seconds" "of 30 s"
for demo in dinerspawn dinerlanes duetlock stackbell slotring pulsewait; do
    read -r t < <(medians 3 "$(q "$bin/interleave") $demo")
    printf '   %-26s %10.2f %7.0f%%\n' "$demo" "$t" "$(calc %f "$t / 30 * 100")"
done
printf '   %-26s %10s %8s\n' "exercise, fault found" "seconds" "of 5 s"
for exercise in dinerlanes_same_side stackbell_two_consumers slotring_seven_ahead duetlock_forgetful two_locks; do
    read -r t < <(medians 3 "$(q "$bin/interleave") $exercise")
    printf '   %-26s %10.3f %7.1f%%\n' "$exercise" "$t" "$(calc %f "$t / 5 * 100")"
done

echo
echo "3. Every distinct order of the first 60 turns, within $budget s each"
printf '   %-30s %8s %10s %9s %8s\n' program runs "orders" "all of them" seconds
for program in "$probes/two_locks_same_order" "$probes/dinerlanes_lower_first" "$probes/duetlock_mended" \
    "$probes/stackbell_two_consumers_while" "$probes/slotring_five_ahead" \
    dinerspawn dinerlanes duetlock stackbell slotring pulsewait; do
    json=$(cd "$scratch" && "$bin/interleave" --json --search orders --turns 60 --runs 10000000 \
        --seconds "$budget" "$program" || true)
    printf '   %-30s %8s %10s %9s %8s\n' "$(basename "$program")" "$(get runs)" "$(get distinct_orders)" \
        "$(get complete)" "$(get seconds)"
done

echo
echo "4. Memory accesses as turns: a run, against a run of the program built the usual way"
echo "   (hyperfine, medians of 5 of 201 runs less 1; goal: at most 5x)"
printf '   %-22s %12s %12s %8s\n' program "usual (ms)" "accesses (ms)" ratio
for source in tests/probes/count_locked.c tests/probes/handoff_semaphore.c; do
    name=$(basename "${source%.c}")
    gcc -std=c17 -O1 -pthread -o "$scratch/$name" "$source"
    runs="--search priorities"
    read -r usual_many usual_one many one < <(medians 5 "$(q "$bin/interleave") $runs --runs 201 $(q "$scratch/$name")" \
        "$(q "$bin/interleave") $runs --runs 1 $(q "$scratch/$name")" \
        "$(q "$bin/interleave") $runs --runs 201 $(q "$probes/$name")" \
        "$(q "$bin/interleave") $runs --runs 1 $(q "$probes/$name")" | paste -sd' ')
    usual=$(calc %.4f "($usual_many - $usual_one) / 200 * 1e3")
    accesses=$(calc %.4f "($many - $one) / 200 * 1e3")
    printf '   %-22s %12.3f %12.3f %7.2fx\n' "$name" "$usual" "$accesses" "$(calc %f "$accesses / $usual")"
done

echo
echo "5. The reduction's gain: every schedule against every distinct order, seeds 1 to $seeds"
echo "   of each family (every program's ways to end must be the same in both)"
for family in calls memory all; do
    { INTERLEAVE_SEEDS=1-$seeds INTERLEAVE_FAMILY=$family INTERLEAVE_MOST_SCHEDULES=2000 "$bin/interleave_generated_test" \
        --gtest_filter="*${family}_1_*" || true; } | sed -n -e "s/^$family: /   $family: /p" -e "s/^\(seed .*(family.*\)/   MISMATCH \1/p"
done
