#!/usr/bin/env bash
# Sets up (tools/setup.sh) and runs the test suite against the installed package.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/tools/setup.sh"
cd "$here"
# Run from the tests folder so the installed package, not the source tree, is imported.
exec .venv/bin/python -m pytest -q -p no:cacheprovider tests "$@"
