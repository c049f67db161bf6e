#!/usr/bin/env bash
# Whole runs of this build's spmv beside the spmv of an earlier commit and
# `cat FILE >/dev/null`, in turn on the same generated files, so that all
# three see the same machine and page cache (whose speed swings from hour to
# hour here).
#
#   bench/against_commit.sh REV [ENTRIES [RUNS [STYLES [THREADS]]]]
#     default: 10000000 entries, 7 runs, styles "exp17 int", threads "1 2"
#
# Builds REV from `git archive` in a scratch folder, generates one row-sorted
# file per value style (ENTRIES entries over ENTRIES / 10 rows), warms the
# page cache, then for each style and thread count runs the three in turn
# RUNS times and prints the minimum and median of Tp and of the wall time,
# the speed-up of this build over REV (minimum against minimum), and entries
# per second per thread of this build's whole run. Set SPMV_BUILD for this
# build's folder (default build/release).
set -euo pipefail
rev=${1:?usage: bench/against_commit.sh REV [ENTRIES [RUNS [STYLES [THREADS]]]]}
entries=${2:-10000000}
runs=${3:-7}
styles=${4:-exp17 int}
thread_counts=${5:-1 2}
build=${SPMV_BUILD:-build/release}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
git archive "$rev" | tar -x -C "$dir" --one-top-level=old
cmake -S "$dir/old" -B "$dir/old/build" -DCMAKE_BUILD_TYPE=Release -DSPMV_BUILD_TESTS=OFF >/dev/null
cmake --build "$dir/old/build" -j2 --target spmv >/dev/null
echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(nproc) cores"
echo "this build: $build; earlier: $rev; $entries entries per file; minimum and median of $runs runs"
seconds() { awk -v s="$1" -v e="$2" 'BEGIN {printf "%.4f", e - s}'; }
stats() { tr ' ' '\n' | grep . | sort -g | awk '{v[NR] = $1} END {printf "%.4f %.4f", v[1], v[int((NR + 1) / 2)]}'; }
for style in $styles; do
  file="$dir/$style.txt"
  "$build/spmv-gen" $((entries / 10)) "$entries" "$style" sorted 1 >"$file"
  cat "$file" >/dev/null
  echo "$style: $(stat -c %s "$file") bytes"
  for threads in $thread_counts; do
    declare -A tp=() wall=()
    for ((run = 0; run < runs; ++run)); do
      for name in this old cat; do
        start=$(date +%s.%N)
        case $name in
          this) line=$("$build/spmv" "$threads" 0 0 "$file") ;;
          old) line=$("$dir/old/build/spmv" "$threads" 0 0 "$file") ;;
          cat) line="- - - 0"; cat "$file" >/dev/null ;;
        esac
        end=$(date +%s.%N)
        tp[$name]+="$(echo "$line" | awk '{print $4}') "
        wall[$name]+="$(seconds "$start" "$end") "
      done
    done
    read -r this_tp this_tp_median <<<"$(echo "${tp[this]}" | stats)"
    read -r old_tp old_tp_median <<<"$(echo "${tp[old]}" | stats)"
    read -r this_wall this_wall_median <<<"$(echo "${wall[this]}" | stats)"
    read -r old_wall old_wall_median <<<"$(echo "${wall[old]}" | stats)"
    read -r cat_wall cat_wall_median <<<"$(echo "${wall[cat]}" | stats)"
    printf '  %d thread(s): this Tp %s (median %s), wall %s (%s) | %s Tp %s (%s), wall %s (%s) | cat %s (%s)\n' \
      "$threads" "$this_tp" "$this_tp_median" "$this_wall" "$this_wall_median" "$rev" "$old_tp" \
      "$old_tp_median" "$old_wall" "$old_wall_median" "$cat_wall" "$cat_wall_median"
    awk -v a="$old_wall" -v b="$this_wall" -v n="$entries" -v t="$threads" 'BEGIN {
      printf "    whole run %.2fx faster; %.1f M entries/s per thread\n", a / b, n / b / t / 1e6 }'
  done
done
