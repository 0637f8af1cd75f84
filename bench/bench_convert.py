"""Format and layout conversions against their nearest NumPy / OpenCV peers.

Times, on one 4096 x 3072 image in one run, the module's colour-depth
conversions (4->8, 8->4), red/blue exchange, alpha-to-mask extraction,
half-image region extraction and BYTE->PLANAR->BYTE layout round trip, next
to the NumPy / OpenCV operations that do the same work, and a plain memory
copy of the bytes each operation reads. Every timed call makes and drops its
result (ours release the buffer they return, the peers drop their arrays),
so allocation and page faults are counted on both sides.

usage: PYTHONPATH=<build>/pkg python bench/bench_convert.py [--reps N] [--width W --height H]
NumPy and opencv-python-headless are needed here only.
"""
import sys

import numpy as np

import benchlib
from benchlib import released
import zubuffer

cv2 = benchlib.peer_module("cv2", "OpenCV")  # the table then shows NumPy peers only

PLANAR = zubuffer.BUFFER_ALLOCATE_TYPE_PLANAR
BYTE = zubuffer.BUFFER_ALLOCATE_TYPE_BYTE


def main():
    w, h, reps = benchlib.parse_args(__doc__, reps=9)

    rng = np.random.default_rng(2024)
    bgra = benchlib.random_pixels(rng, w, h)
    bgra16 = benchlib.random_pixels(rng, w, h, dtype=np.uint16)
    util = benchlib.utility()
    src4 = zubuffer.from_numpy(bgra, BYTE)
    src8 = zubuffer.from_numpy(bgra16, BYTE)
    swap_buf = zubuffer.from_numpy(bgra, BYTE)

    # The module's results are checked against the peers once before timing,
    # so the table compares operations that really do the same work.
    def check(made, expected):
        got = zubuffer.to_numpy(made).reshape(expected.shape)
        zubuffer.release(made)
        if not np.array_equal(got, expected):
            raise SystemExit("result differs from the peer's")

    check(util.ConvertImageBufferColorDepth(src4, w, h, 4, 8), bgra.astype(np.uint16) * 257)
    check(util.ConvertImageBufferColorDepth(src8, w, h, 8, 4), (bgra16 >> 8).astype(np.uint8))
    check(util.ConvertImageBufferToMask(src4, w, h, 4, 1), np.ascontiguousarray(bgra[..., 3]))
    left, roi_w = w // 4, w // 2
    check(util.GetROI(src4, left, 0, roi_w, h), np.ascontiguousarray(bgra[:, left:left + roi_w]))

    half = bgra[:, left:left + roi_w]
    rgba_out = np.empty_like(bgra)
    flat4 = bgra.reshape(h, w * 4)

    cases = []  # (operation, our timing fn, [(peer name, fn)], bytes the operation reads)
    cases.append(("ColorDepth 4->8", released(lambda: util.ConvertImageBufferColorDepth(src4, w, h, 4, 8)), [
        ("numpy astype(uint16)*257", lambda: bgra.astype(np.uint16) * 257),
        ("numpy multiply(dtype=uint16)", lambda: np.multiply(bgra, np.uint16(257), dtype=np.uint16)),
    ] + ([("cv2.multiply(CV_16U)", lambda: cv2.multiply(flat4, 257, dtype=cv2.CV_16U))] if cv2 else []),
        bgra))
    cases.append(("ColorDepth 8->4", released(lambda: util.ConvertImageBufferColorDepth(src8, w, h, 8, 4)), [
        ("numpy (a>>8).astype(uint8)", lambda: (bgra16 >> 8).astype(np.uint8)),
        ("numpy high-byte slice copy", lambda: bgra16.view(np.uint8)[..., 1::2].copy()),
    ] + ([("cv2.convertScaleAbs(1/256)", lambda: cv2.convertScaleAbs(bgra16.reshape(h, w * 4), alpha=1 / 256))]
         if cv2 else []),
        bgra16))
    swap_peers = [("numpy a[..., [2,1,0,3]]", lambda: bgra[..., [2, 1, 0, 3]])]
    if cv2:
        swap_peers = [("cv2.cvtColor(BGRA2RGBA)", lambda: cv2.cvtColor(bgra, cv2.COLOR_BGRA2RGBA)),
                      ("cv2.cvtColor(BGRA2RGBA, dst=)",
                       lambda: cv2.cvtColor(bgra, cv2.COLOR_BGRA2RGBA, dst=rgba_out))] + swap_peers
    cases.append(("SwapRBChannel (in place)", lambda: util.SwapRBChannel(swap_buf), swap_peers, bgra))
    cases.append(("ConvertImageBufferToMask", released(lambda: util.ConvertImageBufferToMask(src4, w, h, 4, 1)),
                  ([("cv2.extractChannel(3)", lambda: cv2.extractChannel(bgra, 3))] if cv2 else []) +
                  [("numpy a[..., 3].copy()", lambda: bgra[..., 3].copy())], bgra))
    cases.append(("GetROI (half image)", released(lambda: util.GetROI(src4, left, 0, roi_w, h)), [
        ("numpy slice .copy()", lambda: half.copy()),
    ], half))

    def round_trip():
        planar = util.ConvertImageBufferAllocateType(src4, PLANAR)
        if planar is None:
            raise RuntimeError("ConvertImageBufferAllocateType returned no buffer")
        back = util.ConvertImageBufferAllocateType(planar, BYTE)
        zubuffer.release(planar)
        return back

    cases.append(("AllocateType BYTE->PLANAR->BYTE", released(round_trip),
                  ([("cv2.merge(cv2.split(a))", lambda: cv2.merge(cv2.split(bgra)))] if cv2 else []) +
                  [("numpy transpose copies",
                    lambda: np.ascontiguousarray(np.ascontiguousarray(bgra.transpose(2, 0, 1)).transpose(1, 2, 0)))],
                  bgra))

    benchlib.banner(w, h, reps, statistic="median")
    table = [benchlib.measure(name, fn_ours, peers, reps, benchlib.median_ms, read)
             for name, fn_ours, peers, read in cases]
    slower = benchlib.print_table(table, 34, 32, [("x fastest peer", 15, benchlib.OVER_FASTEST),
                                                  ("x copy", 8, benchlib.OVER_COPY)])
    print()
    benchlib.print_slower(slower)

    for buf in (src4, src8, swap_buf):
        zubuffer.release(buf)
    return 0


if __name__ == "__main__":
    sys.exit(main())
