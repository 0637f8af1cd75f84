"""ImagePixelConvert, ImagePixelConvertByMask and ClearBGRByAlphaChannel against Python models of each rule."""
import random
from array import array

import pytest

from conftest import E_OUTOFMEMORY, PREFIX, addr32, end, entry, make_utility, pack_values

BYTE, CHUNK, PLANAR = 0, 1, 2
W, H = 37, 9  # a vector body plus a tail per row; three chunks of rows
TOP = {4: 0xFF, 8: 0xFFFF}
IPC, IPCM, CLR = (f"PyQelBufferUtility::{n}" for n in
                  ("ImagePixelConvert", "ImagePixelConvertByMask", "ClearBGRByAlphaChannel"))
# Source storage: allocation type, file mapped, lock without data address (rows via the row table).
STORAGE = [(BYTE, False, False), (CHUNK, False, True), (CHUNK, True, False)]
P = [10, 20, 30, 40]


def pixels_of(zb, buf):
    return zb.to_numpy(buf).ravel().tolist()


def meta(zb, buf):
    return tuple(zb.info(buf)[k] for k in ("width", "height", "bpp", "alloc_type", "attribute1", "attribute2"))


def random_pixels(rng, n, t):  # plenty of the extremes, where the arithmetic is most fragile
    return [rng.choice((0, 1, t - 1, t)) if rng.random() < 0.2 else rng.randint(0, t) for _ in range(n * 4)]


def f32(x):
    return array("f", [x])[0]


def ref_mode(px, mode, t):
    return [v for b, g, r, a in zip(*[iter(px)] * 4) for v in {
        1: [b, g, r, t], 2: [a] * 3 + [t], 3: [(b + g + r) // 3] * 3 + [t], 4: [t - b, t - g, t - r, a]
    }.get(mode, [b, g, r, a])]


def ref_invert(px, mask, t):  # weight and inverted share in single precision, the rest in double
    w = [f32(m / 255) for m in mask]
    return [v if i % 4 == 3 else int(f32((t - v) * w[i // 4]) + v * (1.0 - w[i // 4])) for i, v in enumerate(px)]


def methods(util, src, mask, inplace=True, mode=4):
    return {IPC: lambda: util.ImagePixelConvert(src, mode, inplace),
            IPCM: lambda: util.ImagePixelConvertByMask(src, mask, 5, inplace),
            CLR: lambda: util.ClearBGRByAlphaChannel(src, 0)}


@pytest.mark.parametrize("mode, m, bpp, pixel, expected", [
    (1, None, 4, P, [10, 20, 30, 255]), (2, None, 4, P, [40, 40, 40, 255]), (3, None, 4, P, [20, 20, 20, 255]),
    (4, None, 4, P, [245, 235, 225, 40]), (3, None, 4, [1, 1, 2, 0], [1, 1, 1, 255]),
    (4, None, 8, [0, 0x1234, 0xFFFF, 7], [0xFFFF, 0xEDCB, 0, 7]), (5, 255, 4, P, [245, 235, 225, 40]),
    (5, 0, 4, P, P), (5, 128, 4, [0, 0, 0, 9], [128, 128, 128, 9]),
])
def test_worked_examples(util, zb, make_buf, mode, m, bpp, pixel, expected):
    src = make_buf(pack_values(pixel, bpp), 1, 1, bpp)
    out = util.ImagePixelConvert(src, mode) if m is None else \
        util.ImagePixelConvertByMask(src, make_buf(bytes([m]), 1, 1, 1), mode)
    assert pixels_of(zb, out) == expected


@pytest.mark.parametrize("alloc, mapped, no_data", STORAGE)
@pytest.mark.parametrize("bpp", [4, 8])
@pytest.mark.parametrize("name, mode, inplace", [(IPC, m, i) for m in (1, 2, 3, 4, 5, 6, 100, -1) for i in (1, 0)] +
                         [(IPCM, m, i) for m in (5, 0, 1, 4, 6) for i in (1, 0)] +
                         [(CLR, t, 0) for t in (None, 300, -1, 0x7F, 0x12345, 0x8000)])
def test_matches_model(util, zb, make_buf, keep, trace, name, mode, inplace, bpp, alloc, mapped, no_data):
    # A mode without a rule changes nothing. ClearBGRByAlphaChannel counts the low 8 or 16 bits
    # of its threshold (300 acts as 44), by default 0.
    t, rng = TOP[bpp], random.Random(f"{name}{mode}{bpp}{alloc}")
    thr = (mode or 0) & t
    px = random_pixels(rng, W * H, t)
    px[3:12:4] = [thr, min(thr + 1, t), max(thr - 1, 0)]
    src = make_buf(pack_values(px, bpp), W, H, bpp, alloc, mapped)
    zb.set_attributes(src, 0x8877665544332211, 0x99)
    # Every mask byte occurs, so each single-precision weight is exercised.
    mask_px = rng.sample(range(256), 256) + [rng.randint(0, 255) for _ in range(W * H - 256)]
    mask = make_buf(bytes(mask_px), W, H, 1, CHUNK - alloc, mapped)
    apart = () if inplace else (False,)
    method, args, expected = {
        IPC: (util.ImagePixelConvert, (src, mode, *apart), ref_mode(px, mode, t)),
        IPCM: (util.ImagePixelConvertByMask, (src, mask, mode, *apart),
               ref_invert(px, mask_px, t) if mode == 5 else px),
        CLR: (util.ClearBGRByAlphaChannel, (src,) + (() if mode is None else (mode,)),
              [0 if i % 4 < 3 and px[i - i % 4 + 3] <= thr else v for i, v in enumerate(px)])}[name]
    refs = zb.info(src)["refcount"]
    zb.fail_next("lock_no_data", int(no_data))
    trace()
    out = method(*args) if inplace else keep(method(*args))
    assert trace() == [entry(name), end(name)]
    if inplace:  # the source itself comes back, without an extra reference
        assert (addr32(out), zb.info(src)["refcount"]) == (addr32(src), refs)
    else:
        assert meta(zb, out) + (zb.info(out)["refcount"],) == (W, H, bpp, BYTE, 0x8877665544332211, 0x99, 1)
    assert (pixels_of(zb, out), pixels_of(zb, src), pixels_of(zb, mask)) == \
        (expected, expected if inplace else px, mask_px)


def test_wide_mask_and_buffer_as_its_own_mask(util, zb, make_buf, keep):
    # A 4-BPP mask gives the bytes of its row, one per pixel; as its own mask in
    # place, each pixel sees the byte as the pixels before it left it.
    px = random_pixels(random.Random(7), 11 * 2, 255)
    src, wide = make_buf(bytes(px), 11, 2, 4), make_buf(bytes(px), 11, 2, 4, CHUNK)
    apart = keep(util.ImagePixelConvertByMask(src, wide, 5, False))
    util.ImagePixelConvertByMask(src, src, 5)
    own = list(px)
    for p in range(22):
        own[4 * p:4 * p + 4] = ref_invert(own[4 * p:4 * p + 4], [own[44 * (p // 11) + p % 11]], 255)
    assert (pixels_of(zb, apart), pixels_of(zb, src)) == \
        (ref_invert(px, [px[44 * (p // 11) + p % 11] for p in range(22)], 255), own)


@pytest.mark.parametrize("names, bpp, alloc, mask, fault, message", [
    ((IPC,), 4, BYTE, (2, 2, 1, BYTE), None, "Nothing to do"),  # mode 0
    ((IPC, IPCM, CLR), 3, PLANAR, (2, 2, 1, BYTE), None, "Not Support for Planar"),
    *[((IPC, IPCM, CLR), b, a, (2, 2, 1, BYTE), None, "Only Support BGRA32 or BGRA64")
      for b, a in ((1, BYTE), (2, BYTE), (3, CHUNK), (6, BYTE))],
    # The mask size is checked before the source format, a planar mask after it.
    *[((IPCM,), b, BYTE, (w, h, 1, BYTE), None, "Mask Size not Match to SrcImage")
      for b, w, h in ((4, 3, 2), (4, 2, 1), (4, 1, 2), (3, 1, 1))],
    ((IPCM,), 4, BYTE, (2, 2, 4, PLANAR), None, "Not Support for Planar"),
    *[((IPC, IPCM, CLR), 8, CHUNK, (2, 2, 1, BYTE), hr, "") for hr in (E_OUTOFMEMORY, 0)],  # no new buffer
])
def test_refusals(util, zb, make_buf, trace, names, bpp, alloc, mask, fault, message):
    src, mask = make_buf(bytes(4 * bpp), 2, 2, bpp, alloc), make_buf(bytes(mask[0] * mask[1] * mask[2]), *mask)
    calls = methods(util, src, mask, False, mode=4 * (message != "Nothing to do"))
    for name in names:
        zb.fail_next("allocateImageBuffer", int(fault is not None), fault or 0)
        trace()
        assert (calls[name](), trace()) == (None, [entry(name)] + [PREFIX + message][:len(message)])


def test_null_buffer_or_missing_allocator(util, zb, make_buf, trace, monkeypatch, capfd, tmp_path):
    src, mask = make_buf(bytes(P), 1, 1, 4), make_buf(bytes([9]), 1, 1, 1)
    no_alloc = make_utility(monkeypatch, capfd, allocator=str(tmp_path / "missing.so"))
    calls = [*methods(util, None, mask).values(), methods(util, src, None)[IPCM],
             *methods(no_alloc, src, mask).values()]
    assert [call() for call in calls] == [None] * 7
    assert trace() == [entry(n) for n in (IPC, IPCM, CLR, IPCM, IPC, IPCM, CLR)]
    assert pixels_of(zb, src) == P


@pytest.mark.parametrize("inplace", [True, False])
def test_source_lock_failure(util, zb, make_buf, keep, trace, inplace):
    src, mask = make_buf(bytes(P * 4), 2, 2, 4), make_buf(bytes([255] * 4), 2, 2, 1)
    zb.set_attributes(src, 1, 2)
    for name, call in methods(util, src, mask, inplace).items():
        zb.fail_next("lock")
        trace()
        out = call()
        if name == CLR:  # the lock is not examined: the rows are converted all the same
            assert (trace(), meta(zb, keep(out)), pixels_of(zb, out)) == \
                ([entry(CLR), end(CLR)], (2, 2, 4, BYTE, 1, 2), P * 4)
        else:
            assert trace() == [entry(name), f"{PREFIX}[{name}][{int(inplace)}] lock src failed, {addr32(src)}"]
            assert (out and addr32(out)) == (addr32(src) if inplace else None)
    assert pixels_of(zb, src) == P * 4
