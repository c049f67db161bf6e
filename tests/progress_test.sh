#!/usr/bin/env bash
# The progress line of a long read, under a pseudo-terminal made by script(1):
#   progress_test.sh SPMV_EXECUTABLE SOURCE_DIR
# SPMV_PROGRESS_DELAY_MS=0 makes every read long enough to show the line. It
# must appear on a terminal, be erased before anything else is written, and
# leave no trace when standard error is a file or a pipe.
set -euo pipefail
spmv=$1
source_dir=$2
source "$(dirname "${BASH_SOURCE[0]}")/checks.sh"
command -v script >/dev/null || { echo "FAILED: script is missing (Debian package util-linux)"; exit 1; }
command -v perl >/dev/null || { echo "FAILED: perl is missing"; exit 1; }
unset SPMV_PROGRESS_DELAY_MS

small=$source_dir/examples/small.txt
bad=$source_dir/tests/data/bad/blank_only.txt
# A name with an escape character and a newline in it.
odd=$work/$'odd\033[31m\nname.txt'
cp "$small" "$odd"

# on_terminal NAME COMMAND: runs COMMAND (shell code that names files through
# exported variables only) with a pseudo-terminal as standard input, output and
# error; what the terminal got goes to $work/NAME.tty.
on_terminal() {
  script -qfc "$2" /dev/null </dev/null >"$work/$1.tty" || true
}
export spmv small bad odd work
# plain NAME ARGUMENTS...: spmv with standard output and error to files.
plain() {
  local name=$1
  shift
  "$spmv" "$@" >"$work/$name.out" 2>"$work/$name.err" || true
}
# The terminal's text without progress lines and erasures, with the
# terminal's CR LF turned back into LF.
strip_progress() {
  perl -0777 -pe 's/\rspmv: reading [^\r]*\e\[K//g; s/\r\e\[K//g; s/\r\n/\n/g' "$1"
}
# The times of the performance line, which differ from run to run.
mask_times() { sed -E 's/Tp: [0-9.]+ seconds with S: [0-9.]+ , E: [0-9.]+/Tp: T/'; }
# The terminal's text starts with one or more progress lines, then their
# erasure, and nothing after it mentions a read in progress.
progress_then_erased() {
  perl -0777 -ne 'exit(/\A(\rspmv: reading [^\r\e]*\e\[K)+\r\e\[K(?!.*spmv: reading)/s ? 0 : 1)' "$1"
}
has_progress() { grep -q 'spmv: reading' "$1"; }

# ---- a terminal -----------------------------------------------------------------

plain reference 2 0 1 "$small"
SPMV_PROGRESS_DELAY_MS=0 on_terminal dump '"$spmv" 2 0 1 "$small"'
check "the line appears on a terminal" 'has_progress "$work/dump.tty"'
check "it is erased before the dump and the performance line" \
  'progress_then_erased "$work/dump.tty"'
# A path of any length fits in the line when it is given relative to the
# folder the program runs in, as a user in that folder would give it.
SPMV_PROGRESS_DELAY_MS=0 on_terminal named 'cd "$(dirname "$small")" && "$spmv" 2 0 0 small.txt'
check "it names the file and counts both passes over its bytes" \
  'grep -qF "spmv: reading small.txt: 66 of 66 B, " "$work/named.tty"'
check "without it the terminal gets the dump and the line of a plain run" \
  'cmp -s <(strip_progress "$work/dump.tty" | mask_times) \
          <(cat "$work/reference.err" "$work/reference.out" | mask_times)'

SPMV_PROGRESS_DELAY_MS=0 on_terminal quiet '"$spmv" 2 0 0 "$small"'
check "it is erased before the performance line alone" 'progress_then_erased "$work/quiet.tty"'

plain refused 2 0 0 "$bad"
SPMV_PROGRESS_DELAY_MS=0 on_terminal refused '"$spmv" 2 0 0 "$bad"'
check "a refused file: erased before the refusal" 'progress_then_erased "$work/refused.tty"'
check "a refused file: the refusal as without a terminal" \
  'cmp -s <(strip_progress "$work/refused.tty") \
          <(cat "$work/refused.out" "$work/refused.err")'

SPMV_PROGRESS_DELAY_MS=0 on_terminal missing '"$spmv" 2 0 0 "$work/no such file"'
check "a missing file: erased before the message" \
  'progress_then_erased "$work/missing.tty" && grep -q "No such file" "$work/missing.tty"'

on_terminal undelayed '"$spmv" 2 0 1 "$small"'
check "a read shorter than a second shows nothing" '! has_progress "$work/undelayed.tty"'

SPMV_PROGRESS_DELAY_MS=0 on_terminal odd '"$spmv" 2 0 0 "$odd"'
check "control characters in the path are escaped" \
  "grep -qF 'odd\\x1b[31m\\x0aname.txt: 66 of 66 B' \"\$work/odd.tty\" &&
   ! grep -q \$'\\e\\[31m' \"\$work/odd.tty\""

SPMV_PROGRESS_DELAY_MS=0 on_terminal narrow 'stty cols 50; "$spmv" 2 0 0 "$small"'
check "on a narrow terminal the line stays within its width" \
  "perl -ne 'while (/\\rspmv: reading ([^\\r]*?)\\e\\[K/g) { exit 1 if length(\"spmv: reading \$1\") > 49 }' \
     \"\$work/narrow.tty\" && grep -qF 'spmv: reading ...' \"\$work/narrow.tty\""

# ---- standard error elsewhere ---------------------------------------------------

SPMV_PROGRESS_DELAY_MS=0 on_terminal to_file '"$spmv" 2 0 1 "$small" 2>"$work/to_file.err"'
check "standard error a file: the dump byte for byte" \
  'cmp -s "$work/to_file.err" "$work/reference.err"'
check "standard error a file: nothing on the terminal either" '! has_progress "$work/to_file.tty"'

SPMV_PROGRESS_DELAY_MS=0 on_terminal to_pipe '"$spmv" 2 0 1 "$small" 2>&1 >"$work/to_pipe.out" | cat >"$work/to_pipe.err"'
check "standard error a pipe: the dump byte for byte" \
  'cmp -s "$work/to_pipe.err" "$work/reference.err"'

SPMV_PROGRESS_DELAY_MS=0 plain delayed 2 0 1 "$small"
check "no terminal at all: the dump byte for byte" 'cmp -s "$work/delayed.err" "$work/reference.err"'
check "no terminal at all: the performance line alone" \
  'cmp -s <(mask_times <"$work/delayed.out") <(mask_times <"$work/reference.out")'
SPMV_PROGRESS_DELAY_MS=0 plain refused_plain 2 0 0 "$bad"
check "no terminal at all: a refusal byte for byte" \
  'cmp -s "$work/refused_plain.err" "$work/refused.err" &&
   cmp -s "$work/refused_plain.out" "$work/refused.out"'

finish_checks
