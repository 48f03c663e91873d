#!/usr/bin/env bash
# Times the screening of the barcode search over whole reads against the
# plain screening of the same reads: N reads of 150 bases (flank, 20-base
# barcode, flank, random tail), once with every barcode at offset 0 on the
# read as it stands, and once with the same reads moved (a quarter
# reverse-complemented, three quarters shifted by 1 to 100 bases; the
# reverse-complemented ones shifted too). Runs, interleaved round by round:
#   plain        the reads at offset 0, no search option
#   at start     the reads at offset 0, --window 150 --both-strands --fixed-mismatches 1
#   moved        the moved reads, the same options
#   moved, walk  the moved reads, the same options, the straightforward engine
#                (its screening walks offset after offset, on one thread)
# and prints a Markdown table of the medians of the `screen` seconds of the
# stats file, and of the ratio to the plain run of the same round.
#
# Usage: bench/run_search_bench.sh [--reads 10000000] [--runs 5] [--jobs 2]
#                                  [--data DIR] [--build DIR] [--without-walk]
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
source "$repo/bench/lib/timing.sh"
build=$repo/build
data=${TMPDIR:-/tmp}/tarnwell-search-bench
reads=10000000
runs=5
jobs=2
without_walk=0
parse_options "reads runs jobs data build" "without-walk" "$@"
walk=$((1 - without_walk))

cmake --build "$build" -j2 --target tarnwell tarnwell_reference generate_reads >/dev/null
mkdir -p "$data"
shape="--seed 21 --reads $reads --tail-length 114 --read-length 150 --truncation-rate 0"
plain=$data/plain-$reads.fa
moved=$data/moved-$reads.fa
[ -s "$plain" ] || nice "$build/generate_reads" $shape --output "$plain"
[ -s "$moved" ] || nice "$build/generate_reads" $shape --stagger 100 --stagger-share 0.75 --reverse-share 0.25 \
  --output "$moved"
template=$("$build/generate_reads" --print-template)
search="--window 150 --both-strands --fixed-mismatches 1"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The screen seconds of one run, from its stats file.
screen_seconds() {
  local binary=$1 input=$2
  shift 2
  "$binary" -i "$input" -o /dev/null -d 1 -t "$template" --stats "$scratch/stats.json" "$@" >/dev/null 2>&1
  grep -o '"screen": [0-9.]*' "$scratch/stats.json" | cut -d' ' -f2
}

labels=("plain" "at start" "moved")
[ $walk = 1 ] && labels+=("moved, walk")
for run in $(seq "$runs"); do
  {
    screen_seconds "$build/tarnwell" "$plain" --jobs "$jobs"
    screen_seconds "$build/tarnwell" "$plain" --jobs "$jobs" $search
    screen_seconds "$build/tarnwell" "$moved" --jobs "$jobs" $search
    [ $walk = 0 ] || screen_seconds "$build/tarnwell_reference" "$moved" $search
  } | paste -sd' ' >>"$scratch/rounds"
done

echo "$reads reads of 150 bases, --jobs $jobs (the straightforward engine on one thread), $runs rounds" \
  "interleaved; $(nproc) cores, load $(load_average) at the end."
echo
echo "| run | screen s, median | ratio to plain, median (range) |"
echo "|---|---|---|"
for column in $(seq ${#labels[@]}); do
  awk -v c="$column" -v label="${labels[$((column - 1))]}" '
    { seconds[NR] = $c; ratio[NR] = $c / $1 }
    function median(v, n,   i, j, t) {
      for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t }
      return v[int((n + 1) / 2)]
    }
    END {
      n = NR; s = median(seconds, n); r = median(ratio, n)
      printf "| %s | %.3f | %.2f (%.2f to %.2f) |\n", label, s, r, ratio[1], ratio[n]
    }' "$scratch/rounds"
done
echo
echo "Rounds (plain, at start, moved$([ $walk = 1 ] && echo ", moved walk")):"
sed 's/^/    /' "$scratch/rounds"
