"""Mask application and bounding boxes against their nearest NumPy / OpenCV peers.

Times, on one 4096 x 3072 image in one run, UpdateAlphaChannelByMask (8-bit
BGRA cut by a same-size 8-bit mask, in place) next to an exact NumPy
formulation and to OpenCV's extract / multiply-with-scale / insert of the
alpha channel, and GetBoundBox on an image holding one soft-edged object
and on one holding a few scattered pixels, next to
cv2.boundingRect(cv2.findNonZero(...)) of the same alpha or mask. Each line
is the best of --reps runs after one warm-up; results are checked against
the NumPy models before timing.

usage: PYTHONPATH=<build>/pkg python bench/bench_mask_channels.py [--reps N] [--width W --height H]
NumPy and opencv-python-headless are needed here only.
"""
import argparse
import os
import sys
import time

import numpy as np

try:
    import cv2
except ImportError:  # the table then shows NumPy peers only
    cv2 = None

# Tracing stays off while timing: the switch is read at construction.
os.environ.pop("QEL_DUMPMSG", None)

import PyQelBufferUtility  # noqa: E402
import zubuffer  # noqa: E402


def best_ms(fn, reps):
    fn()  # warm-up
    times = []
    for _ in range(reps):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times) * 1000.0


def alpha_by_mask_numpy(bgra, mask):
    """The exact rule, in place: alpha = floor(a * m / 255); a visible pixel
    under a zero mask becomes transparent black."""
    a = bgra[..., 3]
    clear = (mask == 0) & (a != 0)
    bgra[..., 3] = (a.astype(np.uint16) * mask // 255).astype(np.uint8)
    bgra[clear] = 0


def alpha_by_mask_cv2(bgra, mask):
    a = cv2.extractChannel(bgra, 3)
    cv2.multiply(a, mask, dst=a, scale=1 / 255)
    cv2.insertChannel(a, bgra, 3)


def box_of(alpha):
    ys, xs = np.nonzero(alpha)
    if len(xs) == 0:
        return (0, 0, 0, 0)
    return (int(xs.min()), int(ys.min()), int(xs.max() - xs.min() + 1), int(ys.max() - ys.min() + 1))


def object_alpha(w, h, rng):
    """A soft-edged ellipse over most of the frame, 0 outside."""
    yy, xx = np.mgrid[0:h, 0:w]
    r = ((xx - w * 0.55) / (w * 0.35)) ** 2 + ((yy - h * 0.45) / (h * 0.38)) ** 2
    alpha = np.clip((1.0 - r) * 2000.0, 0, 255).astype(np.uint8)
    return alpha


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--width", type=int, default=4096)
    ap.add_argument("--height", type=int, default=3072)
    ap.add_argument("--reps", type=int, default=7)
    args = ap.parse_args()
    w, h, reps = args.width, args.height, args.reps

    rng = np.random.default_rng(2024)
    util = PyQelBufferUtility.PyQelBufferUtility()
    made = []

    def buffer_of(arr):
        buf = zubuffer.from_numpy(np.ascontiguousarray(arr))
        made.append(buf)
        return buf

    # Mask application: a random image, a random mask with some 0 and 255.
    bgra = rng.integers(0, 256, size=(h, w, 4), dtype=np.uint8)
    mask = rng.integers(0, 256, size=(h, w), dtype=np.uint8)
    mask[:, : w // 8] = 0
    mask[:, -w // 8:] = 255
    dst = buffer_of(bgra)
    mask_buf = buffer_of(mask)
    expected = bgra.copy()
    alpha_by_mask_numpy(expected, mask)
    if util.UpdateAlphaChannelByMask(dst, mask_buf, 0, 0) != 0 or \
            not np.array_equal(zubuffer.to_numpy(dst), expected):
        raise SystemExit("UpdateAlphaChannelByMask differs from the NumPy model")
    np_img, cv_img = bgra.copy(), bgra.copy()

    # Bounding boxes: one object, and a few scattered pixels.
    alpha_obj = object_alpha(w, h, rng)
    obj_bgra = rng.integers(0, 256, size=(h, w, 4), dtype=np.uint8)
    obj_bgra[..., 3] = alpha_obj
    sparse = np.zeros((h, w), np.uint8)
    sparse[rng.integers(0, h, 12), rng.integers(0, w, 12)] = 255
    obj_buf, obj_mask_buf, sparse_buf = buffer_of(obj_bgra), buffer_of(alpha_obj), buffer_of(sparse)
    for buf, alpha in ((obj_buf, alpha_obj), (obj_mask_buf, alpha_obj), (sparse_buf, sparse)):
        if util.GetBoundBox(buf) != box_of(alpha):
            raise SystemExit("GetBoundBox differs from the NumPy model")
        if cv2 is not None and tuple(cv2.boundingRect(cv2.findNonZero(alpha))) != box_of(alpha):
            raise SystemExit("the OpenCV peer measures a different box")

    cases = [("UpdateAlphaChannelByMask", lambda: util.UpdateAlphaChannelByMask(dst, mask_buf, 0, 0), [
        ("numpy exact rule", lambda: alpha_by_mask_numpy(np_img, mask)),
    ] + ([("cv2 extract/multiply(scale)/insert", lambda: alpha_by_mask_cv2(cv_img, mask))] if cv2 else []))]
    if cv2:
        cases += [
            ("GetBoundBox BGRA object", lambda: util.GetBoundBox(obj_buf), [
                ("cv2 boundingRect(findNonZero(a))",
                 lambda: cv2.boundingRect(cv2.findNonZero(cv2.extractChannel(obj_bgra, 3)))),
                ("cv2 same, alpha given", lambda: cv2.boundingRect(cv2.findNonZero(alpha_obj)))]),
            ("GetBoundBox mask object", lambda: util.GetBoundBox(obj_mask_buf), [
                ("cv2 boundingRect(findNonZero(m))", lambda: cv2.boundingRect(cv2.findNonZero(alpha_obj)))]),
            ("GetBoundBox mask, 12 pixels", lambda: util.GetBoundBox(sparse_buf), [
                ("cv2 boundingRect(findNonZero(m))", lambda: cv2.boundingRect(cv2.findNonZero(sparse)))]),
        ]

    print(f"image {w} x {h}, best of {reps} runs, {os.cpu_count()} CPUs"
          f"{'' if cv2 else ' (OpenCV not installed)'}")
    header = f"{'operation':30} {'implementation':36} {'ms':>9} {'fastest peer / ours':>20}"
    print(header)
    print("-" * len(header))
    slower = []
    for name, fn_ours, peers in cases:
        ours_ms = best_ms(fn_ours, reps)
        peer_ms = [(pname, best_ms(pfn, reps)) for pname, pfn in peers]
        fastest = min(ms for _, ms in peer_ms)
        for i, (impl, ms) in enumerate([("PyQelBufferUtility", ours_ms)] + peer_ms):
            ratio = f"{fastest / ours_ms:20.2f}" if i == 0 else ""
            print(f"{name if i == 0 else '':30} {impl:36} {ms:9.2f} {ratio}")
        if ours_ms > fastest:
            slower.append(name)
    print()
    print("slower than the fastest peer: " + (", ".join(slower) if slower else "none"))

    for buf in made:
        zubuffer.release(buf)
    return 0


if __name__ == "__main__":
    sys.exit(main())
