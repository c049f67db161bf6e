#!/usr/bin/env bash
# Whole runs of this build's spmv against the spmv of an earlier commit, side
# by side on one generated file, so that both see the same machine and page
# cache (whose speed swings from hour to hour here).
#
#   bench/against_commit.sh REV [ENTRIES [THREADS [RUNS]]]   (default 5000000 2 7)
#
# Builds REV from `git archive` in a scratch folder, generates a row-sorted
# file of ENTRIES 17-digit values (rows a fifth of that), warms the page cache,
# then runs the two programs in turn RUNS times each and prints the minimum
# and median Tp and wall time of each. Set SPMV_BUILD for this build's folder
# (default build/release).
set -euo pipefail
rev=${1:?usage: bench/against_commit.sh REV [ENTRIES [THREADS [RUNS]]]}
entries=${2:-5000000}
threads=${3:-2}
runs=${4:-7}
build=${SPMV_BUILD:-build/release}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
git archive "$rev" | tar -x -C "$dir" --one-top-level=old
cmake -S "$dir/old" -B "$dir/old/build" -DCMAKE_BUILD_TYPE=Release -DSPMV_BUILD_TESTS=OFF >/dev/null
cmake --build "$dir/old/build" -j2 --target spmv >/dev/null
file="$dir/exp17_sorted.txt"
"$build/spmv-gen" $((entries / 5)) "$entries" exp17 sorted 1 >"$file"
cat "$file" >/dev/null
echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(nproc) cores"
echo "file: $entries entries, $(stat -c %s "$file") bytes; $threads threads; $runs runs each"
declare -A tp wall
for ((run = 0; run < runs; ++run)); do
  for name in this old; do
    program="$build/spmv"
    [ "$name" = old ] && program="$dir/old/build/spmv"
    start=$(date +%s.%N)
    line=$("$program" "$threads" 0 0 "$file")
    end=$(date +%s.%N)
    tp[$name]+="$(echo "$line" | awk '{print $4}') "
    wall[$name]+="$(echo "$end - $start" | bc) "
  done
done
stats() { tr ' ' '\n' | grep . | sort -g | awk '{v[NR] = $1} END {printf "min %.4f  median %.4f", v[1], v[int((NR + 1) / 2)]}'; }
for name in this old; do
  label=$name
  [ "$name" = old ] && label="$rev"
  printf '%-12s Tp: %s   wall: %s\n' "$label" "$(echo "${tp[$name]}" | stats)" \
    "$(echo "${wall[$name]}" | stats)"
done
