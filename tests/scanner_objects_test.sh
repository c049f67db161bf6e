#!/usr/bin/env bash
# The object files of the vector scanners may define code only for their own
# entry points, scan_entries_*: any other function defined there (an inline
# function or template from a header, emitted as a weak symbol) is compiled
# for that file's instruction set, and the linker may keep that copy for the
# whole program.
#   tests/scanner_objects_test.sh OBJECT...
set -euo pipefail
. "$(dirname "$0")/checks.sh"
for object in "$@"; do
  nm --defined-only -C "$object" | awk '$2 ~ /^[TWw]$/' >"$work/code"
  check "$(basename "$object") defines code for its entry point only" \
    '[ "$(grep -vc "scan_entries_" "$work/code")" = 0 ] && grep -q "scan_entries_" "$work/code"' \
    'cat "$work/code"'
done
finish_checks
