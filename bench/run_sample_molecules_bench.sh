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
build=$repo/build
other=
data=${TMPDIR:-/tmp}/tarnwell-sample-molecules-bench
reads=2000000
samples=6
runs=5
jobs=2
while [ $# -gt 0 ]; do
  case $1 in
    --reads) reads=$2; shift ;;
    --samples) samples=$2; shift ;;
    --runs) runs=$2; shift ;;
    --jobs) jobs=$2; shift ;;
    --data) data=$2; shift ;;
    --build) build=$2; shift ;;
    --other) other=$2; shift ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
[ -x /usr/bin/time ] || { echo "needs GNU time at /usr/bin/time" >&2; exit 2; }

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
for run in $(seq 1 "$runs"); do
  for input in sheet file; do
    for entry in "${builds[@]}"; do
      name=${entry%%:*} dir=${entry#*:}
      if [ "$input" = sheet ]; then set -- --experiment "$set_dir/sheet.tsv"; else set -- -i "$set_dir/all.fa"; fi
      /usr/bin/time -f "%e %M" -o "$set_dir/time" "$dir/tarnwell" "$@" -o "$set_dir/out.txt" -d 1 -t "$template" \
        --umi 1-12 --cluster-table "$set_dir/c.tsv" --stats "$set_dir/s.json" --jobs "$jobs" > /dev/null 2>&1
      tables=$(sed -n 's/.*"tables": \([0-9.]*\).*/\1/p' "$set_dir/s.json")
      echo "$input $name $run $(cat "$set_dir/time") $tables" | tee -a "$results"
    done
  done
done
# The median of field f over the rows of input i and build n.
median() {
  awk -v i="$1" -v n="$2" -v f="$3" '$1 == i && $2 == n { print $f }' "$results" | sort -n |
    awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}
echo "medians of $runs (wall s, peak KiB, tables s):"
for input in sheet file; do
  for entry in "${builds[@]}"; do
    name=${entry%%:*}
    echo "$input $name: $(median "$input" "$name" 4) $(median "$input" "$name" 5) $(median "$input" "$name" 6)"
  done
done
