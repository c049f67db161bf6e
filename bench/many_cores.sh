#!/usr/bin/env bash
# Scaling of spmv on one machine, from 1 thread to all its cores, into one folder.
#
#   bench/many_cores.sh [ENTRIES [CORES [DIR]]]
#       (default 100000000, nproc, many_cores-HOST-YYYYMMDDTHHMMSSZ)
#
# Generates a known matrix of ENTRIES entries (spmv-gen --known rows-of 10,
# ENTRIES / 10 rows, so every element of the product is 10), runs spmv-sweep
# over 1, 2, 4, ... threads below CORES and CORES itself with close binding
# (OMP_PROC_BIND=close OMP_PLACES=cores), checks every run's result digest
# against spmv-gen --digest, and writes into DIR:
#   matrix.csv, matrix.json, matrix.png   the sweep's own results
#   phases.csv   per thread count, the median seconds of the reader's first
#                pass (newline count), its second pass (parse) and the
#                multiply, each phase's speed-up over 1 thread
#   phases.png   those speed-ups against the thread count
#   table.txt    the sweep's table
#   context.txt  CPU model, cores, memory, kernel, commit, programs, the file
#
# Programs come from $SPMV_BUILD (default build/release): spmv, spmv-gen and
# the source tree's scripts/spmv-sweep. REPETITIONS (default 3) and MULTIPLIES
# (default 5) set the sweep's -r and -m. The matrix file is made in $TMPDIR
# (or /tmp) and removed at the end; it takes about 18 bytes per entry.
set -euo pipefail
(($# <= 3)) || { echo "many_cores.sh: at most ENTRIES, CORES and DIR, not $# arguments" >&2; exit 2; }
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
entries=${1:-100000000}
cores=${2:-$(nproc)}
dir=${3:-many_cores-$(hostname)-$(date -u +%Y%m%dT%H%M%SZ)}
build=${SPMV_BUILD:-$source_dir/build/release}
repetitions=${REPETITIONS:-3}
multiplies=${MULTIPLIES:-5}
per_row=10

for count in "$entries" "$cores"; do
  [[ $count =~ ^[1-9][0-9]*$ ]] || { echo "many_cores.sh: '$count' is not a count of 1 or more" >&2; exit 2; }
done
# rows-of K needs at least K rows; ENTRIES is rounded down to whole rows.
((entries >= per_row * per_row)) ||
  { echo "many_cores.sh: ENTRIES must be $((per_row * per_row)) or more" >&2; exit 2; }
((cores <= 4096)) || { echo "many_cores.sh: CORES must be at most 4096, spmv's thread limit" >&2; exit 2; }
for program in "$build/spmv" "$build/spmv-gen"; do
  [ -x "$program" ] || { echo "many_cores.sh: $program is not built (cmake --workflow --preset build, or set SPMV_BUILD)" >&2; exit 1; }
done
rows=$((entries / per_row))
entries=$((rows * per_row))
threads=$(for ((t = 1; t < cores; t *= 2)); do printf '%d ' $t; done; echo "$cores")
mkdir -p "$dir"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
matrix=$work/matrix.txt
known=(--known rows-of "$per_row" "$rows")

echo "many_cores.sh: writing $entries entries ($rows rows of $per_row)" >&2
start=$(date +%s.%N)
"$build/spmv-gen" "${known[@]}" >"$matrix"
end=$(date +%s.%N)
bytes=$(stat -c %s "$matrix")
expected=$("$build/spmv-gen" --digest "${known[@]}")

SPMV=$build/spmv "$source_dir/scripts/spmv-sweep" -t "$threads" -r "$repetitions" -m "$multiplies" \
  --bind close -f -o "$dir" "$matrix" >"$dir/table.txt"
cat "$dir/table.txt"

# Every run, warm-ups too, must have given the known product.
digests=$(jq -r '[.runs[].report.result.digest] | unique | join(" ")' "$dir/matrix.json")
if [ "$digests" != "$expected" ]; then
  echo "many_cores.sh: the results' digests $digests differ from the known product's $expected" >&2
  exit 1
fi

# The medians of the timed runs per thread count, and their speed-ups.
jq -r '
  def median: sort | .[(length - 1) / 2 | floor];
  [.runs[] | select(.warmup | not)] | group_by(.threads)
  | map({threads: .[0].threads,
         first: (map(.report.seconds.first_pass) | median),
         second: (map(.report.seconds.second_pass) | median),
         multiply: (map(.report.multiply.repeat_median_seconds) | median)})
  | .[0] as $base
  | ["threads", "first_pass", "second_pass", "read", "multiply_median",
     "first_pass_speedup", "second_pass_speedup", "read_speedup", "multiply_speedup"],
    (.[] | [.threads, .first, .second, .first + .second, .multiply,
            $base.first / .first, $base.second / .second,
            ($base.first + $base.second) / (.first + .second), $base.multiply / .multiply])
  | @csv' "$dir/matrix.json" >"$dir/phases.csv"

gnuplot <<EOF
set terminal pngcairo size 900,600
set output "$dir/phases.png"
set datafile separator ","
set key autotitle columnhead left top
set title "spmv on $entries entries, close binding: speed-up of each phase over ${threads%% *} thread"
set xlabel "threads"
set ylabel "speed-up"
set logscale xy 2
set grid
plot "$dir/phases.csv" using 1:6 with linespoints title "first pass (newline count)", \
     "" using 1:7 with linespoints title "second pass (parse)", \
     "" using 1:9 with linespoints title "multiply (median repeat)", \
     "" using 1:1 with lines dashtype 2 title "ideal"
EOF

{
  echo "date: $(date -u +%Y-%m-%dT%H:%M:%SZ)"
  echo "host: $(hostname)"
  echo "cpu: $(LC_ALL=C lscpu | sed -n 's/^Model name: *//p' | head -n 1)"
  echo "cpus: $(nproc) in this process's mask, $(nproc --all) online"
  LC_ALL=C lscpu | grep -E '^(Socket\(s\)|Core\(s\) per socket|Thread\(s\) per core|NUMA node\(s\)):' || true
  echo "memory: $(awk '/^MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)"
  echo "kernel: $(uname -srm)"
  echo "commit: $(git -C "$source_dir" rev-parse HEAD 2>/dev/null || echo unknown)$(git -C "$source_dir" diff --quiet HEAD 2>/dev/null || echo ' (with changes)')"
  echo "spmv: $build/spmv, $("$build/spmv" --version)"
  echo "matrix: spmv-gen ${known[*]}: $entries entries, $bytes bytes, written in $(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.2f", e - s }') s"
  echo "result: every run's digest is $expected, the known product's"
  echo "sweep: threads $threads, $repetitions runs each, $multiplies multiplies per run, OMP_PROC_BIND=close OMP_PLACES=cores"
} >"$dir/context.txt"
cat "$dir/context.txt"
echo "many_cores.sh: results in $dir" >&2
