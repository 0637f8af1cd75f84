#!/usr/bin/env bash
# Creates .venv and installs the package (building the extension, the
# allocator library and zubuffer) with its test dependencies and the
# build tools that tools/devbuild.sh uses, after the Debian packages the
# build and the tests need.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
# Debian packages: a compiler, pkg-config and the Highway, xcb and libpng
# headers to build; Xvfb and xclip, the display and the other program of the clipboard
# tests, to test.
need=()
if ! command -v g++ >/dev/null || ! command -v cc >/dev/null; then need+=(build-essential); fi
command -v pkg-config >/dev/null || need+=(pkg-config)
pkg-config --exists libhwy 2>/dev/null || need+=(libhwy-dev)
pkg-config --exists xcb 2>/dev/null || need+=(libxcb1-dev)
pkg-config --exists libpng 2>/dev/null || need+=(libpng-dev)
command -v Xvfb >/dev/null || need+=(xvfb)
command -v xclip >/dev/null || need+=(xclip)
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"
fi
if [ ! -x .venv/bin/python ]; then
  python3 -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q ".[test,dev]"
