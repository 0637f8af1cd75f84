#!/usr/bin/env bash
# Builds the whole package into <build-dir>/pkg with the installed layout.
# usage: tools/devbuild.sh <build-dir> [extra cmake args...]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?usage: tools/devbuild.sh <build-dir> [cmake args...]}
shift
gen=()
command -v ninja >/dev/null && gen=(-G Ninja)
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$here" -B "$build" "${gen[@]}" -DPython_EXECUTABLE="$(command -v python3)" "$@" >/dev/null
fi
cmake --build "$build" -j "$(nproc)"
