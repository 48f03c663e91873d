#!/usr/bin/env bash
# Times a run over a sample sheet against one run over the same reads in one
# file, interleaved run by run, and prints a Markdown table of medians: wall
# time, the load phase's seconds (from --stats), CPU time (user and system) and
# peak resident memory (GNU time's maximum resident set) of each, and their
# ratios (each a ratio of medians). With --baseline, the
# sheet is also run by the tarnwell of another build (one from before a
# change, say), in the same interleaving. The load average is printed before
# and after: on a shared machine the times mean little without it. With
# --warm MIB, bench/warm_memory takes and gives back that much memory before
# every timed run, so that no run pays for pages the host of a virtual machine
# took back (see bench/warm_memory.cpp); give it at least the peak of a run.
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
#                                   [--data DIR] [--build DIR] [--baseline DIR] [--warm MIB]
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
source "$repo/bench/lib/timing.sh"
build=$repo/build
data=${TMPDIR:-/tmp}/tarnwell-samples-bench
reads=10000000
samples=6
shared=0.5
runs=5
distance=1
jobs=2
baseline=
warm=0
parse_options "reads samples shared runs distance jobs data build baseline warm" "" "$@"
need_gnu_time
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
echo "load average before: $(load_average)"
# One timed run of a binary: wall seconds, peak kilobytes and the load
# phase's seconds, appended to the named file.
timed() {
  local into=$1 binary=$2
  shift 2
  : > "$out/time"
  timed_run "$out/time" "%e %M %U %S" "$binary" "$@" -o "$out/report" -d "$distance" -t "$template" \
    --jobs "$jobs" --stats "$out/stats.json"
  local load
  load=$(grep -o '"load": [0-9.]*' "$out/stats.json" | cut -d' ' -f2)
  # wall, peak, load phase, CPU (user and system)
  awk -v l="$load" '{ printf "%s %s %s %.2f\n", $1, $2, l, $3 + $4 }' "$out/time" >> "$out/$into"
}
runners=(single samples)
[ -n "$baseline" ] && runners+=(baseline)
run_one() {
  case $1 in
    single)
      timed single "$build/tarnwell" -i "$set_dir/all.fq.gz"
      cp "$out/report" "$out/single-report"
      ;;
    samples) timed samples "$build/tarnwell" --experiment "$set_dir/sheet.tsv" ;;
    baseline) timed baseline "$baseline/tarnwell" --experiment "$set_dir/sheet.tsv" ;;
  esac
  if [ "$1" != single ] && [ -f "$out/single-report" ]; then
    cmp -s "$out/report" "$out/single-report" || { echo "the reports differ" >&2; exit 1; }
  fi
}
interleave "$runs" "${runners[@]}"
echo "load average after: $(load_average)"

column_median() { cut -d' ' -f"$2" "$out/$1" | median; }
echo
echo "| input | wall s (median of $runs) | load phase s | CPU s | peak MiB |"
echo "|---|---|---|---|---|"
row() {
  awk -v name="$1" -v s="$(column_median "$2" 1)" -v l="$(column_median "$2" 3)" -v c="$(column_median "$2" 4)" \
    -v k="$(column_median "$2" 2)" 'BEGIN { printf "| %s | %.2f | %.2f | %.2f | %.0f |\n", name, s, l, c, k / 1024 }'
}
ratio() {
  local against=()
  for column in 1 3 4 2; do against+=("$(column_median "$2" $column)" "$(column_median single $column)"); done
  awk -v name="$1" -v a="${against[0]}" -v b="${against[1]}" -v c="${against[2]}" -v d="${against[3]}" \
    -v e="${against[4]}" -v f="${against[5]}" -v g="${against[6]}" -v h="${against[7]}" \
    'BEGIN { printf "| %s | %.3f | %.3f | %.3f | %.3f |\n", name, a / b, c / d, e / f, g / h }'
}
row "one gzipped FASTQ" single
row "$samples gzipped FASTQ samples" samples
[ -n "$baseline" ] && row "$samples samples, baseline build" baseline
ratio "samples / one file" samples
[ -n "$baseline" ] && ratio "baseline samples / one file" baseline
exit 0
