#!/usr/bin/env bash
# One process against MPI ranks on one machine: `spmv 1` and `spmv WORKERS`
# beside `mpirun -np R spmv-mpi THREADS` for each R of RANKS, on one generated
# file, with the time of each phase (from the report), the slots and bytes
# the ranks exchanged, and the peak memory of each process.
#
#   bench/distributed_run.sh [ENTRIES [RUNS [WORKERS]]]
#     default: 10000000 entries, 5 runs, 2 workers
#
# Each figure is the minimum over RUNS runs (memory: the maximum over ranks,
# then the minimum over runs); the configurations take turns, one run each,
# so that a slow spell of a shared machine falls on all of them. Set
# SPMV_BUILD for the build folder (default build/release), SPMV_BASE for a
# second one whose programs run beside it in every turn (rows marked "base"),
# RANKS for the rank counts (default "1 2"), THREADS for the threads per rank
# (default 1) and MPIEXEC for the launcher (default
# "mpirun --oversubscribe --bind-to none").
set -euo pipefail
entries=${1:-10000000}
runs=${2:-5}
workers=${3:-2}
build=${SPMV_BUILD:-build/release}
base=${SPMV_BASE:-}
read -r -a rank_counts <<<"${RANKS:-1 2}"
threads=${THREADS:-1}
read -r -a launch <<<"${MPIEXEC:-mpirun --oversubscribe --bind-to none}"
command -v jq >/dev/null || { echo "distributed_run.sh: jq not found (Debian package jq)" >&2; exit 1; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
file=$dir/matrix.txt
"$build/spmv-gen" $((entries / 10)) "$entries" exp17 sorted 1 >"$file"
cat "$file" >/dev/null
echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(nproc) cores"
echo "$entries entries, $(stat -c %s "$file") bytes; minimum of $runs runs; seconds from the report"

# Peak resident memory of one process, in KiB, into its own file.
peak() { /usr/bin/time -f %M -o "$PEAK_DIR/mem.$$" "$@"; }
export -f peak
export PEAK_DIR=$dir

# The configurations, one a line: name, then the build folder and the
# command after it, separated by tabs.
configs=()
folders=("$build")
[ -n "$base" ] && folders+=("$base")
for folder in "${folders[@]}"; do
  mark=""
  [ "$folder" != "$build" ] && mark=" (base)"
  for p in 1 "$workers"; do
    configs+=("spmv $p$mark	$folder/spmv --report=$dir/report.json $p 0 0 $file")
    [ "$workers" = 1 ] && break
  done
  for ranks in "${rank_counts[@]}"; do
    configs+=("mpirun -np $ranks spmv-mpi $threads$mark	${launch[*]} -np $ranks bash -c 'peak \"\$@\"' peak $folder/spmv-mpi --report=$dir/report.json $threads 0 0 $file")
  done
done

# One run of configuration i: its figures appended to its own file.
measure() {
  local i=$1 command
  command=$(cut -f 2 <<<"${configs[$i]}")
  rm -f "$dir"/mem.*
  if [[ $command == */spmv\ * ]]; then
    eval "/usr/bin/time -f %M -o $dir/mem.one $command" >/dev/null
  else
    eval "$command" >/dev/null
  fi
  {
    jq -r '[.seconds.first_pass, .seconds.second_pass, .seconds.vectors, .seconds.serial,
            .seconds.multiply, .performance.Tp, ((.mpi.bytes_exchanged // 0) / 1e6)] | @tsv' \
      "$dir/report.json" | tr '\n' '\t'
    cat "$dir"/mem.* | sort -n | tail -1
  } >>"$dir/figures.$i"
}
for ((run = 0; run < runs; ++run)); do
  for i in "${!configs[@]}"; do measure "$i"; done
done
printf '%-34s %8s %8s %8s %8s %8s %8s %10s %10s\n' run first second vectors serial multiply Tp \
  "MB moved" "peak MiB"
for i in "${!configs[@]}"; do
  awk -v name="$(cut -f 1 <<<"${configs[$i]}")" '{
      for (i = 1; i <= 8; ++i) if (NR == 1 || $i < m[i]) m[i] = $i }
    END { printf "%-34s %8.4f %8.4f %8.4f %8.4f %8.4f %8.4f %10.1f %10.1f\n",
          name, m[1], m[2], m[3], m[4], m[5], m[6], m[7], m[8] / 1024 }' "$dir/figures.$i"
done
