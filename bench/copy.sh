#!/usr/bin/env bash
# Times forkmirror and lanemirror against cp: a 1 GiB file already in the page cache,
# copied to a fresh destination, on tmpfs (/dev/shm) and on the disk that holds this
# repository. Each round runs every command 3 times under hyperfine, in a rotated order,
# so that slow drifts of the machine touch all commands alike; the table gives, per
# command, the median of the rounds' medians and its ratio to cp's in the same run.
#
# Usage: bench/copy.sh [rounds]      (5 rounds by default; about four minutes)
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."
rounds=${1:-5}

scripts/deps bench
cmake --workflow --preset release >/dev/null
bin=$PWD/build/release/bin

disk=$PWD/build/bench
tmpfs=/dev/shm/copy-bench.$$
log=$PWD/build/bench.log
scratch=$(mktemp -d)  # the rounds' results
mkdir -p "$disk" "$tmpfs"
trap 'rm -rf "$tmpfs" "$disk" "$scratch"' EXIT

# hyperfine hands each command to sh: the folder is quoted, since it may hold blanks.
quoted="'${bin//\'/\'\\\'\'}'"
commands=(
    "cp src dst"
    "$quoted/forkmirror src dst 1"
    "$quoted/forkmirror src dst 2"
    "$quoted/lanemirror src dst 1"
    "$quoted/lanemirror src dst 2"
)
labels=("cp" "forkmirror 1" "forkmirror 2" "lanemirror 1" "lanemirror 2")

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

printf '%-6s %-14s %12s %10s\n' "fs" "command" "median (s)" "vs cp"
for fs in tmpfs disk; do
    dir=${!fs}
    head -c 1G /dev/urandom >"$dir/src"
    cat "$dir/src" >/dev/null  # into the page cache
    results=$scratch/$fs.tsv
    for ((round = 0; round < rounds; round++)); do
        order=()
        for ((k = 0; k < ${#commands[@]}; k++)); do
            order+=("${commands[(k + round) % ${#commands[@]}]}")
        done
        csv=$scratch/round.csv
        # hyperfine's advice on outliers goes to the log; it is shown only if a run fails
        if ! (cd "$dir" && hyperfine --style none --runs 3 --prepare 'rm -f dst; sync' \
            --export-csv "$csv" "${order[@]}" >"$log" 2>&1); then
            cat "$log"
            exit 1
        fi
        # command,mean,stddev,median,... ; keep the command and its median
        tail -n +2 "$csv" | awk -F, '{ print $4 "\t" $1 }' >>"$results"
    done
    cp_median=$(awk -F'\t' -v c="${commands[0]}" '$2 == c { print $1 }' "$results" | median)
    for ((k = 0; k < ${#commands[@]}; k++)); do
        m=$(awk -F'\t' -v c="${commands[k]}" '$2 == c { print $1 }' "$results" | median)
        printf '%-6s %-14s %12.3f %9.2fx\n' "$fs" "${labels[k]}" "$m" "$(echo "$m $cp_median" | awk '{ print $1 / $2 }')"
    done
    rm -f "$dir/src" "$dir/dst"
done
