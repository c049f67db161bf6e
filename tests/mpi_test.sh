#!/usr/bin/env bash
# spmv-mpi against spmv: for R ranks of T threads, every dump must be byte for
# byte that of spmv with R x T threads, and every refusal the same.
#   mpi_test.sh SPMV SPMV_MPI SPMV_GEN SOURCE_DIR
# Most of a run is Open MPI starting up, so each file runs on as few layouts
# as its case needs: the full grid of 1 to 4 ranks of 1 to 3 threads only where
# the split of the file decides the outcome.
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

# A file's first and last lines, indented, under a title; "(empty)" for an
# empty file. A dump's messages come after it.
show() {
  if [ ! -s "$2" ]; then
    echo "    $1: (empty)"
  elif [ "$(wc -l <"$2")" -le 16 ]; then
    echo "    $1 ($(wc -l <"$2") lines):"
    cut -c 1-300 "$2" | sed 's/^/      /'
  else
    echo "    $1 ($(wc -l <"$2") lines):"
    head -n 6 "$2" | cut -c 1-300 | sed 's/^/      /'
    echo "      ..."
    tail -n 10 "$2" | cut -c 1-300 | sed 's/^/      /'
  fi
}

# The evidence of a failed check: both commands with their exit statuses,
# then what each wrote. Reads $work/{mpi,one}.{out,err}; spmv's command may
# be empty where the check runs spmv-mpi alone.
evidence() {
  local mpi_command=$1 mpi_status=$2 one_command=$3 one_status=$4
  echo "    spmv-mpi: mpirun $mpi_command"
  echo "      exit status $(status_text "$mpi_status")"
  if [ -n "$one_command" ]; then
    echo "    spmv: $one_command"
    echo "      exit status $(status_text "$one_status")"
    if ! cmp -s "$work/one.err" "$work/mpi.err"; then
      echo "    diff of standard error, spmv (<) and spmv-mpi (>):"
      diff "$work/one.err" "$work/mpi.err" | head -n 10 | cut -c 1-300 | sed 's/^/      /' || true
    fi
  fi
  show "spmv-mpi's standard error" "$work/mpi.err"
  show "spmv-mpi's standard output" "$work/mpi.out"
  if [ -n "$one_command" ]; then
    show "spmv's standard error" "$work/one.err"
    show "spmv's standard output" "$work/one.out"
  fi
}

# The report's "ranks,threads per rank,workers,P,slots,repeats,slots
# exchanged,bytes exchanged,worker CPUs,benchmarks,MPI library,warnings", to
# hold to a row's pattern: a CPU for every worker of every rank, the first
# multiply and each repeat, the library's version text and an array.
report_counts='[.mpi.ranks, .mpi.threads_per_rank, .mpi.workers, .performance.threads, .matrix.slots, (.multiply.repeat_seconds | length), .mpi.slots_exchanged, .mpi.bytes_exchanged, (.context.worker_cpus | length), (.benchmarks | length), (.context.mpi | type), (.warnings | type)] | map(tostring) | join(",")'

# One comparison, run as `mpi_test.sh SPMV SPMV_MPI SPMV_GEN SOURCE_DIR
# --compare RESULT FILE RANKS THREADS STATUS [REPEAT REPORT [PIECES]]`: both
# programs with P = R x T workers on a file; standard error, the exit status
# and, for a refusal, standard output must agree, and the status must be
# STATUS. With REPORT, both write a report (spmv-mpi after REPEAT more
# multiplies): the matrix, the product's digest and the reader's scan path
# and lines scanned (of the whole file, on every rank) must agree, and
# spmv-mpi's counts match the pattern REPORT. With PIECES, spmv-mpi sends at
# most PIECES slots in one message; with 0:PIECES, only rank 0 is told so. Writes to RESULT the notes of failed
# launches and "ok", or "FAILED: ..." with the evidence.
if [ "${5:-}" = --compare ]; then
  result=$6 file=$7 ranks=$8 threads=$9 expected_status=${10} repeat=${11:-} expected_report=${12:-}
  pieces=${13:-}
  workers=$((ranks * threads)) status_one=0 status_mpi=0
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  : >"$work/notes"
  one_options=() mpi_options=()
  if [ -n "$expected_report" ]; then
    one_options=(--report="$work/one.json")
    mpi_options=(--report="$work/mpi.json" --repeat="$repeat")
  fi
  one_command=("$spmv" "${one_options[@]}" "$workers" 0 1 "$file")
  mpi_command=(-np "$ranks" "$spmv_mpi" "${mpi_options[@]}" "$threads" 0 1 "$file")
  if [[ $pieces == 0:* ]]; then
    # Rank 0 alone has the setting, which holds for every rank.
    mpi_command=(-np 1 env SPMV_PIECE_SLOTS="${pieces#0:}" "${mpi_command[@]:2}" : -np "$((ranks - 1))" "${mpi_command[@]:2}")
  elif [ -n "$pieces" ]; then
    mpi_command=(-x SPMV_PIECE_SLOTS="$pieces" "${mpi_command[@]}")
  fi
  "${one_command[@]}" >"$work/one.out" 2>"$work/one.err" || status_one=$?
  mpi "$work/mpi.out" "$work/mpi.err" "$work/notes" "${mpi_command[@]}" || status_mpi=$?
  what="$(basename "$file") with $ranks ranks of $threads threads${pieces:+ in pieces of $pieces}"
  verdict=ok
  if [ "$status_one" != "$status_mpi" ]; then
    verdict="FAILED: $what: the exit statuses differ"
    grep -Eq "$launcher_errors" "$work/mpi.err" && verdict+=" (the launcher failed three times)"
  elif [ "$status_one" != "$expected_status" ]; then
    verdict="FAILED: $what: exit status $status_one, the test expects $expected_status"
  elif ! cmp -s "$work/one.err" "$work/mpi.err"; then
    verdict="FAILED: $what: standard error differs"
  elif [ "$status_one" != 0 ] && ! cmp -s "$work/one.out" "$work/mpi.out"; then
    verdict="FAILED: $what: standard output differs"
  elif [ "$status_one" = 0 ] && ! grep -qx "Work took Tp: [0-9.]* seconds with S: [0-9.]* , E: [0-9.]* in $workers number  of threads" "$work/mpi.out"; then
    verdict="FAILED: $what: performance line"
  elif [ -n "$expected_report" ]; then
    got=$(jq -r "$report_counts" "$work/mpi.json" 2>&1) || true
    matrix_one=$(jq -c '[.matrix, .result.digest, .reader.scan_path, .reader.scanned_lines]' "$work/one.json" 2>&1) || true
    matrix_mpi=$(jq -c '[.matrix, .result.digest, .reader.scan_path, .reader.scanned_lines]' "$work/mpi.json" 2>&1) || true
    # shellcheck disable=SC2053 # the expected counts are a pattern
    if [[ $got != $expected_report ]]; then
      verdict="FAILED: $what: report counts $got, the test expects $expected_report"
    elif [ "$matrix_one" != "$matrix_mpi" ]; then
      verdict="FAILED: $what: report's matrix, digest or scanned lines differ"$'\n'"    spmv's: $matrix_one"$'\n'"    spmv-mpi's: $matrix_mpi"
    fi
  fi
  {
    cat "$work/notes"
    echo "$verdict"
    if [ "$verdict" != ok ]; then
      evidence "${mpi_command[*]}" "$status_mpi" "${one_command[*]}" "$status_one"
    fi
  } >"$result"
  exit 0
fi

# One run of spmv-mpi alone, run as `mpi_test.sh SPMV SPMV_MPI SPMV_GEN
# SOURCE_DIR --alone RESULT RANKS STATUS OUT ERR ARGS...`: the run must end
# with STATUS, and each of its standard output and error hold exactly one line
# that matches the pattern OUT or ERR (so that only rank 0 wrote it), or
# nothing where the pattern is "-".
if [ "${5:-}" = --alone ]; then
  result=$6 ranks=$7 expected_status=$8 out_pattern=$9 err_pattern=${10}
  shift 10
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  : >"$work/notes"
  status=0
  mpi "$work/mpi.out" "$work/mpi.err" "$work/notes" -np "$ranks" "$spmv_mpi" "$@" || status=$?
  faults=()
  [ "$status" = "$expected_status" ] || faults+=("exit status $status, the test expects $expected_status")
  for stream in out err; do
    pattern=$out_pattern
    [ $stream = err ] && pattern=$err_pattern
    if [ "$pattern" = - ]; then
      [ ! -s "$work/mpi.$stream" ] || faults+=("standard $stream is not empty")
    else
      # grep -c fails when nothing matches: the count is the evidence.
      matching=$(grep -Ec -- "$pattern" "$work/mpi.$stream" || true)
      [ "$matching" = 1 ] ||
        faults+=("$matching lines of standard $stream match '$pattern', the test expects one")
    fi
  done
  verdict=ok
  if [ ${#faults[@]} != 0 ]; then
    verdict="FAILED: spmv-mpi $* on $ranks ranks: $(printf '%s; ' "${faults[@]}")"
    verdict=${verdict%; }
  fi
  {
    cat "$work/notes"
    echo "$verdict"
    if [ "$verdict" != ok ]; then evidence "-np $ranks $spmv_mpi $*" "$status" "" ""; fi
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
# Queues one check, MODE ARGS... (see --compare and --alone above); its
# verdict goes to a file of its own, numbered in queue order.
queued_checks=0
queue() {
  local mode=$1
  shift
  {
    printf '%q %q' "$mode" "$results/$queued_checks"
    printf ' %q' "$@"
    printf '\n'
  } >>"$jobs"
  queued_checks=$((queued_checks + 1))
}
# The files and layouts already queued for a comparison, "FILE RxT", so that
# a report row stands for the plain comparison of its file and layout.
declare -A queued
# compare FILE STATUS LAYOUT...: queues a comparison of FILE for every layout
# RxT (R ranks of T threads) not yet queued; it must end with STATUS. With
# PIECES set, spmv-mpi sends at most that many slots in one message.
compare() {
  local file=$1 status=$2 layout
  shift 2
  for layout in "$@"; do
    if [ -z "${queued["$file $layout ${PIECES:-}"]:-}" ]; then
      queue --compare "$file" "${layout%x*}" "${layout#*x}" "$status" "" "" "${PIECES:-}"
      queued["$file $layout ${PIECES:-}"]=1
    fi
  done
}
# Every rank and thread count the test tries.
grid="1x1 1x2 1x3 2x1 2x2 2x3 3x1 3x2 3x3 4x1 4x2 4x3"

# Generated files, large enough that every rank and thread has a share, on
# the full grid: the split of the file among ranks and their threads decides
# which rank parses which lines and where its slots go. The Matrix Market
# file is symmetric, so that the slots before each part count the mirrored
# entries of the parts before it.
"$spmv_gen" 700 20000 exp17 shuffled 3 >"$work/shuffled.txt"
"$spmv_gen" --mtx 300 9000 short sorted 5 |
  awk 'NR == 1 { next } NR == 2 { split($0, size); next } $1 >= $2 { entry[++kept] = $0 }
       END { print "%%MatrixMarket matrix coordinate real symmetric"
             print size[1], size[2], kept
             for (i = 1; i <= kept; i++) print entry[i] }' >"$work/symmetric.mtx"

# The report beside the dump: the product's digest and the matrix as spmv's
# with P threads, and the counts as each row expects (a pattern; see
# report_counts). exchange.mtx holds its 6 entries in the last quarter of its
# bytes, after a long comment: the last rank parses them all, keeps its own
# workers' blocks (6 slots over the P workers, the first 6 % P of them one
# more) and sends the rest, 24 bytes a slot (8 in a pattern matrix, which
# holds no values); nothing sent to itself counts. A row's last field, when
# given, is the most slots spmv-mpi sends in one message.
for field in real pattern; do
  {
    echo "%%MatrixMarket matrix coordinate $field general"
    printf '%%%0200d\n4 4 6\n' 0
    if [ $field = real ]; then
      printf '1 1 1\n1 2 2\n2 2 3\n3 1 4\n3 3 5\n4 4 6\n'
    else
      printf '1 1\n1 2\n2 2\n3 1\n3 3\n4 4\n'
    fi
  } >"$work/exchange_$field.mtx"
done
while read -r file ranks threads repeat expected pieces; do
  case $file in /*) ;; *) file=$work/$file ;; esac
  queue --compare "$file" "$ranks" "$threads" 0 "$repeat" "$expected" "$pieces"
  queued["$file ${ranks}x$threads $pieces"]=1
done <<ROWS
shuffled.txt 3 2 2 3,2,6,6,20000,2,*,6,3,string,array
shuffled.txt 4 3 1 4,3,12,12,20000,1,*,12,2,string,array 7
exchange_real.mtx 1 3 0 1,3,3,3,6,0,0,0,3,1,string,array
exchange_real.mtx 2 1 0 2,1,2,2,6,0,3,72,2,1,string,array
exchange_real.mtx 2 2 1 2,2,4,4,6,1,4,96,4,2,string,array 3
exchange_real.mtx 4 1 0 4,1,4,4,6,0,5,120,4,1,string,array 2
exchange_pattern.mtx 2 1 0 2,1,2,2,6,0,3,24,2,1,string,array 2
exchange_pattern.mtx 4 1 0 4,1,4,4,6,0,5,40,4,1,string,array 1
$data/mtx/pattern_symmetric.mtx 3 2 0 3,2,6,6,3,0,*,6,1,string,array
$data/mtx/integer_fewer_rows.mtx 3 2 0 3,2,6,6,2,0,*,6,1,string,array
ROWS

# shellcheck disable=SC2086 # the grid is a list of words
compare "$work/shuffled.txt" 0 $grid
# shellcheck disable=SC2086
compare "$work/symmetric.mtx" 0 $grid
# A symmetric pattern file, which holds no values, on the full grid with
# messages of at most 5 slots, so that the exchange and the gathered dump
# cross many piece boundaries; the generated files in pieces of 7 and 1.
"$spmv_gen" --mtx --known band 3 1500 >"$work/band.mtx"
# shellcheck disable=SC2086
PIECES=5 compare "$work/band.mtx" 0 $grid
compare "$work/band.mtx" 0 2x2 3x1
PIECES=7 compare "$work/symmetric.mtx" 0 2x1 3x3 4x2
PIECES=1 compare "$work/shuffled.txt" 0 2x3 3x1
PIECES=0:1 compare "$work/band.mtx" 0 2x1 3x2

# Every other good file once, on 2 ranks of 1 thread or 3 of 2 in turn: a
# few lines, whose split among more layouts tells nothing new.
turn=0
for file in "$data"/good/* "$data"/quirks/* "$data"/mtx/*; do
  if [ $((turn++ % 2)) = 0 ]; then compare "$file" 0 2x1; else compare "$file" 0 3x2; fi
done

# Every bad file refused alike, on 2 ranks of 1 thread or 3 of 2 in turn:
# most are refused in their header or first lines, and the faults that lie
# in one rank's share among good lines are tried on more layouts below.
for file in "$data"/bad/*; do
  case $file in *.expected) continue ;; esac
  if [ $((turn++ % 2)) = 0 ]; then compare "$file" 1 2x1; else compare "$file" 1 3x2; fi
done

# Faults that lie in one rank's byte range, among lines the other ranks read
# well: the lowest line wins, as in a sequential read. Each file runs on 2
# to 4 ranks, the threads taken in turn, so that the fault falls in another
# rank each time and the files together cover every pair of 2 to 4 ranks and
# 1 to 3 threads.
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
turn=0
for file in "$work"/bad_*.txt "$work"/more_entries.txt "$work"/fewer_*.txt; do
  compare "$file" 1 2x$((turn % 3 + 1)) 3x$(((turn + 1) % 3 + 1)) 4x$(((turn + 2) % 3 + 1))
  turn=$((turn + 1))
done
# An overlong line, which spans most parts of its file whatever the layout:
# refused where it starts, after a bad line before it, and before the memory
# for a header's huge count is sought (the entries cannot outnumber the lines).
awk 'NR == 1500 { printf "1 1 "; for (i = 0; i < 1100000; i++) printf "1"; print ""; next } { print }' \
  "$work/base.txt" >"$work/long_line.txt"
awk 'NR == 700 { print "1 1 1 junk"; next } NR == 2500 { printf "1 1 1"; for (i = 0; i < 3200000; i++) printf " "; print ""; next } { print }' \
  "$work/base.txt" >"$work/bad_line_before_long_line.txt"
awk 'NR == 1 { print "100 100 2000000000"; next } NR == 1500 { printf "1 1 "; for (i = 0; i < 1100000; i++) printf "1"; print ""; next } { print }' \
  "$work/base.txt" >"$work/long_line_huge_count.txt"
for file in "$work"/long_line.txt "$work"/bad_line_before_long_line.txt "$work"/long_line_huge_count.txt; do
  compare "$file" 1 1x2 4x2
done

# Headers far from the start (in the last rank's range), a header without a
# newline, more workers than lines, and blank lines everywhere, on 4 ranks of
# 3 threads: most ranks and parts hold no line of their own. The long
# comments also on one rank, whose three parts they span.
{
  echo "%%MatrixMarket matrix coordinate real general"
  for ((i = 0; i < 2000; i++)); do printf '%% %0200d\n' 0; done
  printf '3 3 2\n1 1 1\n2 2 2'
} >"$work/long_comments.mtx"
printf '3 3 0' >"$work/header_unterminated.txt"
printf '3 3 2' >"$work/header_unterminated_entries.txt"
printf '2 2 1\n1 1 5\n' >"$work/one_entry.txt"
printf '\n\n2 2 2\n\n\n\n1 1 1\n\n\n\n\n\n2 2 2\n\n\n' >"$work/blank_lines.txt"
compare "$work/long_comments.mtx" 0 4x3 1x3
compare "$work/header_unterminated.txt" 0 4x3
compare "$work/header_unterminated_entries.txt" 1 4x3
compare "$work/one_entry.txt" 0 4x3
compare "$work/blank_lines.txt" 0 4x3


# Help, version, misuse and refusals before the read come from rank 0 alone.
gzip -c "$data/good/small.txt" >"$work/small.txt.gz"
queue --alone 3 0 '^usage: mpirun -np RANKS spmv-mpi ' - --help
queue --alone 3 0 '^spmv-mpi [0-9]' - --version
queue --alone 3 2 - '^usage: ' 2 0
queue --alone 3 2 - "^spmv-mpi: unknown option '--repat=5'\$" 1 0 0 "$data/good/small.txt" --repat=5
# More workers than one process may have threads: misuse.
queue --alone 2 2 - '^usage: mpirun -np RANKS spmv-mpi ' 4096 0 0 "$data/good/small.txt"
queue --alone 2 2 - '^spmv-mpi: RANKS x THREADS must be from 1 to 4096, not 2 x 4096$' 4096 0 0 "$data/good/small.txt"
queue --alone 2 1 '^Error Reading File$' ': gzip-compressed; decompress it first$' 1 0 1 "$work/small.txt.gz"
# Failures told by spmv-mpi, not spmv.
queue --alone 2 1 - "^spmv-mpi: cannot write the report $work/missing/r.json: No such file or directory\$" \
  --report="$work/missing/r.json" 1 0 0 "$data/good/small.txt"

# The checks, three at a time. A check that ends without its verdict is
# counted below.
xargs -P 3 -L 1 bash "$0" "$spmv" "$spmv_mpi" "$spmv_gen" "$4" <"$jobs" || true
for ((i = 0; i < $(wc -l <"$jobs"); i++)); do
  checks=$((checks + 1))
  if [ ! -s "$results/$i" ]; then
    fail "check $i gave no verdict: $(sed -n "$((i + 1))p" "$jobs")"
    continue
  fi
  grep -v '^ok$' "$results/$i" || true
  if grep -q '^FAILED' "$results/$i"; then failures=$((failures + 1)); fi
done

# A rank short of memory names itself, its host and its share of the
# matrix, where spmv, short of it as a whole, names none. Rank 1 alone runs
# under an address-space limit of 1 GiB, too small for the vectors of
# 30,000,000 rows (1.1 GB for one thread); rank 0 has no such limit. The
# sanitizers reserve more address space than such a limit allows.
notes=$work/notes
: >"$notes"
if ! grep -Eq '__(asan|tsan|msan)_init' "$spmv_mpi"; then
  checks=$((checks + 1))
  printf '30000000 30000000 1\n1 1 1\n' >"$work/tall.txt"
  status=0
  # shellcheck disable=SC2016 # the rank's own shell expands its arguments
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
    fail "memory refusal of rank 1: expected status 1 and a line starting: $rank_head"
    evidence "-np 1 $spmv_mpi 1 0 0 $work/tall.txt : -np 1 (under ulimit -v 1048576) $spmv_mpi 1 0 0 $work/tall.txt" \
      "$status" "(under ulimit -v 1048576) $spmv 2 0 0 $work/tall.txt" "$status_one"
  fi
  # One rank short of memory names the sizes that spmv names: its share is
  # the whole matrix.
  checks=$((checks + 1))
  status=0 status_one=0
  # shellcheck disable=SC2016 # the rank's own shell expands its arguments
  mpi "$work/mpi.out" "$work/mpi.err" "$notes" -np 1 bash -c 'ulimit -v 1048576 && exec "$0" "$@"' \
    "$spmv_mpi" 1 0 0 "$work/tall.txt" || status=$?
  (ulimit -v 1048576 && exec "$spmv" 1 0 0 "$work/tall.txt") >"$work/one.out" 2>"$work/one.err" ||
    status_one=$?
  # The limit's room left differs: the MPI library takes address space too.
  one_sizes=$(sed 's/^not enough memory: //; s/; .*//' "$work/one.err")
  mpi_sizes=$(sed 's/^not enough memory on rank 0 of 1 ([^)]*) for its share of the matrix ([^)]*): //; s/; .*//' "$work/mpi.err")
  if [ $status != 1 ] || [ $status_one != 1 ] || [ "$one_sizes" != "$mpi_sizes" ]; then
    fail "memory refusal of one rank: the sizes differ from spmv's"
    evidence "-np 1 (under ulimit -v 1048576) $spmv_mpi 1 0 0 $work/tall.txt" "$status" \
      "(under ulimit -v 1048576) $spmv 1 0 0 $work/tall.txt" "$status_one"
  fi
fi

cat "$notes"
echo "$((checks - failures)) passed, $failures failed"
[ $failures = 0 ]
