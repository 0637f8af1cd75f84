"""The demo runs end to end and every picture it writes shows something."""
import os
import re
import subprocess
import sys

import pytest

from conftest import ROOT

Image = pytest.importorskip("PIL.Image", reason="the demo writes its pictures with Pillow")


def run_demo(*args, env=None):
    return subprocess.run([sys.executable, os.path.join(ROOT, "examples", "demo.py"), *args],
                          capture_output=True, text=True, timeout=300, env=env)


def test_photo_session_writes_every_picture_and_the_sheet(tmp_path):
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "QEL_DUMPMSG")}
    done = run_demo("--out", str(tmp_path), env=env)
    assert done.returncode == 0, done.stdout + done.stderr
    with open(tmp_path / "index.html") as f:
        page = f.read()
    pictures = re.findall(r'<img src="([^"]+)"', page)
    assert len(pictures) == 20 and sorted(pictures) == sorted(p.name for p in tmp_path.glob("*.png"))
    for name in pictures:
        with Image.open(tmp_path / name) as im:
            lo, hi = zip(*im.convert("RGBA").getextrema())
            assert max(h - l for l, h in zip(lo[:3], hi[:3])) > 32, f"{name} is blank"
    assert "same pixels: True" in page and f"Contact sheet: {tmp_path / 'index.html'}" in done.stdout


def test_console_tour_on_the_embedded_sample():
    done = run_demo("--sample")
    assert done.returncode == 0, done.stderr
    assert "planar round trip keeps the pixels: True" in done.stdout
    assert "buffers still alive: 0" in done.stdout
