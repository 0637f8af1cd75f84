#!/usr/bin/env bash
# Builds every library with AddressSanitizer and UndefinedBehaviorSanitizer
# (no recovery: the first report stops the run) into build-asan/ and runs
# the whole suite against it (needs tools/setup.sh's .venv for pytest).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
[ -x .venv/bin/python ] || bash tools/setup.sh
# An older .venv may predate the dev tools; SWIG and CMake must be on PATH here.
[ -x .venv/bin/swig ] && [ -x .venv/bin/cmake ] || .venv/bin/python -m pip install -q ".[dev]"
PATH="$here/.venv/bin:$PATH" bash tools/devbuild.sh "$here/build-asan" -DQEL_ASAN=ON -DQEL_UBSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
export PYTHONPATH="$here/build-asan/pkg"
export LD_PRELOAD="$(gcc -print-file-name=libasan.so)"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
exec .venv/bin/python -m pytest -q -p no:cacheprovider tests "$@"
