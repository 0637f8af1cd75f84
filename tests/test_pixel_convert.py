"""ImagePixelConvert, ImagePixelConvertByMask and ClearBGRByAlphaChannel against
Python models of each rule: pixels, attributes, trace lines and failures."""
import random
import struct

import pytest

from conftest import E_OUTOFMEMORY, PREFIX, addr32, end, entry, make_utility

BYTE, CHUNK, PLANAR = 0, 1, 2
W, H = 37, 9  # a vector body plus a tail per row; three chunks of rows
TOP = {4: 0xFF, 8: 0xFFFF}
IPC, IPCM, CLR = (f"PyQelBufferUtility::{n}" for n in
                  ("ImagePixelConvert", "ImagePixelConvertByMask", "ClearBGRByAlphaChannel"))
# Source storage: allocation type, file mapped, lock without data address (rows via the row table).
STORAGE = [(BYTE, False, False), (CHUNK, False, True), (CHUNK, True, False)]


def pack(px, bpp):
    return struct.pack(f"<{len(px)}H", *px) if bpp == 8 else bytes(px)


def pixels_of(zb, buf):
    data = zb.to_bytes(buf)
    return list(struct.unpack(f"<{len(data) // 2}H", data)) if zb.info(buf)["bpp"] == 8 else list(data)


def meta(zb, buf):
    i = zb.info(buf)
    return i["width"], i["height"], i["bpp"], i["alloc_type"], i["attribute1"], i["attribute2"]


def random_pixels(rng, n, bpp):
    t = TOP[bpp]  # plenty of the extremes, where the arithmetic is most fragile
    return [rng.choice((0, 1, t - 1, t)) if rng.random() < 0.2 else rng.randint(0, t) for _ in range(n * 4)]


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def ref_mode(px, mode, t):
    out = []
    for b, g, r, a in zip(*[iter(px)] * 4):
        grey = [(b + g + r) // 3] * 3
        out += {1: [b, g, r, t], 2: [a] * 3 + [t], 3: grey + [t], 4: [t - b, t - g, t - r, a]}.get(mode, [b, g, r, a])
    return out


def ref_invert(px, mask, t):
    # Weight and inverted share in single precision, the rest in double.
    out = list(px)
    for p, m in enumerate(mask):
        w = f32(m / 255)
        for i in range(4 * p, 4 * p + 3):
            out[i] = int(f32((t - px[i]) * w) + px[i] * (1.0 - w))
    return out


def methods(util, src, mask, inplace=False):
    """Each method with its trace name, as a call without arguments."""
    return {IPC: lambda: util.ImagePixelConvert(src, 4, inplace),
            IPCM: lambda: util.ImagePixelConvertByMask(src, mask, 5, inplace),
            CLR: lambda: util.ClearBGRByAlphaChannel(src, 0)}


@pytest.fixture
def rng():
    return random.Random(20240611)


@pytest.mark.parametrize("mode, m, bpp, pixel, expected", [
    (1, None, 4, [10, 20, 30, 40], [10, 20, 30, 255]),
    (2, None, 4, [10, 20, 30, 40], [40, 40, 40, 255]),
    (3, None, 4, [10, 20, 30, 40], [20, 20, 20, 255]),
    (4, None, 4, [10, 20, 30, 40], [245, 235, 225, 40]),
    (3, None, 4, [1, 1, 2, 0], [1, 1, 1, 255]),  # 4 / 3 rounds down
    (4, None, 8, [0, 0x1234, 0xFFFF, 7], [0xFFFF, 0xEDCB, 0, 7]),
    (5, 255, 4, [10, 20, 30, 40], [245, 235, 225, 40]),
    (5, 0, 4, [10, 20, 30, 40], [10, 20, 30, 40]),
    (5, 128, 4, [0, 0, 0, 9], [128, 128, 128, 9]),  # 255 * 128 / 255
])
def test_worked_examples(util, zb, make_buf, keep, mode, m, bpp, pixel, expected):
    src = make_buf(pack(pixel, bpp), 1, 1, bpp)
    if m is None:
        method, args = util.ImagePixelConvert, (src, mode)
    else:
        method, args = util.ImagePixelConvertByMask, (src, make_buf(bytes([m]), 1, 1, 1), mode)
    assert pixels_of(zb, keep(method(*args, False))) == expected
    assert pixels_of(zb, src) == pixel
    method(*args)
    assert pixels_of(zb, src) == expected


@pytest.mark.parametrize("inplace", [True, False])
@pytest.mark.parametrize("alloc, mapped, no_data", STORAGE)
@pytest.mark.parametrize("bpp", [4, 8])
@pytest.mark.parametrize("by_mask, mode", [(False, m) for m in (1, 2, 3, 4, 5, 6, 100, -1)] +
                         [(True, m) for m in (5, 0, 1, 4, 6)])
def test_modes_match_model(util, zb, make_buf, keep, trace, rng, by_mask, mode, bpp, alloc, mapped, no_data, inplace):
    px = random_pixels(rng, W * H, bpp)
    src = make_buf(pack(px, bpp), W, H, bpp, alloc, mapped)
    zb.set_attributes(src, 0x1122334455667788, 0x99)
    # A mode without a rule changes nothing; a separate result holds the unconverted source.
    if by_mask:
        # Every mask value occurs, so each single-precision weight is exercised.
        mask_px = list(range(256)) + [rng.randint(0, 255) for _ in range(W * H - 256)]
        rng.shuffle(mask_px)
        mask = make_buf(bytes(mask_px), W, H, 1, CHUNK - alloc, mapped)
        method, args, name = util.ImagePixelConvertByMask, (src, mask, mode), IPCM
        expected = ref_invert(px, mask_px, TOP[bpp]) if mode == 5 else px
    else:
        method, args, name, expected = util.ImagePixelConvert, (src, mode), IPC, ref_mode(px, mode, TOP[bpp])
    refs = zb.info(src)["refcount"]
    if no_data:
        zb.fail_next("lock_no_data")
    trace()
    out = method(*args) if inplace else keep(method(*args, False))
    assert trace() == [entry(name), end(name)]
    if inplace:  # the source itself comes back, without an extra reference
        assert (addr32(out), zb.info(src)["refcount"]) == (addr32(src), refs)
    else:
        assert meta(zb, out) + (zb.info(out)["refcount"],) == (W, H, bpp, BYTE, 0x1122334455667788, 0x99, 1)
        assert pixels_of(zb, src) == px
    assert pixels_of(zb, out) == expected
    assert not by_mask or list(zb.to_bytes(mask)) == mask_px


def test_wide_mask_and_buffer_as_its_own_mask(util, zb, make_buf, keep, rng):
    # A 4-BPP mask gives the bytes of its row, one per pixel; as its own mask in
    # place, each pixel sees the byte as the pixels before it left it.
    px = random_pixels(rng, 11 * 2, 4)
    src, wide = make_buf(pack(px, 4), 11, 2, 4), make_buf(pack(px, 4), 11, 2, 4, CHUNK)
    apart = keep(util.ImagePixelConvertByMask(src, wide, 5, False))
    util.ImagePixelConvertByMask(src, src, 5)
    own = list(px)
    for p in range(22):
        own[4 * p:4 * p + 4] = ref_invert(own[4 * p:4 * p + 4], [own[44 * (p // 11) + p % 11]], 255)
    assert pixels_of(zb, apart) == ref_invert(px, [px[44 * (p // 11) + p % 11] for p in range(22)], 255)
    assert pixels_of(zb, src) == own


@pytest.mark.parametrize("alloc, mapped, no_data", STORAGE)
@pytest.mark.parametrize("bpp, threshold", [
    (4, None), (4, 300), (4, -1), (4, 255), (4, 0x7F), (8, None), (8, 0x12345), (8, -1), (8, 0x8000)])
def test_clear_matches_model(util, zb, make_buf, keep, trace, rng, bpp, threshold, alloc, mapped, no_data):
    # Only the low 8 or 16 bits of the threshold count: 300 acts as 44. The default is 0.
    thr = (threshold or 0) & TOP[bpp]
    px = random_pixels(rng, W * H, bpp)
    px[3:12:4] = [thr, min(thr + 1, TOP[bpp]), max(thr - 1, 0)]
    src = make_buf(pack(px, bpp), W, H, bpp, alloc, mapped)
    zb.set_attributes(src, 0xFFFFFFFFFFFFFFFF, 3)
    if no_data:
        zb.fail_next("lock_no_data")
    trace()
    out = keep(util.ClearBGRByAlphaChannel(src, *([] if threshold is None else [threshold])))
    assert trace() == [entry(CLR), end(CLR)]
    assert meta(zb, out) == (W, H, bpp, BYTE, 0xFFFFFFFFFFFFFFFF, 3)
    expected = [0 if i % 4 < 3 and px[i - i % 4 + 3] <= thr else v for i, v in enumerate(px)]
    assert (pixels_of(zb, out), pixels_of(zb, src)) == (expected, px)


@pytest.mark.parametrize("mode, names, src_shape, mask_shape, message", [
    (0, (IPC,), (2, 2, 4, BYTE), (2, 2, 1, BYTE), "Nothing to do"),
    (1, (IPC, IPCM, CLR), (2, 2, 4, PLANAR), (2, 2, 1, BYTE), "Not Support for Planar"),
    (1, (IPC, IPCM, CLR), (2, 2, 3, PLANAR), (2, 2, 1, BYTE), "Not Support for Planar"),
    *[(1, (IPC, IPCM, CLR), (2, 2, b, a), (2, 2, 1, BYTE), "Only Support BGRA32 or BGRA64")
      for b, a in ((1, BYTE), (2, BYTE), (3, CHUNK), (6, BYTE))],
    # The mask size is checked before the source format.
    *[(1, (IPCM,), (3, 3, b, BYTE), (w, h, 1, BYTE), "Mask Size not Match to SrcImage")
      for b, w, h in ((4, 4, 3), (4, 3, 2), (4, 2, 3), (3, 2, 2))],
    (1, (IPCM,), (2, 2, 4, BYTE), (2, 2, 4, PLANAR), "Not Support for Planar"),
])
def test_refusals(util, make_buf, trace, mode, names, src_shape, mask_shape, message):
    src, mask = (make_buf(bytes(w * h * bpp), w, h, bpp, a) for w, h, bpp, a in (src_shape, mask_shape))
    calls = methods(util, src, mask)
    calls[IPC] = lambda: util.ImagePixelConvert(src, mode, False)
    trace()
    assert [calls[n]() for n in names] == [None] * len(names)
    assert trace() == [ln for n in names for ln in (entry(n), PREFIX + message)]


@pytest.mark.parametrize("hr", [E_OUTOFMEMORY, 0])
def test_allocation_failure_null_buffer_or_missing_allocator(util, zb, make_buf, trace, monkeypatch, capfd,
                                                             tmp_path, hr):
    src, mask = make_buf(bytes([1, 2, 3, 4]), 1, 1, 4), make_buf(bytes([9]), 1, 1, 1)
    for name, call in methods(util, src, mask).items():
        zb.fail_next("allocateImageBuffer", 1, hr)
        trace()
        assert (call(), trace()) == (None, [entry(name)])
    no_alloc = make_utility(monkeypatch, capfd, allocator=str(tmp_path / "missing.so"))
    calls = [*methods(util, None, mask, True).values(), methods(util, src, None, True)[IPCM],
             *methods(no_alloc, src, mask, True).values()]
    assert [call() for call in calls] == [None] * 7
    assert trace() == [entry(n) for n in (IPC, IPCM, CLR, IPCM, IPC, IPCM, CLR)]
    assert pixels_of(zb, src) == [1, 2, 3, 4]


@pytest.mark.parametrize("inplace", [True, False])
def test_source_lock_failure(util, zb, make_buf, keep, trace, inplace):
    src, mask = make_buf(bytes([10, 20, 30, 40] * 4), 2, 2, 4), make_buf(bytes([255] * 4), 2, 2, 1)
    zb.set_attributes(src, 1, 2)
    for name, call in methods(util, src, mask, inplace).items():
        zb.fail_next("lock")
        trace()
        out = call()
        if name == CLR:  # the lock is not examined: the rows are converted all the same
            assert trace() == [entry(CLR), end(CLR)]
            assert (meta(zb, keep(out)), pixels_of(zb, out)) == ((2, 2, 4, BYTE, 1, 2), [10, 20, 30, 40] * 4)
        else:
            assert trace() == [entry(name), f"{PREFIX}[{name}][{int(inplace)}] lock src failed, {addr32(src)}"]
            assert (out and addr32(out)) == (addr32(src) if inplace else None)
    assert pixels_of(zb, src) == [10, 20, 30, 40] * 4
