"""Mask combination, remapping, boundary masks and depth masks against their nearest OpenCV / NumPy peers.

Times, on one 4096 x 3072 mask in one run, the module's in-place mask
intersection, in-place 256-entry remapping, boundary mask from a 64-point
list, and focus mask from a depth buffer, next to the OpenCV / NumPy
operations that do the same work, and a plain memory copy of the bytes each
operation reads. Results are compared with the peers' before timing.

usage: PYTHONPATH=<build>/pkg python bench/bench_mask_depth.py [--reps N] [--width W --height H]
NumPy and opencv-python-headless are needed here only.
"""
import math
import os
import sys

# OpenMP workers that spin between parallel regions take a core from the
# calling thread on a machine that other work keeps busy; waiting passively
# costs a wake-up per region instead. Read once, when the runtime loads, so
# it is set before anything is imported; an explicit setting wins.
os.environ.setdefault("OMP_WAIT_POLICY", "passive")

import numpy as np  # noqa: E402

import benchlib  # noqa: E402
from benchlib import released  # noqa: E402
import zubuffer  # noqa: E402

cv2 = benchlib.peer_module("cv2", "OpenCV")  # the table then shows NumPy peers only

BYTE = zubuffer.BUFFER_ALLOCATE_TYPE_BYTE


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
    w, h, reps = benchlib.parse_args(__doc__, reps=25)

    rng = np.random.default_rng(2024)
    mask_a = benchlib.random_pixels(rng, w, h, 1)
    mask_b = benchlib.random_pixels(rng, w, h, 1)
    depth = rng.integers(20, 231, size=(h, w), dtype=np.uint8)
    remap = tuple(int(v) for v in rng.integers(0, 256, size=256))
    remap_np = np.array(remap, dtype=np.uint8)
    points = boundary_points(w, h)
    poly64 = np.round(np.array(points)).astype(np.int32)
    poly4 = poly64[:4]

    util = benchlib.utility()
    dst, ref = zubuffer.from_numpy(mask_a, BYTE), zubuffer.from_numpy(mask_b, BYTE)
    lut_buf = zubuffer.from_numpy(mask_a, BYTE)
    depth_buf = zubuffer.from_numpy(depth, BYTE)

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
                  released(lambda: util.GetMaskWithBoundary(w, h, list64)),
                  [("zeros + cv2.fillPoly(64 points)", lambda: cv2.fillPoly(np.zeros((h, w), np.uint8), [poly64], 255)),
                   ("zeros + cv2.fillPoly(4 corners)", lambda: cv2.fillPoly(np.zeros((h, w), np.uint8), [poly4], 255))]
                  if cv2 else [("numpy zeros", lambda: np.zeros((h, w), np.uint8))], mask_a))
    cases.append(("GetMaskFromDepthBuffer", released(lambda: util.GetMaskFromDepthBuffer(depth_buf, 100)),
                  ([("cv2.LUT", lambda: cv2.LUT(depth, table_lut))] if cv2 else [])
                  + [("numpy table[depth]", lambda: table[depth])], depth))

    benchlib.banner(w, h, reps, extra=f", OMP_WAIT_POLICY={os.environ['OMP_WAIT_POLICY']}")
    table = [benchlib.measure(name, fn_ours, peers, reps, read=read) for name, fn_ours, peers, read in cases]
    slower = benchlib.print_table(table, 32, 34, [("x fastest peer", 15, benchlib.OVER_FASTEST),
                                                  ("x copy", 8, benchlib.OVER_COPY)])
    print()
    print("boundary check" + edge_note)
    benchlib.print_slower(slower)

    for buf in (dst, ref, lut_buf, depth_buf):
        zubuffer.release(buf)
    return 0


if __name__ == "__main__":
    sys.exit(main())
