#!/usr/bin/env bash
# spmv-mpi against spmv: for R ranks of T threads, every dump must be byte for
# byte that of spmv with R x T threads, and every refusal the same.
#   mpi_test.sh SPMV SPMV_MPI SPMV_GEN SOURCE_DIR
set -euo pipefail
spmv=$1
spmv_mpi=$2
spmv_gen=$3
data=$4/tests/data
# Tests run as root in CI; Open MPI refuses that unless told.
export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1
# One node: shared memory between ranks, without probing for network
# transports, which costs a third of a second at every start.
export OMPI_MCA_btl=self,vader OMPI_MCA_pml=ob1 OMPI_MCA_mtl=^ofi OMPI_MCA_osc=^ucx
# Two cores run up to 12 processes and threads: no binding, no busy waiting.
export OMPI_MCA_mpi_yield_when_idle=1
launch=(timeout 120 mpirun -q --oversubscribe --bind-to none)

# One comparison, run as `mpi_test.sh SPMV SPMV_MPI SPMV_GEN SOURCE_DIR
# --compare FILE RANKS THREADS [STATUS]`: both programs with P = R x T
# workers on a file; standard error, the exit status and, for a refusal,
# standard output must agree. Prints "ok" or "FAILED: ...".
if [ "${5:-}" = --compare ]; then
  file=$6 ranks=$7 threads=$8 expected_status=${9:-}
  workers=$((ranks * threads)) status_one=0 status_mpi=0
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  "$spmv" "$workers" 0 1 "$file" >"$work/one.out" 2>"$work/one.err" || status_one=$?
  "${launch[@]}" -np "$ranks" "$spmv_mpi" "$threads" 0 1 "$file" >"$work/mpi.out" \
    2>"$work/mpi.err" || status_mpi=$?
  what="$(basename "$file") with $ranks ranks of $threads threads"
  if [ "$status_one" != "$status_mpi" ]; then
    echo "FAILED: $what: exit status $status_mpi, spmv gave $status_one"
  elif [ -n "$expected_status" ] && [ "$status_one" != "$expected_status" ]; then
    echo "FAILED: $what: spmv gave exit status $status_one, the test expects $expected_status"
  elif ! cmp -s "$work/one.err" "$work/mpi.err"; then
    echo "FAILED: $what: standard error differs"
    diff "$work/one.err" "$work/mpi.err" | head -5 | sed 's/^/    /'
  elif [ "$status_one" != 0 ] && ! cmp -s "$work/one.out" "$work/mpi.out"; then
    echo "FAILED: $what: standard output differs"
  elif [ "$status_one" = 0 ] && ! grep -qx "Work took Tp: [0-9.]* seconds with S: [0-9.]* , E: [0-9.]* in $workers number  of threads" "$work/mpi.out"; then
    echo "FAILED: $what: performance line: $(cat "$work/mpi.out")"
  else
    echo "ok"
  fi
  exit 0
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
checks=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}
jobs=$work/jobs
: >"$jobs"
# Queues one comparison: FILE RANKS THREADS [STATUS].
compare() { printf '%q %q %q %q\n' "$1" "$2" "$3" "${4:-}" >>"$jobs"; }

# Generated files: shuffled rows, and a Matrix Market file, large enough that
# every rank and thread has a share.
"$spmv_gen" 700 20000 exp17 shuffled 3 >"$work/shuffled.txt"
"$spmv_gen" --mtx 300 9000 short sorted 5 >"$work/sorted.mtx"

# Every good file, R = 1 to 4 ranks of T = 1 to 3 threads: the same dump.
for file in "$data"/good/* "$data"/quirks/* "$data"/mtx/* "$work/shuffled.txt" "$work/sorted.mtx"; do
  for ranks in 1 2 3 4; do
    for threads in 1 2 3; do compare "$file" "$ranks" "$threads" 0; done
  done
done

# Every bad file refused alike, by 1 to 4 ranks.
for file in "$data"/bad/*; do
  case $file in *.expected) continue ;; esac
  for ranks in 1 2 3 4; do compare "$file" "$ranks" $((ranks % 2 + 1)) 1; done
done

# Faults that lie in one rank's byte range, among lines the other ranks read
# well: the lowest line wins, as in a sequential read.
"$spmv_gen" 100 3000 short >"$work/base.txt"
awk 'NR == 2000 { print "5 5 x"; next } { print }' "$work/base.txt" >"$work/bad_value_late.txt"
awk 'NR == 1 { print "100 100 2000"; next } { print }' "$work/base.txt" >"$work/more_entries.txt"
awk 'NR == 1 { print "100 100 2000"; next } NR == 1000 { print "1 1 1 1"; next } { print }' \
  "$work/base.txt" >"$work/bad_line_before_excess.txt"
awk 'NR == 1 { print "100 100 2000"; next } NR == 2500 { print "1 1 1 1"; next } { print }' \
  "$work/base.txt" >"$work/bad_line_after_excess.txt"
awk 'NR <= 2000 { print }' "$work/base.txt" >"$work/fewer_lines.txt"
awk 'NR == 1 { print "100 100 3000"; next } NR == 2600 { print ""; next } { print }' \
  "$work/base.txt" >"$work/fewer_entries.txt"
awk 'NR == 1500 { printf "1 1 "; for (i = 0; i < 1100000; i++) printf "1"; print ""; next } { print }' \
  "$work/base.txt" >"$work/long_line.txt"
awk 'NR == 700 { print "1 1 1 junk"; next } NR == 2500 { printf "1 1 1"; for (i = 0; i < 3200000; i++) printf " "; print ""; next } { print }' \
  "$work/base.txt" >"$work/bad_line_before_long_line.txt"
for file in "$work"/bad_*.txt "$work"/more_entries.txt "$work"/fewer_*.txt "$work"/long_line.txt; do
  for ranks in 1 2 3 4; do compare "$file" "$ranks" 2 1; done
done

# Headers far from the start, a header without a newline, more workers than
# lines, and blank lines everywhere.
{
  echo "%%MatrixMarket matrix coordinate real general"
  for ((i = 0; i < 2000; i++)); do printf '%% %0200d\n' 0; done
  printf '3 3 2\n1 1 1\n2 2 2'
} >"$work/long_comments.mtx"
printf '3 3 0' >"$work/header_unterminated.txt"
printf '3 3 2' >"$work/header_unterminated_entries.txt"
printf '2 2 1\n1 1 5\n' >"$work/one_entry.txt"
printf '\n\n2 2 2\n\n\n\n1 1 1\n\n\n\n\n\n2 2 2\n\n\n' >"$work/blank_lines.txt"
for file in "$work"/long_comments.mtx "$work"/header_*.txt "$work"/one_entry.txt "$work"/blank_lines.txt; do
  for ranks in 1 3 4; do compare "$file" "$ranks" 3; done
done

# More workers than spmv may have threads: misuse on both.
compare "$data/good/small.txt" 2 4096 2

# The comparisons, three at a time: most of a run is Open MPI starting up.
while IFS= read -r line; do
  case $line in
    ok) checks=$((checks + 1)) ;;
    FAILED*) checks=$((checks + 1)) && echo "$line" && failures=$((failures + 1)) ;;
    *) echo "$line" ;;
  esac
done < <(xargs -P 3 -L 1 bash "$0" "$spmv" "$spmv_mpi" "$spmv_gen" "$4" --compare <"$jobs")

# Help, usage and the report come from rank 0 alone.
checks=$((checks + 1))
status=0
"${launch[@]}" -np 3 "$spmv_mpi" --help >"$work/help.out" 2>"$work/help.err" || status=$?
if [ $status != 0 ] || [ "$(grep -c '^usage: ' "$work/help.out")" != 1 ] || [ -s "$work/help.err" ]; then
  fail "--help on 3 ranks: exit $status, $(grep -c '^usage: ' "$work/help.out") usage texts"
fi
checks=$((checks + 1))
status=0
"${launch[@]}" -np 3 "$spmv_mpi" 2 0 >"$work/usage.out" 2>"$work/usage.err" || status=$?
if [ $status != 2 ] || [ "$(grep -c '^usage: ' "$work/usage.err")" != 1 ] || [ -s "$work/usage.out" ]; then
  fail "misuse on 3 ranks: exit $status, $(grep -c '^usage: ' "$work/usage.err") usage texts"
fi
checks=$((checks + 1))
"$spmv" --report="$work/one.json" 6 0 0 "$work/shuffled.txt" >/dev/null
"${launch[@]}" -np 3 "$spmv_mpi" --report="$work/mpi.json" --repeat=2 2 0 0 "$work/shuffled.txt" >/dev/null
if [ "$(jq -r .result.digest "$work/one.json")" != "$(jq -r .result.digest "$work/mpi.json")" ] ||
  [ "$(jq -c '[.mpi.ranks, .mpi.threads_per_rank, .mpi.workers, .performance.threads, .matrix.slots, (.multiply.repeat_seconds | length)]' "$work/mpi.json")" != "[3,2,6,6,20000,2]" ]; then
  fail "report of 3 ranks of 2 threads: $(jq -c '{mpi, digest: .result.digest}' "$work/mpi.json")"
fi
# The report describes the file as spmv's does: form, field, symmetry, sizes.
for file in "$data/mtx/pattern_symmetric.mtx" "$data/mtx/integer_fewer_rows.mtx" "$work/shuffled.txt"; do
  checks=$((checks + 1))
  "$spmv" --report="$work/one.json" 2 0 0 "$file" >/dev/null
  "${launch[@]}" -np 2 "$spmv_mpi" --report="$work/mpi.json" 1 0 0 "$file" >/dev/null
  if [ "$(jq -c .matrix "$work/one.json")" != "$(jq -c .matrix "$work/mpi.json")" ]; then
    fail "report's matrix of $(basename "$file") on 2 ranks: $(jq -c .matrix "$work/mpi.json")"
  fi
done

echo "$((checks - failures)) passed, $failures failed"
[ $failures = 0 ]
