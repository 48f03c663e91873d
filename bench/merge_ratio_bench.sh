#!/usr/bin/env bash
# Times --merge-ratio against single linkage on the same reads at the same
# distances, runs interleaved (single linkage, then the rule, for each
# distance, round after round), and prints a Markdown table of medians: wall
# seconds and peak resident memory of each, and the ratios of the two.
#
# Usage: bench/merge_ratio_bench.sh [--input FILE] [--reads N] [--distances "1 3"]
#                                   [--ratio 5] [--runs 5] [--jobs 2] [--build DIR]
# Without --input, the reads are generated as the bench's set d (--reads,
# default 10,000,000) into $TMPDIR/tarnwell-bench.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
source "$repo/bench/lib/timing.sh"
build=$repo/build
input=
reads=10000000
distances="1 3"
ratio=5
runs=5
jobs=2
parse_options "input reads distances ratio runs jobs build" "" "$@"
need_gnu_time
cmake --build "$build" -j2 --target tarnwell generate_reads >/dev/null
template=$("$build/generate_reads" --print-template)
if [ -z "$input" ]; then
  data=${TMPDIR:-/tmp}/tarnwell-bench
  mkdir -p "$data"
  input=$data/merge-ratio-$reads.fa
  [ -s "$input" ] || nice "$build/generate_reads" --reads "$reads" --output "$input"
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# One run, "single-D" or "ratio-D": appends "seconds peak_kB" to the file of that name.
run_one() {
  local distance=${1#*-} more=()
  [ "${1%%-*}" = ratio ] && more=(--merge-ratio "$ratio")
  timed_run "$scratch/$1" "%e %M" "$build/tarnwell" -i "$input" -o /dev/null -d "$distance" \
    -t "$template" --jobs "$jobs" "${more[@]}"
}
runners=()
for d in $distances; do runners+=("single-$d" "ratio-$d"); done
interleave "$runs" "${runners[@]}"

echo "| D | single linkage s | --merge-ratio $ratio s | time ratio | single linkage MiB | --merge-ratio $ratio MiB | memory ratio |"
echo "|---|---|---|---|---|---|---|"
for d in $distances; do
  st=$(cut -d' ' -f1 "$scratch/single-$d" | median)
  rt=$(cut -d' ' -f1 "$scratch/ratio-$d" | median)
  sm=$(cut -d' ' -f2 "$scratch/single-$d" | median)
  rm_=$(cut -d' ' -f2 "$scratch/ratio-$d" | median)
  awk -v d="$d" -v st="$st" -v rt="$rt" -v sm="$sm" -v rm="$rm_" 'BEGIN {
    printf "| %s | %.2f | %.2f | %.2f | %.0f | %.0f | %.2f |\n", d, st, rt, rt / st, sm / 1024, rm / 1024, rm / sm }'
done
echo
echo "medians of $runs runs, interleaved; $(basename "$input"), --jobs $jobs"
