#!/usr/bin/env bash
# The sweep script and the install, run as a user would:
#   scripts_test.sh SPMV_EXECUTABLE SOURCE_DIR BUILD_DIR
set -euo pipefail
spmv=$1
source_dir=$2
build_dir=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
checks=0
check() {
  checks=$((checks + 1))
  if eval "$2"; then echo "ok: $1"; else echo "FAILED: $1"; failures=$((failures + 1)); fi
}

# A sweep over 1 and 2 threads on a tiny matrix: CSV, table and plot.
SPMV=$spmv "$source_dir/scripts/spmv-sweep" -t "1 2" -r 2 -o "$work/out" \
  "$source_dir/examples/small.txt" >"$work/table" 2>"$work/progress"
check "CSV header" '[ "$(head -1 "$work/out/small.csv")" = "threads,repetition,Tp,S,E,wall_seconds" ]'
check "CSV rows" '[ "$(grep -cE "^[12],[12],[0-9.]+,[0-9.]+,[0-9.]+,[0-9.]+$" "$work/out/small.csv")" = 4 ]'
check "table rows" '[ "$(grep -cE "^ +[12] +[0-9.]+ +[0-9.]+-[0-9.]+ +[0-9.]+ +[0-9.]+$" "$work/table")" = 2 ]'
check "speed-up of 1 thread" 'grep -qE "^ +1 .* 1\.000 +1\.000$" "$work/table"'
check "PNG written" '[ "$(head -c 4 "$work/out/small.png" | tail -c 3)" = PNG ]'
check "progress" 'grep -q "2 threads, run 2 of 2" "$work/progress"'

# A matrix that spmv refuses stops the sweep with spmv's message.
status=0
SPMV=$spmv "$source_dir/scripts/spmv-sweep" -t 1 -r 1 -o "$work/bad" \
  "$source_dir/tests/data/bad/row_outside_n.txt" >/dev/null 2>"$work/error" || status=$?
check "failure status" '[ $status = 1 ]'
check "failure message" 'grep -q "spmv failed on .* with 1 threads (exit 1): .*row 12 is outside 1..10" "$work/error"'

# The install puts the program, the generator, the script and the man page under the prefix.
cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
for file in bin/spmv bin/spmv-gen bin/spmv-sweep share/man/man1/spmv.1; do
  check "installed $file" '[ -f "$work/prefix/$file" ]'
done
check "man page renders" 'man -l "$work/prefix/share/man/man1/spmv.1" 2>/dev/null | grep -q "spmv-sweep"'
check "installed sweep finds spmv beside it" \
  'env -u SPMV "$work/prefix/bin/spmv-sweep" -t 1 -r 1 -o "$work/p" "$source_dir/examples/small.txt" >/dev/null 2>&1'

echo "$((checks - failures)) passed, $failures failed"
[ $failures = 0 ]
