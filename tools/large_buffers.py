#!/usr/bin/env python3
"""Buffers near the allocator's 2^31 - 1 byte cap through every method that
takes a buffer: each call either works (checked where the answer is known,
at the far corner, where a 32-bit offset would have wrapped first) or is
refused cleanly (None or a failure code), never a crash.

Not part of the suite: it needs about 10 GB of memory and a few minutes.
  tools/large_buffers.py                 # every source, exact checks and the sweep
  tools/large_buffers.py --sweep-calls 3 # fewer generic calls per method
Run it under the sanitizer build to catch a wrapped product as it happens
(see tools/asan_tests.sh for the environment)."""
import argparse
import os
import sys
import time

import _PyQelBufferUtility as mod
import PyQelBufferUtility
import zubuffer as zb

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fuzz  # noqa: E402

CAP = 2**31 - 1
P = "PyQelBufferUtility_"
# Sources: (label, width, height, bytes per pixel, allocation type); each is
# just under the cap with its row table.
SOURCES = [
    ("BGRA 23000x23000 BYTE", 23000, 23000, 4, 0),
    ("mask 46000x46000 BYTE", 46000, 46000, 1, 0),
    ("BGRA16 16000x16000 BYTE", 16000, 16000, 8, 0),
    ("BGR 26600x26600 BYTE", 26600, 26600, 3, 0),
    ("BGRA 23000x23000 CHUNK", 23000, 23000, 4, 1),
    ("BGRA 23000x23000 PLANAR", 23000, 23000, 4, 2),
]

results = []


def report(label, what, ok, detail=""):
    results.append((label, what, ok, detail))
    print(f"  {'ok  ' if ok else 'FAIL'} {what}{': ' + detail if detail else ''}", flush=True)


def corner(util, buf, x, y, w=1, h=1):
    """Pixels of a small region, read through GetROI (checked on small
    buffers by the suite) so that no 2 GB copy is made to look at them."""
    roi = getattr(mod, P + "GetROI")(util, buf, x, y, w, h)
    if roi is None:
        return None
    try:
        return zb.to_bytes(roi)
    finally:
        zb.release(roi)


def timed(fn, *args):
    t0 = time.monotonic()
    r = fn(*args)
    return r, time.monotonic() - t0


def exact_checks(util, label, src, w, h, bpp, alloc_type):
    """Calls whose result is known at the far corner."""
    f = lambda name: getattr(mod, P + name)  # noqa: E731
    far = (w - 2, h - 2)
    if bpp in (1, 4):
        # A known pixel at each end: SetBufferColor region at the far corner.
        hr = f("SetBufferColor")(util, src, 4, 3, 2, 1, (far[0], far[1], 2, 2))
        value = bytes([1, 2, 3, 4]) if bpp == 4 else bytes([(4 + 3 + 2 + 1) // 4])
        got = corner(util, src, far[0], far[1], 2, 2)
        report(label, "SetBufferColor far 2x2 region", hr == 0 and got == value * 4, f"hr={hr} got={got!r}")
        hr = f("ClearBuffer")(util, src, 0, 0, 1, 1, 0x11)
        report(label, "ClearBuffer top-left pixel", hr == 0 and corner(util, src, 0, 0) == b"\x11" * bpp)
    else:
        hr = f("ClearBuffer")(util, src, far[0], far[1], 2, 2, 0x5A)
        got = corner(util, src, far[0], far[1], 2, 2)
        report(label, "ClearBuffer far 2x2 region", hr == 0 and got == b"\x5a" * (4 * bpp), f"hr={hr}")
        value = b"\x5a" * bpp
    expect = corner(util, src, far[0], far[1], 2, 2)

    dup, dt = timed(f("DuplicateImageBuffer"), util, src)
    report(label, f"DuplicateImageBuffer ({dt:.1f} s)", dup is not None and corner(util, dup, *far, 2, 2) == expect)
    if dup is not None:
        # Copy back over the duplicate from the source, positioned and whole.
        hr = f("ClearBuffer")(util, dup, far[0], far[1], 2, 2, 0)
        hr2 = f("CopyBuffer")(util, dup, src, 0, 0, w, h)
        report(label, "CopyBuffer whole image", hr == 0 and hr2 == 0 and corner(util, dup, *far, 2, 2) == expect,
               f"hr={hr2}")
        f("ClearBuffer")(util, dup, far[0], far[1], 2, 2, 0)
        hr = f("CopyImageBuffer")(util, dup, src)
        report(label, "CopyImageBuffer", hr == 0 and corner(util, dup, *far, 2, 2) == expect, f"hr={hr}")
        zb.release(dup)

    if bpp == 4 and alloc_type == 2:
        # Planar buffers have no interleaved pixels to convert: refused.
        for name, args in (("ConvertImageBufferColorDepth", (w, h, 4, 1)), ("ReduceAlphaChannel", ()),
                           ("ImageBufferToMask", ())):
            out = f(name)(util, src, *args)
            report(label, f"{name} refuses a planar source", out is None)
            if out is not None:
                zb.release(out)
    if bpp == 4:
        hr = f("SwapRBChannel")(util, src)
        got = corner(util, src, far[0], far[1], 1, 1)
        report(label, "SwapRBChannel in place", hr == 0 and got == bytes([3, 2, 1, 4]), f"got={got!r}")
        f("SwapRBChannel")(util, src)
    if bpp == 4 and alloc_type != 2:
        out, dt = timed(f("ConvertImageBufferColorDepth"), util, src, w, h, 4, 1)
        report(label, f"ConvertImageBufferColorDepth 4->1 ({dt:.1f} s)",
               out is not None and corner(util, out, *far) == bytes([(1 + 2 + 3) // 3]))
        if out is not None:
            zb.release(out)
        out = f("ReduceAlphaChannel")(util, src)
        report(label, "ReduceAlphaChannel", out is not None and corner(util, out, *far) == bytes([1, 2, 3]))
        if out is not None:
            zb.release(out)
        for name, args in (("ConvertImageBufferColorDepth", (w, h, 4, 8)), ("ImageBufferToMask", ())):
            out = f(name)(util, src, *args)
            if name == "ImageBufferToMask":
                info = zb.info(out) if out is not None else None
                report(label, "ImageBufferToMask", info is not None and (info["width"], info["height"]) == (w, h))
            else:
                # 8 bytes a pixel would be twice the cap: refused.
                report(label, "ConvertImageBufferColorDepth 4->8 refused", out is None)
            if out is not None:
                zb.release(out)
    if bpp == 8:
        out, dt = timed(f("ConvertImageBufferColorDepth"), util, src, w, h, 8, 4)
        report(label, f"ConvertImageBufferColorDepth 8->4 ({dt:.1f} s)",
               out is not None and corner(util, out, *far) == b"\x5a" * 4)
        if out is not None:
            zb.release(out)
    if bpp == 1:
        for to_color in (False, True):
            out = f("MaskToImageBuffer")(util, src, to_color)
            report(label, f"MaskToImageBuffer({to_color}) beyond the cap refused", out is None)
            if out is not None:
                zb.release(out)
    if alloc_type != 2 and bpp in (3, 4, 6, 8):
        for target, on_mem in ((2, True), (1 - alloc_type, True), (alloc_type, False)):
            out, dt = timed(f("ConvertImageBufferAllocateType"), util, src, target, on_mem)
            ok = out is not None and corner(util, out, *far, 2, 2) == expect
            report(label, f"ConvertImageBufferAllocateType({target}, {on_mem}) ({dt:.1f} s)", ok)
            if out is not None:
                # A new buffer, or the source with a reference of its own.
                zb.release(out)
    roi = corner(util, src, w - 1, h - 1)
    report(label, "GetROI last pixel", roi is not None and len(roi) == bpp)
    report(label, "GetROI one past the edge refused", corner(util, src, w - 1, h - 1, 2, 1) is None)


def limits(util):
    """Sizes at and past the cap, without a source."""
    f = lambda name: getattr(mod, P + name)  # noqa: E731
    label = "no source"
    print(label, flush=True)
    for args, fits in (((23000, 23000, 4), True), ((23000, 23000, 8), False), ((46341, 46341, 1), False),
                       ((2**31 - 1, 1, 1), False), ((65536, 65536, 1), False), ((-1, 2, 4), False)):
        out = f("GetEmptyBuffer")(util, *args)
        report(label, f"GetEmptyBuffer{args} {'made' if fits else 'refused'}", (out is not None) == fits)
        if out is not None:
            zb.release(out)
    out = f("CreateBufferFromRawData")(util, None, 23000, 23000, 4)
    report(label, "CreateBufferFromRawData(None, 23000, 23000, 4) made, left zero",
           out is not None and corner(util, out, 22999, 22999) == bytes(4))
    if out is not None:
        zb.release(out)
    for w, h in ((23171, 23171), (46341, 46341), (2**30, 2)):
        r = f("InverseByteArrayOrder")(util, None, w, h)
        report(label, f"InverseByteArrayOrder(None, {w}, {h}) refused", r is None)
    big = 20000 * 20000 * 3
    r = f("ConvertBufferFromBGRtoBGRA_FromPyObject")(util, b"\0" * 16, 46000, 46000, 46000 * 3)
    report(label, "ConvertBufferFromBGRtoBGRA_FromPyObject beyond the cap / too short refused", r is None)
    data = bytes(big)
    r, dt = timed(f("ConvertBufferFromBGRtoBGRA_FromPyObject"), util, data, 20000, 20000, 60000)
    report(label, f"ConvertBufferFromBGRtoBGRA_FromPyObject 20000x20000 ({dt:.1f} s)",
           r is not None and corner(util, r, 19999, 19999) == bytes([0, 0, 0, 255]))
    if r is not None:
        zb.release(r)


class BigFuzzer(fuzz.Fuzzer):
    """The fuzz's plausible calls (no hostile values, no wrong counts, no
    faults) with the big buffers as the only pool."""

    def __init__(self, buffers, salt):
        self._big = buffers
        super().__init__(mod, PyQelBufferUtility, zb, salt, fault_rate=0, hostile_rate=0, arity_rate=0)

    def _make_buffers(self):
        for buf in self._big:
            self._add_buffer(buf)

    def finish(self):
        # The big buffers belong to the caller.
        for buf, _ in self.kept:
            zb.release(buf)
        self.kept = []
        self.buffers = []
        for arr in self.owned_arrays:
            zb.free_byte_array(arr)
        for lst in self.byte_arrays.values():
            for arr, _ in lst:
                zb.free_byte_array(arr)


def sweep(label, buffers, calls, salt):
    """Every entry that takes a buffer, called with plausible arguments
    drawn against the big buffers."""
    fz = BigFuzzer(buffers, salt)
    fz.kept = []
    entries = [e for e in fz.entries if any(p.type == fuzz.BUFFER_TYPE for s in e[2] for p in s.params)]
    t0 = time.monotonic()
    for name, fn, sigs in entries:
        for _ in range(calls):
            fz.call_once(name, fn, sigs)
    fz.finish()
    report(label, f"sweep: {fz.calls} calls of {len(entries)} entries ({time.monotonic() - t0:.0f} s)",
           not fz.findings, "; ".join(fz.findings[:5]))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sweep-calls", type=int, default=4)
    ap.add_argument("--salt", type=int, default=1)
    ap.add_argument("--only", help="sources whose label contains this")
    opts = ap.parse_args()
    os.environ.setdefault("QEL_DUMPMSG", "0")
    util = PyQelBufferUtility.PyQelBufferUtility()
    start = zb.live_buffers()
    limits(util)
    for label, w, h, bpp, alloc_type in SOURCES:
        if opts.only and opts.only not in label:
            continue
        print(label, flush=True)
        src = zb.allocate(w, h, bpp, alloc_type)
        if src is None:
            report(label, "allocate", False, "the allocator refused the source")
            continue
        try:
            exact_checks(util, label, src, w, h, bpp, alloc_type)
            sweep(label, [src], opts.sweep_calls, opts.salt)
            info = zb.info(src)
            report(label, "source unlocked, one reference", info["lock_count"] == 0 and info["refcount"] == 1)
        finally:
            zb.release(src)
    report("end", "no buffer left alive", zb.live_buffers() == start)
    bad = [r for r in results if not r[2]]
    print(f"{len(results)} checks, {len(bad)} failed")
    for r in bad:
        print("FAILED", r)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
