#!/usr/bin/env bash
# Times tarnwell phase by phase on the standard data sets of bench/README.md,
# for every distance with and without -p, and prints a Markdown table of
# medians: seconds per phase, total wall time, the floor (the input read
# whole and written to a file by bench/floor_copy, run just before each run of
# the tool) with the ratio of the two, and peak resident memory.
#
# The binaries come from a build with TARNWELL_PHASE_TIMES, which notes when
# each phase ends and writes the times to file descriptor 3 at exit; nothing
# the tool prints changes. Peak memory is GNU time's maximum resident set.
# The straightforward engine (tarnwell_reference) runs once per case, under a
# time limit.
#
# Usage: bench/run_bench.sh [--sets a,b,c,d] [--distances "0 1 2 3"] [--runs 3]
#                           [--jobs 2] [--reference-sets a,b,c] [--timeout 120]
#                           [--data DIR] [--build DIR] [--null-output] [--without-p]
#                           [--fastq-reads N] [--peak-jobs "2 64"] [--peak-sets b,d]
#
# --peak-jobs "J1 J2 ..." adds the rows of peak memory against --jobs: each
# set of --peak-sets (default b,d) at each distance, the fast engine with
# --jobs J1, J2, ... in turn run after run, the median peak of each and its
# ratio to J1's. The threads need not have cores of their own: what is
# measured is the memory they hold, not their speed.
#
# --fastq-reads N adds the gzipped-FASTQ rows (N reads of 100 bases with
# sequencer-style names and binned qualities, D=1): the time of `igzip -dc` of
# the .fastq.gz, the tool on it, on the same FASTQ uncompressed, and on the same
# reads as two-line FASTA, interleaved run by run; and, when bgzip (Debian:
# tabix) is there, the tool on the FASTQ as block-gzip. --sets '' skips the rest.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=$repo/build-bench
data=${TMPDIR:-/tmp}/tarnwell-bench
sets=a,b,c,d
distances="0 1 2 3"
runs=3
jobs=2
reference_sets=a,b,c
timeout=120
null_output=0
flag_sets=("" "-p")
fastq_reads=0
peak_jobs=""
peak_sets=b,d
while [ $# -gt 0 ]; do
  case $1 in
    --sets) sets=$2; shift ;;
    --distances) distances=$2; shift ;;
    --runs) runs=$2; shift ;;
    --jobs) jobs=$2; shift ;;
    --reference-sets) reference_sets=$2; shift ;;
    --timeout) timeout=$2; shift ;;
    --data) data=$2; shift ;;
    --build) build=$2; shift ;;
    --null-output) null_output=1 ;;
    --without-p) flag_sets=("") ;;
    --fastq-reads) fastq_reads=$2; shift ;;
    --peak-jobs) peak_jobs=$2; shift ;;
    --peak-sets) peak_sets=$2; shift ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
[ -x /usr/bin/time ] || { echo "needs GNU time at /usr/bin/time" >&2; exit 2; }

cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARNWELL_PHASE_TIMES=ON -DBUILD_TESTING=OFF -DTARNWELL_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target tarnwell tarnwell_reference generate_reads floor_copy >/dev/null
mkdir -p "$data"

declare -A generator_options=(
  [a]="--reads 1000000"
  [b]="--reads 1000000 --unique --barcode-length 16"
  [c]="--reads 1000000 --barcode-length 12 --true-barcodes 50000"
  [d]="--reads 10000000"
  [e]="--reads 100000000"
)
declare -A barcode_length=([a]=20 [b]=16 [c]=12 [d]=20 [e]=20)

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
report=$data/report.txt
[ $null_output = 1 ] && report=/dev/null

# One run: phase lines "name<TAB>seconds<TAB>peak kB" then "total" and "peak".
# Prints nothing when the run times out or fails.
run_once() {
  local binary=$1 input=$2 template=$3 distance=$4 flags=$5 limit=$6
  local phases=$scratch/phases timing=$scratch/timing
  if timeout "$limit" /usr/bin/time -f "%e %M %U %S" -o "$timing" "$binary" -i "$input" -o "$report" \
      -d "$distance" -t "$template" $flags 3>"$phases" >/dev/null 2>"$scratch/stderr"; then
    cat "$phases"
    read -r seconds peak user system <"$timing"
    printf 'total\t%s\t0\npeak\t%s\t0\ncpu\t%s\t0\n' "$seconds" "$peak" "$(awk "BEGIN { print $user + $system }")"
  fi
  [ "$report" = /dev/null ] || rm -f "$report"
}

# The floor for an input: line "floor<TAB>seconds".
floor_once() {
  local input=$1 timing=$scratch/floor_timing floor_output=$data/floor.out
  [ "$report" = /dev/null ] && floor_output=/dev/null
  if /usr/bin/time -f "%e" -o "$timing" "$build/floor_copy" "$input" "$floor_output"; then
    printf 'floor\t%s\t0\n' "$(cat "$timing")"
  fi
  [ "$floor_output" = /dev/null ] || rm -f "$floor_output"
}

# Medians over the runs given as files, one table row.
row() {
  perl -e '
    my ($label, @files) = @ARGV; my %values;
    for my $file (@files) {
      open my $in, "<", $file or next; my %run;
      while (<$in>) { chomp; my ($name, $seconds) = split /\t/; $run{$name} += $seconds; }
      push @{$values{$_}}, $run{$_} for keys %run;
    }
    sub median { my @v = sort { $a <=> $b } @_; return undef unless @v; return $v[$#v / 2]; }
    my @columns = ("load", "parse", "screen", "bucket", "forest", "pass 0", "pass 1", "pass 2", "pass 3", "report", "total");
    if (!$values{total}) { print "| $label |", " |" x 13, " (over the time limit) |\n"; exit; }
    print "| $label |";
    for my $c (@columns, "floor") { my $m = median(@{$values{$c} || []}); print defined $m ? sprintf(" %.2f |", $m) : " |"; }
    my $floor = median(@{$values{floor} || []});
    print $floor ? sprintf(" %.1f |", median(@{$values{total}}) / $floor) : " |";
    printf " %.0f |\n", median(@{$values{peak}}) / 1024;
  ' "$@"
}

echo "Machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(nproc) cores," \
  "$(free -g | awk '/Mem:/ {print $2}') GB; --jobs $jobs; medians of $runs runs (straightforward: 1 run," \
  "limit ${timeout} s); report written to $([ $null_output = 1 ] && echo /dev/null || echo a file)."
echo
echo "| set, D, engine | load | parse | screen | bucket | forest | pass 0 | pass 1 | pass 2 | pass 3 | report | total s | floor s | x floor | peak MiB |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
for set in ${sets//,/ }; do
  input=$data/$set.fa
  [ -s "$input" ] || "$build/generate_reads" ${generator_options[$set]} --output "$input"
  template=$("$build/generate_reads" --print-template --barcode-length "${barcode_length[$set]}")
  for distance in $distances; do
    for flags in "${flag_sets[@]}"; do
      label="$set, $distance${flags:+ -p}"
      files=()
      for run in $(seq "$runs"); do
        floor_once "$input" >"$scratch/fast.$run"
        run_once "$build/tarnwell" "$input" "$template" "$distance" "$flags --jobs $jobs" 100000 >>"$scratch/fast.$run"
        files+=("$scratch/fast.$run")
      done
      row "$label, fast" "${files[@]}"
      if [[ ",$reference_sets," == *",$set,"* ]]; then
        run_once "$build/tarnwell_reference" "$input" "$template" "$distance" "$flags" "$timeout" >"$scratch/reference"
        row "$label, straightforward" "$scratch/reference"
      fi
    done
  done
done

if [ -n "$peak_jobs" ]; then
  read -r -a job_list <<< "$peak_jobs"
  echo
  echo "Peak resident memory (MiB) against --jobs, medians of $runs runs, the --jobs values in turn in each run:"
  echo
  header="| set, D |" rule="|---|"
  for j in "${job_list[@]}"; do header+=" --jobs $j |" rule+="---|"; done
  for j in "${job_list[@]:1}"; do header+=" x at --jobs $j |" rule+="---|"; done
  echo "$header"
  echo "$rule"
  for set in ${peak_sets//,/ }; do
    input=$data/$set.fa
    [ -s "$input" ] || "$build/generate_reads" ${generator_options[$set]} --output "$input"
    template=$("$build/generate_reads" --print-template --barcode-length "${barcode_length[$set]}")
    for distance in $distances; do
      for run in $(seq "$runs"); do
        for j in "${job_list[@]}"; do
          run_once "$build/tarnwell" "$input" "$template" "$distance" "--jobs $j" 100000 >"$scratch/peak.$j.$run"
        done
      done
      perl -e '
        my ($label, $runs, $dir, @jobs) = @ARGV; my @medians;
        sub median { my @v = sort { $a <=> $b } @_; return $v[$#v / 2]; }
        for my $j (@jobs) {
          my @peaks;
          for my $run (1 .. $runs) {
            open my $in, "<", "$dir/peak.$j.$run" or next;
            while (<$in>) { my ($n, $v) = split /\t/; push @peaks, $v if $n eq "peak"; }
          }
          push @medians, @peaks ? median(@peaks) / 1024 : 0;
        }
        print "| $label |", (map { sprintf " %.0f |", $_ } @medians),
          (map { $medians[0] ? sprintf(" %.3f |", $_ / $medians[0]) : " |" } @medians[1 .. $#medians]), "\n";
      ' "$set, $distance" "$runs" "$scratch" "${job_list[@]}"
    done
  done
fi

[ "$fastq_reads" -gt 0 ] || exit 0
command -v igzip > /dev/null || { echo "the FASTQ rows need igzip (Debian: isal)" >&2; exit 2; }
reads_options="--reads $fastq_reads --tail-length 64 --illumina-names"
fasta=$data/q$fastq_reads.fa fastq=$data/q$fastq_reads.fq
[ -s "$fasta" ] || "$build/generate_reads" $reads_options --output "$fasta"
[ -s "$fastq" ] || "$build/generate_reads" $reads_options --fastq --output "$fastq"
[ -s "$fastq.gz" ] || gzip -6 -c "$fastq" > "$fastq.gz"
forms="fq.gz fq fa"
if command -v bgzip > /dev/null; then
  [ -s "$fastq.bgz" ] || bgzip -c "$fastq" > "$fastq.bgz"
  forms="$forms fq.bgz"
fi
template=$("$build/generate_reads" --print-template)
# Each form's total and peak, run after run in turn. The first run after the
# pause of the cat and igzip pays seconds of system time more, zeroing fresh
# memory that the VM's host took back, where a run that follows another reuses
# the pages just freed; so each run starts with the next form.
read -r -a form_list <<< "$forms"
for run in $(seq "$runs"); do
  cat "$fasta" "$fastq" "$fastq.gz" $([ -s "$fastq.bgz" ] && echo "$fastq.bgz") > /dev/null  # in the page cache
  /usr/bin/time -f "%e %M %U %S" -o "$scratch/igzip.$run" igzip -dc "$fastq.gz" > /dev/null
  for k in "${!form_list[@]}"; do
    form=${form_list[$(((k + run - 1) % ${#form_list[@]}))]}
    case $form in fq.gz) input=$fastq.gz ;; fq) input=$fastq ;; fa) input=$fasta ;; fq.bgz) input=$fastq.bgz ;; esac
    run_once "$build/tarnwell" "$input" "$template" 1 "--jobs $jobs" 100000 >"$scratch/$form.$run"
  done
done
echo
echo "$fastq_reads reads of 100 bases, D=1, --jobs $jobs; medians of $runs runs, interleaved:" \
  "FASTQ $(($(stat -c %s "$fastq") >> 20)) MiB, gzip -6 $(($(stat -c %s "$fastq.gz") >> 20)) MiB, FASTA $(($(stat -c %s "$fasta") >> 20)) MiB."
echo
perl -e '
  my ($runs, $dir) = @ARGV;
  sub median { my @v = sort { $a <=> $b } @_; return $v[$#v / 2]; }
  sub field { my ($file, $name) = @_; open my $in, "<", $file or return undef;
    while (<$in>) { my ($n, $v) = split /\t/; return $v if $n eq $name; } return undef; }
  my (%total, %peak, %cpu, @igzip, @igzip_cpu);
  for my $run (1 .. $runs) {
    open my $in, "<", "$dir/igzip.$run" or die; my ($s, $m, $u, $y) = split / /, scalar <$in>;
    push @igzip, $s; push @igzip_cpu, $u + $y;
    for my $form ("fq.gz", "fq", "fa", "fq.bgz") {
      next unless -e "$dir/$form.$run";
      push @{$total{$form}}, field("$dir/$form.$run", "total"); push @{$peak{$form}}, field("$dir/$form.$run", "peak");
      push @{$cpu{$form}}, field("$dir/$form.$run", "cpu");
    }
  }
  my ($i, $fa) = (median(@igzip), median(@{$total{fa}}));
  print "| input | total s | CPU s | peak MiB | against |\n|---|---|---|---|---|\n";
  printf "| igzip -dc of the .fastq.gz | %.2f | %.2f | | |\n", $i, median(@igzip_cpu);
  printf "| FASTA | %.2f | %.2f | %.0f | |\n", $fa, median(@{$cpu{fa}}), median(@{$peak{fa}}) / 1024;
  printf "| FASTQ | %.2f | %.2f | %.0f | %.2fx the FASTA time, %.2fx its peak |\n", median(@{$total{fq}}),
    median(@{$cpu{fq}}), median(@{$peak{fq}}) / 1024, median(@{$total{fq}}) / $fa, median(@{$peak{fq}}) / median(@{$peak{fa}});
  printf "| FASTQ.gz | %.2f | %.2f | %.0f | %.2fx (igzip + FASTA = %.2f s), %.2fx the FASTA peak |\n", median(@{$total{"fq.gz"}}),
    median(@{$cpu{"fq.gz"}}), median(@{$peak{"fq.gz"}}) / 1024, median(@{$total{"fq.gz"}}) / ($i + $fa), $i + $fa,
    median(@{$peak{"fq.gz"}}) / median(@{$peak{fa}});
  printf "| FASTQ as block-gzip | %.2f | %.2f | %.0f | %.2fx (igzip + FASTA = %.2f s), %.2fx igzip -dc |\n", median(@{$total{"fq.bgz"}}),
    median(@{$cpu{"fq.bgz"}}), median(@{$peak{"fq.bgz"}}) / 1024, median(@{$total{"fq.bgz"}}) / ($i + $fa), $i + $fa,
    median(@{$total{"fq.bgz"}}) / $i if $total{"fq.bgz"};
' "$runs" "$scratch"
