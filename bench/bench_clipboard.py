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
import argparse
import io
import os
import statistics
import struct
import time

import numpy as np

try:
    import cv2
except ImportError:
    cv2 = None
try:
    from PIL import Image
except ImportError:
    Image = None

os.environ.pop("QEL_DUMPMSG", None)
os.environ.pop("DISPLAY", None)  # the process-local clipboard: no server in the timings

import PyQelBufferUtility  # noqa: E402
import zubuffer  # noqa: E402


def median_ms(fn, reps):
    fn()
    times = []
    for _ in range(reps):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times) * 1000.0


def header(w, h, bpp):
    stride = (w * bpp + 3) & ~3
    return struct.pack("<IiiHHIIiiII", 40, w, h, 1, 8 * bpp, 0, stride * h, 2835, 2835, 0, 0)


def table(title, ours_ms, peers):
    best = min(ms for _, ms in peers)
    print(f"\n{title}")
    print(f"  {'ours':44s} {ours_ms:9.2f} ms   x{ours_ms / best:5.2f} of the fastest peer")
    for name, ms in peers:
        print(f"  {name:44s} {ms:9.2f} ms   x{ms / best:5.2f}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--width", type=int, default=4096)
    ap.add_argument("--height", type=int, default=3072)
    ap.add_argument("--reps", type=int, default=9)
    args = ap.parse_args()
    w, h, reps = args.width, args.height, args.reps
    rng = np.random.default_rng(2024)
    bgra = rng.integers(0, 256, size=(h, w, 4), dtype=np.uint8)
    bgr = np.ascontiguousarray(bgra[..., :3])
    util = PyQelBufferUtility.PyQelBufferUtility()
    src = zubuffer.from_numpy(bgra, zubuffer.BUFFER_ALLOCATE_TYPE_BYTE)
    src3 = zubuffer.from_numpy(bgr, zubuffer.BUFFER_ALLOCATE_TYPE_BYTE)
    hwnd = util.this

    # Copy: the module against building the same 32-bit DIB.
    ours = median_ms(lambda: util.CopyToClipboard(hwnd, src), reps)
    peers = [("NumPy header + flipud().tobytes()", median_ms(lambda: header(w, h, 4) + bgra[::-1].tobytes(), reps))]
    if cv2 is not None:
        peers.append(("cv2.imencode('.bmp')", median_ms(lambda: cv2.imencode(".bmp", bgra), reps)))
    if Image is not None:
        img = Image.frombuffer("RGBA", (w, h), bgra.tobytes(), "raw", "RGBA", 0, 1)
        peers.append(("PIL Image.save(BMP)", median_ms(lambda: img.save(io.BytesIO(), "BMP"), reps)))
    table(f"CopyToClipboard, BGRA {w} x {h}", ours, peers)

    def paste():
        zubuffer.release(util.PasteFromClipboard(None))

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
    table(f"PasteFromClipboard, 32-bit DIB {w} x {h}", ours, peers)

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
    table(f"PasteFromClipboard, 24-bit DIB {w} x {h}", ours, peers)

    zubuffer.release(src)
    zubuffer.release(src3)
    print("\n(best-of medians on a shared machine: ratios are indicative)")


if __name__ == "__main__":
    main()
