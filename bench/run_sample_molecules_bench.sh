#!/usr/bin/env bash
# Times what the molecules of every sample cost: N generated reads with a
# 12-base UMI (generate_reads --umi-length 12), split into S samples of
# consecutive reads, run with --umi 1-12, D=1, --cluster-table and --stats,
# as a sample sheet and as the one file. With --other DIR the same two runs
# of the tarnwell in DIR (another build, for example one without per-sample
# molecules) are interleaved with them. Prints each run's wall time, peak
# resident memory and the stats' tables seconds, then the medians.
#
# Usage: bench/run_sample_molecules_bench.sh [--reads 2000000] [--samples 6] [--runs 5]
#                                            [--jobs 2] [--data DIR] [--build DIR] [--other DIR]
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
source "$repo/bench/lib/timing.sh"
build=$repo/build
other=
data=${TMPDIR:-/tmp}/tarnwell-sample-molecules-bench
reads=2000000
samples=6
runs=5
jobs=2
parse_options "reads samples runs jobs data build other" "" "$@"
need_gnu_time

set_dir=$data/n$reads-s$samples
if [ ! -f "$set_dir/done" ]; then
  mkdir -p "$set_dir"
  nice "$build/generate_reads" --reads "$reads" --umi-length 12 --output "$set_dir/all.fa" > /dev/null
  lines=$(( (reads + samples - 1) / samples * 2 ))
  (cd "$set_dir" && split -d -l "$lines" all.fa s && printf 'sample\tpath\n' > sheet.tsv &&
    for f in s[0-9]*; do printf '%s\t%s\n' "$f" "$f" >> sheet.tsv; done)
  touch "$set_dir/done"
fi
template=$("$build/generate_reads" --print-template --umi-length 12)

builds=("new:$build")
[ -n "$other" ] && builds+=("other:$other")
results=$set_dir/results.txt
: > "$results"
runners=()
for input in sheet file; do
  for entry in "${builds[@]}"; do runners+=("$input:$entry"); done
done
round=0
run_one() {  # input:name:dir
  local input=${1%%:*} entry=${1#*:}
  local name=${entry%%:*} dir=${entry#*:}
  if [ "$input" = sheet ]; then set -- --experiment "$set_dir/sheet.tsv"; else set -- -i "$set_dir/all.fa"; fi
  : > "$set_dir/time"
  timed_run "$set_dir/time" "%e %M" "$dir/tarnwell" "$@" -o "$set_dir/out.txt" -d 1 -t "$template" \
    --umi 1-12 --cluster-table "$set_dir/c.tsv" --stats "$set_dir/s.json" --jobs "$jobs"
  tables=$(sed -n 's/.*"tables": \([0-9.]*\).*/\1/p' "$set_dir/s.json")
  local run=$((round / ${#runners[@]} + 1))
  round=$((round + 1))
  echo "$input $name $run $(cat "$set_dir/time") $tables" | tee -a "$results"
}
interleave "$runs" "${runners[@]}"
# The median of field f over the rows of input i and build n.
median_of() {
  awk -v i="$1" -v n="$2" -v f="$3" '$1 == i && $2 == n { print $f }' "$results" | median
}
echo "medians of $runs (wall s, peak KiB, tables s):"
for input in sheet file; do
  for entry in "${builds[@]}"; do
    name=${entry%%:*}
    echo "$input $name: $(median_of "$input" "$name" 4) $(median_of "$input" "$name" 5) $(median_of "$input" "$name" 6)"
  done
done
