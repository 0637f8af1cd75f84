#!/usr/bin/env bash
# Sets up (tools/setup.sh) and runs the demo: an editing session whose
# pictures and index.html contact sheet go to demo-output/ (pass --out DIR
# for another folder, or --sample for the quick console tour).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/tools/setup.sh"
cd "$here"
exec "$here/.venv/bin/python" "$here/examples/demo.py" "$@"
