#!/usr/bin/env bash
# Builds the wheel with `pip wheel .`, installs it into a fresh virtual
# environment and runs the test suite there, against the installed wheel
# only (the allocator library must travel inside it at Kernel/Photo/).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 -m pip wheel -q --no-deps -w "$work/dist" "$here"
wheel=$(ls "$work"/dist/*.whl)
echo "wheel: $(basename "$wheel")"
python3 - "$wheel" <<'PY'
import sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
need = ["Kernel/Photo/libZuBufferAllocator.so", "PyQelBufferUtility.py", "zubuffer.py",
        "PyQelBufferUtility-stubs/__init__.pyi", "zubuffer-stubs/__init__.pyi"]
missing = [n for n in need if n not in names]
assert not missing, f"the wheel lacks {missing}"
assert any(n.startswith("_PyQelBufferUtility.") and n.endswith(".so") for n in names)
PY
python3 -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q --upgrade pip
"$work/venv/bin/python" -m pip install -q "$wheel[test]"
cd "$here"
"$work/venv/bin/python" -m pytest -q -p no:cacheprovider tests "$@"
