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
build=$repo/build
input=
reads=10000000
distances="1 3"
ratio=5
runs=5
jobs=2
while [ $# -gt 0 ]; do
  case $1 in
    --input) input=$2; shift ;;
    --reads) reads=$2; shift ;;
    --distances) distances=$2; shift ;;
    --ratio) ratio=$2; shift ;;
    --runs) runs=$2; shift ;;
    --jobs) jobs=$2; shift ;;
    --build) build=$2; shift ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
[ -x /usr/bin/time ] || { echo "needs GNU time at /usr/bin/time" >&2; exit 2; }
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

# One run: appends "seconds peak_kB" to the named file.
run_once() {
  local distance=$1 name=$2
  shift 2
  /usr/bin/time -f "%e %M" -o "$scratch/timing" "$build/tarnwell" -i "$input" -o /dev/null -d "$distance" \
    -t "$template" --jobs "$jobs" "$@" >/dev/null 2>&1
  cat "$scratch/timing" >>"$scratch/$name"
}

for ((run = 1; run <= runs; run++)); do
  for d in $distances; do
    run_once "$d" "single-$d"
    run_once "$d" "ratio-$d" --merge-ratio "$ratio"
  done
done

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
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
