#!/usr/bin/env bash
# Whole runs of spmv against the stdio baseline on one generated file.
#
#   bench/whole_run.sh [ENTRIES [THREADS [RUNS [txt|mtx]]]]    (default 5000000 2 5 txt)
#
# Generates a row-sorted file of ENTRIES entries with 17-digit values (rows a
# fifth of that), runs each program RUNS times, and prints the median wall time
# of the whole process and the median Tp. Tp holds all the time up to t_ready
# plus the multiply divided by THREADS, so file MB / Tp is a lower bound on the
# rate of everything from the first clock reading to t_ready. With mtx the
# file is a Matrix Market file, and only spmv runs (the stdio version cannot
# read the banner).
set -euo pipefail
entries=${1:-5000000}
threads=${2:-2}
runs=${3:-5}
format=${4:-txt}
build=${SPMV_BENCH_BUILD:-build/bench}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
file="$dir/exp17_sorted.$format"
programs=("$build/spmv" "$build/bench/spmv_stdio_baseline")
if [ "$format" = mtx ]; then
  "$build/spmv-gen" --mtx $((entries / 5)) "$entries" exp17 sorted 1 >"$file"
  programs=("$build/spmv")
else
  "$build/spmv-gen" $((entries / 5)) "$entries" exp17 sorted 1 >"$file"
fi
bytes=$(stat -c %s "$file")
echo "file: $entries entries, $bytes bytes; $threads threads; $runs runs each; $(nproc) cores"
median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
for program in "${programs[@]}"; do
  walls=() tps=()
  for _ in $(seq "$runs"); do
    start=$(date +%s.%N)
    line=$("$program" "$threads" 0 0 "$file")
    end=$(date +%s.%N)
    walls+=("$(echo "$end - $start" | bc -l)")
    tps+=("$(echo "$line" | awk '{print $4}')")
  done
  wall=$(printf '%s\n' "${walls[@]}" | median)
  tp=$(printf '%s\n' "${tps[@]}" | median)
  mbs=$(echo "$bytes / 1000000 / $tp" | bc -l)
  printf '%-28s median wall %.3f s, median Tp %.3f s, file MB / Tp = %.0f MB/s\n' \
    "$(basename "$program")" "$wall" "$tp" "$mbs"
done
