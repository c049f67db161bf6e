#!/usr/bin/env bash
# A symmetric pattern matrix of more than 2^31 - 1 slots through `spmv 2` and
# `mpirun -np 2 spmv-mpi 1`: the time of each phase and the peak memory of
# each process, against what the matrix must take.
#
#   bench/huge_pattern.sh [ROWS [BAND [DIR]]]
#     default: 99999 rows, band 11400, a temporary folder
#
# The matrix is spmv-gen --mtx --known band BAND ROWS: a Matrix Market pattern
# symmetric file of the lower triangle of the diagonal and BAND diagonals on
# each side, so ROWS * (BAND + 1) - BAND * (BAND + 1) / 2 stored entries and
# twice that less ROWS slots (each entry off the diagonal and its mirror). The
# default gives 1,075,102,899 stored entries and 2,150,105,799 slots, just
# over 2^31 - 1, in 12.7 GB of lines of two indices of at most five digits.
#
# The file goes into DIR as band-BAND-ROWS.mtx and is kept there with the
# reports, the programs' output and their peak memory; a file of that name
# and of the size this band gives is used again instead of written anew.
# Without DIR everything is made in a temporary folder ($TMPDIR or /tmp) and
# removed at the end; where that is a tmpfs, the file takes memory beside the
# programs, so give a DIR on disk. Free space is checked before the file is
# written. Each run's report must say complete, hold the slots
# above and the digest spmv-gen --digest gives; otherwise the script exits 1
# after the table.
#
# The table gives each phase's seconds from the report, the whole run's wall
# time (the launcher's with it for spmv-mpi), the peak resident memory of each
# process (/usr/bin/time %M), their sum over the slots, and the model: 8 bytes
# per slot (two 4-byte indices, no value for a pattern) plus, in each process,
# 4 bytes per column for the input and 16 per row for the result, plus 16
# bytes per row per worker for the partial sums. Read buffers are left out of
# the model; a peak up to 10 bytes per slot plus the vectors is within target.
#
# Set SPMV_BUILD for the build folder (default build/release) and MPIEXEC for
# the launcher (default "mpirun --oversubscribe --bind-to none").
set -euo pipefail
(($# <= 3)) || { echo "huge_pattern.sh: at most ROWS, BAND and DIR, not $# arguments" >&2; exit 2; }
rows=${1:-99999}
band=${2:-11400}
keep=${3:-}
build=${SPMV_BUILD:-build/release}
read -r -a launch <<<"${MPIEXEC:-mpirun --oversubscribe --bind-to none}"
me=huge_pattern.sh

if ! [[ $rows =~ ^[1-9][0-9]{0,9}$ ]] || ((rows > 2147483647)); then
  echo "$me: ROWS must be a whole number from 1 to 2147483647, not '$rows'" >&2
  exit 2
fi
if ! [[ $band =~ ^(0|[1-9][0-9]{0,9})$ ]] || ((band >= rows)); then
  echo "$me: BAND must be a whole number from 0 to $((rows - 1)), not '$band'" >&2
  exit 2
fi
command -v jq >/dev/null || { echo "$me: jq not found (Debian package jq)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "$me: /usr/bin/time not found (Debian package time)" >&2; exit 1; }
command -v "${launch[0]}" >/dev/null ||
  { echo "$me: the MPI launcher '${launch[0]}' not found (Debian package openmpi-bin, or set MPIEXEC)" >&2; exit 1; }
for program in spmv spmv-mpi spmv-gen; do
  [ -x "$build/$program" ] ||
    { echo "$me: $build/$program is not built (cmake --workflow --preset build, or set SPMV_BUILD)" >&2; exit 1; }
done

if [ -n "$keep" ]; then
  mkdir -p "$keep"
  dir=$(cd "$keep" && pwd)
else
  dir=$(mktemp -d)
  trap 'rm -rf "$dir"' EXIT
fi

limit=2147483647
stored=$((rows * (band + 1) - band * (band + 1) / 2))
slots=$((2 * stored - rows))
known=(--mtx --known band "$band" "$rows")
file=$dir/band-$band-$rows.mtx

# The file's size in bytes, from the lines spmv-gen writes: the banner, the
# size line, then "i j" for every row i and every column j from
# max(1, i - band) to i. digits(x) is the number of digits in 1..x.
bytes=$(awk -v n="$rows" -v b="$band" -v nnz="$stored" '
  function digits(x,   p, t) { t = 0; for (p = 1; p <= x; p *= 10) t += x - p + 1; return t }
  BEGIN {
    total = length("%%MatrixMarket matrix coordinate pattern symmetric") + 1 + length(n " " n " " nnz) + 1
    for (i = 1; i <= n; ++i) {
      first = i - b < 1 ? 1 : i - b
      total += (i - first + 1) * (length(i "") + 2) + digits(i) - digits(first - 1)
    }
    printf "%.0f\n", total
  }')

echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(nproc) cores;" \
  "memory: $(awk '/^MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)"
echo "band $band of $rows rows: $stored stored entries, $slots slots;" \
  "slots beyond 2^31 - 1 = $limit: $( ((slots > limit)) && echo yes || echo no)"

if [ -f "$file" ] && [ "$(stat -c %s "$file")" = "$bytes" ]; then
  echo "file: $file, $bytes bytes, already there"
else
  rm -f "$file"
  free=$(df -B1 --output=avail "$dir" | tail -n 1 | tr -d ' ')
  if ((free < bytes)); then
    echo "$me: the matrix takes $bytes bytes but $dir has $free free; give a folder with room as DIR" >&2
    exit 1
  fi
  start=$(date +%s.%N)
  "$build/spmv-gen" "${known[@]}" >"$file.partial"
  mv "$file.partial" "$file"
  end=$(date +%s.%N)
  echo "file: $file, $bytes bytes, written in $(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.1f", e - s }') s"
  [ "$(stat -c %s "$file")" = "$bytes" ] ||
    { echo "$me: spmv-gen wrote $(stat -c %s "$file") bytes, not the $bytes expected" >&2; exit 1; }
fi
expected=$("$build/spmv-gen" --digest "${known[@]}")
available=$(awk '/^MemAvailable/ { printf "%.0f\n", $2 * 1024 }' /proc/meminfo)
if ((available < 10 * slots)); then
  echo "warning: 10 bytes per slot are $((10 * slots)) bytes, more than the $available available" >&2
fi

# run NAME PROCESSES THREADS COMMAND...: one run, its figures as a row of the
# table in $dir/row-NAME; a failure is said on standard error and counted.
failures=0
run() {
  local name=$1 processes=$2 threads=$3 status=0 start end peaks problem=""
  shift 3
  local report=$dir/report-$name.json
  rm -f "$report" "$dir/peak-$name".*
  start=$(date +%s.%N)
  "$@" >"$dir/out-$name" 2>"$dir/err-$name" || status=$?
  end=$(date +%s.%N)
  # /usr/bin/time writes a line on a non-zero exit before the figure.
  peaks=$(for f in "$dir/peak-$name".*; do [ -f "$f" ] && tail -n 1 "$f"; done | paste -sd ' ')
  if [ "$status" != 0 ]; then
    problem="exit status $status: $(tail -n 3 "$dir/err-$name" | paste -sd ' ')"
  elif [ ! -s "$report" ]; then
    problem="no report"
  elif [ "$(jq -r .status "$report")" != complete ]; then
    problem="report status $(jq -r .status "$report"): $(jq -r '.error // ""' "$report")"
  elif [ "$(jq -r .matrix.slots "$report")" != "$slots" ]; then
    problem="$(jq -r .matrix.slots "$report") slots in the report, not $slots"
  elif [ "$(jq -r .result.digest "$report")" != "$expected" ]; then
    problem="digest $(jq -r .result.digest "$report"), not spmv-gen's $expected"
  elif [ "$(wc -w <<<"$peaks")" != "$processes" ]; then
    problem="peak memory of $(wc -w <<<"$peaks") processes, not $processes"
  fi
  if [ -n "$problem" ]; then
    echo "$me: $name failed: $problem" >&2
    failures=$((failures + 1))
    printf '%-9s %7s failed\n' "$name" "${processes}x$threads" >"$dir/row-$name"
    return
  fi
  jq -r '[.seconds.first_pass, .seconds.second_pass, .seconds.multiply] | @tsv' "$report" |
    awk -v name="$name" -v p="$processes" -v t="$threads" -v slots="$slots" -v n="$rows" \
      -v wall="$(awk -v s="$start" -v e="$end" 'BEGIN { print e - s }')" -v peaks="$peaks" '{
      k = split(peaks, kib, " "); sum = 0; mib = ""
      for (i = 1; i <= k; ++i) { sum += kib[i] * 1024; mib = mib (i > 1 ? "+" : "") sprintf("%.0f", kib[i] / 1024) }
      model = 8 * slots + p * (4 * n + 16 * n) + 16 * n * p * t
      printf "%-9s %7s %11.0f %8.2f %8.2f %8.2f %8.2f %13s %8.2f %8.2f  yes\n",
        name, p "x" t, slots, $1, $2, $3, wall, mib, sum / slots, model / slots
    }' >"$dir/row-$name"
}
run spmv 1 2 /usr/bin/time -f %M -o "$dir/peak-spmv.0" "$build/spmv" --report="$dir/report-spmv.json" 2 0 0 "$file"
# Each rank under its own /usr/bin/time, into a file named by its rank.
# shellcheck disable=SC2016
run spmv-mpi 2 1 "${launch[@]}" -np 2 bash -c \
  '/usr/bin/time -f %M -o "$0.${OMPI_COMM_WORLD_RANK:-${PMI_RANK:-$$}}" "$@"' "$dir/peak-spmv-mpi" \
  "$build/spmv-mpi" --report="$dir/report-spmv-mpi.json" 1 0 0 "$file"

printf '%-9s %7s %11s %8s %8s %8s %8s %13s %8s %8s  %s\n' program PxT slots first second multiply \
  run "peak MiB" "B/slot" model digest
cat "$dir/row-spmv" "$dir/row-spmv-mpi"
echo "(seconds: first and second pass and multiply from the report, run the wall time; peak MiB per process;" \
  "B/slot: the processes' peaks summed over the slots; model: 8 bytes per slot and the vectors," \
  "against a target of at most 10 bytes per slot and the vectors)"
# The file is named by its folder only where it stays.
[ -n "$keep" ] && shown=$file || shown=band-$band-$rows.mtx
echo "to repeat it (DIR keeps the file and the reports; mpirun as root also wants"
echo "OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 in the environment):"
echo "  SPMV_BUILD=$build MPIEXEC='${launch[*]}' $0 $rows $band ${keep:-DIR}"
echo "or by hand:"
[ -n "$keep" ] || echo "  $build/spmv-gen ${known[*]} >$shown"
echo "  /usr/bin/time -f %M $build/spmv --report=R1.json 2 0 0 $shown"
echo "  ${launch[*]} -np 2 /usr/bin/time -f %M $build/spmv-mpi --report=R2.json 1 0 0 $shown"
if ((failures > 0)); then
  echo "$me: $failures of 2 runs failed (above)" >&2
  exit 1
fi
