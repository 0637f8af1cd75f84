"""Clipboard copy and paste against NumPy / OpenCV / Pillow building and
reading the same bitmaps.

Times, on one 4096 x 3072 image in one run, with the process-local
clipboard (DISPLAY is cleared, so no X server is involved):

- CopyToClipboard of a BGRA buffer (a 32-bit DIB, rows bottom-up) next to
  building the same block with NumPy (header + flipped rows), OpenCV's and
  Pillow's BMP encoders;
- PasteFromClipboard of that 32-bit DIB, and of a 24-bit DIB (alpha set to
  255), next to reading the block with NumPy (flip, and for 24 bits an
  added alpha plane), OpenCV (flip + colour conversion, and its BMP
  decoder) and Pillow's BMP decoder.

Each line is the median of --reps runs after one warm-up, in milliseconds,
with its ratio to the fastest peer. Every timed call makes and drops its
result (pasted buffers are released).

usage: PYTHONPATH=<build>/pkg python bench/bench_clipboard.py [--reps N] [--width W --height H]
"""
import io
import os
import struct

import numpy as np

import benchlib
from benchlib import median_ms, released
import zubuffer

cv2 = benchlib.peer_module("cv2", "OpenCV")
Image = benchlib.peer_module("PIL.Image", "Pillow")

os.environ.pop("DISPLAY", None)  # the process-local clipboard: no server in the timings


def header(w, h, bpp):
    stride = (w * bpp + 3) & ~3
    return struct.pack("<IiiHHIIiiII", 40, w, h, 1, 8 * bpp, 0, stride * h, 2835, 2835, 0, 0)


def main():
    w, h, reps = benchlib.parse_args(__doc__, reps=9)
    rng = np.random.default_rng(2024)
    bgra = benchlib.random_pixels(rng, w, h)
    bgr = np.ascontiguousarray(bgra[..., :3])
    util = benchlib.utility()
    src = zubuffer.from_numpy(bgra, zubuffer.BUFFER_ALLOCATE_TYPE_BYTE)
    src3 = zubuffer.from_numpy(bgr, zubuffer.BUFFER_ALLOCATE_TYPE_BYTE)
    hwnd = util.this

    benchlib.banner(w, h, reps, statistic="median")
    table = []

    # Copy: the module against building the same 32-bit DIB.
    ours = median_ms(lambda: util.CopyToClipboard(hwnd, src), reps)
    peers = [("NumPy header + flipud().tobytes()", median_ms(lambda: header(w, h, 4) + bgra[::-1].tobytes(), reps))]
    if cv2 is not None:
        peers.append(("cv2.imencode('.bmp')", median_ms(lambda: cv2.imencode(".bmp", bgra), reps)))
    if Image is not None:
        img = Image.frombuffer("RGBA", (w, h), bgra.tobytes(), "raw", "RGBA", 0, 1)
        peers.append(("PIL Image.save(BMP)", median_ms(lambda: img.save(io.BytesIO(), "BMP"), reps)))
    table.append(benchlib.case("CopyToClipboard, BGRA", ours, peers))

    paste = released(lambda: util.PasteFromClipboard(None))

    # Paste of a 32-bit DIB (the one the copy just left).
    dib32 = header(w, h, 4) + bgra[::-1].tobytes()
    bmp32 = b"BM" + struct.pack("<IIi", 14 + len(dib32), 0, 54) + dib32
    util.CopyToClipboard(hwnd, src)
    ours = median_ms(paste, reps)
    peers = [("NumPy frombuffer()[::-1].copy()",
              median_ms(lambda: np.frombuffer(dib32, np.uint8, offset=40).reshape(h, w, 4)[::-1].copy(), reps))]
    if cv2 is not None:
        peers.append(("cv2.flip(rows, 0)",
                      median_ms(lambda: cv2.flip(np.frombuffer(dib32, np.uint8, offset=40).reshape(h, w, 4), 0), reps)))
        peers.append(("cv2.imdecode(BMP, UNCHANGED)",
                      median_ms(lambda: cv2.imdecode(np.frombuffer(bmp32, np.uint8), cv2.IMREAD_UNCHANGED), reps)))
    if Image is not None:
        peers.append(("PIL Image.open(BMP).load()", median_ms(lambda: Image.open(io.BytesIO(bmp32)).load(), reps)))
    table.append(benchlib.case("PasteFromClipboard, 32-bit DIB", ours, peers))

    # Paste of a 24-bit DIB: alpha becomes 255.
    util.CopyToClipboard(hwnd, src3)
    stride = (w * 3 + 3) & ~3
    dib24 = header(w, h, 3) + bgr[::-1].tobytes()
    assert stride == w * 3

    def numpy24():
        rows = np.frombuffer(dib24, np.uint8, offset=40).reshape(h, w, 3)[::-1]
        out = np.empty((h, w, 4), np.uint8)
        out[..., :3] = rows
        out[..., 3] = 255
        return out

    ours = median_ms(paste, reps)
    peers = [("NumPy flip + alpha plane into np.empty", median_ms(numpy24, reps))]
    if cv2 is not None:
        peers.append(("cv2.cvtColor(cv2.flip(rows, 0), BGR2BGRA)",
                      median_ms(lambda: cv2.cvtColor(cv2.flip(np.frombuffer(dib24, np.uint8, offset=40)
                                                              .reshape(h, w, 3), 0), cv2.COLOR_BGR2BGRA), reps)))
    table.append(benchlib.case("PasteFromClipboard, 24-bit DIB", ours, peers))

    zubuffer.release(src)
    zubuffer.release(src3)
    benchlib.print_table(table, 31, 44, [("x fastest peer", 15, benchlib.OVER_FASTEST)])
    print("\n(best-of medians on a shared machine: ratios are indicative)")


if __name__ == "__main__":
    main()
