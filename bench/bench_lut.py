"""Colour look-up tables against Pillow, NumPy and OpenCV.

On one 4096 x 3072 BGRA image in one run: a 33^3 3D table applied by
ApplyLUTOnBuffer (vector kernel, and the scalar kernel with
QEL_SSE_LEVEL=1) next to Pillow's ImageFilter.Color3DLUT with the same table
(trilinear) and a float32 NumPy formulation of the same interpolation; and a
33-entry 1D table applied by ApplyLUTOnBuffer next to cv2.LUT with that table
sampled at the 256 byte levels (alpha mapped to itself). Times are the best
of --reps runs after one warm-up; our calls include turning the Python
description into a table. ApplyLUTOnBuffer works in place, so its buffer is
refilled with the original pixels (untimed) before every run; the peers
make a new image each time.

usage: PYTHONPATH=<build>/pkg python bench/bench_lut.py [--reps N] [--width W --height H]
NumPy, Pillow and opencv-python-headless are needed here only.
"""
import os
import sys

import numpy as np

import benchlib
from benchlib import best_ms
import zubuffer

cv2 = benchlib.peer_module("cv2", "OpenCV")
Image = benchlib.peer_module("PIL.Image", "Pillow")
ImageFilter = benchlib.peer_module("PIL.ImageFilter", "Pillow")

F = np.float32


def numpy_trilinear(bgra, n, data):
    """The trilinear interpolation in float32 NumPy, unit domain."""
    e = data.reshape(n, n, n, 3)  # [i2][i1][i0]
    pix = bgra[..., :3].reshape(-1, 3)
    grid = F(n - 1)
    t = np.minimum(pix.astype(F) / F(255.0) * grid, grid)
    lo = np.floor(t).astype(np.intp)
    hi = np.minimum(lo + 1, n - 1)
    w = t - lo.astype(F)
    w0, w1, w2 = w[:, 0:1], w[:, 1:2], w[:, 2:3]
    l0, l1, l2 = lo[:, 0], lo[:, 1], lo[:, 2]
    h0, h1, h2 = hi[:, 0], hi[:, 1], hi[:, 2]

    def along2(i0, i1):
        a = e[l2, i1, i0]
        return a + (e[h2, i1, i0] - a) * w2

    a0 = along2(l0, l1)
    a0 += (along2(l0, h1) - a0) * w1
    a1 = along2(h0, l1)
    a1 += (along2(h0, h1) - a1) * w1
    a0 += (a1 - a0) * w0
    out = bgra.copy()
    out[..., :3] = (a0 * F(255.0)).clip(0, 255).astype(np.uint8).reshape(bgra.shape[:-1] + (3,))
    return out


def main():
    w, h, reps = benchlib.parse_args(__doc__, reps=7)

    rng = np.random.default_rng(2024)
    bgra = benchlib.random_pixels(rng, w, h)
    util = benchlib.utility()
    buf = zubuffer.from_numpy(bgra, zubuffer.BUFFER_ALLOCATE_TYPE_BYTE)
    original = bgra.tobytes()

    def refill():
        zubuffer.write(buf, original)

    # A smooth 33^3 colour grade: a gentle curve per axis plus a little
    # cross-talk, kept inside 0..1.
    n3 = 33
    g = np.linspace(0.0, 1.0, n3, dtype=np.float64)
    i2, i1, i0 = np.meshgrid(g, g, g, indexing="ij")
    table3 = np.stack([i0 ** 0.8 * 0.9 + 0.1 * i1, i1 ** 1.1, 0.85 * i2 + 0.15 * i0 * i1], -1)
    table3 = np.clip(table3, 0.0, 1.0).astype(F)
    desc3 = ("3D", n3, [0.0] * 3, [1.0] * 3, [float(v) for v in table3.ravel()])

    n1 = 33
    curve = np.linspace(0.0, 1.0, n1)
    table1 = np.stack([curve ** 0.7, curve ** 1.3, np.sqrt(curve)], -1).astype(F)
    desc1 = ("1D", n1, [0.0] * 3, [1.0] * 3, [float(v) for v in table1.ravel()])

    def ours(desc, level=None):
        def run():
            if level is None:
                os.environ.pop("QEL_SSE_LEVEL", None)
            else:
                os.environ["QEL_SSE_LEVEL"] = level
            try:
                if util.ApplyLUTOnBuffer(buf, desc) != 1:
                    raise RuntimeError("ApplyLUTOnBuffer refused the table")
            finally:
                os.environ.pop("QEL_SSE_LEVEL", None)
        return run

    # The 1D table sampled at the 256 byte levels, as our kernel does it:
    # one byte per level and channel, read back from a 256-pixel buffer.
    levels = np.arange(256, dtype=np.uint8)
    ramp = np.stack([levels] * 4, -1).reshape(1, 256, 4).copy()
    ramp_buf = zubuffer.from_numpy(ramp, zubuffer.BUFFER_ALLOCATE_TYPE_BYTE)
    util.ApplyLUTOnBuffer(ramp_buf, desc1)
    lut256 = zubuffer.to_numpy(ramp_buf).reshape(256, 1, 4)
    zubuffer.release(ramp_buf)

    # The peers are checked against our results once before timing, so the
    # table compares the same work: cv2.LUT must match exactly, the NumPy
    # formulation too (same float32 steps), Pillow within its 16-bit
    # fixed-point rounding.
    def ours_once(desc):
        refill()
        if util.ApplyLUTOnBuffer(buf, desc) != 1:
            raise SystemExit("ApplyLUTOnBuffer refused the table")
        return zubuffer.to_numpy(buf)

    agreement = []
    got3 = ours_once(desc3)
    agreement.append(("NumPy float32 formulation", np.abs(got3.astype(int) - numpy_trilinear(bgra, n3, table3)).max()))
    if Image is not None:
        pil = Image.frombuffer("RGBA", (w, h), bgra.tobytes(), "raw", "RGBA", 0, 1)
        flt = ImageFilter.Color3DLUT(n3, table3.ravel().tolist(), channels=3)
        theirs = np.asarray(pil.filter(flt)).reshape(h, w, 4)
        agreement.append(("Pillow Color3DLUT", np.abs(got3.astype(int) - theirs).max()))
    lut_cv = np.ascontiguousarray(lut256)
    lut_cv[..., 3] = levels.reshape(256, 1)
    if cv2 is not None:
        agreement.append(("cv2.LUT", np.abs(ours_once(desc1).astype(int) - cv2.LUT(bgra, lut_cv)).max()))

    op3 = "3D 33^3 trilinear"
    vector_ms = best_ms(ours(desc3), reps, refill)
    scalar_ms = best_ms(ours(desc3, "1"), reps, refill)
    peers3 = []
    if Image is not None:
        # Pillow's first axis is its "R", the image's first channel: the
        # BGRA bytes are handed over as they are, so byte 0 indexes the
        # fastest axis on both sides.
        peers3.append(("Pillow Color3DLUT", best_ms(lambda: pil.filter(flt), reps)))
    peers3.append(("NumPy float32 formulation", best_ms(lambda: numpy_trilinear(bgra, n3, table3), max(1, reps // 3))))
    table = [benchlib.case(op3, vector_ms, peers3, ours="ApplyLUTOnBuffer (vector)",
                           more_ours=[("ApplyLUTOnBuffer (scalar)", scalar_ms)])]
    ours1_ms = best_ms(ours(desc1), reps, refill)
    peers1 = []
    if cv2 is not None:
        peers1.append(("cv2.LUT (256 levels)", best_ms(lambda: cv2.LUT(bgra, lut_cv), reps)))
        dst = np.empty_like(bgra)
        peers1.append(("cv2.LUT (256 levels, dst=)", best_ms(lambda: cv2.LUT(bgra, lut_cv, dst=dst), reps)))
    table.append(benchlib.case("1D 33 linear", ours1_ms, peers1, ours="ApplyLUTOnBuffer"))
    zubuffer.release(buf)

    benchlib.banner(w, h, reps, image=" BGRA")
    benchlib.print_table(table, 20, 30, [("peer ms / ours", 15, benchlib.PEER_OVER_OURS)])
    print()
    print("largest byte difference from ours: " + ", ".join(f"{name} {d}" for name, d in agreement))
    return 0


if __name__ == "__main__":
    sys.exit(main())
