#!/usr/bin/env bash
# Times a run over a sample sheet against one run over the same reads in one
# file, interleaved run by run, and prints a Markdown table of medians: wall
# time and peak resident memory (GNU time's maximum resident set) of each, and
# their ratios.
#
# The samples: N reads of gzipped FASTQ split into S samples. A share F of
# every sample comes from one generated population (barcodes that every sample
# shares, each sample a different slice of its reads); the rest of each sample
# from a population of its own (seed 100 + k), so the overlap map of --page
# has shared and sample-specific clusters to show. The single file is the
# samples' FASTQ back to back, gzipped the same way.
#
# Usage: bench/run_samples_bench.sh [--reads 10000000] [--samples 6] [--shared 0.5]
#                                   [--runs 5] [--distance 1] [--jobs 2]
#                                   [--data DIR] [--build DIR]
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=$repo/build
data=${TMPDIR:-/tmp}/tarnwell-samples-bench
reads=10000000
samples=6
shared=0.5
runs=5
distance=1
jobs=2
while [ $# -gt 0 ]; do
  case $1 in
    --reads) reads=$2; shift ;;
    --samples) samples=$2; shift ;;
    --shared) shared=$2; shift ;;
    --runs) runs=$2; shift ;;
    --distance) distance=$2; shift ;;
    --jobs) jobs=$2; shift ;;
    --data) data=$2; shift ;;
    --build) build=$2; shift ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
[ -x /usr/bin/time ] || { echo "needs GNU time at /usr/bin/time" >&2; exit 2; }
[ -x "$build/tarnwell" ] && [ -x "$build/generate_reads" ] || {
  echo "needs tarnwell and generate_reads in $build (cmake --build $build)" >&2
  exit 2
}

set_dir=$data/n$reads-s$samples-f$shared
if [ ! -f "$set_dir/done" ]; then
  mkdir -p "$set_dir"
  shared_reads=$(awk -v n="$reads" -v f="$shared" 'BEGIN { printf "%d", n * f }')
  own_reads=$(((reads - shared_reads) / samples))
  per_sample_shared=$((shared_reads / samples))
  nice "$build/generate_reads" --reads "$shared_reads" --fastq --seed 1 --output "$set_dir/shared.fq"
  printf 'sample\tpath\n' > "$set_dir/sheet.tsv"
  : > "$set_dir/all.fq"
  for k in $(seq 1 "$samples"); do
    nice "$build/generate_reads" --reads "$own_reads" --fastq --seed $((100 + k)) --output "$set_dir/own.fq"
    {
      # Slice k of the shared reads (4 lines a read), then the sample's own.
      sed -n "$(((k - 1) * per_sample_shared * 4 + 1)),$((k * per_sample_shared * 4))p" "$set_dir/shared.fq"
      cat "$set_dir/own.fq"
    } > "$set_dir/s$k.fq"
    cat "$set_dir/s$k.fq" >> "$set_dir/all.fq"
    nice gzip -1 -f "$set_dir/s$k.fq"
    printf 'sample%d\ts%d.fq.gz\n' "$k" "$k" >> "$set_dir/sheet.tsv"
  done
  nice gzip -1 -f "$set_dir/all.fq"
  rm -f "$set_dir/shared.fq" "$set_dir/own.fq"
  touch "$set_dir/done"
fi

template=ACGTACGTNNNNNNNNNNNNNNNNNNNNTGCATGCA
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
# One timed run: wall seconds and peak kilobytes, appended to the named file.
timed() {
  local into=$1
  shift
  /usr/bin/time -f "%e %M" -o "$out/time" "$build/tarnwell" "$@" -o "$out/report" -d "$distance" -t "$template" \
    --jobs "$jobs" > "$out/count" 2> /dev/null
  cat "$out/time" >> "$out/$into"
}
for run in $(seq 1 "$runs"); do
  # Alternate which goes first, so that neither always meets a warm or a cold page cache.
  if [ $((run % 2)) -eq 1 ]; then
    timed single -i "$set_dir/all.fq.gz"
    cp "$out/report" "$out/single-report"
    timed samples --experiment "$set_dir/sheet.tsv"
  else
    timed samples --experiment "$set_dir/sheet.tsv"
    timed single -i "$set_dir/all.fq.gz"
    cp "$out/report" "$out/single-report"
  fi
  cmp -s "$out/report" "$out/single-report" || { echo "the reports differ" >&2; exit 1; }
done

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
single_seconds=$(cut -d' ' -f1 "$out/single" | median)
samples_seconds=$(cut -d' ' -f1 "$out/samples" | median)
single_kib=$(cut -d' ' -f2 "$out/single" | median)
samples_kib=$(cut -d' ' -f2 "$out/samples" | median)
echo "| input | wall s (median of $runs) | peak MiB (median) |"
echo "|---|---|---|"
awk -v s="$single_seconds" -v k="$single_kib" 'BEGIN { printf "| one gzipped FASTQ | %.2f | %.0f |\n", s, k / 1024 }'
awk -v s="$samples_seconds" -v k="$samples_kib" -v n="$samples" \
  'BEGIN { printf "| %d gzipped FASTQ samples | %.2f | %.0f |\n", n, s, k / 1024 }'
awk -v a="$samples_seconds" -v b="$single_seconds" -v c="$samples_kib" -v d="$single_kib" \
  'BEGIN { printf "| samples / one file | %.3f | %.3f |\n", a / b, c / d }'
