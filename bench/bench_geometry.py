"""Rotation, mirroring and panorama re-projection against OpenCV / NumPy.

Times, on one 4096 x 3072 BGRA image in one run: Rotate by 30 degrees next
to cv2.warpAffine (bilinear, same output size), Rotate by 90 degrees (BYTE
and CHUNK buffers) next to cv2.rotate and np.rot90, Mirror states 1 and 3
next to cv2.flip, and Reconstruct (yaw 30, pitch 20, roll 10) next to
cv2.remap, once with the maps built by NumPy inside the timed region and
once with the maps built beforehand. Every timed call makes its result and
drops it (our buffers are released).

usage: PYTHONPATH=<build>/pkg python bench/bench_geometry.py [--reps N] [--width W --height H]
"""
import math
import sys

import numpy as np

import benchlib
from benchlib import released
import zubuffer

cv2 = benchlib.peer_module("cv2", "OpenCV")

BYTE, CHUNK = zubuffer.BUFFER_ALLOCATE_TYPE_BYTE, zubuffer.BUFFER_ALLOCATE_TYPE_CHUNK


def panorama_maps(w, h, yaw, pitch, roll):
    """Source sampling positions of the re-projection, in float32 as far as
    the arithmetic allows, with NumPy: the peer pipeline's map building."""
    def rad(a):
        return np.float32(a) * np.float32(math.pi) / np.float32(180.0)
    cy, sy = np.cos(rad(yaw)), np.sin(rad(yaw))
    cp, sp = np.cos(rad(pitch)), np.sin(rad(pitch))
    cr, sr = np.cos(rad(roll)), np.sin(rad(roll))
    ry = np.array([[cy, 0, -sy], [0, 1, 0], [sy, 0, cy]], np.float32)
    rx = np.array([[1, 0, 0], [0, cp, sp], [0, -sp, cp]], np.float32)
    rz = np.array([[cr, sr, 0], [-sr, cr, 0], [0, 0, 1]], np.float32)
    m = ry @ rx @ rz
    t = np.arange(h, dtype=np.float32) / np.float32(h)
    lat = (np.float32(0.5) - t) * np.float32(math.pi)
    u0 = np.arange(w, dtype=np.float32) / np.float32(w)
    lon = (np.float32(0.75) - u0) * np.float32(2 * math.pi)
    c, s = np.cos(lat)[:, None], np.sin(lat)[:, None]
    x, z = np.cos(lon)[None, :] * c, np.sin(lon)[None, :] * c
    y = np.broadcast_to(s, x.shape)
    qx = x * m[0, 0] + y * m[1, 0] + z * m[2, 0]
    qy = x * m[0, 1] + y * m[1, 1] + z * m[2, 1]
    qz = x * m[0, 2] + y * m[1, 2] + z * m[2, 2]
    alpha = np.arctan2(qz, qx)
    beta = np.arctan2(qy, np.sqrt(qx * qx + qz * qz))
    u = np.mod(np.float32(0.75) - alpha / np.float32(2 * math.pi), np.float32(1.0))
    v = np.float32(0.5) - beta / np.float32(math.pi)
    return (u * np.float32(w)).astype(np.float32), (v * np.float32(h)).astype(np.float32)


def main():
    w, h, reps = benchlib.parse_args(__doc__, reps=5)
    if cv2 is None:
        raise SystemExit("opencv-python-headless is needed for this benchmark")

    rng = np.random.default_rng(7)
    # A smooth picture with noise: resampling peers differ by rounding only.
    yy, xx = np.mgrid[0:h, 0:w]
    base = np.stack([(xx * 255 // w), (yy * 255 // h), ((xx + yy) * 255 // (w + h)), np.full_like(xx, 255)], -1)
    bgra = np.clip(base + rng.integers(-8, 9, size=base.shape), 0, 255).astype(np.uint8)
    util = benchlib.utility()
    src = zubuffer.from_numpy(bgra, BYTE)
    src_chunk = zubuffer.from_numpy(bgra, CHUNK)

    angle = 30.0
    rad = math.radians(angle)
    c, s = math.cos(rad), math.sin(rad)
    xc, yc = (w - 1) * 0.5, (h - 1) * 0.5
    affine = np.array([[c, s, xc - xc * c - yc * s], [-s, c, yc + xc * s - yc * c]])

    # Same work before timing: the turned images agree with the peers'.
    def check(made, expected, tolerance):
        got = zubuffer.to_numpy(made)
        zubuffer.release(made)
        inner = (slice(8, -8), slice(8, -8))
        diff = np.abs(got[inner].astype(int) - expected[inner].astype(int))
        if np.mean(diff > tolerance) > 0.001:
            raise SystemExit("result differs from the peer's")

    check(util.Rotate(src, w, h, angle), cv2.warpAffine(bgra, affine, (w, h), flags=cv2.INTER_LINEAR), 2)
    check(util.Rotate(src, h, w, 90.0), cv2.rotate(bgra, cv2.ROTATE_90_COUNTERCLOCKWISE), 0)
    check(util.Mirror(src, 3), cv2.flip(bgra, -1), 0)
    yaw, pitch, roll = 30.0, 20.0, 10.0
    mx, my = panorama_maps(w, h, yaw, pitch, roll)

    def remap(maps):
        return cv2.remap(bgra, maps[0], maps[1], cv2.INTER_LINEAR, borderMode=cv2.BORDER_WRAP)

    check(util.Reconstruct(src, yaw, roll, pitch), remap((mx, my)), 3)

    cases = [
        ("Rotate 30 (BYTE)", released(lambda: util.Rotate(src, w, h, angle)), [
            ("cv2.warpAffine(INTER_LINEAR)", lambda: cv2.warpAffine(bgra, affine, (w, h), flags=cv2.INTER_LINEAR)),
        ]),
        ("Rotate 90 (BYTE)", released(lambda: util.Rotate(src, h, w, 90.0)), [
            ("cv2.rotate(90 CCW)", lambda: cv2.rotate(bgra, cv2.ROTATE_90_COUNTERCLOCKWISE)),
            ("np.rot90(a).copy()", lambda: np.ascontiguousarray(np.rot90(bgra))),
        ]),
        ("Rotate 90 (CHUNK)", released(lambda: util.Rotate(src_chunk, h, w, 90.0)), [
            ("cv2.rotate(90 CCW)", lambda: cv2.rotate(bgra, cv2.ROTATE_90_COUNTERCLOCKWISE)),
        ]),
        ("Mirror 1 (left-right)", released(lambda: util.Mirror(src, 1)), [
            ("cv2.flip(a, 1)", lambda: cv2.flip(bgra, 1)),
            ("a[:, ::-1].copy()", lambda: bgra[:, ::-1].copy()),
        ]),
        ("Mirror 3 (both)", released(lambda: util.Mirror(src, 3)), [
            ("cv2.flip(a, -1)", lambda: cv2.flip(bgra, -1)),
        ]),
        ("Reconstruct y30 p20 r10", released(lambda: util.Reconstruct(src, yaw, roll, pitch)), [
            ("NumPy maps + cv2.remap", lambda: remap(panorama_maps(w, h, yaw, pitch, roll))),
            ("cv2.remap, maps precomputed", lambda: remap((mx, my))),
        ]),
    ]

    benchlib.banner(w, h, reps, image=" BGRA")
    # The implementations of one operation take turns within each round.
    table = []
    for name, fn_ours, peers in cases:
        ours_ms, *peer_ms = benchlib.best_ms_each([fn_ours] + [pfn for _, pfn in peers], reps)
        table.append(benchlib.case(name, ours_ms, [(pname, ms) for (pname, _), ms in zip(peers, peer_ms)]))
    benchlib.print_table(table, 26, 30, [("peer / ours", 12, benchlib.PEER_OVER_OURS)])
    # A CHUNK result is many row chunks from the allocator: its allocation
    # alone, for reading the CHUNK line above.
    alloc_ms = benchlib.best_ms(lambda: zubuffer.release(zubuffer.allocate(h, w, 4, CHUNK)), reps)
    print(f"\nallocating a {h} x {w} CHUNK result alone (allocator library): {alloc_ms:.2f} ms")
    zubuffer.release(src)
    zubuffer.release(src_chunk)
    return 0


if __name__ == "__main__":
    sys.exit(main())
