#!/usr/bin/env python3
"""Soak: many create / convert / compose / release cycles, watching the
process's resident memory. A leak of even one small buffer or table per
cycle shows as steady growth; a flat line (within a few MiB once the
allocator's free lists have warmed up) is the pass.

  PYTHONPATH=<build>/pkg python tools/soak.py [--cycles 100000] [--size 64]

Each cycle makes a BGRA buffer, converts it to 16 bits and back, composes a
watermark into it with orientation 6, applies a 1D table, rotates and
mirrors it, cuts a mask from a polygon, and releases everything it made.
Prints the resident memory every tenth of the run and exits 1 when it grew
by more than --limit-mib after the first tenth.
"""
import argparse
import sys

import PyQelBufferUtility
import zubuffer as zb


def resident_mib():
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[1])
    import resource
    return pages * resource.getpagesize() / 2**20


def cycle(util, size, mark, curve, outline):
    made = []

    def keep(buf):
        if buf is None:
            raise RuntimeError("a step of the cycle gave None")
        made.append(buf)
        return buf

    try:
        img = keep(util.GetEmptyBuffer(size, size, 4))
        util.SetBufferColor(img, 255, 200, 120, 40)
        deep = keep(util.ConvertImageBufferColorDepth(img, size, size, 4, 8))
        back = keep(util.ConvertImageBufferColorDepth(deep, size, size, 8, 4))
        util.ComposeWithBuffer(back, mark, 3, 5, 0.6, 6)
        util.ApplyLUTOnBuffer(back, curve)
        turned = keep(util.Rotate(back, size, size, 12.0))
        keep(util.Mirror(turned, 1))
        keep(util.GetMaskWithBoundary(size, size, outline))
    finally:
        for buf in reversed(made):
            zb.release(buf)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--cycles", type=int, default=100000)
    ap.add_argument("--size", type=int, default=64)
    ap.add_argument("--limit-mib", type=float, default=4.0)
    opts = ap.parse_args(argv)

    util = PyQelBufferUtility.PyQelBufferUtility()
    live = zb.live_buffers()
    mark = zb.from_bytes(bytes([255, 255, 255, 128]) * 16 * 8, 16, 8, 4)
    curve = ("1D", 4, [0.0] * 3, [1.0] * 3, [0.0, 0.0, 0.0, 0.4, 0.3, 0.3, 0.7, 0.7, 0.6, 1.0, 1.0, 1.0])
    s = opts.size
    outline = [(0.1 * s, 0.1 * s), (0.9 * s, 0.2 * s), (0.8 * s, 0.9 * s), (0.2 * s, 0.8 * s)]
    step = max(1, opts.cycles // 10)
    samples = []
    try:
        for i in range(1, opts.cycles + 1):
            cycle(util, s, mark, curve, outline)
            if i % step == 0:
                samples.append((i, resident_mib()))
                print(f"{i:>8} cycles  resident {samples[-1][1]:8.1f} MiB  live buffers {zb.live_buffers()}",
                      flush=True)
    finally:
        zb.release(mark)
    growth = samples[-1][1] - samples[0][1]
    print(f"after warm-up ({samples[0][0]} cycles) {samples[0][1]:.1f} MiB, at the end {samples[-1][1]:.1f} MiB: "
          f"{growth:+.1f} MiB over {samples[-1][0] - samples[0][0]} cycles; live buffers {zb.live_buffers()} "
          f"(before {live})")
    return 0 if growth <= opts.limit_mib and zb.live_buffers() == live else 1


if __name__ == "__main__":
    sys.exit(main())
