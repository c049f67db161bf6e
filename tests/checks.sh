# The checks of the shell tests, sourced by each: a scratch folder in $work,
# removed at exit, and check NAME CONDITION [EVIDENCE], which evaluates
# CONDITION as shell code and counts it, and when it fails evaluates EVIDENCE
# (shell code too) to show what was found; finish_checks prints the count and
# gives the status.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
checks=0
check() {
  checks=$((checks + 1))
  if eval "$2"; then
    echo "ok: $1"
  else
    echo "FAILED: $1"
    failures=$((failures + 1))
    if [ -n "${3:-}" ]; then eval "$3" 2>&1 | sed 's/^/    /' || true; fi
  fi
}
finish_checks() {
  echo "$((checks - failures)) passed, $failures failed"
  [ "$failures" = 0 ]
}
