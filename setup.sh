#!/usr/bin/env bash
# Sets up spmv on Debian 12 from a fresh clone:
#   ./setup.sh        installs what the program needs, builds it into
#                     build/release and runs it on examples/small.txt
#   ./setup.sh test   installs what the tests need as well, builds the program
#                     with its tests and runs them
# Debian packages that are missing are installed with apt-get: directly as
# root, through sudo otherwise. When everything is installed already, nothing
# is asked of apt and no root is needed, so a second run only builds.
set -euo pipefail
cd "$(dirname "$0")"

program_packages=(g++ make cmake nlohmann-json3-dev libarchive-dev zlib1g-dev)
test_packages=(libgtest-dev libgmock-dev gnuplot-nox jq man-db openmpi-bin libopenmpi-dev)

usage() {
  echo "usage: ./setup.sh [test]"
  echo "  (nothing)  install the program's packages, build it, run it on the example"
  echo "  test       install the test suite's packages too, build it and run it"
}

if [ $# -gt 1 ]; then
  usage >&2
  exit 2
fi
case "${1:-}" in
  "")
    packages=("${program_packages[@]}")
    ;;
  test)
    packages=("${program_packages[@]}" "${test_packages[@]}")
    ;;
  -h | --help)
    usage
    exit 0
    ;;
  *)
    usage >&2
    exit 2
    ;;
esac

say() { echo "setup.sh: $*" >&2; }

# The packages of the list that dpkg does not know as installed.
missing_packages() {
  local package
  for package in "$@"; do
    if [ "$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null)" != installed ]; then
      echo "$package"
    fi
  done
}

if ! command -v dpkg-query >/dev/null || ! command -v apt-get >/dev/null; then
  say "this script installs Debian packages with apt-get, which this system does not have."
  say "Install the equivalents of: ${packages[*]}"
  say "then build with: cmake --workflow --preset $([ "${1:-}" = test ] && echo test || echo build)"
  exit 1
fi

mapfile -t missing < <(missing_packages "${packages[@]}")
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then
    as_root=()
  elif command -v sudo >/dev/null; then
    as_root=(sudo)
  else
    say "missing Debian packages: ${missing[*]}"
    say "you are not root and sudo is not installed; as root, run:"
    say "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}"
    say "then run this script again."
    exit 1
  fi
  say "installing ${missing[*]}"
  # Never ask anything: no debconf questions, no confirmation, no standard input.
  if ! "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update </dev/null ||
    ! "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
      apt-get install -y --no-install-recommends "${missing[@]}" </dev/null; then
    say "could not install: ${missing[*]}"
    say "as root, run: apt-get update && apt-get install -y --no-install-recommends ${missing[*]}"
    exit 1
  fi
  mapfile -t missing < <(missing_packages "${packages[@]}")
  if [ ${#missing[@]} -gt 0 ]; then
    say "still not installed after apt-get: ${missing[*]}"
    exit 1
  fi
fi

if [ "${1:-}" = test ]; then
  cmake --workflow --preset test
else
  cmake --workflow --preset build
  build/release/spmv 2 0 1 examples/small.txt
fi
