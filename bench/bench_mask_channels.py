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
import sys

import numpy as np

import benchlib
import zubuffer

cv2 = benchlib.peer_module("cv2", "OpenCV")  # the table then shows NumPy peers only


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
    w, h, reps = benchlib.parse_args(__doc__, reps=7)

    rng = np.random.default_rng(2024)
    util = benchlib.utility()
    made = []

    def buffer_of(arr):
        buf = zubuffer.from_numpy(arr)
        made.append(buf)
        return buf

    # Mask application: a random image, a random mask with some 0 and 255.
    bgra = benchlib.random_pixels(rng, w, h)
    mask = benchlib.random_pixels(rng, w, h, 1)
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
    obj_bgra = benchlib.random_pixels(rng, w, h)
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

    benchlib.banner(w, h, reps)
    table = [benchlib.measure(name, fn_ours, peers, reps) for name, fn_ours, peers in cases]
    slower = benchlib.print_table(table, 30, 36, [("fastest peer / ours", 20, benchlib.FASTEST_OVER_OURS)])
    print()
    benchlib.print_slower(slower)

    for buf in made:
        zubuffer.release(buf)
    return 0


if __name__ == "__main__":
    sys.exit(main())
