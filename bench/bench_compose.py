"""Composition, decoration and blending against NumPy / Pillow / OpenCV peers.

On one 4096 x 3072 BGRA image, in one run, times:
  - ComposeWithBuffer at opacity 0.7 with a same-size source, orientation 1
    and orientation 6, next to a NumPy formulation of the same blend (same
    bytes out, checked before timing) and Pillow's Image.alpha_composite;
  - ComposeWithSetting drawing a frame with a shadow, next to the OpenCV
    idiom for a translucent frame (cv2.rectangle on a copy + cv2.addWeighted,
    once for the shadow and once for the frame);
  - BlendIgnoreAlphaChannel at ratio 0.3, next to cv2.addWeighted and a
    NumPy formulation of the same integer blend (checked before timing).

Each line is the best of --reps runs after one warm-up. The composition and
the decoration work in place on a buffer (the NumPy formulations likewise
on an array); the blend makes a new buffer each run, which is released, as
the peers make and drop theirs.

usage: PYTHONPATH=<build>/pkg python bench/bench_compose.py [--reps N] [--width W --height H]
"""
import sys

import numpy as np

import benchlib
from benchlib import released
import zubuffer

cv2 = benchlib.peer_module("cv2", "OpenCV")
Image = benchlib.peer_module("PIL.Image", "Pillow")


def numpy_blend(d, s, alpha):
    """The composition's blend of a source onto a destination view, both (h, w) uint32 BGRA."""
    sA = s >> 24
    ea = np.floor(sA * np.float64(np.float32(alpha))).astype(np.uint32)
    nea = 255 - ea
    rb = (((s & 0x00FF00FF) * ea + (d & 0x00FF00FF) * nea) >> 8) & 0x00FF00FF
    g = (((s & 0x0000FF00) * ea + (d & 0x0000FF00) * nea) >> 8) & 0x0000FF00
    dA = d >> 24
    a = np.where(dA == 255, 255, dA - (dA * ea) // 255 + ea).astype(np.uint32)
    d[...] = np.where(sA == 0, d, rb | g | (a << 24))


def numpy_blend_ignore_alpha(first, second, ratio):
    """The integer path of BlendIgnoreAlphaChannel on (h, w, 4) uint8 arrays."""
    scaled = np.float32(ratio) * np.float32(255)
    ws = np.uint16(min(max(np.float32(scaled + np.float32(0.5)), 0), 255))
    wf = np.uint16(min(max(np.float32(np.float32(255) - scaled) + np.float32(0.5), 0), 255))
    out = ((second.astype(np.uint16) * ws + first.astype(np.uint16) * wf) >> 8).astype(np.uint8)
    out[..., 3] = first[..., 3]
    return out


def main():
    w, h, reps = benchlib.parse_args(__doc__, reps=5)
    rng = np.random.default_rng(7)
    src = benchlib.random_pixels(rng, w, h)
    dst = benchlib.random_pixels(rng, w, h)
    util = benchlib.utility()
    src_buf = zubuffer.from_numpy(src)
    dst_buf = zubuffer.from_numpy(dst)

    # The NumPy formulations are checked against the module once, so the
    # lines compare the same work.
    side = min(w, h)
    d32, s32 = dst.view(np.uint32)[..., 0], src.view(np.uint32)[..., 0]

    def orientation6_views(d, s):
        # Source (x, y) lands on stored (y, H - x): x from 1 to H, y below the source height.
        return d[:side, :side], s[:side, side:0:-1].T

    for orientation in (1, 6):
        check_buf = zubuffer.from_numpy(dst)
        util.ComposeWithBuffer(check_buf, src_buf, 0, 0, 0.7, orientation)
        expected = d32.copy()
        if orientation == 1:
            numpy_blend(expected, s32, 0.7)
        else:
            numpy_blend(*orientation6_views(expected, s32), 0.7)
        if not np.array_equal(zubuffer.to_numpy(check_buf).view(np.uint32)[..., 0], expected):
            raise SystemExit(f"ComposeWithBuffer orientation {orientation} differs from the NumPy formulation")
        zubuffer.release(check_buf)
    ratio = 0.3
    made = util.BlendIgnoreAlphaChannel(dst_buf, src_buf, ratio)
    if not np.array_equal(zubuffer.to_numpy(made).reshape(h, w, 4), numpy_blend_ignore_alpha(dst, src, ratio)):
        raise SystemExit("BlendIgnoreAlphaChannel differs from the NumPy formulation")
    zubuffer.release(made)

    np_dst = d32.copy()
    cases = []
    peers1 = [("numpy formulation", lambda: numpy_blend(np_dst, s32, 0.7))]
    peers6 = [("numpy formulation", lambda: numpy_blend(*orientation6_views(np_dst, s32), 0.7))]
    if Image is not None:
        im_dst = Image.fromarray(dst[..., [2, 1, 0, 3]], "RGBA")
        im_src = Image.fromarray(src[..., [2, 1, 0, 3]], "RGBA")
        pil = ("PIL Image.alpha_composite", lambda: Image.alpha_composite(im_dst, im_src))
        peers1.append(pil)
        peers6.append(pil)
    cases.append(("ComposeWithBuffer o=1 a=0.7",
                   lambda: util.ComposeWithBuffer(dst_buf, src_buf, 0, 0, 0.7, 1), peers1))
    cases.append(("ComposeWithBuffer o=6 a=0.7",
                   lambda: util.ComposeWithBuffer(dst_buf, src_buf, 0, 0, 0.7, 6), peers6))

    margin, thick, shadow, color, alpha = 40, 24, 12, 0xFF3366CC, 0.7
    frame_buf = zubuffer.from_numpy(dst)
    if cv2 is not None:
        cv_img = dst.copy()
        bgr = (0xCC, 0x66, 0x33, 255)

        def cv_frame():
            for off, col, a in ((shadow, (0, 0, 0, 255), alpha / 2), (0, bgr, alpha)):
                overlay = cv_img.copy()
                p0 = (margin + off + thick // 2, margin + off + thick // 2)
                p1 = (w - margin + off - thick // 2 - 1, h - margin + off - thick // 2 - 1)
                cv2.rectangle(overlay, p0, p1, col, thick)
                cv2.addWeighted(overlay, a, cv_img, 1 - a, 0, dst=cv_img)

        cases.append(("ComposeWithSetting frame+shadow",
                      lambda: util.ComposeWithSetting(frame_buf, None, margin, thick, color, alpha, shadow, 1),
                      [("cv2.rectangle + cv2.addWeighted", cv_frame)]))

    blend_peers = [("numpy formulation", lambda: numpy_blend_ignore_alpha(dst, src, ratio))]
    if cv2 is not None:
        blend_peers.insert(0, ("cv2.addWeighted", lambda: cv2.addWeighted(dst, 1 - ratio, src, ratio, 0)))
    cases.append(("BlendIgnoreAlphaChannel r=0.3",
                  released(lambda: util.BlendIgnoreAlphaChannel(dst_buf, src_buf, ratio)), blend_peers))

    benchlib.banner(w, h, reps, image=" BGRA")
    table = [benchlib.measure(name, fn, peers, reps) for name, fn, peers in cases]
    benchlib.print_table(table, 32, 34, [("peer / ours", 12, benchlib.PEER_OVER_OURS)])
    for buf in (src_buf, dst_buf, frame_buf):
        zubuffer.release(buf)
    return 0


if __name__ == "__main__":
    sys.exit(main())
