#!/usr/bin/env bash
# Times tarnwell on barcodes whose diversity is uneven along the barcode, each
# against the same reads with the low-diversity stretch out of the way, and
# prints a Markdown table of medians of the total wall time with their ratio.
# The runs of one shape alternate between the two inputs (interleaved, which
# one goes first alternating too), so that load from elsewhere on the machine
# falls on both.
#
#   a  the default reads through a template of all N over flank and barcode
#      (8 constant bases, then 20 random)    against the default template
#   b  32-base barcodes whose first 12 bases are one 12-mer in 99% of the
#      true barcodes                          against the 12-mer at the end
#   c  20-base barcodes whose first 8 bases are G or T
#                                             against those 8 at the end
#   d  10% of the reads turn to G from a random base before the tail on,
#      through the left flank and 20 N       against the reads without them
#
# Usage: bench/run_shapes.sh [--reads 1000000] [--shapes a,b,c,d] [--distances "1 3"]
#                            [--runs 5] [--jobs 2] [--data DIR] [--build DIR]
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
source "$repo/bench/lib/timing.sh"
build=$repo/build-bench
data=${TMPDIR:-/tmp}/tarnwell-bench
reads=1000000
shapes=a,b,c,d
distances="1 3"
runs=5
jobs=2
parse_options "reads shapes distances runs jobs data build" "" "$@"
need_gnu_time

cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DTARNWELL_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target tarnwell generate_reads >/dev/null
mkdir -p "$data"
generate=$build/generate_reads
n20=NNNNNNNNNNNNNNNNNNNN

# Per shape: generator options and template of the shaped input, then of the other.
declare -A shaped_options=([a]="" [b]="--barcode-length 32 --start-shape constant --start-share 0.99"
                           [c]="--start-shape two-letters" [d]="--poly-g-share 0.1")
declare -A plain_options=([a]="" [b]="${shaped_options[b]} --start-at-end" [c]="${shaped_options[c]} --start-at-end"
                          [d]="")
declare -A shaped_template=([a]=NNNNNNNN${n20}TGCATGCA [b]=ACGTACGT${n20}NNNNNNNNNNNNTGCATGCA
                            [c]=ACGTACGT${n20}TGCATGCA [d]=ACGTACGT${n20})
declare -A plain_template=([a]=ACGTACGT${n20}TGCATGCA [b]=${shaped_template[b]} [c]=${shaped_template[c]}
                           [d]=ACGTACGT${n20})

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

input_for() {  # name, options: generates once, prints the path
  local path=$data/shape-$1-$reads.fa
  # shellcheck disable=SC2086
  [ -s "$path" ] || nice "$generate" --reads "$reads" $2 --output "$path"
  echo "$path"
}

# One run of the shaped or the plain input of the current shape at distance d: appends its wall seconds.
# (A build with phase times writes them to descriptor 3, which GNU time may hold: timed_run closes it.)
run_one() {
  local input=$shaped templ=${shaped_template[$shape]}
  [ "$1" = plain ] && input=$plain && templ=${plain_template[$shape]}
  timed_run "$scratch/$1" "%e" "$build/tarnwell" -i "$input" -o "$scratch/report" -t "$templ" -d "$d" --jobs "$jobs"
}

echo "$reads reads, --jobs $jobs, medians of $runs runs interleaved; $(nproc) cores."
echo
echo "| shape | D | shaped s | plain s | shaped / plain |"
echo "|---|---|---|---|---|"
for shape in ${shapes//,/ }; do
  shaped=$(input_for "$shape" "${shaped_options[$shape]}")
  plain=$(input_for "$shape-plain" "${plain_options[$shape]}")
  for d in $distances; do
    : >"$scratch/shaped"
    : >"$scratch/plain"
    interleave "$runs" shaped plain
    s=$(median <"$scratch/shaped")
    p=$(median <"$scratch/plain")
    echo "| $shape | $d | $s | $p | $(awk "BEGIN { printf \"%.2f\", $s / $p }") |"
  done
done
