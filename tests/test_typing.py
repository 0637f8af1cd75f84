"""The typed proxies: they match the module's doc strings, and a type
checker accepts a correct script and catches a wrong one."""
import os
import runpy
import shutil
import subprocess
import sys

import pytest

import _PyQelBufferUtility
from conftest import ROOT

HERE = os.path.join(ROOT, "tests", "typing")
MODULE_DIR = os.path.dirname(os.path.abspath(_PyQelBufferUtility.__file__))


def test_stubs_are_those_the_doc_strings_give():
    gen = runpy.run_path(os.path.join(ROOT, "tools", "gen_stubs.py"))
    with open(gen["STUB"]) as f:
        assert f.read() == gen["generate"](_PyQelBufferUtility), "run tools/gen_stubs.py"


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    pytest.importorskip("mypy", reason="mypy comes with the test extra")
    env = dict(os.environ)
    if not MODULE_DIR.startswith(tuple(p for p in sys.path if p.endswith("site-packages"))):
        # A build folder on PYTHONPATH: mypy finds stub-only packages only in
        # site-packages, so the same stubs are laid out as plain packages.
        search = tmp_path_factory.mktemp("stubs")
        for name in ("PyQelBufferUtility", "zubuffer"):
            shutil.copytree(os.path.join(MODULE_DIR, name + "-stubs"), search / name)
        env["MYPYPATH"] = str(search)

    def run(script):
        done = subprocess.run([sys.executable, "-m", "mypy", "--strict-optional", "--no-incremental",
                               "--cache-dir", os.devnull, os.path.join(HERE, script)],
                              capture_output=True, text=True, env=env, cwd=HERE)
        return done.returncode, done.stdout

    return run


def test_a_correct_script_checks_clean(mypy):
    code, out = mypy("good_script.py")
    assert code == 0, out


def test_mistakes_are_caught_on_their_lines(mypy):
    code, out = mypy("bad_script.py")
    flagged = sorted({int(ln.split(":")[1]) for ln in out.splitlines() if ": error:" in ln})
    assert (code, flagged) == (1, [7, 8, 9, 10, 11]), out
