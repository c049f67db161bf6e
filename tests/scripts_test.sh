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

# spmv-gen: help on standard output; unusable arguments refused with status 2,
# a message that names them and nothing on standard output; generated files
# that spmv reads; its man page, installed and found by man.
gen=$build_dir/spmv-gen
status=0
"$gen" --help >"$work/gen_help" 2>"$work/gen_help_err" || status=$?
check "spmv-gen --help" \
  '[ $status = 0 ] && grep -q "^usage: spmv-gen" "$work/gen_help" && [ ! -s "$work/gen_help_err" ]'
while IFS='|' read -r name arguments message; do
  eval "set -- $arguments"
  status=0
  "$gen" "$@" </dev/null >"$work/gen_out" 2>"$work/gen_err" || status=$?
  check "spmv-gen refuses $name" \
    '[ $status = 2 ] && [ ! -s "$work/gen_out" ] && grep -qF -- "$message" "$work/gen_err"'
done <<'EOF'
rows in exponent form|1e6 2e6 int|ROWS must be a whole number from 1 to 2147483647, not '1e6'
rows with letters after the digits|12abc 5 int|not '12abc'
empty rows|'' 5 int|ROWS must be a whole number
negative rows|-5 5 int|not '-5'
zero rows|0 5 int|not '0'
rows beyond 32 bits|2147483648 5 int|not '2147483648'
rows with blanks|' 5' 5 int|not ' 5'
bad rows after --mtx|--mtx 1e6 5 int|not '1e6'
entries with a sign|10 +5 int|ENTRIES must be a whole number from 0 to 2147483647, not '+5'
entries beyond 32 bits|10 2147483648 int|not '2147483648'
an unknown value style|10 5 float|not 'float'
an unknown order|10 5 int random|not 'random'
a seed with letters|10 5 int sorted 1x|SEED must be a whole number from 0 to 18446744073709551615, not '1x'
a negative seed|10 5 int sorted -1|not '-1'
a seed beyond 64 bits|10 5 int sorted 18446744073709551616|not '18446744073709551616'
an extra argument|10 5 int sorted 1 more|unexpected argument 'more'
too few arguments|10 5|ROWS, ENTRIES and a value style are needed
EOF
while read -r arguments; do
  status=0
  # shellcheck disable=SC2086
  "$gen" $arguments </dev/null >"$work/gen.txt" &&
    "$spmv" 2 0 0 "$work/gen.txt" </dev/null >"$work/gen_run" 2>&1 ||
    status=$?
  check "spmv reads spmv-gen $arguments" '[ $status = 0 ] && grep -q "^Work took" "$work/gen_run"'
done <<'EOF'
50 200 exp17 sorted
50 200 short shuffled 7
--mtx 50 200 int shuffled 0
--mtx 7 0 exp17
EOF
"$gen" 20 60 exp17 shuffled 5 >"$work/seed5a"
"$gen" 20 60 exp17 shuffled 5 >"$work/seed5b"
"$gen" 20 60 exp17 shuffled 6 >"$work/seed6"
check "spmv-gen: the same seed gives the same file" 'cmp -s "$work/seed5a" "$work/seed5b"'
check "spmv-gen: another seed gives another file" '! cmp -s "$work/seed5a" "$work/seed6"'
check "installed share/man/man1/spmv-gen.1" '[ -f "$work/prefix/share/man/man1/spmv-gen.1" ]'
check "man spmv-gen renders" \
  'MANPATH="$work/prefix/share/man" man spmv-gen 2>/dev/null | grep -q "write a random sparse matrix"'

echo "$((checks - failures)) passed, $failures failed"
[ $failures = 0 ]
