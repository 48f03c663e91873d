# The parts the bench scripts share, sourced by them: their option parsing,
# GNU time, the interleaved rounds and the medians.

# Sets, for each "--name value" of the arguments, the variable of that name
# (dashes as underscores) when `names` lists it; for each "--flag" that
# `flags` lists, the variable of that name to 1. Anything else ends the script.
# Usage: parse_options "reads runs jobs" "without-walk" "$@"
parse_options() {
  local names=" $1 " flags=" $2 " name
  shift 2
  while [ $# -gt 0 ]; do
    name=${1#--}
    if [ "$name" != "$1" ] && [[ $names == *" $name "* ]] && [ $# -gt 1 ]; then
      printf -v "${name//-/_}" '%s' "$2"
      shift
    elif [ "$name" != "$1" ] && [[ $flags == *" $name "* ]]; then
      printf -v "${name//-/_}" '%s' 1
    else
      echo "unknown option $1" >&2
      exit 2
    fi
    shift
  done
}

need_gnu_time() {
  [ -x /usr/bin/time ] || { echo "needs GNU time at /usr/bin/time" >&2; exit 2; }
}

# Runs a command under GNU time and appends what `format` asks for (%e wall
# seconds, %M peak KiB, %U and %S CPU seconds) to `file`; the command's own
# output goes nowhere, and so does descriptor 3, where a build with phase
# times writes them. Where the script sets warm (--warm MIB), $build/warm_memory
# takes and gives back that much memory first (see bench/warm_memory.cpp).
# Usage: timed_run FILE FORMAT command...
timed_run() {
  local file=$1 format=$2
  shift 2
  [ "${warm:-0}" = 0 ] || "$build/warm_memory" "$warm"
  /usr/bin/time -f "$format" -o "$file.time" "$@" > /dev/null 2>&1 3> /dev/null
  tail -n 1 "$file.time" >> "$file"  # after the line of a command that failed
  rm -f "$file.time"
}

# Calls run_one with each of the runners, `runs` rounds; each round begins
# one further along, so that none always meets a warm or a cold page cache.
# Usage: interleave RUNS runner...
interleave() {
  local runs=$1 run k
  shift
  local runners=("$@")
  for run in $(seq 1 "$runs"); do
    for k in $(seq 0 $((${#runners[@]} - 1))); do
      run_one "${runners[$(((run + k) % ${#runners[@]}))]}"
    done
  done
}

# The median of the numbers on standard input (the lower of the middle two when even).
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

load_average() { cut -d' ' -f1-3 /proc/loadavg; }
