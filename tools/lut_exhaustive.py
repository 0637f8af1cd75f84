"""Every byte triple through the scalar and the vector trilinear kernels.

Builds one 4096 x 4096 BGRA image holding all 2^24 (B, G, R) triples (alpha
varies too), applies a few random 3D tables with the vector kernel and with
the scalar one (QEL_SSE_LEVEL=1), and checks that both store the same bytes
and that alpha is untouched. Exits non-zero on the first difference.

usage: PYTHONPATH=<build>/pkg python tools/lut_exhaustive.py [--tables N] [--salt S]
"""
import argparse
import os
import sys
import time

import numpy as np

os.environ.pop("QEL_DUMPMSG", None)

import PyQelBufferUtility  # noqa: E402
import zubuffer  # noqa: E402


def all_triples():
    v = np.arange(1 << 24, dtype=np.uint32)
    img = np.empty((4096, 4096, 4), np.uint8)
    flat = img.reshape(-1, 4)
    flat[:, 0] = v & 0xFF
    flat[:, 1] = (v >> 8) & 0xFF
    flat[:, 2] = v >> 16
    flat[:, 3] = (v * 2654435761) >> 24
    return img


def apply(util, img, desc, level):
    if level is None:
        os.environ.pop("QEL_SSE_LEVEL", None)
    else:
        os.environ["QEL_SSE_LEVEL"] = level
    buf = zubuffer.from_numpy(img, zubuffer.BUFFER_ALLOCATE_TYPE_BYTE)
    try:
        t0 = time.perf_counter()
        if util.ApplyLUTOnBuffer(buf, desc) != 1:
            raise SystemExit("the table was refused: %r" % (desc[:4],))
        dt = time.perf_counter() - t0
        return zubuffer.to_numpy(buf), dt
    finally:
        zubuffer.release(buf)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--tables", type=int, default=4)
    ap.add_argument("--salt", type=int, default=1)
    args = ap.parse_args()
    rng = np.random.default_rng(args.salt)
    util = PyQelBufferUtility.PyQelBufferUtility()
    img = all_triples()
    sizes = [33, 17, 2, 65, 9, 5, 129]
    for i in range(args.tables):
        n = sizes[i % len(sizes)]
        data = rng.uniform(-0.1, 1.1, 3 * n ** 3)
        if i % 2:
            fmin, fmax = list(rng.uniform(-0.2, 0.3, 3)), list(rng.uniform(0.6, 1.2, 3))
        else:
            fmin, fmax = [0.0] * 3, [1.0] * 3
        desc = ("3D", n, [float(x) for x in fmin], [float(x) for x in fmax], [float(x) for x in data])
        vector, tv = apply(util, img, desc, None)
        scalar, ts = apply(util, img, desc, "1")
        same = np.array_equal(vector, scalar)
        alpha = np.array_equal(vector[..., 3], img[..., 3])
        print(f"table {i}: N={n:3d} domain {'unit' if i % 2 == 0 else 'random'}: "
              f"{'identical' if same else 'DIFFERENT'}, alpha {'kept' if alpha else 'CHANGED'} "
              f"(vector {tv * 1000:.0f} ms, scalar {ts * 1000:.0f} ms)")
        if not (same and alpha):
            diff = np.argwhere((vector != scalar).any(axis=-1))[:5]
            print("first differing pixels:", [tuple(img[y, x]) for y, x in diff])
            return 1
    print("all 2^24 triples identical through", args.tables, "tables")
    return 0


if __name__ == "__main__":
    sys.exit(main())
