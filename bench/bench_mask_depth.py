"""Mask combination, remapping, boundary masks and depth masks against their nearest OpenCV / NumPy peers.

Times, on one 4096 x 3072 mask in one run, the module's in-place mask
intersection, in-place 256-entry remapping, boundary mask from a 64-point
list, and focus mask from a depth buffer, next to the OpenCV / NumPy
operations that do the same work, and a plain memory copy of the bytes each
operation reads. Results are compared with the peers' before timing.

usage: PYTHONPATH=<build>/pkg python bench/bench_mask_depth.py [--reps N] [--width W --height H]
NumPy and opencv-python-headless are needed here only.
"""
import argparse
import math
import os
import sys
import time

# OpenMP workers that spin between parallel regions take a core from the
# calling thread on a machine that other work keeps busy; waiting passively
# costs a wake-up per region instead. Read once, when the runtime loads, so
# it is set before anything is imported; an explicit setting wins.
os.environ.setdefault("OMP_WAIT_POLICY", "passive")

import numpy as np  # noqa: E402

try:
    import cv2
except ImportError:  # the table then shows NumPy peers only
    cv2 = None

# Tracing stays off while timing: the switch is read at construction.
os.environ.pop("QEL_DUMPMSG", None)

import PyQelBufferUtility  # noqa: E402
import zubuffer  # noqa: E402

BYTE = zubuffer.BUFFER_ALLOCATE_TYPE_BYTE


def best_ms(fn, reps):
    """Best of `reps` runs after one warm-up: the machine is shared, and the
    best run is the one least disturbed by other work."""
    fn()
    times = []
    for _ in range(reps):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times) * 1000.0


def make_buffer(arr):
    return zubuffer.from_numpy(np.ascontiguousarray(arr), BYTE)


def ours_new(fn):
    """Runs a method that returns a new buffer and releases it."""
    def run():
        buf = fn()
        if buf is None:
            raise RuntimeError("the method returned no buffer")
        zubuffer.release(buf)
    return run


def ours_hr(fn):
    def run():
        if fn() != 0:
            raise RuntimeError("the method failed")
    return run


def boundary_points(w, h):
    """A 64-point outline of a large quadrilateral listed clockwise on the
    screen: its four corners first, then 60 points along its last edge, so
    that the whole list and its first four points bound the same region."""
    corners = [(0.1 * w, 0.05 * h), (0.93 * w, 0.12 * h), (0.85 * w, 0.96 * h), (0.04 * w, 0.9 * h)]
    (x3, y3), (x0, y0) = corners[3], corners[0]
    return corners + [(x3 + (x0 - x3) * i / 61, y3 + (y0 - y3) * i / 61) for i in range(1, 61)]


def depth_table(lo, hi, depth, focus=False, invert=True):
    """The focus-mask table, written out in Python for the check."""
    def tc(v):
        return 0 if not v > 0 else 255 if v >= 255 else math.trunc(v)
    t = [0] * 256
    if hi == lo:
        t[lo] = 255
    else:
        for i in range(hi - lo + 1):
            t[lo + i] = tc(i * 255.0 / (hi - lo) + 0.5)
        t[hi + 1:] = [255] * (255 - hi)
    d = min(max(depth, 0), 255)
    t = [255 - tc(abs(d - v) * 255.0 / max(255 - d, d) + 0.5) for v in t]
    if focus:
        t = [255 - 16 * (255 - v) if 255 - v < 16 else 0 for v in t]
    return np.array([255 - v for v in t] if invert else t, dtype=np.uint8)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--width", type=int, default=4096)
    ap.add_argument("--height", type=int, default=3072)
    ap.add_argument("--reps", type=int, default=25)
    args = ap.parse_args()
    w, h, reps = args.width, args.height, args.reps

    rng = np.random.default_rng(2024)
    mask_a = rng.integers(0, 256, size=(h, w), dtype=np.uint8)
    mask_b = rng.integers(0, 256, size=(h, w), dtype=np.uint8)
    depth = rng.integers(20, 231, size=(h, w), dtype=np.uint8)
    remap = tuple(int(v) for v in rng.integers(0, 256, size=256))
    remap_np = np.array(remap, dtype=np.uint8)
    points = boundary_points(w, h)
    poly64 = np.round(np.array(points)).astype(np.int32)
    poly4 = poly64[:4]

    util = PyQelBufferUtility.PyQelBufferUtility()
    dst, ref = make_buffer(mask_a), make_buffer(mask_b)
    lut_buf = make_buffer(mask_a)
    depth_buf = make_buffer(depth)

    # Checks before timing: the same work as the peers, byte for byte.
    def fail(what):
        raise SystemExit(f"{what}: the result differs from the peer's")

    if util.MaskOperation(dst, ref, 1) != 0 or not np.array_equal(
            zubuffer.to_numpy(dst).reshape(h, w), np.bitwise_and(mask_a, mask_b)):
        fail("MaskOperation")
    if util.MaskValueMapping(lut_buf, remap) != 0 or not np.array_equal(
            zubuffer.to_numpy(lut_buf).reshape(h, w), remap_np[mask_a]):
        fail("MaskValueMapping")
    made = util.GetMaskFromDepthBuffer(depth_buf, 100)
    table = depth_table(int(depth.min()), int(depth.max()), 100)
    if not np.array_equal(zubuffer.to_numpy(made).reshape(h, w), table[depth]):
        fail("GetMaskFromDepthBuffer")
    zubuffer.release(made)
    made = util.GetMaskWithBoundary(w, h, [tuple(p) for p in poly64.tolist()])
    ours_poly = zubuffer.to_numpy(made).reshape(h, w)
    zubuffer.release(made)
    peer_poly = cv2.fillPoly(np.zeros((h, w), np.uint8), [poly4], 255) if cv2 else None
    edge_note = "" if peer_poly is None else \
        f" (differs from cv2.fillPoly on {int(np.count_nonzero(ours_poly != peer_poly))} edge pixels of " \
        f"{int(np.count_nonzero(ours_poly))}: each draws its own edge rule)"

    and_out, lut_out = np.empty_like(mask_a), np.empty_like(mask_a)
    remap_lut = remap_np.reshape(1, 256)
    table_lut = table.reshape(1, 256)
    list64 = [tuple(p) for p in poly64.tolist()]

    cases = []  # (operation, our timing fn, [(peer name, fn)], array the operation reads)
    cases.append(("MaskOperation (in place)", ours_hr(lambda: util.MaskOperation(dst, ref, 1)),
                  ([("cv2.bitwise_and", lambda: cv2.bitwise_and(mask_a, mask_b)),
                    ("cv2.bitwise_and(dst=)", lambda: cv2.bitwise_and(mask_a, mask_b, dst=and_out))] if cv2 else [])
                  + [("numpy bitwise_and(out=)", lambda: np.bitwise_and(mask_a, mask_b, out=and_out))], mask_a))
    cases.append(("MaskValueMapping (in place)", ours_hr(lambda: util.MaskValueMapping(lut_buf, remap)),
                  ([("cv2.LUT", lambda: cv2.LUT(mask_a, remap_lut)),
                    ("cv2.LUT(dst=)", lambda: cv2.LUT(mask_a, remap_lut, dst=lut_out))] if cv2 else [])
                  + [("numpy take(out=)", lambda: np.take(remap_np, mask_a, out=lut_out))], mask_a))
    cases.append(("GetMaskWithBoundary (64 points)",
                  ours_new(lambda: util.GetMaskWithBoundary(w, h, list64)),
                  [("zeros + cv2.fillPoly(64 points)", lambda: cv2.fillPoly(np.zeros((h, w), np.uint8), [poly64], 255)),
                   ("zeros + cv2.fillPoly(4 corners)", lambda: cv2.fillPoly(np.zeros((h, w), np.uint8), [poly4], 255))]
                  if cv2 else [("numpy zeros", lambda: np.zeros((h, w), np.uint8))], mask_a))
    cases.append(("GetMaskFromDepthBuffer", ours_new(lambda: util.GetMaskFromDepthBuffer(depth_buf, 100)),
                  ([("cv2.LUT", lambda: cv2.LUT(depth, table_lut))] if cv2 else [])
                  + [("numpy table[depth]", lambda: table[depth])], depth))

    print(f"image {w} x {h}, best of {reps} runs, {os.cpu_count()} CPUs, "
          f"OMP_WAIT_POLICY={os.environ['OMP_WAIT_POLICY']}"
          f"{'' if cv2 else ' (OpenCV not installed)'}")
    header = f"{'operation':32} {'implementation':34} {'ms':>9} {'x fastest peer':>15} {'x copy':>8}"
    print(header)
    print("-" * len(header))
    slower = []
    for name, fn_ours, peers, read in cases:
        copy_ms = best_ms(lambda: read.copy(), reps)
        ours_ms = best_ms(fn_ours, reps)
        peer_ms = [(pname, best_ms(pfn, reps)) for pname, pfn in peers]
        fastest = min(ms for _, ms in peer_ms)
        rows = [("PyQelBufferUtility", ours_ms)] + peer_ms + [(f"copy of {read.nbytes >> 20} MiB read", copy_ms)]
        for i, (impl, ms) in enumerate(rows):
            print(f"{name if i == 0 else '':32} {impl:34} {ms:9.2f} {ms / fastest:15.2f} {ms / copy_ms:8.2f}")
        if ours_ms > fastest:
            slower.append(name)
    print()
    print("boundary check" + edge_note)
    print("slower than the fastest peer: " + (", ".join(slower) if slower else "none"))

    for buf in (dst, ref, lut_buf, depth_buf):
        zubuffer.release(buf)
    return 0


if __name__ == "__main__":
    sys.exit(main())
