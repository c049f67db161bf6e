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

# Messages of Open MPI's launcher and run-time (never of spmv-mpi): the job
# was not started, or its processes could not join it.
launcher_errors='ORTE_ERROR_LOG|orte_init failed|ompi_rte_init failed|opal_init failed|PMIX ERROR|PMIx_Init failed|An ORTE daemon has unexpectedly failed|ORTE was unable to reliably start|ORTE has lost communication'

# mpi OUT ERR NOTES ARGS...: `mpirun ARGS` with standard output in OUT and
# error in ERR; gives mpirun's status. Every launch has a temporary folder of
# its own for Open MPI's session directory and shared-memory segments:
# mpiruns started together otherwise race to create and remove the folder
# they share under /tmp, or map each other's segments in /dev/shm when their
# job numbers meet. A launch that fails with the launcher's own messages is
# tried again, twice at most; each such failure is appended to NOTES.
mpi() {
  local out=$1 err=$2 notes=$3 status tries session
  shift 3
  for tries in 1 2 3; do
    session=$(mktemp -d)
    status=0
    TMPDIR=$session OMPI_MCA_btl_vader_backing_directory=$session timeout 120 \
      mpirun -q --oversubscribe --bind-to none --mca orte_tmpdir_base "$session" "$@" \
      </dev/null >"$out" 2>"$err" || status=$?
    rm -rf "$session"
    if [ $status = 0 ] || ! grep -Eq "$launcher_errors" "$err"; then break; fi
    {
      echo "note: the launcher failed (status $status, try $tries of 3): mpirun $*"
      head -c 1500 "$err" | sed 's/^/    /'
    } >>"$notes"
  done
  return $status
}

# What a status means: a signal's name after 128.
status_text() {
  if [ "$1" -gt 128 ] && [ "$1" -lt 160 ]; then
    echo "$1 (signal $(kill -l $(($1 - 128))))"
  elif [ "$1" = 124 ]; then
    echo "124 (timed out after 120 s)"
  else
    echo "$1"
  fi
}

# A file's first and last lines, indented, under a title; nothing for an
# empty file. A dump's messages come after it.
show() {
  if [ -s "$2" ]; then
    echo "    $1 ($(wc -l <"$2") lines):"
    if [ "$(wc -l <"$2")" -le 16 ]; then
      cut -c 1-300 "$2" | sed 's/^/      /'
    else
      head -n 6 "$2" | cut -c 1-300 | sed 's/^/      /'
      echo "      ..."
      tail -n 10 "$2" | cut -c 1-300 | sed 's/^/      /'
    fi
  fi
}

# One comparison, run as `mpi_test.sh SPMV SPMV_MPI SPMV_GEN SOURCE_DIR
# --compare RESULT FILE RANKS THREADS [STATUS]`: both programs with P = R x T
# workers on a file; standard error, the exit status and, for a refusal,
# standard output must agree. Writes to RESULT the notes of failed launches
# and "ok", or "FAILED: ..." with what both programs wrote.
if [ "${5:-}" = --compare ]; then
  result=$6 file=$7 ranks=$8 threads=$9 expected_status=${10:-}
  workers=$((ranks * threads)) status_one=0 status_mpi=0
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  : >"$work/notes"
  "$spmv" "$workers" 0 1 "$file" >"$work/one.out" 2>"$work/one.err" || status_one=$?
  mpi "$work/mpi.out" "$work/mpi.err" "$work/notes" -np "$ranks" "$spmv_mpi" "$threads" 0 1 "$file" ||
    status_mpi=$?
  what="$(basename "$file") with $ranks ranks of $threads threads"
  verdict=ok
  if [ "$status_one" != "$status_mpi" ]; then
    verdict="FAILED: $what: exit status $(status_text $status_mpi), spmv gave $status_one"
    grep -Eq "$launcher_errors" "$work/mpi.err" && verdict+=" (the launcher failed three times)"
  elif [ -n "$expected_status" ] && [ "$status_one" != "$expected_status" ]; then
    verdict="FAILED: $what: spmv gave exit status $status_one, the test expects $expected_status"
  elif ! cmp -s "$work/one.err" "$work/mpi.err"; then
    verdict="FAILED: $what: standard error differs"
  elif [ "$status_one" != 0 ] && ! cmp -s "$work/one.out" "$work/mpi.out"; then
    verdict="FAILED: $what: standard output differs"
  elif [ "$status_one" = 0 ] && ! grep -qx "Work took Tp: [0-9.]* seconds with S: [0-9.]* , E: [0-9.]* in $workers number  of threads" "$work/mpi.out"; then
    verdict="FAILED: $what: performance line"
  fi
  {
    cat "$work/notes"
    echo "$verdict"
    if [ "$verdict" != ok ]; then
      if ! cmp -s "$work/one.err" "$work/mpi.err"; then
        echo "    diff of standard error, spmv (<) and spmv-mpi (>):"
        diff "$work/one.err" "$work/mpi.err" | head -n 10 | cut -c 1-300 | sed 's/^/      /' || true
      fi
      show "spmv-mpi's standard error" "$work/mpi.err"
      show "spmv-mpi's standard output" "$work/mpi.out"
      show "spmv's standard error" "$work/one.err"
      show "spmv's standard output" "$work/one.out"
    fi
  } >"$result"
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
results=$work/results
mkdir "$results"
: >"$jobs"
# Queues one comparison: FILE RANKS THREADS [STATUS]; its verdict goes to a
# file of its own, numbered in queue order.
compare() {
  printf '%q %q %q %q %q\n' "$results/$(wc -l <"$jobs")" "$1" "$2" "$3" "${4:-}" >>"$jobs"
}

# Generated files: shuffled rows, and a Matrix Market file, large enough that
# every rank and thread has a share.
"$spmv_gen" 700 20000 exp17 shuffled 3 >"$work/shuffled.txt"
"$spmv_gen" --mtx 300 9000 short sorted 5 >"$work/sorted.mtx"

# Every good file, R = 1 to 4 ranks of T = 1 to 3 threads: the same dump.
# One rank of several threads stands for the others of one rank, and 4 ranks
# of 2 threads for 2 of 4; 2 to 12 workers still split every file.
for file in "$data"/good/* "$data"/quirks/* "$data"/mtx/* "$work/shuffled.txt" "$work/sorted.mtx"; do
  for pair in 1x3 2x1 2x2 2x3 3x1 3x2 4x1 4x3; do
    compare "$file" "${pair%x*}" "${pair#*x}" 0
  done
done

# Every bad file refused alike, by 2 ranks of 1 thread and 3 of 2: most are
# refused in their header or first lines, and the faults that lie in one
# rank's share among good lines are tried on 1 to 4 ranks below.
for file in "$data"/bad/*; do
  case $file in *.expected) continue ;; esac
  for ranks in 2 3; do compare "$file" "$ranks" $((ranks % 2 + 1)) 1; done
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
# A header may declare more entries than there are lines when an overlong
# line stops the count: the file is refused there, not for want of memory.
awk 'NR == 1 { print "100 100 2000000000"; next } NR == 1500 { printf "1 1 "; for (i = 0; i < 1100000; i++) printf "1"; print ""; next } { print }' \
  "$work/base.txt" >"$work/long_line_huge_count.txt"
for file in "$work"/bad_*.txt "$work"/more_entries.txt "$work"/fewer_*.txt "$work"/long_line*.txt; do
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
# A comparison that ends without its verdict is counted below.
xargs -P 3 -L 1 bash "$0" "$spmv" "$spmv_mpi" "$spmv_gen" "$4" --compare <"$jobs" || true
for ((i = 0; i < $(wc -l <"$jobs"); i++)); do
  checks=$((checks + 1))
  if [ ! -s "$results/$i" ]; then
    fail "comparison $i gave no verdict: $(sed -n "$((i + 1))p" "$jobs")"
    continue
  fi
  grep -v '^ok$' "$results/$i" || true
  if grep -q '^FAILED' "$results/$i"; then failures=$((failures + 1)); fi
done

# Help, usage and the report come from rank 0 alone.
notes=$work/notes
: >"$notes"
checks=$((checks + 1))
status=0
mpi "$work/help.out" "$work/help.err" "$notes" -np 3 "$spmv_mpi" --help || status=$?
if [ $status != 0 ] || [ "$(grep -c '^usage: ' "$work/help.out")" != 1 ] || [ -s "$work/help.err" ]; then
  fail "--help on 3 ranks: exit $status, $(grep -c '^usage: ' "$work/help.out") usage texts" &&
    show "standard error" "$work/help.err"
fi
checks=$((checks + 1))
status=0
mpi "$work/usage.out" "$work/usage.err" "$notes" -np 3 "$spmv_mpi" 2 0 || status=$?
if [ $status != 2 ] || [ "$(grep -c '^usage: ' "$work/usage.err")" != 1 ] || [ -s "$work/usage.out" ]; then
  fail "misuse on 3 ranks: exit $status, $(grep -c '^usage: ' "$work/usage.err") usage texts" &&
    show "standard output" "$work/usage.out"
fi

# The report: the product's digest and the matrix as spmv's with P threads,
# and "ranks,threads per rank,workers,P,slots,repeats,slots exchanged,bytes
# exchanged" as each row expects (a pattern). exchange.mtx holds its 6
# entries in the last quarter of its bytes, after a long comment: the last
# rank parses them all, keeps its own workers' blocks (6 slots over the P
# workers, the first 6 % P of them one more) and sends the rest, 24 bytes a
# slot; nothing sent to itself counts.
{
  echo "%%MatrixMarket matrix coordinate real general"
  printf '%%%0200d\n' 0
  printf '4 4 6\n1 1 1\n1 2 2\n2 2 3\n3 1 4\n3 3 5\n4 4 6\n'
} >"$work/exchange.mtx"
cp "$data/mtx/pattern_symmetric.mtx" "$data/mtx/integer_fewer_rows.mtx" "$work"
while read -r file ranks threads repeat expected; do
  checks=$((checks + 1))
  status=0
  "$spmv" --report="$work/one.json" $((ranks * threads)) 0 0 "$work/$file" >/dev/null 2>"$work/one.err" ||
    status=$?
  mpi "$work/mpi.out" "$work/mpi.err" "$notes" -np "$ranks" "$spmv_mpi" --report="$work/mpi.json" \
    --repeat="$repeat" "$threads" 0 0 "$work/$file" || status=$?
  got=$(jq -r '[.mpi.ranks, .mpi.threads_per_rank, .mpi.workers, .performance.threads, .matrix.slots, (.multiply.repeat_seconds | length), .mpi.slots_exchanged, .mpi.bytes_exchanged] | map(tostring) | join(",")' "$work/mpi.json")
  if [ $status != 0 ] || [[ $got != $expected ]] ||
    [ "$(jq -c '[.matrix, .result.digest]' "$work/one.json")" != "$(jq -c '[.matrix, .result.digest]' "$work/mpi.json")" ]; then
    fail "report of $file on $ranks ranks of $threads threads: status $status, $got, expected $expected"
    echo "    spmv's matrix and digest: $(jq -c '[.matrix, .result.digest]' "$work/one.json")"
    echo "    spmv-mpi's: $(jq -c '[.matrix, .result.digest]' "$work/mpi.json")"
    show "spmv-mpi's standard error" "$work/mpi.err"
    show "spmv's standard error" "$work/one.err"
  fi
done <<'ROWS'
shuffled.txt 3 2 2 3,2,6,6,20000,2,*
shuffled.txt 2 1 0 2,1,2,2,20000,0,*
exchange.mtx 1 3 0 1,3,3,3,6,0,0,0
exchange.mtx 2 1 0 2,1,2,2,6,0,3,72
exchange.mtx 2 2 1 2,2,4,4,6,1,4,96
exchange.mtx 4 1 0 4,1,4,4,6,0,5,120
pattern_symmetric.mtx 2 1 0 2,1,2,2,3,0,*
integer_fewer_rows.mtx 2 1 0 2,1,2,2,2,0,*
ROWS

# A rank short of memory names itself, its host and its share of the
# matrix, where spmv, short of it as a whole, names none. Rank 1 alone runs
# under an address-space limit of 1 GiB, too small for the vectors of
# 30,000,000 rows (1.1 GB for one thread); rank 0 has no such limit. The
# sanitizers reserve more address space than such a limit allows.
if ! grep -Eq '__(asan|tsan|msan)_init' "$spmv_mpi"; then
  checks=$((checks + 1))
  printf '30000000 30000000 1\n1 1 1\n' >"$work/tall.txt"
  status=0
  mpi "$work/mpi.out" "$work/mpi.err" "$notes" -np 1 "$spmv_mpi" 1 0 0 "$work/tall.txt" : \
    -np 1 bash -c 'ulimit -v 1048576 && exec "$0" "$@"' "$spmv_mpi" 1 0 0 "$work/tall.txt" ||
    status=$?
  status_one=0
  (ulimit -v 1048576 && exec "$spmv" 2 0 0 "$work/tall.txt") >"$work/one.out" 2>"$work/one.err" ||
    status_one=$?
  rank_head="not enough memory on rank 1 of 2 (host $(uname -n)) for its share of the matrix (1 slot as read, up to 1 after the exchange): the run needs "
  if [ $status != 1 ] || [ -s "$work/mpi.out" ] || [ "$(wc -l <"$work/mpi.err")" != 1 ] ||
    [[ $(cat "$work/mpi.err") != "$rank_head"*"ulimit -v"* ]] || [ $status_one != 1 ] ||
    [[ $(cat "$work/one.err") != "not enough memory: the run needs "*"ulimit -v"* ]]; then
    fail "memory refusal of rank 1: status $status, spmv gave $status_one; expected a line starting: $rank_head"
    show "spmv-mpi's standard error" "$work/mpi.err"
    show "spmv-mpi's standard output" "$work/mpi.out"
    show "spmv's standard error" "$work/one.err"
  fi
fi

cat "$notes"
echo "$((checks - failures)) passed, $failures failed"
[ $failures = 0 ]
