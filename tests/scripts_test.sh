#!/usr/bin/env bash
# The scripts and the install, run as a user would:
#   scripts_test.sh SPMV_EXECUTABLE SOURCE_DIR BUILD_DIR
# Each check is a name and a condition, evaluated as shell code. Conditions
# refer to files and names through variables ("$work/..."), never by pasting
# them into the condition, so that the hostile names below stay data.
set -euo pipefail
spmv=$1
source_dir=$2
build_dir=$3
source "$(dirname "${BASH_SOURCE[0]}")/checks.sh"

# ---- spmv-sweep -----------------------------------------------------------------

sweep=$source_dir/scripts/spmv-sweep
command -v jq >/dev/null || { echo "FAILED: jq is missing (Debian package jq)"; exit 1; }
# The sweep's temporary folders go here, so that leftovers can be seen.
mkdir "$work/tmp"
export TMPDIR=$work/tmp
cpus=$(env -u OMP_NUM_THREADS -u OMP_THREAD_LIMIT nproc)
small=$source_dir/examples/small.txt

# sweep NAME ARGUMENTS...: runs the sweep with $spmv; its status goes to
# $status, its standard output and error to $work/NAME.out and $work/NAME.err.
sweep() {
  local name=$1
  shift
  status=0
  SPMV=${SPMV_FOR_SWEEP:-$spmv} "$sweep" "$@" </dev/null >"$work/$name.out" 2>"$work/$name.err" || status=$?
}
# A field of a sweep's JSON file: field FILE JQ_FILTER
field() { jq -r "$2" "$1"; }
# The first four bytes and the image size of a PNG file: "PNG WIDTHxHEIGHT".
png_kind() {
  printf '%s %dx%d' "$(head -c 4 "$1" | tail -c 3)" \
    "$(od -An -j16 -N4 -tu1 "$1" | awk '{ print $1 * 16777216 + $2 * 65536 + $3 * 256 + $4 }')" \
    "$(od -An -j20 -N4 -tu1 "$1" | awk '{ print $1 * 16777216 + $2 * 65536 + $3 * 256 + $4 }')"
}

# The kind and size of a plot: "PNG WIDTHxHEIGHT", "SVG WIDTHxHEIGHT" or
# "%PDF WIDTHxHEIGHT" (its page in points).
plot_kind() {
  case $1 in
    *.png) png_kind "$1" ;;
    *.svg) printf 'SVG %s' "$(sed -n 's/^ *width="\([0-9]*\)" height="\([0-9]*\)"$/\1x\2/p' "$1" | head -n 1)" ;;
    *.pdf) printf '%s %s' "$(head -c 4 "$1")" \
      "$(grep -a -o 'MediaBox \[ 0 0 [0-9]* [0-9]* \]' "$1" | head -n 1 | awk '{ print $5 "x" $6 }')" ;;
  esac
}
# The x positions of the first panel's tic labels 1, 2 and 4 in an SVG plot.
x_tics() {
  awk '/text-anchor="middle"/ && match($0, /translate\([0-9.]+,/) { x = substr($0, RSTART + 10, RLENGTH - 11); next }
       x != "" && /<text> ?[124]<\/text>/ && n < 3 { printf "%s ", x; n++ } { x = "" }' "$1"
}

# spmv with its report's warnings taken out, for the sweeps that test the
# sweep's own output: the machine's warnings (a multiply of 4 entries is
# always too short to time well; a shared machine is loaded and noisy) would
# otherwise mark every point, and differ from one machine to the next.
cat >"$work/quiet_spmv" <<EOF
#!/bin/bash
"$spmv" "\$@" || exit
for argument in "\$@"; do
  case \$argument in --report=*) report=\${argument#--report=} ;; esac
done
if [ -n "\${report:-}" ]; then
  jq '.warnings = []' "\$report" >"\$report.new" && mv "\$report.new" "\$report"
fi
EOF
chmod +x "$work/quiet_spmv"

# A sweep over 1 and 2 threads with close binding: CSV, JSON, table and plot.
SPMV_FOR_SWEEP=$work/quiet_spmv sweep main -t "1 2" -r 2 -m 3 --bind close -o "$work/out" "$small"
csv=$work/out/small.csv
json=$work/out/small.json
check "sweep status" '[ $status = 0 ]'
check "CSV header" '[ "$(head -n 1 "$csv")" = "threads,repetition,Tp,S,E,wall_seconds,first_pass,second_pass,vectors,serial,multiply,reduction,multiply_min,multiply_median,gflops_first,gflops_median,ranks,workers,gbytes_first,gbytes_median,warnings" ]'
# A run of spmv is 1 rank with as many workers as threads; no warnings.
check "CSV rows: threads and repetition, 14 numbers, 1 rank and the workers, 2 numbers, no warnings" \
  '[ "$(tail -n +2 "$csv" | grep -cE "^([12]),[12](,[0-9][0-9.e+-]*){14},1,\1(,[0-9][0-9.e+-]*){2},\"\"$")" = 4 ] && [ "$(tail -n +2 "$csv" | cut -d, -f1,2 | tr "\n" " ")" = "1,1 1,2 2,1 2,2 " ]'
# Each row's numbers hang together: S = 1 / Tp (as printed, to 6 decimals),
# E = S / threads, the serial time holds both passes, the least repeat is no
# more than the median, GFLOP/s are 2 x 4 entries over the median repeat,
# and GB/s the byte model's 4 x 24 + 3 columns x 4 + 3 rows x 32 = 204 bytes
# over the first multiply and over the median repeat.
check "CSV rows: S, E, phases, repeats, GFLOP/s and GB/s agree" \
  'awk -F, "NR > 1 && !(\$4 * \$3 > 0.99 && \$4 * \$3 < 1.01 && \$5 * \$1 > 0.999 * \$4 && \$5 * \$1 < 1.001 * \$4 &&
    \$10 >= \$7 + \$8 && \$13 <= \$14 && \$13 > 0 && \$11 > 0 && \$16 > 0.999 * 8e-9 / \$14 && \$16 < 1.001 * 8e-9 / \$14 &&
    \$19 > 0.999 * 204e-9 / \$11 && \$19 < 1.001 * 204e-9 / \$11 && \$20 > 0.999 * 204e-9 / \$14 && \$20 < 1.001 * 204e-9 / \$14 &&
    \$6 > 0) { bad = 1 } END { exit bad }" "$csv"'
check "JSON: the matrix as given, its form and slots" \
  '[ "$(field "$json" ".context.matrix | [.path, .form, .slots, .stored_entries] | join(\"|\")")" = "$small|plain|4|4" ]'
check "JSON: the sweep's settings" \
  '[ "$(field "$json" ".context.sweep | [(.threads | join(\",\")), .repetitions, .multiplies, .bind] | join(\"|\")")" = "1,2|2|3|close" ]'
check "JSON: binding close with its variables" \
  '[ "$(field "$json" ".context.binding | [.mode, .OMP_PROC_BIND, .OMP_PLACES] | join(\"|\")")" = "close|close|cores" ]'
check "JSON: CPU, host, spmv and its version, date" \
  'field "$json" ".context | .machine.cpu_model, .machine.host, .machine.sweep_cpus, .spmv.path, .spmv.version, .sweep.started_utc" | grep -c . | grep -qx 6 &&
   [ "$(field "$json" .context.spmv.path)" = "$work/quiet_spmv" ] && [ "$(field "$json" .context.machine.sweep_cpus)" = "$cpus" ]'
check "JSON: every run's report, warm-ups marked" \
  '[ "$(field "$json" "[.runs[] | \"\(.threads),\(.repetition),\(.warmup),\(.report.status),\(.report.options.repeat)\"] | join(\" \")")" = "1,0,true,complete,3 1,1,false,complete,3 1,2,false,complete,3 2,0,true,complete,3 2,1,false,complete,3 2,2,false,complete,3" ]'
check "JSON: close binding reached every run of spmv" \
  '[ "$(field "$json" "[.runs[].report.openmp.environment | \"\(.OMP_PROC_BIND)/\(.OMP_PLACES)\"] | unique | join(\" \")")" = "close/cores" ]'
check "JSON: CSV rows are the reports' numbers" \
  '[ "$(field "$json" ".runs[] | select(.warmup | not) | [.threads, .report.performance.Tp, .report.seconds.second_pass, .report.multiply.repeat_median_seconds] | @csv")" = "$(tail -n +2 "$csv" | cut -d, -f1,3,8,14)" ]'
check "table: matrix, entries, CPUs, binding, runs" \
  'head -n 2 "$work/main.out" | tr "\n" " " | grep -qxF "small: 4 entries, $cpus CPUs binding close (OMP_PROC_BIND=close, OMP_PLACES=cores); 2 runs per thread count, 3 multiplies per run "'
check "table: one row per thread count" \
  '[ "$(grep -cE "^ +[12] +[0-9.]+ +[0-9.]+-[0-9.]+( +[0-9.e+-]+){8}$" "$work/main.out")" = 2 ]'
check "table: 1 thread is the base of every speed-up" \
  'grep -qE "^ +1 +[0-9.]+ +[0-9.]+-[0-9.]+ +1\.000 +1\.000 +[0-9.e+-]+ +[0-9.e+-]+ +1\.000 +1\.000 +[0-9.]+ +[0-9.]+$" "$work/main.out"'
check "table: Tp and multiply speed-ups of 2 threads from the CSV" \
  '[ "$(awk "/^ +2 /" "$work/main.out" | awk "{ print \$4, \$8, \$9 }")" = "$(awk -F, "NR > 1 { tp[\$1, \$2] = \$3; lo[\$1, \$2] = \$13; me[\$1, \$2] = \$14 }
      function min(a, b) { return a < b ? a : b }
      END { printf \"%.3f %.3f %.3f\", (tp[1, 1] + tp[1, 2]) / (tp[2, 1] + tp[2, 2]),
        min(lo[1, 1], lo[1, 2]) / min(lo[2, 1], lo[2, 2]), (me[1, 1] + me[1, 2]) / (me[2, 1] + me[2, 2]) }" "$csv")" ]'
check "table: GB/s of 2 threads from the CSV, 204 bytes over the median repeat" \
  '[ "$(awk "/^ +2 /" "$work/main.out" | awk "{ print \$11 }")" = "$(awk -F, "NR > 1 && \$1 == 2 { sum += \$14 }
      END { printf \"%.3f\", 204e-9 / (sum / 2) }" "$csv")" ]'
check "PNG of 1500x640" '[ "$(png_kind "$work/out/small.png")" = "PNG 1500x640" ]'
check "progress on standard error" 'grep -q "2 threads, run 2 of 2" "$work/main.err"'
check "no warning for counts within the CPUs" '! grep -q warning "$work/main.err"'
check "temporary folder removed" '[ -z "$(ls -A "$work/tmp")" ]'

# The plot in each format, beside the CSV and JSON files only. The SVG's text
# shows the title, the definition of Tp and what the bars span, and its x
# axis is in base 2: 1, 2 and 4 equally far apart.
while read -r format kind; do
  SPMV_FOR_SWEEP=$work/quiet_spmv sweep "format_$format" -t "1 2 4" -r 1 -m 2 --format "$format" -o "$work/format_$format" "$small"
  check "--format $format: $kind" \
    '[ $status = 0 ] && [ "$(ls "$work/format_$format" | tr "\n" " ")" = "small.csv small.json small.$format " ] &&
     [ "$(plot_kind "$work/format_$format/small.$format")" = "$kind" ]' 'cat "$work/format_$format.err"'
done <<'EOF'
png PNG 1500x640
svg SVG 1500x640
pdf %PDF 1500x640
EOF
svg=$work/format_svg/small.svg
check "plot: the title holds rows, columns, slots, slots per row and the value type" \
  'grep -qF "<text>small: 3 rows x 3 columns, 4 slots, 1.33 per row; 80-bit extended values</text>" "$svg"'
check "plot: what Tp is" \
  'grep -qF "<text>Tp = multiply time / P + serial time before the multiply (reading the file, building the vectors); P = threads</text>" "$svg"'
check "plot: the legends say what the bars span" \
  '[ "$(grep -cF "bars: min-max of 1 run</text>" "$svg")" = 2 ] && [ "$(grep -cF "bars: min-max of 2 repeats</text>" "$svg")" = 2 ]'
check "plot: threads on a log2 axis" \
  'awk "{ exit !(NF == 3 && \$2 - \$1 > 50 && (\$3 - \$2) - (\$2 - \$1) < 0.5 && (\$2 - \$1) - (\$3 - \$2) < 0.5) }" <<<"$(x_tics "$svg")"' \
  'x_tics "$svg"'

# The files are in place before the table is printed, so a reader that stops
# early does not cost them.
(SPMV=$spmv "$sweep" -t 1 -r 1 -m 1 -o "$work/early" "$small" 2>/dev/null | head -n 1 >/dev/null) || true
check "results kept when standard output closes early" \
  '[ -s "$work/early/small.csv" ] && [ -s "$work/early/small.json" ] && [ -s "$work/early/small.png" ]'

# Binding: the settings that reach spmv for each mode, from an environment
# that already holds other ones.
while IFS='|' read -r mode arguments expected; do
  # shellcheck disable=SC2086
  OMP_PROC_BIND=true OMP_PLACES=threads sweep "bind_$mode" -t 1 -r 1 -m 1 -o "$work/bind_$mode" $arguments "$small"
  check "binding $mode reaches spmv and is recorded" \
    '[ $status = 0 ] && [ "$(field "$work/bind_$mode/small.json" "[.context.binding.mode, (.runs[].report.openmp.environment | \"\(.OMP_PROC_BIND)/\(.OMP_PLACES)\")] | join(\" \")")" = "$expected" ]'
done <<'EOF'
close|--bind close|close close/cores close/cores
spread|--bind=spread|spread spread/cores spread/cores
none|-b none|none null/null null/null
inherited||inherited true/threads true/threads
EOF
check "binding none says so in the table" 'grep -qF "binding none (OMP_PROC_BIND and OMP_PLACES unset)" "$work/bind_none.out"'

# Thread lists: spaces, commas and blanks around them; the runs in the order
# given, the table in ascending order.
while IFS='|' read -r list runs rows; do
  sweep list -t "$list" -r 1 -m 1 -o "$work/list" --force "$small"
  check "thread list '$list'" \
    '[ $status = 0 ] && [ "$(tail -n +2 "$work/list/small.csv" | cut -d, -f1 | tr "\n" " ")" = "$runs" ] &&
     [ "$(grep -E "^ +[0-9]+ +[0-9.]+ " "$work/list.out" | awk "{ printf \"%s \", \$1 }")" = "$rows" ]'
done <<'EOF'
1 2|1 2 |1 2 
1,2|1 2 |1 2 
 1  2 |1 2 |1 2 
2, 1|2 1 |1 2 
	2 ,1	|2 1 |1 2 
EOF
# The default counts come from the CPUs, whatever OMP_NUM_THREADS says.
OMP_NUM_THREADS=1 sweep default -r 1 -m 1 -o "$work/default" "$small"
default_counts=$(for ((t = 1; t < cpus; t *= 2)); do printf '%d,' $t; done; echo "$cpus")
check "default thread counts: 1, 2, 4, ... and $cpus" \
  '[ $status = 0 ] && [ "$(field "$work/default/small.json" ".context.sweep.threads | join(\",\")")" = "$default_counts" ]'
sweep base2 -t 2 -r 1 -m 1 -o "$work/base2" "$small"
check "speed-ups relative to the smallest count" \
  '[ $status = 0 ] && grep -qF "(speed-ups and efficiency are relative to 2 threads)" "$work/base2.out"'
# More threads than CPUs, and at least 100, so that counts of three digits
# and more are checked as written: in the CSV, the JSON file and the table.
many=$((cpus < 100 ? 100 : cpus + 1))
SPMV_FOR_SWEEP=$work/quiet_spmv sweep oversubscribed -t "$many" -r 1 -m 100 -o "$work/oversubscribed" "$small"
check "warning for more threads than CPUs" \
  '[ $status = 0 ] && grep -qF "warning: $many threads are more than the $cpus CPUs" "$work/oversubscribed.err"' \
  'cat "$work/oversubscribed.err"'
check "$many threads: the CSV's threads, repetition, ranks and workers as numbers, the sweep's warning" \
  '[ "$(tail -n +2 "$work/oversubscribed/small.csv" | cut -d, -f1,2,17,18,21)" = "$many,1,1,$many,\"oversubscribed\"" ]' \
  'cat "$work/oversubscribed/small.csv"'
check "$many threads, 100 multiplies: the JSON file's counts as numbers" \
  '[ "$(field "$work/oversubscribed/small.json" "[.context.sweep.threads[0], .context.sweep.multiplies, (.runs[] | .threads, .workers, .report.options.repeat, (.report.multiply.repeat_seconds | length))] | @csv")" = "$many,100,$many,$many,100,100,$many,$many,100,100" ]' \
  'field "$work/oversubscribed/small.json" "[.context.sweep, (.runs[] | {threads, workers, repeat: .report.options.repeat})]"'
check "$many threads: the table's row, marked" \
  '[ "$(grep -cE "^ +$many +[0-9.]+ .* \*$" "$work/oversubscribed.out")" = 1 ] &&
   grep -qxF "* 1 point with warnings, given on standard error and under \"warnings\" in $work/oversubscribed/small.json" "$work/oversubscribed.out"' \
  'cat "$work/oversubscribed.out"'
check "$many threads: the sweep's warning in the JSON file" \
  '[ "$(field "$work/oversubscribed/small.json" ".warnings[] | [.threads, .workers, .kind, .from] | @csv")" = "$many,$many,\"oversubscribed\",\"sweep\"" ]'

# The runs' warnings, from a stand-in for spmv that adds them to the real
# report: at 2 threads the same warning in every run and another in the last,
# at 1 thread a "warnings" that is not a list, taken as none. Each message is
# told once for its point, and the point is marked in the table, the CSV,
# the JSON file and the plot.
cat >"$work/warning_spmv" <<EOF
#!/bin/bash
"$spmv" "\$@" || exit
report=\${1#--report=}
runs=\$(cat "$work/warning_runs" 2>/dev/null || echo 0)
echo \$((runs + 1)) >"$work/warning_runs"
if [ "\$3" = 2 ]; then
  filter='.warnings = [{kind: "spread", message: "cv 0.2 over 2 repeats"}] +
    (if \$run == 6 then [{kind: "load", message: "load average 3.5 above 2 CPUs"}] else [] end)'
else
  filter='.warnings = "not a list"'
fi
jq --argjson run \$((runs + 1)) "\$filter" "\$report" >"\$report.new" && mv "\$report.new" "\$report"
EOF
chmod +x "$work/warning_spmv"
SPMV_FOR_SWEEP=$work/warning_spmv sweep warned -t "1 2" -r 2 -m 2 --format svg -o "$work/warned" "$small"
check "warnings: each message once per point, the point named" \
  '[ $status = 0 ] && [ "$(grep "warning" "$work/warned.err")" = "spmv-sweep: warning: 2 threads: spread: cv 0.2 over 2 repeats
spmv-sweep: warning: 2 threads: load: load average 3.5 above 2 CPUs" ]' 'cat "$work/warned.err"'
check "warnings: the point marked in the table, with a footnote" \
  '[ "$(grep -E "^ +[12] +[0-9.]+ " "$work/warned.out" | grep " \*$" | awk "{ print \$1 }")" = 2 ] &&
   grep -qxF "* 1 point with warnings, given on standard error and under \"warnings\" in $work/warned/small.json" "$work/warned.out"' \
  'cat "$work/warned.out"'
check "warnings: the kinds of each run in the CSV" \
  '[ "$(tail -n +2 "$work/warned/small.csv" | cut -d, -f1,2,21 | tr "\n" " ")" = "1,1,\"\" 1,2,\"\" 2,1,\"spread\" 2,2,\"load spread\" " ]'
check "warnings: in the JSON file, with the timed runs that gave them" \
  '[ "$(field "$work/warned/small.json" ".warnings[] | \"\(.threads) \(.kind) \(.from) \(.repetitions | join(\",\")): \(.message)\"")" = "2 load report 2: load average 3.5 above 2 CPUs
2 spread report 1,2: cv 0.2 over 2 repeats" ]'
check "warnings: a point style of their own in each panel of the plot" \
  '[ "$(grep -cF "<text>with warnings</text>" "$work/warned/small.svg")" = 3 ] &&
   [ "$(grep -cF "<text>with warnings</text>" "$work/format_svg/small.svg")" = "$([ "$cpus" -ge 4 ] && echo 0 || echo 3)" ]'

# A wrong command line: status 2, a message and the usage on standard error,
# nothing on standard output, no run of spmv and no output folder.
cat >"$work/spy" <<EOF
#!/bin/sh
touch "$work/spy_ran"
exit 1
EOF
chmod +x "$work/spy"
while IFS='|' read -r what message arguments; do
  eval "set -- $arguments"
  rm -rf "$work/spy_ran" "$work/refused"
  SPMV_FOR_SWEEP=$work/spy SPMV_MPI=$work/spy MPIEXEC=$work/spy sweep misuse "$@"
  check "refused: $what" \
    '[ $status = 2 ] && [ ! -s "$work/misuse.out" ] && grep -qF -- "$message" "$work/misuse.err" &&
     grep -q "^Usage: spmv-sweep" "$work/misuse.err" && [ ! -e "$work/spy_ran" ] && [ ! -e "$work/refused" ]'
done <<'EOF'
an empty thread list|thread list ''|-t '' -o "$work/refused" "$small"
a blank thread list|thread list '  '|-t '  ' -o "$work/refused" "$small"
thread count 0|thread list '1 0'|-t '1 0' -o "$work/refused" "$small"
two commas|thread list '1,,2'|-t 1,,2 -o "$work/refused" "$small"
a leading comma|thread list ',1'|-t ,1 -o "$work/refused" "$small"
a trailing comma|thread list '1,'|-t 1, -o "$work/refused" "$small"
a word|thread list 'two'|-t two -o "$work/refused" "$small"
a negative count|thread list '1 -2'|-t '1 -2' -o "$work/refused" "$small"
a fraction|thread list '1.5'|-t 1.5 -o "$work/refused" "$small"
a leading zero|thread list '01'|-t 01 -o "$work/refused" "$small"
a semicolon|thread list '1;2'|-t '1;2' -o "$work/refused" "$small"
a control character|thread list '1?2'|-t $'1\a2' -o "$work/refused" "$small"
beyond spmv's limit|thread count 4097 is more than|-t '1 4097' -o "$work/refused" "$small"
a huge count|thread count 99999999999999999999 is more than|-t 99999999999999999999 -o "$work/refused" "$small"
a repeated count|thread count 2 is given twice|-t '1 2 2' -o "$work/refused" "$small"
zero repetitions|repetitions '0'|-r 0 -o "$work/refused" "$small"
repetitions with letters|repetitions '3x'|-r 3x -o "$work/refused" "$small"
zero multiplies|multiplies '0'|-m 0 -o "$work/refused" "$small"
negative multiplies|multiplies '-1'|--multiplies=-1 -o "$work/refused" "$small"
an unknown binding|binding 'tight'|--bind tight -o "$work/refused" "$small"
an unknown plot format|plot format 'gif' is not png, svg or pdf|--format gif -o "$work/refused" "$small"
a plot format in capitals|plot format 'PNG'|--format=PNG -o "$work/refused" "$small"
a plot format without its value|option --format needs a value|-o "$work/refused" "$small" --format
an option without its value|option -t needs a value|-o "$work/refused" "$small" -t
an unknown option|unknown option '--fast'|--fast -o "$work/refused" "$small"
no matrix file|give one matrix file (got 0)|-o "$work/refused"
two matrix files|give one matrix file (got 2)|-o "$work/refused" "$small" "$small"
an empty output folder name|the output folder name is empty|-o '' "$small"
an empty rank list|rank list ''|-n '' -o "$work/refused" "$small"
rank count 0|rank list '0 1'|--ranks '0 1' -o "$work/refused" "$small"
a rank list of words|rank list 'one two'|--ranks='one two' -o "$work/refused" "$small"
a rank list with a semicolon|rank list '1;2'|-n1\;2 -o "$work/refused" "$small"
a rank list with a trailing comma|rank list '1,2,'|-n 1,2, -o "$work/refused" "$small"
a rank count beyond the limit|rank count 65537 is more than the sweep's limit of 65536|-n '1 65537' -o "$work/refused" "$small"
a repeated rank count|rank count 2 is given twice|-n 2,1,2 -o "$work/refused" "$small"
a rank list without its value|option --ranks needs a value|-o "$work/refused" "$small" --ranks
a bad thread list with ranks|thread list '1 x'|-n 2 -t '1 x' -o "$work/refused" "$small"
a bad value before --help|repetitions '0'|-r 0 --help -o "$work/refused" "$small"
a bad thread list before --version|thread list 'x'|-o "$work/refused" "$small" -t x --version
an unknown option before --version|unknown option '--fast'|--fast --version -o "$work/refused" "$small"
--help after --, a second file name|give one matrix file (got 2)|-o "$work/refused" "$small" -- --help
EOF

# Help and version on standard output, wherever they stand before --, with
# nothing unusable before them: the first one met is answered. The version is
# spmv's.
spmv_version=$("$spmv" --version)
while IFS='|' read -r query arguments; do
  eval "set -- $arguments"
  sweep query "$@"
  if [ "$query" = help ]; then
    check "help: $arguments" \
      '[ $status = 0 ] && grep -q "^Usage: spmv-sweep" "$work/query.out" && grep -q -- "--force" "$work/query.out" &&
       grep -q -- "--bind" "$work/query.out" && grep -q -- "--ranks" "$work/query.out" && grep -q -- "--version" "$work/query.out" &&
       grep -qF "MPIEXEC=\"mpirun --bind-to none\"" "$work/query.out" && grep -qF -- "--map-by node:PE=THREADS" "$work/query.out" &&
       grep -qF "OMPI_ALLOW_RUN_AS_ROOT=1 and OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1" "$work/query.out" && [ ! -s "$work/query.err" ]' \
      'echo "status $status"; head -n 3 "$work/query.out" "$work/query.err"'
  else
    check "version: $arguments" \
      '[ $status = 0 ] && [ "$(cat "$work/query.out")" = "${spmv_version/#spmv /spmv-sweep }" ] &&
       grep -qx "spmv-sweep [0-9][0-9.]*" "$work/query.out" && [ ! -s "$work/query.err" ]' \
      'echo "status $status, spmv: $spmv_version"; head -n 3 "$work/query.out" "$work/query.err"'
  fi
done <<'EOF'
help|--help
help|-h
help|-t 1 --help
help|-h nonexistent.txt
help|-r 3 nonexistent.txt --bind=close -h
help|--help --version
version|--version
version|--version --fast
version|nonexistent.txt -t 1 -o "$work/none" --version -r 0
version|--version -h
EOF

# Earlier results are never replaced without --force: not the whole set, and
# not any one of the three files left alone.
cp -r "$work/out" "$work/earlier"
sweep again -t 1 -r 1 -m 1 -o "$work/out" "$small"
check "refused: replacing earlier results" \
  '[ $status = 1 ] && grep -qF -- "--force" "$work/again.err" && grep -qF "small.csv" "$work/again.err" && diff -r "$work/earlier" "$work/out" >/dev/null'
# A name of the results that is taken stops the sweep whatever it is: a file,
# or a symbolic link to nothing, which the results would replace.
# entry FILE: what is at FILE, "link to TARGET" or "file of CONTENTS".
entry() {
  if [ -L "$1" ]; then printf 'link to %s' "$(readlink "$1")"; else printf 'file of %s' "$(cat "$1")"; fi
}
while read -r extension kind; do
  taken=$work/only_${extension}_$kind
  mkdir "$taken"
  if [ "$kind" = file ]; then
    echo earlier >"$taken/small.$extension"
    expected="file of earlier"
  else
    ln -s "$work/nowhere" "$taken/small.$extension"
    expected="link to $work/nowhere"
  fi
  sweep only -t 1 -r 1 -m 1 -o "$taken" "$small"
  check "refused: small.$extension alone, a $kind" \
    '[ $status = 1 ] && grep -qF "would replace earlier results: $taken/small.$extension" "$work/only.err" &&
     [ "$(entry "$taken/small.$extension")" = "$expected" ] && [ "$(ls -A "$taken")" = "small.$extension" ] &&
     [ ! -e "$work/nowhere" ]' \
    'echo "status $status"; cat "$work/only.err"; ls -lA "$taken"'
done <<'EOF'
csv file
json file
png file
csv dangling-link
json dangling-link
png dangling-link
EOF
for force in -f --force; do
  sweep force -t 1 -r 1 -m 1 -o "$work/out" $force "$small"
  check "$force replaces earlier results" \
    '[ $status = 0 ] && [ "$(tail -n +2 "$work/out/small.csv" | cut -d, -f1,2)" = 1,1 ] &&
     [ "$(field "$work/out/small.json" .context.sweep.repetitions)" = 1 ] && ! cmp -s "$work/earlier/small.png" "$work/out/small.png"'
done

# The matrix file is never one of the results, whatever name leads to it (the
# same path, a symbolic or a hard link) and even with --force: the sweep
# stops before any run, says that it is the matrix file, and leaves the
# matrix and its folder as they were.
while IFS='|' read -r what matrix_name output force; do
  rm -rf "$work/self"
  mkdir "$work/self"
  cp "$small" "$work/self/$matrix_name"
  case $output in
    symlink:*) ln -s "$matrix_name" "$work/self/${output#*:}" ;;
    hardlink:*) ln "$work/self/$matrix_name" "$work/self/${output#*:}" ;;
  esac
  listing=$(ls -lA --time-style=+ "$work/self")
  # shellcheck disable=SC2086
  sweep self -t 1 -r 1 -m 1 -o "$work/self" $force "$work/self/$matrix_name"
  check "refused: $what" \
    '[ $status = 1 ] && grep -qF "is the matrix file $work/self/$matrix_name" "$work/self.err" &&
     ! grep -q "earlier results" "$work/self.err" && ! grep -q "warm-up" "$work/self.err" &&
     cmp -s "$small" "$work/self/$matrix_name" && [ "$(ls -lA --time-style=+ "$work/self")" = "$listing" ]' \
    'echo "status $status"; cat "$work/self.err"; ls -lA "$work/self"'
done <<'EOF'
a symbolic link to the matrix in place of the CSV file, with -f|m.txt|symlink:m.csv|-f
a hard link to the matrix in place of the JSON file, with -f|m.txt|hardlink:m.json|-f
a hard link to the matrix in place of the plot|m.txt|hardlink:m.png|
a symbolic link to the matrix in place of the SVG plot, with -f|m.mtx|symlink:m.svg|-f --format=svg
a hard link to the matrix in place of the CSV file of m.tar.gz|m.tar.gz|hardlink:m.csv|
EOF

# The results are named by the matrix file's name without its matrix,
# archive and compression extensions, whatever their case, and with any other
# dots in it; a name that is only such an extension keeps it. spmv tells the
# plain text in these files by its first bytes, whatever their names.
while IFS='|' read -r matrix_name results; do
  rm -rf "$work/names"
  mkdir "$work/names"
  cp "$small" "$work/names/$matrix_name"
  sweep names -t 1 -r 1 -m 1 -o "$work/names" "$work/names/$matrix_name"
  check "results of $matrix_name named $results" \
    '[ $status = 0 ] && [ "$(ls -A "$work/names" | LC_ALL=C sort | tr "\n" " ")" = "$(printf "%s\n" "$matrix_name" "$results".{csv,json,png} | LC_ALL=C sort | tr "\n" " ")" ] &&
     [ "$(head -n 1 "$work/names.out")" = "$results: 4 entries, $cpus CPUs" ] && cmp -s "$small" "$work/names/$matrix_name"' \
    'ls -A "$work/names"; cat "$work/names.err"'
done <<'EOF'
bcsstk13.tar.gz|bcsstk13
m.mtx.gz|m
m.mtx.xz|m
m.mtx.bz2|m
m.mtx.zst|m
m.tar.xz|m
m.tgz|m
m.txt|m
m.mtx|m
m.v2.mtx|m.v2
m.v2.tar.bz2|m.v2
M.MTX.GZ|M
m.dat|m.dat
res.json|res.json
res.csv|res.csv
.mtx|.mtx
.tar.gz|.tar
EOF

# A sweep that is interrupted while its results are put into place leaves the
# earlier results whole and no temporary file behind, in the output folder or
# elsewhere, and ends by the signal. The results are first written whole next
# to their places, in the same folder (so that renaming them is atomic); an mv
# that waits stands for the moment of the interruption. The signal goes to the
# sweep's process group, as Ctrl-C at a terminal sends SIGINT.
mkdir "$work/waiting_mv"
cat >"$work/waiting_mv/mv" <<EOF
#!/bin/sh
touch "$work/mv_reached"
exec sleep 60
EOF
chmod +x "$work/waiting_mv/mv"
while read -r signal code; do
  rm -rf "$work/stopped" "$work/mv_reached"
  cp -r "$work/earlier" "$work/stopped"
  set -m
  PATH=$work/waiting_mv:$PATH SPMV=$spmv "$sweep" -f -t 1 -r 1 -m 1 -o "$work/stopped" "$small" \
    </dev/null >"$work/stopped.out" 2>"$work/stopped.err" &
  pid=$!
  set +m
  for ((i = 0; i < 600; i++)); do
    [ ! -e "$work/mv_reached" ] || break
    sleep 0.1
  done
  beside=$(find "$work/stopped" -mindepth 1 ! -name 'small.*' | wc -l)
  kill -s "$signal" -- "-$pid" 2>/dev/null || true
  status=0
  wait "$pid" 2>/dev/null || status=$?
  check "SIG$signal while the results are put into place: the results whole beside the earlier ones" \
    '[ -e "$work/mv_reached" ] && [ "$beside" = 3 ]' 'echo "$beside files beside the earlier results"; cat "$work/stopped.err"'
  check "SIG$signal while the results are put into place: earlier results kept, no temporaries, ended by the signal" \
    '[ $status = "$code" ] && diff -r "$work/earlier" "$work/stopped" >/dev/null && [ -z "$(ls -A "$work/tmp")" ]' \
    'echo "status $status"; diff -r "$work/earlier" "$work/stopped"; ls -A "$work/tmp"; cat "$work/stopped.err"'
done <<'EOF'
INT 130
TERM 143
HUP 129
EOF

# Hostile names for the matrix file and the output folder: quotes, command
# substitutions, gnuplot's string and macro syntax, newlines, backslashes,
# leading dashes and spaces. None may run, and the results must carry the
# names as they are. The payloads touch $PWNED_CANARY, a path that names
# cannot hold themselves since they cannot contain '/'.
export PWNED_CANARY=$work/PWNED
mkdir "$work/cwd"
hostile_dir='-o "dq" '\''sq'\'' $(touch $PWNED_CANARY) `touch $PWNED_CANARY` back\slash @x'$'\n''line'
hostile_names=(
  'm"; system "touch $PWNED_CANARY"; x="y.txt'
  "m'; system 'touch \$PWNED_CANARY'; x='y.txt"
  '$(touch $PWNED_CANARY).txt'
  '`touch $PWNED_CANARY`.txt'
  "m'\"; touch \"\$PWNED_CANARY\" #.txt"
  '-t 1 -o x @m.txt'
  'back\slash\n.txt'
  $'new\nline"\n system "touch $PWNED_CANARY"\n.txt'
  $'tab\t and spaces .txt'
)
for matrix_name in "${hostile_names[@]}"; do
  cp "$small" "$work/cwd/$matrix_name"
  status=0
  (cd "$work/cwd" && SPMV=$spmv "$sweep" -t 1 -r 1 -m 1 -o "$hostile_dir" -- "$matrix_name") \
    </dev/null >"$work/hostile.out" 2>"$work/hostile.err" || status=$?
  base=${matrix_name%.*}
  results=$work/cwd/$hostile_dir/$base
  shown=${base//[[:cntrl:]]/?}
  check "hostile name $(printf %q "$matrix_name"): results under their names" \
    '[ $status = 0 ] && [ -s "$results.csv" ] && [ -s "$results.json" ] && [ "$(png_kind "$results.png")" = "PNG 1500x640" ] &&
     [ "$(field "$results.json" .context.matrix.path)" = "$matrix_name" ] &&
     [ "$(field "$results.json" .context.sweep.output)" = "$hostile_dir" ] &&
     [ "$(head -n 1 "$work/hostile.out")" = "$shown: 4 entries, $cpus CPUs" ]' \
    'echo "status $status"; cat "$work/hostile.err"'
  check "hostile name $(printf %q "$matrix_name"): nothing ran" \
    '[ ! -e "$work/PWNED" ] && [ -z "$(find "$work" -name PWNED)" ]'
done

# Entries are the slots after symmetric expansion, in the table and in the
# JSON file; GFLOP/s count them too.
{
  echo "%%MatrixMarket matrix coordinate real symmetric"
  echo "1000 1000 1999"
  for ((i = 1; i <= 1000; i++)); do
    echo "$i $i 2"
    [ $i = 1000 ] || echo "$((i + 1)) $i -1"
  done
} >"$work/band.mtx"
{
  echo "%%MatrixMarket matrix coordinate real general"
  echo "250 250 250"
  for ((i = 1; i <= 250; i++)); do echo "$i $i 1"; done
} >"$work/diagonal.mtx"
while IFS='|' read -r file entries slots; do
  [[ $file == /* ]] || file=$source_dir/tests/data/mtx/$file
  name=$(basename "$file" .mtx)
  sweep slots -t 1 -r 1 -m 1 -o "$work/slots" "$file"
  check "entries of $name: $entries" \
    '[ $status = 0 ] && head -n 1 "$work/slots.out" | grep -qxF "$name: $entries, $cpus CPUs" &&
     [ "$(field "$work/slots/$name.json" .context.matrix.slots)" = "$slots" ] &&
     [ "$(grep -E "^ +1 " "$work/slots.out" | awk "{ print \$10 }")" = "$(awk -F, -v slots="$slots" "NR == 2 { printf \"%.3f\", 2 * slots / \$14 / 1e9 }" "$work/slots/$name.csv")" ]' \
    'cat "$work/slots.out" "$work/slots.err"'
done <<EOF
symmetric.mtx|5 entries (3 stored, symmetric)|5
pattern_symmetric.mtx|3 entries (2 stored, symmetric)|3
skew_symmetric.mtx|4 entries (2 stored, skew-symmetric)|4
general_real.mtx|2 entries|2
$work/band.mtx|2,998 entries (1,999 stored, symmetric)|2998
$work/diagonal.mtx|250 entries|250
EOF

# A failed run stops the sweep with spmv's message and writes no results: a
# file that spmv refuses, and a count whose team cannot be started.
# With --force too, a failed sweep leaves earlier results as they were.
mkdir "$work/bad"
for extension in csv json png; do echo earlier >"$work/bad/row_outside_n.$extension"; done
cp -r "$work/bad" "$work/bad_earlier"
sweep failed -t 1 -r 1 -o "$work/bad" --force "$source_dir/tests/data/bad/row_outside_n.txt"
check "failed run: status and spmv's message" \
  '[ $status = 1 ] && grep -q "spmv failed on .* with 1 threads (exit 1): .*row 12 is outside 1..10" "$work/failed.err"'
check "failed run: no results, the earlier ones kept" 'diff -r "$work/bad_earlier" "$work/bad" >/dev/null' \
  'diff -r "$work/bad_earlier" "$work/bad"'
OMP_THREAD_LIMIT=1 sweep limited -t "1 2" -r 1 -m 1 -o "$work/limited/deeper" "$small"
check "failed run after others: status and spmv's message, the folders it made removed" \
  '[ $status = 1 ] && grep -q "spmv failed on .* with 2 threads (exit 1): spmv: cannot run 2 threads" "$work/limited.err" &&
   [ ! -e "$work/limited" ] && [ -d "$work" ]'
check "failed runs: temporary folders removed" '[ -z "$(ls -A "$work/tmp")" ]'

# jq and gnuplot missing: each named with its Debian package, before any run.
mkdir "$work/no_tools" "$work/only_jq"
ln -s "$(command -v jq)" "$work/only_jq/jq"
for tools in no_tools only_jq; do
  status=0
  PATH=$work/$tools SPMV=$work/spy /bin/bash "$sweep" -t 1 -o "$work/refused" "$small" \
    >/dev/null 2>"$work/tools.err" || status=$?
  check "missing tools: $tools" \
    '[ $status = 1 ] && grep -qF "gnuplot (Debian package gnuplot-nox)" "$work/tools.err" &&
     { [ $tools = only_jq ] || grep -qF "jq (Debian package jq)" "$work/tools.err"; } &&
     { [ $tools = no_tools ] || ! grep -qF "package jq" "$work/tools.err"; } &&
     [ ! -e "$work/spy_ran" ] && [ ! -e "$work/refused" ]'
done

# Where spmv is taken from: $SPMV, beside the script, the source tree's build
# folder, PATH, else a message that says what to do. Each candidate is a
# wrapper, so that the JSON file tells which one ran.
wrapper() {
  mkdir -p "$(dirname "$1")"
  printf '#!/bin/sh\nexec "%s" "$@"\n' "$spmv" >"$1"
  chmod +x "$1"
}
mkdir -p "$work/tree/scripts" "$work/alone" "$work/beside"
cp "$sweep" "$work/tree/scripts/"
touch "$work/tree/CMakePresets.json"
wrapper "$work/tree/build/release/spmv"
cp "$sweep" "$work/alone/"
cp "$sweep" "$work/beside/"
wrapper "$work/beside/spmv"
wrapper "$work/on_path/spmv"
wrapper "$work/from_variable"
plain_path=/usr/local/bin:/usr/bin:/bin
while IFS='|' read -r what script variable path expected; do
  status=0
  rm -rf "$work/lookup"
  if [ -n "$variable" ]; then
    PATH=$path SPMV=$variable "$script" -t 1 -r 1 -m 1 -o "$work/lookup" "$small" >/dev/null 2>"$work/lookup.err" || status=$?
  else
    PATH=$path env -u SPMV "$script" -t 1 -r 1 -m 1 -o "$work/lookup" "$small" >/dev/null 2>"$work/lookup.err" || status=$?
  fi
  if [[ $expected == /* ]]; then
    check "spmv from $what" '[ $status = 0 ] && [ "$(field "$work/lookup/small.json" .context.spmv.path)" = "$expected" ]'
  else
    check "spmv from $what: refused" '[ $status = 1 ] && grep -qF -- "$expected" "$work/lookup.err" && [ ! -e "$work/lookup/small.csv" ]'
  fi
done <<EOF
\$SPMV before the one beside the script|$work/beside/spmv-sweep|$work/from_variable|$plain_path|$work/from_variable
\$SPMV as a command name|$work/alone/spmv-sweep|spmv|$work/on_path:$plain_path|$work/on_path/spmv
beside the script|$work/beside/spmv-sweep||$work/on_path:$plain_path|$work/beside/spmv
the source tree's build folder|$work/tree/scripts/spmv-sweep||$work/on_path:$plain_path|$work/tree/build/release/spmv
PATH|$work/alone/spmv-sweep||$work/on_path:$plain_path|$work/on_path/spmv
nowhere|$work/alone/spmv-sweep||$plain_path|set SPMV to its path, or build it in the source folder with: cmake --workflow --preset build
\$SPMV that does not exist|$work/beside/spmv-sweep|$work/nonexistent|$plain_path|SPMV is set to '$work/nonexistent', which is not an executable file
\$SPMV that is not executable|$work/beside/spmv-sweep|$small|$plain_path|SPMV is set to '$small', which is not an executable file
EOF

# ---- spmv-sweep over rank counts -------------------------------------------------

# The launcher and spmv-mpi, without MPI: a launcher that records its words
# and fails stands in for mpirun, so that what the sweep would start can be
# read. The sweep must stop with the launcher's message and the launcher it
# used, and leave no results.
cat >"$work/recorder" <<EOF
#!/bin/sh
printf '%s\n' "\$0" "\$@" >"$work/launched"
echo "recorder: not started" >&2
exit 3
EOF
chmod +x "$work/recorder"
mkdir "$work/fake_mpirun" "$work/hostile_launcher"
ln -s "$work/recorder" "$work/fake_mpirun/mpirun"
# A launcher whose path holds quotes and command substitutions.
hostile_launcher=$work/hostile_launcher/\''"$(touch${IFS}$PWNED_CANARY)`touch${IFS}$PWNED_CANARY`'
ln -s "$work/recorder" "$hostile_launcher"
# launched: the recorded words on one line, '|' between them, the report's
# temporary path as REPORT. A launcher without {ranks} gets "-np 2" after its
# words; in a template, {ranks} and {threads} are replaced and nothing added.
launched() { sed 's|^--report=.*/report\.json$|--report=REPORT|' "$work/launched" | paste -sd'|'; }
mpi_tail="$work/spy|--report=REPORT|--repeat=1|3|0|0|$small"
while IFS='|' read -r what mpiexec expected; do
  rm -f "$work/launched" "$work/spy_ran"
  rm -rf "$work/launch"
  status=0
  if [ "$mpiexec" = UNSET ]; then
    PATH=$work/fake_mpirun:$PATH env -u MPIEXEC SPMV_MPI="$work/spy" "$sweep" -n 2 -t 3 -r 1 -m 1 -o "$work/launch" "$small" \
      </dev/null >"$work/launch.out" 2>"$work/launch.err" || status=$?
  else
    PATH=$work/fake_mpirun:$PATH MPIEXEC=$mpiexec SPMV_MPI="$work/spy" "$sweep" -n 2 -t 3 -r 1 -m 1 -o "$work/launch" "$small" \
      </dev/null >"$work/launch.out" 2>"$work/launch.err" || status=$?
  fi
  check "launcher $what" \
    '[ $status = 1 ] && [ ! -e "$work/spy_ran" ] && [ ! -s "$work/launch.out" ] &&
     if [ -e "$work/launched" ]; then
       [ "$(launched)" = "$expected|$mpi_tail" ] && [ -z "$(ls -A "$work/launch")" ] &&
       grep -qF "spmv-mpi failed on $small with 2 ranks of 3 threads (exit 3): through the launcher " "$work/launch.err" &&
       grep -qF ": recorder: not started" "$work/launch.err"
     else
       grep -qF -- "$expected" "$work/launch.err" && [ ! -e "$work/launch" ]
     fi'
  check "launcher $what: nothing ran" '[ ! -e "$work/PWNED" ]'
done <<EOF
mpirun when MPIEXEC is unset|UNSET|$work/fake_mpirun/mpirun|-np|2
mpirun when MPIEXEC is empty||$work/fake_mpirun/mpirun|-np|2
mpirun when MPIEXEC is blank| 	 |$work/fake_mpirun/mpirun|-np|2
from MPIEXEC on PATH, with its options|mpirun --bind-to none|$work/fake_mpirun/mpirun|--bind-to|none|-np|2
from MPIEXEC split at blanks|	$work/recorder  --map-by   node:PE=3	--bind-to core |$work/recorder|--map-by|node:PE=3|--bind-to|core|-np|2
from MPIEXEC, words never evaluated|$work/recorder "a b" 'c' \$(touch \$PWNED_CANARY) \`touch \$PWNED_CANARY\`|$work/recorder|"a|b"|'c'|\$(touch|\$PWNED_CANARY)|\`touch|\$PWNED_CANARY\`|-np|2
from MPIEXEC, a semicolon is a word|$work/recorder -q;touch \$PWNED_CANARY|$work/recorder|-q;touch|\$PWNED_CANARY|-np|2
at a hostile path|$hostile_launcher -q|$hostile_launcher|-q|-np|2
a template of ranks and threads|$work/recorder -n {ranks} -c {threads} --mpi=pmix|$work/recorder|-n|2|-c|3|--mpi=pmix
a template on PATH, placeholders inside words|mpirun -np {ranks} --map-by node:PE={threads} --bind-to core|$work/fake_mpirun/mpirun|-np|2|--map-by|node:PE=3|--bind-to|core
a template with a placeholder twice|$work/recorder -n {ranks} --tag={ranks}x{threads}|$work/recorder|-n|2|--tag=2x3
{threads} alone, with -np added|$work/recorder --map-by ppr:{threads}:core|$work/recorder|--map-by|ppr:3:core|-np|2
a placeholder of another name, kept|$work/recorder --x={rank}|$work/recorder|--x={rank}|-np|2
that does not exist|$work/no-such-mpirun -q|the MPI launcher '$work/no-such-mpirun' (from MPIEXEC='$work/no-such-mpirun -q') is not an executable file or a command on PATH
not on PATH|no-such-mpirun --bind-to none|the MPI launcher 'no-such-mpirun' (from MPIEXEC='no-such-mpirun --bind-to none') is not an executable file
that is not executable|$small|the MPI launcher '$small' (from MPIEXEC='$small') is not an executable file
EOF
# The check of workers against CPUs: inside a Slurm allocation, the CPUs of
# all its nodes; elsewhere this process's. 4 ranks of 100 threads are 400
# workers. The recorder fails the first run, after the check.
slurm_variables=(-u SLURM_JOB_CPUS_PER_NODE -u SLURM_JOB_NUM_NODES -u SLURM_CPUS_ON_NODE)
while IFS='|' read -r what settings expected; do
  status=0
  # shellcheck disable=SC2086
  env "${slurm_variables[@]}" $settings MPIEXEC="$work/recorder" SPMV_MPI="$work/spy" "$sweep" -n 4 -t 100 -r 1 -m 1 \
    -o "$work/launch_slurm" "$small" </dev/null >/dev/null 2>"$work/slurm.err" || status=$?
  check "CPUs of the workers: $what" \
    '[ $status = 1 ] && if [ -n "$expected" ]; then
       grep -qxF "spmv-sweep: warning: 4 ranks of 100 threads are 400 workers, more than $expected; those runs share CPUs and measure oversubscription" "$work/slurm.err"
     else ! grep -q "warning" "$work/slurm.err"; fi' 'cat "$work/slurm.err"'
done <<EOF
no allocation||$([ "$cpus" -ge 400 ] || echo "the $cpus CPUs this process may use")
nodes of several sizes, fewer CPUs|SLURM_JOB_CPUS_PER_NODE=100(x3),99 SLURM_JOB_NUM_NODES=4 SLURM_CPUS_ON_NODE=100|the 399 CPUs of the Slurm allocation (SLURM_JOB_CPUS_PER_NODE=100(x3),99)
nodes of several sizes, enough CPUs|SLURM_JOB_CPUS_PER_NODE=64,200(x2) SLURM_JOB_NUM_NODES=3 SLURM_CPUS_ON_NODE=64|
a count of nodes, fewer CPUs|SLURM_JOB_NUM_NODES=4 SLURM_CPUS_ON_NODE=99|the 396 CPUs of the Slurm allocation (4 nodes of 99)
a count of nodes, enough CPUs|SLURM_JOB_NUM_NODES=2 SLURM_CPUS_ON_NODE=200|
an unreadable list, the count of nodes instead|SLURM_JOB_CPUS_PER_NODE=lots SLURM_JOB_NUM_NODES=2 SLURM_CPUS_ON_NODE=150|the 300 CPUs of the Slurm allocation (2 nodes of 150)
EOF

# No mpirun: a PATH of the few commands the sweep needs before it looks for
# the launcher.
mkdir "$work/no_mpirun"
for tool in jq gnuplot dirname readlink; do ln -s "$(command -v "$tool")" "$work/no_mpirun/"; done
status=0
env -u MPIEXEC PATH="$work/no_mpirun" SPMV_MPI="$work/spy" /bin/bash "$sweep" -n 1 -t 1 -o "$work/launch" "$small" \
  </dev/null >/dev/null 2>"$work/launch.err" || status=$?
check "launcher: mpirun missing" \
  '[ $status = 1 ] && [ ! -e "$work/launch" ] &&
   grep -qF "the MPI launcher '\''mpirun'\'' (MPIEXEC is not set, so the launcher is mpirun) is not" "$work/launch.err" &&
   grep -qF "Debian package openmpi-bin" "$work/launch.err" && grep -qF "set MPIEXEC" "$work/launch.err"'

# Where spmv-mpi is taken from, as spmv: $SPMV_MPI, beside the script, the
# source tree's build folder, PATH, else a message that names SPMV_MPI. The
# recorder shows which one the launcher was given.
mkdir -p "$work/mpi_tree/scripts" "$work/mpi_alone" "$work/mpi_beside" "$work/mpi_on_path"
cp "$sweep" "$work/mpi_tree/scripts/"
touch "$work/mpi_tree/CMakePresets.json"
cp "$sweep" "$work/mpi_alone/"
cp "$sweep" "$work/mpi_beside/"
for program in "$work/mpi_tree/build/release/spmv-mpi" "$work/mpi_beside/spmv-mpi" \
  "$work/mpi_on_path/spmv-mpi" "$work/mpi_from_variable"; do
  wrapper "$program"
done
while IFS='|' read -r what script variable path expected; do
  status=0
  rm -f "$work/launched"
  rm -rf "$work/lookup"
  if [ -n "$variable" ]; then
    PATH=$path SPMV_MPI=$variable MPIEXEC=$work/recorder "$script" -n 1 -t 1 -r 1 -m 1 -o "$work/lookup" "$small" \
      >/dev/null 2>"$work/lookup.err" || status=$?
  else
    PATH=$path MPIEXEC=$work/recorder env -u SPMV_MPI "$script" -n 1 -t 1 -r 1 -m 1 -o "$work/lookup" "$small" \
      >/dev/null 2>"$work/lookup.err" || status=$?
  fi
  if [[ $expected == /* ]]; then
    check "spmv-mpi from $what" '[ $status = 1 ] && [ "$(sed -n 4p "$work/launched")" = "$expected" ]'
  else
    check "spmv-mpi from $what: refused" \
      '[ $status = 1 ] && grep -qF -- "$expected" "$work/lookup.err" && [ ! -e "$work/launched" ] && [ ! -e "$work/lookup" ]'
  fi
done <<EOF
\$SPMV_MPI before the one beside the script|$work/mpi_beside/spmv-sweep|$work/mpi_from_variable|$plain_path|$work/mpi_from_variable
\$SPMV_MPI as a command name|$work/mpi_alone/spmv-sweep|spmv-mpi|$work/mpi_on_path:$plain_path|$work/mpi_on_path/spmv-mpi
beside the script|$work/mpi_beside/spmv-sweep||$work/mpi_on_path:$plain_path|$work/mpi_beside/spmv-mpi
the source tree's build folder|$work/mpi_tree/scripts/spmv-sweep||$work/mpi_on_path:$plain_path|$work/mpi_tree/build/release/spmv-mpi
PATH|$work/mpi_alone/spmv-sweep||$work/mpi_on_path:$plain_path|$work/mpi_on_path/spmv-mpi
nowhere|$work/mpi_alone/spmv-sweep||$plain_path|spmv-mpi not found beside this script, in the build tree or on PATH; set SPMV_MPI to its path
\$SPMV_MPI that does not exist|$work/mpi_beside/spmv-sweep|$work/nonexistent|$plain_path|SPMV_MPI is set to '$work/nonexistent', which is not an executable file
EOF

# Real runs of spmv-mpi through mpirun, where it is built: every pair of 1 and
# 2 ranks with 1 and 2 threads on a small generated file.
spmv_mpi=$build_dir/spmv-mpi
if [ -x "$spmv_mpi" ]; then
  # Tests run as root in CI; one node, shared memory between ranks, no
  # probing for network transports, no busy waiting on 2 cores.
  export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 OMPI_MCA_btl=self,vader OMPI_MCA_pml=ob1 \
    OMPI_MCA_mtl=^ofi OMPI_MCA_osc=^ucx OMPI_MCA_mpi_yield_when_idle=1
  mpi_launcher="mpirun -q --oversubscribe --bind-to none"
  "$build_dir/spmv-gen" 300 3000 exp17 shuffled 11 >"$work/ranks.txt"
  MPIEXEC=$mpi_launcher SPMV_MPI=$spmv_mpi sweep ranks -n "1 2" -t 1,2 -r 1 -m 2 -o "$work/ranks" "$work/ranks.txt"
  csv=$work/ranks/ranks.csv
  json=$work/ranks/ranks.json
  check "rank sweep: status" '[ $status = 0 ]'
  check "rank sweep: CSV rows of threads, ranks and workers, ranks first" \
    '[ "$(head -n 1 "$csv" | cut -d, -f1,17,18)" = threads,ranks,workers ] &&
     [ "$(tail -n +2 "$csv" | cut -d, -f1,17,18 | tr "\n" " ")" = "1,1,1 2,1,2 1,2,2 2,2,4 " ]'
  check "rank sweep: every run, its report's ranks, threads per rank and workers" \
    '[ "$(field "$json" "[.runs[] | \"\(.ranks)x\(.threads)=\(.workers):\(.report.mpi | \"\(.ranks)x\(.threads_per_rank)=\(.workers)\"),\(.report.performance.threads),\(.warmup)\"] | join(\" \")")" = "1x1=1:1x1=1,1,true 1x1=1:1x1=1,1,false 1x2=2:1x2=2,2,true 1x2=2:1x2=2,2,false 2x1=2:2x1=2,2,true 2x1=2:2x1=2,2,false 2x2=4:2x2=4,4,true 2x2=4:2x2=4,4,false" ]'
  check "rank sweep: CSV rows are the reports' numbers" \
    '[ "$(field "$json" ".runs[] | select(.warmup | not) | [.threads, .report.performance.Tp, .report.performance.E, .report.multiply.repeat_median_seconds, .report.mpi.ranks, .report.mpi.workers] | @csv")" = "$(tail -n +2 "$csv" | cut -d, -f1,3,5,14,17,18)" ]'
  check "rank sweep: JSON context of spmv-mpi, the launcher's words and the rank list" \
    '[ "$(field "$json" ".context | [.sweep.program, .spmv.path, (.sweep.launcher | join(\"|\")), .sweep.launcher_path, (.sweep.ranks | join(\",\")), (.sweep.threads | join(\",\"))] | join(\" \")")" = "spmv-mpi $spmv_mpi mpirun|-q|--oversubscribe|--bind-to|none $(command -v mpirun) 1,2 1,2" ]'
  check "rank sweep: table heading and the launcher" \
    'sed -n 3p "$work/ranks.out" | grep -qxF "launcher $mpi_launcher" &&
     grep -qE "^ +ranks +threads +workers +median Tp/s " "$work/ranks.out"'
  # Speed-ups of Tp are over 1 rank of 1 thread, efficiency over the workers.
  check "rank sweep: table rows, speed-up and efficiency from the CSV" \
    '[ "$(grep -E "^( +[0-9]+){3} +[0-9]+\.[0-9]+ " "$work/ranks.out" | awk "{ print \$1, \$2, \$3, \$6, \$7 }")" = "$(awk -F, "NR == 2 { base = \$3 }
        NR > 1 { printf \"%d %d %d %.3f %.3f\n\", \$17, \$1, \$18, base / \$3, base / \$3 / \$18 }" "$csv")" ]'
  check "rank sweep: PNG of 1500x640" '[ "$(png_kind "$work/ranks/ranks.png")" = "PNG 1500x640" ]'
  check "rank sweep: progress per pair" 'grep -qxF "spmv-sweep: 2 ranks of 1 thread, run 1 of 1" "$work/ranks.err"'
  # More workers than CPUs are warned of, counting ranks times threads.
  for pair in "1 1" "1 2" "2 1" "2 2"; do
    read -r r t <<<"$pair"
    check "rank sweep: warning for $r x $t workers only beyond $cpus CPUs" \
      '[ "$(grep -c "warning: $r ranks\? of $t threads\? are $((r * t)) workers, more than the $cpus CPUs" "$work/ranks.err")" = $((r * t > cpus ? 1 : 0)) ]'
  done
  check "rank sweep: temporary folder removed" '[ -z "$(ls -A "$work/tmp")" ]'

  # A run that fails: spmv-mpi's own message from rank 0, the launcher, no
  # results.
  MPIEXEC=$mpi_launcher SPMV_MPI=$spmv_mpi sweep ranks_failed -n 2 -t 1 -r 1 -m 1 -o "$work/ranks_bad" \
    "$source_dir/tests/data/bad/row_outside_n.txt"
  check "rank sweep: failed run with spmv-mpi's message" \
    '[ $status = 1 ] && grep -q "spmv-mpi failed on .* with 2 ranks of 1 thread (exit 1): through the launcher $mpi_launcher: .*row 12 is outside 1..10" "$work/ranks_failed.err" &&
     [ -z "$(ls -A "$work/ranks_bad")" ] && [ -z "$(ls -A "$work/tmp")" ]'
else
  echo "skipped: the rank sweeps, since $spmv_mpi is not built"
fi

# ---- The install ----------------------------------------------------------------

# The install puts the programs, the script and the man pages under the prefix.
cmake --install "$build_dir" --prefix "$work/prefix" >/dev/null
for file in bin/spmv bin/spmv-gen bin/spmv-sweep share/man/man1/spmv.1 share/man/man1/spmv-sweep.1; do
  check "installed $file" '[ -f "$work/prefix/$file" ]'
done
check "man page renders" 'man -l "$work/prefix/share/man/man1/spmv.1" 2>/dev/null | grep -q "spmv-sweep"'
if [ -x "$spmv_mpi" ]; then
  check "man spmv-mpi renders with the version" \
    'MANPATH="$work/prefix/share/man" man spmv-mpi 2>/dev/null | grep -q "spmv $("$spmv_mpi" --version | cut -d" " -f2)"'
fi
check "man spmv-sweep renders" \
  'MANPATH="$work/prefix/share/man" man spmv-sweep 2>/dev/null | grep -q "run spmv over thread counts"'
check "installed sweep: the version of the installed spmv" \
  '[ "$("$work/prefix/bin/spmv-sweep" --version)" = "$("$work/prefix/bin/spmv" --version | sed "s/^spmv /spmv-sweep /")" ]'
check "installed sweep finds spmv beside it" \
  'env -u SPMV "$work/prefix/bin/spmv-sweep" -t 1 -r 1 -m 1 -o "$work/p" "$small" >/dev/null 2>&1 &&
   [ "$(field "$work/p/small.json" .context.spmv.path)" = "$work/prefix/bin/spmv" ]'

# ---- The source state recorded at build time ------------------------------------

# The commit and the tree's state, read from a repository of one file: clean,
# with an untracked file, from a folder below the repository's top (a source
# archive unpacked inside another repository) and without git.
source_state() {  # source_state FOLDER [GIT]: prints "COMMIT STATE" as the build records them
  printf '@SPMV_GIT_COMMIT@ @SPMV_GIT_TREE_MODIFIED@' >"$work/state.in"
  cmake -DSOURCE_DIR="$1" -DGIT_EXECUTABLE="${2-git}" -DTEMPLATE="$work/state.in" \
    -DOUTPUT="$work/state.out" -P "$source_dir/cmake/source_state.cmake" && cat "$work/state.out"
}
if command -v git >/dev/null; then
  mkdir -p "$work/repo/sub"
  git -C "$work/repo" init -q && echo 1 >"$work/repo/file" && git -C "$work/repo" add file &&
    git -C "$work/repo" -c user.name=t -c user.email=t@t commit -qm one
  commit=$(git -C "$work/repo" rev-parse HEAD)
  check "source state: a clean tree" '[ "$(source_state "$work/repo")" = "$commit 0" ]' \
    'source_state "$work/repo"'
  echo 2 >"$work/repo/sub/new"
  check "source state: an untracked file is a change" '[ "$(source_state "$work/repo")" = "$commit 1" ]' \
    'source_state "$work/repo"'
  check "source state: a folder below the top is not the tree" '[ "$(source_state "$work/repo/sub")" = " -1" ]' \
    'source_state "$work/repo/sub"'
  check "source state: without git" '[ "$(source_state "$work/repo" "")" = " -1" ]' \
    'source_state "$work/repo" ""'
fi

# ---- spmv-gen ---------------------------------------------------------------------

# spmv-gen: help on standard output; unusable arguments refused with status 2,
# a message that names them and nothing on standard output; generated files
# that spmv reads; its man page, installed and found by man.
gen=$build_dir/spmv-gen
# Help and version wherever they stand before --, the first one met answered,
# whatever else the command line holds.
while IFS='|' read -r query arguments; do
  eval "set -- $arguments"
  status=0
  "$gen" "$@" </dev/null >"$work/gen_query" 2>"$work/gen_query_err" || status=$?
  if [ "$query" = help ]; then
    check "spmv-gen $arguments: the help" \
      '[ $status = 0 ] && grep -q "^usage: spmv-gen" "$work/gen_query" && [ ! -s "$work/gen_query_err" ]' \
      'echo "status $status"; head -n 3 "$work/gen_query" "$work/gen_query_err"'
  else
    check "spmv-gen $arguments: one line, the version of spmv" \
      '[ $status = 0 ] && [ "$(cat "$work/gen_query")" = "${spmv_version/#spmv /spmv-gen }" ] &&
       grep -qx "spmv-gen [0-9][0-9.]*" "$work/gen_query" && [ ! -s "$work/gen_query_err" ]' \
      'echo "status $status, spmv: $spmv_version"; head -n 3 "$work/gen_query" "$work/gen_query_err"'
  fi
done <<'EOF'
help|--help
help|-h 10 5 int
help|10 5 int -h
help|--mtx --known band 2 --help
help|--help --version
version|--version
version|10 5 float --version
version|--known rows-of 3 10 --version --help
version|--version --fast
EOF
# spmv's misuse as a user sees it: a line that names the argument, then the usage.
while IFS='|' read -r arguments message; do
  eval "set -- $arguments"
  status=0
  "$spmv" "$@" </dev/null >"$work/misuse_out" 2>"$work/misuse_err" || status=$?
  check "spmv names the misuse in $arguments" \
    '[ $status = 2 ] && [ ! -s "$work/misuse_out" ] && [ "$(head -n 1 "$work/misuse_err")" = "$message" ] &&
     sed -n 2p "$work/misuse_err" | grep -q "^usage: spmv \[--report=FILE\]"'
done <<'EOF'
2 0 0 "$small" --repat=5|spmv: unknown option '--repat=5'
--min-time 1e-1 2 0 0 "$small"|spmv: --min-time must be a decimal number of seconds from 0 to 3600, not '1e-1'
EOF
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
negative rows|-5 5 int|unknown option '-5'
zero rows|0 5 int|not '0'
rows beyond 32 bits|2147483648 5 int|not '2147483648'
rows with blanks|' 5' 5 int|not ' 5'
bad rows after --mtx|--mtx 1e6 5 int|not '1e6'
entries with a sign|10 +5 int|ENTRIES must be a whole number from 0 to 2147483647, not '+5'
entries beyond 32 bits|10 2147483648 int|not '2147483648'
an unknown value style|10 5 float|not 'float'
an unknown order|10 5 int random|not 'random'
a seed with letters|10 5 int sorted 1x|SEED must be a whole number from 0 to 18446744073709551615, not '1x'
a negative seed|10 5 int sorted -1|unknown option '-1'
a seed beyond 64 bits|10 5 int sorted 18446744073709551616|not '18446744073709551616'
an extra argument|10 5 int sorted 1 more|unexpected argument 'more'
too few arguments|10 5|ROWS, ENTRIES and a value style are needed
a known kind it does not make|--known diagonal 2 10|the known kind must be rows-of or band, not 'diagonal'
more entries in a row than columns|--known rows-of 11 10|K must be a whole number from 0 to 10, not '11'
a band wider than the matrix|--mtx --known band 10 10|B must be a whole number from 0 to 9, not '10'
--expect without --known|--expect 10 5 int|--expect and --digest need --known
--digest after the words without --known|10 5 int --digest|--expect and --digest need --known
an unknown flag after the words|10 5 int --fast|unknown option '--fast'
an unknown flag between the words|10 --mtx=1 5 int|unknown option '--mtx=1'
a single dash|10 - int|unknown option '-'
an unknown flag before --help|--fast --help|unknown option '--fast'
--expect and --digest before --version|--known --digest rows-of 3 10 --expect --version|--expect and --digest go alone, once
--help after --, a word|10 5 int -- --help|the order must be sorted or shuffled, not '--help'
a flag after --, a word|--known rows-of 3 10 -- --mtx|unexpected argument '--mtx'
a known matrix with too few words|2 10 --known|--known needs a kind (rows-of or band), its width and ROWS
EOF
# Files that spmv reads; where a second command line is given, the file is
# byte for byte the one it writes, with its flags elsewhere.
while IFS='|' read -r arguments same; do
  status=0
  # shellcheck disable=SC2086
  "$gen" $arguments </dev/null >"$work/gen.txt" &&
    "$spmv" 2 0 0 "$work/gen.txt" </dev/null >"$work/gen_run" 2>&1 ||
    status=$?
  check "spmv reads spmv-gen $arguments" '[ $status = 0 ] && grep -q "^Work took" "$work/gen_run"' \
    'echo "status $status"; head -n 3 "$work/gen.txt" "$work/gen_run"'
  if [ -n "$same" ]; then
    status=0
    # shellcheck disable=SC2086
    "$gen" $same </dev/null >"$work/gen_same.txt" || status=$?
    check "spmv-gen $arguments writes what spmv-gen $same writes" \
      '[ $status = 0 ] && cmp "$work/gen.txt" "$work/gen_same.txt"' \
      'echo "status $status"; head -n 3 "$work/gen.txt" "$work/gen_same.txt"'
  fi
done <<'EOF'
50 200 exp17 sorted
50 200 short shuffled 7
--mtx 50 200 int shuffled 0
--mtx 7 0 exp17
50 200 int --mtx shuffled 3|--mtx 50 200 int shuffled 3
50 200 short shuffled 3 --mtx|--mtx 50 200 short shuffled 3
-- 50 200 exp17|50 200 exp17
--mtx -- 50 200 int|--mtx 50 200 int
band 2 9 --known --mtx|--mtx --known band 2 9
EOF
"$gen" 20 60 exp17 shuffled 5 >"$work/seed5a"
"$gen" 20 60 exp17 shuffled 5 >"$work/seed5b"
"$gen" 20 60 exp17 shuffled 6 >"$work/seed6"
check "spmv-gen: the same seed gives the same file" 'cmp -s "$work/seed5a" "$work/seed5b"'
check "spmv-gen: another seed gives another file" '! cmp -s "$work/seed5a" "$work/seed6"'
# Known matrices: spmv's dumped result is spmv-gen's --expect, and its
# report's digest and slots are what spmv-gen says, on several threads so
# that the blocks of a symmetric band add into rows of other blocks.
while IFS='|' read -r threads arguments slots; do
  # shellcheck disable=SC2086
  "$gen" $arguments >"$work/known" && "$gen" --expect $arguments >"$work/known_expect" &&
    digest=$("$gen" --digest $arguments)
  status=0
  "$spmv" --report="$work/known.json" "$threads" 0 1 "$work/known" </dev/null >/dev/null 2>"$work/known_dump" ||
    status=$?
  check "spmv on spmv-gen $arguments, $threads threads: the known product" \
    '[ $status = 0 ] && sed -n "/^Resulting Vector$/,\$p" "$work/known_dump" | tail -n +3 | cmp -s - "$work/known_expect" &&
     [ "$(field "$work/known.json" "[.result.digest, .matrix.slots] | join(\" \")")" = "$digest $slots" ]' \
    'head -n 3 "$work/known"; tail -n 2 "$work/known"; tail -n 3 "$work/known_dump" "$work/known_expect"'
done <<'EOF'
3|--known rows-of 3 10|30
2|--mtx --known rows-of 4 9|36
4|--known band 2 11|49
3|--mtx --known band 3 11|65
2|--mtx --known band 0 5|5
2|--known rows-of 0 4|0
3|rows-of 4 --known 9 --mtx|36
EOF
# A full standard output is a failure that says where it wrote.
if [ -w /dev/full ]; then
  for arguments in "10 20 int" "--known band 2 5"; do
    status=0
    # shellcheck disable=SC2086
    "$gen" $arguments >/dev/full 2>"$work/gen_full" || status=$?
    check "spmv-gen $arguments to a full disk: status 1 and the reason" \
      '[ $status = 1 ] && [ "$(cat "$work/gen_full")" = "spmv-gen: cannot write to standard output: No space left on device" ]' \
      'echo "status $status"; cat "$work/gen_full"'
  done
fi
check "installed share/man/man1/spmv-gen.1" '[ -f "$work/prefix/share/man/man1/spmv-gen.1" ]'
check "man spmv-gen renders" \
  'MANPATH="$work/prefix/share/man" man spmv-gen 2>/dev/null | grep -q "write a random sparse matrix"'

finish_checks
