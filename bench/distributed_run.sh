#!/usr/bin/env bash
# One process against MPI ranks on one machine: `spmv W` beside
# `mpirun -np R spmv-mpi T` for each R x T = W, on one generated file, with
# the time of each phase (from the report), the slots and bytes the ranks
# exchanged, and the peak memory of each process.
#
#   bench/distributed_run.sh [ENTRIES [RUNS [WORKERS]]]
#     default: 10000000 entries, 5 runs, 2 workers
#
# Each figure is the minimum over RUNS runs (memory: the maximum over ranks,
# then the minimum over runs). Set SPMV_BUILD for the build folder (default
# build/release) and MPIEXEC for the launcher (default
# "mpirun --oversubscribe --bind-to none").
set -euo pipefail
entries=${1:-10000000}
runs=${2:-5}
workers=${3:-2}
build=${SPMV_BUILD:-build/release}
read -r -a launch <<<"${MPIEXEC:-mpirun --oversubscribe --bind-to none}"
command -v jq >/dev/null || { echo "distributed_run.sh: jq not found (Debian package jq)" >&2; exit 1; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
file=$dir/matrix.txt
"$build/spmv-gen" $((entries / 10)) "$entries" exp17 sorted 1 >"$file"
cat "$file" >/dev/null
echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(nproc) cores"
echo "$entries entries, $(stat -c %s "$file") bytes; minimum of $runs runs; seconds from the report"
printf '%-28s %8s %8s %8s %8s %8s %8s %10s %10s\n' run first second vectors serial multiply Tp \
  "MB moved" "peak MB"
# One configuration: prints its row of minima.
measure() {
  local name=$1
  shift
  local run
  for ((run = 0; run < runs; ++run)); do
    rm -f "$dir"/mem.*
    "$@" >/dev/null
    jq -r '[.seconds.first_pass, .seconds.second_pass, .seconds.vectors, .seconds.serial,
            .seconds.multiply, .performance.Tp, ((.mpi.bytes_exchanged // 0) / 1e6)] | @tsv' \
      "$dir/report.json" | tr '\n' '\t'
    cat "$dir"/mem.* | sort -n | tail -1
  done | awk -v name="$name" '{
      for (i = 1; i <= 8; ++i) if (NR == 1 || $i < m[i]) m[i] = $i }
    END { printf "%-28s %8.4f %8.4f %8.4f %8.4f %8.4f %8.4f %10.1f %10.1f\n",
          name, m[1], m[2], m[3], m[4], m[5], m[6], m[7], m[8] / 1024 }'
}
# Peak resident memory of one process, in KiB, into its own file.
peak() { /usr/bin/time -f %M -o "$PEAK_DIR/mem.$$" "$@"; }
export -f peak
export PEAK_DIR=$dir
measure "spmv $workers" /usr/bin/time -f %M -o "$dir/mem.one" \
  "$build/spmv" --report="$dir/report.json" "$workers" 0 0 "$file"
for ((ranks = 1; ranks <= workers; ++ranks)); do
  ((workers % ranks == 0)) || continue
  threads=$((workers / ranks))
  measure "mpirun -np $ranks spmv-mpi $threads" "${launch[@]}" -np "$ranks" \
    bash -c 'peak "$@"' peak "$build/spmv-mpi" --report="$dir/report.json" "$threads" 0 0 "$file"
done
