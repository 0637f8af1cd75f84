#!/usr/bin/env bash
# Sets up (tools/setup.sh) and runs the demo on its embedded sample image.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/tools/setup.sh"
exec "$here/.venv/bin/python" "$here/examples/demo.py"
