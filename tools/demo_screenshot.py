#!/usr/bin/env python3
"""Runs the demo and opens its contact sheet in headless Chromium (Debian's
`chromium`): checks that the browser rendered every picture and writes a
screenshot of the page.

  PYTHONPATH=<build>/pkg python tools/demo_screenshot.py [--out DIR] [--shot FILE]

Exits 1 when a picture did not render (or the browser is missing).
"""
import argparse
import os
import re
import shutil
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Counts, once the page has loaded, the pictures the browser decoded.
PROBE = """<script>
window.addEventListener("load", () => {
  const imgs = [...document.images];
  const ok = imgs.filter(i => i.complete && i.naturalWidth > 0).length;
  document.body.setAttribute("data-rendered", ok + "/" + imgs.length);
});
</script>"""


def browser():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        path = shutil.which(name)
        if path:
            return path
    return None


def headless(exe, *args):
    cmd = [exe, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars", *args]
    return subprocess.run(cmd, capture_output=True, text=True, timeout=120)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", default=os.path.join(ROOT, "demo-output"))
    ap.add_argument("--shot", default=None, help="screenshot file (default: <out>/contact-sheet.png)")
    opts = ap.parse_args(argv)
    exe = browser()
    if exe is None:
        print("no headless browser: apt-get install chromium", file=sys.stderr)
        return 1
    subprocess.run([sys.executable, os.path.join(ROOT, "examples", "demo.py"), "--out", opts.out], check=True,
                   stdout=subprocess.DEVNULL)
    sheet = os.path.join(opts.out, "index.html")
    probe = os.path.join(opts.out, "index-probe.html")
    with open(sheet) as f:
        page = f.read()
    with open(probe, "w") as f:
        f.write(page.replace("</body>", PROBE + "</body>"))
    try:
        dom = headless(exe, "--virtual-time-budget=10000", "--dump-dom", "file://" + probe).stdout
    finally:
        os.remove(probe)
    found = re.search(r'data-rendered="(\d+)/(\d+)"', dom)
    if found is None:
        print("the browser did not report on the pictures", file=sys.stderr)
        return 1
    rendered, total = int(found.group(1)), int(found.group(2))
    shot = opts.shot or os.path.join(opts.out, "contact-sheet.png")
    headless(exe, "--window-size=1400,2400", "--virtual-time-budget=10000", "--screenshot=" + os.path.abspath(shot),
             "file://" + sheet)
    print(f"{rendered} of {total} pictures rendered; screenshot {shot}")
    return 0 if total > 0 and rendered == total and os.path.exists(shot) else 1


if __name__ == "__main__":
    sys.exit(main())
