#!/usr/bin/env bash
# Times forkmirror and lanemirror against cp: a 1 GiB file already in the page cache,
# copied to a fresh destination, on tmpfs (/dev/shm) and on the disk that holds this
# repository. Each round runs every command 3 times under hyperfine, in a rotated order,
# so that slow drifts of the machine touch all commands alike; the table gives, per
# command, the median of the rounds' medians and its ratio to cp's in the same run.
#
# Usage: bench/copy.sh [rounds]      (5 rounds by default; about four minutes)
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-5}

scripts/deps bench
cmake --workflow --preset release >/dev/null
bin=$PWD/build/release/bin

disk=$PWD/build/bench
tmpfs=/dev/shm/copy-bench.$$
log=$PWD/build/bench.log
mkdir -p "$disk" "$tmpfs"
trap 'rm -rf "$tmpfs" "$disk"' EXIT

commands=(
    "cp src dst"
    "$bin/forkmirror src dst 1"
    "$bin/forkmirror src dst 2"
    "$bin/lanemirror src dst 1"
    "$bin/lanemirror src dst 2"
)
labels=("cp" "forkmirror 1" "forkmirror 2" "lanemirror 1" "lanemirror 2")

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

printf '%-6s %-14s %12s %10s\n' "fs" "command" "median (s)" "vs cp"
for fs in tmpfs disk; do
    dir=${!fs}
    head -c 1G /dev/urandom >"$dir/src"
    cat "$dir/src" >/dev/null  # into the page cache
    results=$(mktemp)
    for ((round = 0; round < rounds; round++)); do
        order=()
        for ((k = 0; k < ${#commands[@]}; k++)); do
            order+=("${commands[(k + round) % ${#commands[@]}]}")
        done
        csv=$(mktemp)
        # hyperfine's advice on outliers goes to the log; it is shown only if a run fails
        if ! (cd "$dir" && hyperfine --style none --runs 3 --prepare 'rm -f dst; sync' \
            --export-csv "$csv" "${order[@]}" >"$log" 2>&1); then
            cat "$log"
            exit 1
        fi
        # command,mean,stddev,median,... ; keep the command and its median
        tail -n +2 "$csv" | awk -F, '{ print $4 "\t" $1 }' >>"$results"
        rm -f "$csv"
    done
    cp_median=$(awk -F'\t' -v c="${commands[0]}" '$2 == c { print $1 }' "$results" | median)
    for ((k = 0; k < ${#commands[@]}; k++)); do
        m=$(awk -F'\t' -v c="${commands[k]}" '$2 == c { print $1 }' "$results" | median)
        printf '%-6s %-14s %12.3f %9.2fx\n' "$fs" "${labels[k]}" "$m" "$(echo "$m $cp_median" | awk '{ print $1 / $2 }')"
    done
    rm -f "$results" "$dir/src" "$dir/dst"
done
