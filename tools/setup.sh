#!/usr/bin/env bash
# Creates .venv and installs the package (building the extension, the
# allocator library and zubuffer) with its test dependencies and the
# build tools that tools/devbuild.sh uses.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
if ! command -v g++ >/dev/null || ! command -v cc >/dev/null; then
  apt-get update -qq && apt-get install -y -qq build-essential
fi
if [ ! -x .venv/bin/python ]; then
  python3 -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q ".[test,dev]"
