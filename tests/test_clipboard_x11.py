"""Clipboard exchange with xclip on a private Xvfb display, the module
running in worker processes so the rest of the suite never sees it."""
import io
import os
import select
import shutil
import signal
import struct
import subprocess
import sys
import time
import zlib

import numpy as np
import pytest
from PIL import Image

from test_clipboard import dib_model, paste_model, pixels

# Ends when the worker's stdin closes; answers one line per command.
WORKER = r"""
import sys, threading, time
import PyQelBufferUtility, zubuffer
util = PyQelBufferUtility.PyQelBufferUtility()
for command in sys.stdin:
    name, *args = command.split()
    if name == "copy":
        path, w, h, bpp = args[0], *map(int, args[1:])
        buf = zubuffer.from_bytes(open(path, "rb").read(), w, h, bpp)
        result = util.CopyToClipboard(util.this, buf)
        zubuffer.release(buf)
        print(result, flush=True)
    elif name == "paste":
        # Notes taken by another thread mid-call show the call let it run.
        notes, done = [], threading.Event()
        def note():
            while not done.wait(0.05):
                notes.append(time.monotonic())
        noter = threading.Thread(target=note)
        noter.start()
        start = time.monotonic()
        buf = util.PasteFromClipboard(None)
        end = time.monotonic()
        done.set()
        noter.join()
        middle = sum(start + 0.5 < t < end - 0.5 for t in notes)
        if buf is None:
            print("None", middle, flush=True)
        else:
            info = zubuffer.info(buf)
            open(args[0], "wb").write(zubuffer.to_bytes(buf))
            zubuffer.release(buf)
            print(info["width"], info["height"], info["bpp"], info["alloc_type"], flush=True)
"""

CLIPBOARD = ["xclip", "-selection", "clipboard"]


@pytest.fixture(scope="session")
def display():
    missing = [p for p in ("Xvfb", "xclip") if shutil.which(p) is None]
    if missing:
        pytest.skip(f"{' and '.join(missing)} not installed (tools/setup.sh installs them)")
    read_end, write_end = os.pipe()
    # -noreset: else the server restarts when its last client leaves, losing what the next one owns.
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp", "-noreset", "-screen", "0",
                               "64x64x24"],
                              pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                              env=x_env(None))
    os.close(write_end)
    with os.fdopen(read_end) as pipe:
        number = pipe.readline().strip() if select.select([pipe], [], [], 30)[0] else ""
    if not number:
        server.kill()
        pytest.skip("Xvfb could not start: " + server.communicate()[1].decode(errors="replace")[-500:])
    yield ":" + number
    server.terminate()
    server.wait(timeout=30)


def x_env(display, module=False):
    """Only the module's workers get a sanitizer run's preloaded runtime."""
    env = dict(os.environ, **({"DISPLAY": display} if display else {}))
    if not module:
        env.pop("LD_PRELOAD", None)
    return env


class Worker:
    def __init__(self, display, tmp_path):
        self.tmp = tmp_path
        self.proc = subprocess.Popen([sys.executable, "-c", WORKER], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=x_env(display, module=True), text=True)

    def ask(self, *words):
        self.proc.stdin.write(" ".join(map(str, words)) + "\n")
        self.proc.stdin.flush()
        assert select.select([self.proc.stdout], [], [], 120)[0], "the worker did not answer"
        return self.proc.stdout.readline().split()

    def copy(self, data, w, h, bpp):
        path = self.tmp / "copy.raw"
        path.write_bytes(data)
        return int(self.ask("copy", path, w, h, bpp)[0])

    def paste(self):
        """(width, height, bpp, alloc_type, pixels), or ("None", notes taken mid-call)."""
        path = self.tmp / "paste.raw"
        answer = self.ask("paste", path)
        if answer[0] == "None":
            return answer[0], int(answer[1])
        return (*map(int, answer), path.read_bytes())


@pytest.fixture
def worker(display, tmp_path):
    workers = []
    yield lambda: workers.append(Worker(display, tmp_path)) or workers[-1]
    for w in workers:
        w.proc.kill()
        w.proc.wait()


@pytest.fixture
def offer(display, tmp_path):
    """offer(target, data) makes xclip the clipboard's owner, serving data."""
    started = []

    def make(target, data):
        path = tmp_path / f"offer{len(started)}"
        path.write_bytes(data)
        proc = subprocess.Popen([*CLIPBOARD, "-t", target, "-i", str(path), "-quiet"], env=x_env(display),
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        started.append(proc)
        # It owns the selection once it answers with its own targets, not when it says it is waiting.
        assert select.select([proc.stdout], [], [], 30)[0]
        assert proc.stdout.readline().startswith("Waiting for selection requests")
        deadline = time.monotonic() + 30
        while subprocess.run([*CLIPBOARD, "-o", "-t", "TARGETS"], env=x_env(display), capture_output=True,
                             timeout=30).stdout.split() != [b"TARGETS", target.encode()]:
            assert time.monotonic() < deadline, "xclip did not take the clipboard"
        return proc

    yield make
    for proc in started:
        if proc.poll() is None:
            proc.send_signal(signal.SIGCONT)
            proc.kill()
        proc.wait()


def read_out(display, target):
    return subprocess.run([*CLIPBOARD, "-o", "-t", target], env=x_env(display), capture_output=True, timeout=120,
                          check=True).stdout


def bmp_file(dib):
    return b"BM" + struct.pack("<IIIi", 14 + len(dib), 0, 14 + struct.unpack_from("<I", dib)[0], 0)[:12] + dib


def test_copy_served_to_another_program(display, worker):
    w, h, bpp = 5, 3, 3  # 32-bit goes in test_large_image_both_ways
    data = pixels(w, h, bpp, salt=bpp)
    assert worker().copy(data, w, h, bpp) == 1
    assert read_out(display, "TARGETS").split() == [b"TARGETS", b"TIMESTAMP", b"image/bmp", b"image/png"]
    assert int(read_out(display, "TIMESTAMP")) > 0
    bmp = read_out(display, "image/bmp")
    assert bmp == bmp_file(dib_model(data, w, h, bpp))
    png = Image.open(io.BytesIO(read_out(display, "image/png")))
    assert png.mode == "RGB" and png.size == (w, h)
    assert np.array_equal(np.asarray(png).reshape(-1, 3), np.frombuffer(data, np.uint8).reshape(-1, 3)[:, ::-1])


def test_later_copy_replaces_and_another_owner_takes_over(display, worker, offer):
    module = worker()
    first, second = pixels(4, 2, 4, 1), pixels(3, 3, 4, 2)
    assert module.copy(first, 4, 2, 4) == 1 and module.copy(second, 3, 3, 4) == 1
    assert read_out(display, "image/bmp")[14:] == dib_model(second, 3, 3, 4)
    assert module.paste() == (3, 3, 4, 0, second)  # the module asks the X server, which asks the module
    # xclip's now, with a padded 24-bit block (its rules are test_clipboard.py's test_paste_rules)
    dib = dib_model(pixels(3, 2, 3, 5), 3, 2, 3)
    offer("image/bmp", bmp_file(dib))
    assert read_out(display, "TARGETS").split() == [b"TARGETS", b"image/bmp"]
    assert module.paste() == (3, 2, 4, 0, paste_model(dib))
    assert module.copy(second, 3, 3, 4) == 1  # and back
    assert read_out(display, "image/bmp")[14:] == dib_model(second, 3, 3, 4)


def png_file(w, h, color_type, depth, rows, plte=None, trns=None):
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    extra = (chunk(b"PLTE", plte) if plte else b"") + (chunk(b"tRNS", trns) if trns else b"")
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, depth, color_type, 0, 0, 0)) + extra
            + chunk(b"IDAT", zlib.compress(b"".join(b"\0" + r for r in rows))) + chunk(b"IEND", b""))


def bgra(rgba):
    return bytes(v for r, g, b, a in rgba for v in (b, g, r, a))


GREYS = [0, 1, 127, 200, 254, 255]  # 3 x 2
PALETTE = bytes([10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120])
INDICES = [0, 1, 2, 3, 3, 0]
RGB_ROWS = [bytes(range(9)), bytes(range(50, 59))]

PNG_CASES = {  # 8-bit RGBA goes in test_large_image_both_ways
    "rgb8": (2, 8, RGB_ROWS, None, None, [(*r[i:i + 3], 255) for r in RGB_ROWS for i in range(0, 9, 3)]),
    "grey16": (0, 16, [struct.pack(">3H", *[v * 256 + 0xAB for v in row]) for row in (GREYS[:3], GREYS[3:])],
               None, None, [(v, v, v, 255) for v in GREYS]),  # 16-bit samples keep their high byte
    "grey1": (0, 1, [bytes([0b10100000]), bytes([0b01000000])], None, None,
              [(v, v, v, 255) for v in (255, 0, 255, 0, 255, 0)]),
    "grey-alpha8": (4, 8, [bytes([1, 2, 3, 4, 5, 6]), bytes([7, 8, 9, 10, 11, 12])], None, None,
                    [(g, g, g, a) for g, a in ((1, 2), (3, 4), (5, 6), (7, 8), (9, 10), (11, 12))]),
    "grey8-trns": (0, 8, [bytes(GREYS[:3]), bytes(GREYS[3:])], None, struct.pack(">H", 127),
                   [(v, v, v, 0 if v == 127 else 255) for v in GREYS]),
    "palette8": (3, 8, [bytes(INDICES[:3]), bytes(INDICES[3:])], PALETTE, None,
                 [(*PALETTE[3 * i:3 * i + 3], 255) for i in INDICES]),
    "palette2-trns": (3, 2, [bytes([0b00011000]), bytes([0b11110000])], PALETTE, bytes([0, 128]),
                      [(*PALETTE[3 * i:3 * i + 3], (0, 128, 255, 255)[i]) for i in INDICES]),
}


@pytest.mark.parametrize("case", PNG_CASES)
def test_paste_offered_png(worker, offer, case):
    color_type, depth, rows, plte, trns, rgba = PNG_CASES[case]
    offer("image/png", png_file(3, 2, color_type, depth, rows, plte, trns))
    assert worker().paste() == (3, 2, 4, 0, bgra(rgba))


def test_damaged_png_and_no_owner(display, worker, offer):
    module = worker()
    offer("image/png", png_file(3, 2, 6, 8, [bytes(12)] * 2)[:-30])
    assert module.paste()[0] == "None"
    offer("text/plain", b"not an image")
    assert module.paste()[0] == "None"
    offer("image/png", b"").terminate()  # its window goes with it: nobody owns the clipboard
    assert module.paste()[0] == "None"


def test_large_image_both_ways(display, worker, offer, tmp_path):
    w, h = 4096, 3072  # 48 MiB: beyond the server's request limit, so INCR carries it
    image = np.random.default_rng(7).integers(0, 256, (h, w, 4), dtype=np.uint8)
    data = image.tobytes()
    module = worker()
    assert module.copy(data, w, h, 4) == 1
    bmp = read_out(display, "image/bmp")
    assert bmp[14:54] == struct.pack("<IiiHHIIiiII", 40, w, h, 1, 32, 0, w * h * 4, 2835, 2835, 0, 0)
    assert bmp[54:] == image[::-1].tobytes()
    rgba = image[..., [2, 1, 0, 3]]
    assert np.array_equal(np.asarray(Image.open(io.BytesIO(read_out(display, "image/png")))), rgba)
    del bmp
    offer("image/bmp", bmp_file(dib_model(data, w, h, 4)))
    assert module.paste() == (w, h, 4, 0, data)
    stream = io.BytesIO()
    Image.fromarray(rgba, "RGBA").save(stream, "PNG", compress_level=1)
    offer("image/png", stream.getvalue())
    assert module.paste() == (w, h, 4, 0, data)


def test_owner_that_does_not_answer(worker, offer):
    stuck = offer("image/png", png_file(1, 1, 6, 8, [bytes(4)]))
    stuck.send_signal(signal.SIGSTOP)
    # None after a few seconds, and the interpreter lock was free meanwhile: another thread kept running.
    outcome, notes_mid_call = worker().paste()
    assert outcome == "None" and notes_mid_call > 0


def test_exit_while_serving(display, worker):
    module = worker()
    assert module.copy(pixels(2, 2, 4), 2, 2, 4) == 1
    assert read_out(display, "TARGETS")
    module.proc.stdin.close()
    assert (module.proc.wait(timeout=30), module.proc.stderr.read()) == (0, "")
    with pytest.raises(subprocess.CalledProcessError):  # nothing is served once the process has gone
        read_out(display, "TARGETS")
