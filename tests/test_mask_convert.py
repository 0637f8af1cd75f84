"""ImageBufferToMask and MaskToImageBuffer against a Python model: pixels,
attributes, trace lines and failures."""
import random
import struct

import pytest

from conftest import E_OUTOFMEMORY, PREFIX, addr32, end, entry, make_utility

BYTE, CHUNK, PLANAR = 0, 1, 2
W, H = 45, 9  # a vector body plus a tail per row; three chunks of rows
I2M, M2I = "PyQelBufferUtility::ImageBufferToMask", "PyQelBufferUtility::MaskToImageBuffer"
# Source storage: allocation type, file mapped, lock without data address (rows via the row table).
STORAGE = [(BYTE, False, False), (CHUNK, False, True), (CHUNK, True, False)]


def randoms(rng, n, t=0xFF):  # plenty of the extremes
    return [rng.choice((0, 1, t // 2 + 1, t - 1, t)) if rng.random() < 0.2 else rng.randint(0, t) for _ in range(n)]


def meta(zb, buf):
    i = zb.info(buf)
    return i["width"], i["height"], i["bpp"], i["alloc_type"], i["attribute1"], i["attribute2"]


@pytest.mark.parametrize("method, flag, w, data, expected", [
    ("ImageBufferToMask", False, 1, bytes([10, 20, 30, 40]), [40]),
    ("ImageBufferToMask", True, 1, bytes([10, 20, 30, 40]), [20]),
    ("ImageBufferToMask", True, 1, bytes([1, 1, 2, 255]), [1]),  # rounded down
    ("ImageBufferToMask", True, 1, bytes([255, 255, 255, 0]), [255]),
    ("ImageBufferToMask", True, 3, struct.pack("<12H", *[0xFFFF] * 3, 0, *[0x8000] * 3, 0, 0x100, 0x100, 0xFF, 0),
     [0xFF, 0x80, 0x00]),  # 16-bit mean, then its high byte
    ("MaskToImageBuffer", False, 1, bytes([77]), [0, 0, 0, 77]),
    ("MaskToImageBuffer", True, 1, bytes([77]), [77, 77, 77, 255]),
])
def test_worked_examples(util, zb, make_buf, keep, method, flag, w, data, expected):
    src = make_buf(data, w, 1, len(data) // w)
    assert list(zb.to_bytes(keep(getattr(util, method)(src, flag)))) == expected


@pytest.mark.parametrize("alloc, mapped, no_data", STORAGE)
@pytest.mark.parametrize("from_color, bpp", [(False, 4), *((True, b) for b in (4, 8, 1, 2, 3, 6))])
def test_to_mask_matches_model(util, zb, make_buf, keep, trace, alloc, mapped, no_data, from_color, bpp):
    px = randoms(random.Random(bpp), W * H * (4 if bpp == 8 else bpp), 0xFFFF if bpp == 8 else 0xFF)
    data = struct.pack(f"<{len(px)}H", *px) if bpp == 8 else bytes(px)
    src = make_buf(data, W, H, bpp, alloc, mapped)
    zb.set_attributes(src, 0xDEADBEEF00000001, 42)
    if no_data:
        zb.fail_next("lock_no_data")
    trace()
    mask = keep(util.ImageBufferToMask(src, True) if from_color else util.ImageBufferToMask(src))
    assert trace() == [entry(I2M), end(I2M)]
    # Only the alpha mask stands for the same layer and takes its attributes.
    assert meta(zb, mask) == (W, H, 1, BYTE) + ((0, 0) if from_color else (0xDEADBEEF00000001, 42))
    # A colour mask of a format without BGRA colour is empty.
    expected = px[3::4] if not from_color else [0] * (W * H) if bpp not in (4, 8) else [
        (sum(px[i:i + 3]) // 3) >> (bpp - 4) * 2 for i in range(0, len(px), 4)]
    assert (list(zb.to_bytes(mask)), zb.to_bytes(src)) == (expected, data)


@pytest.mark.parametrize("alloc, mapped, no_data", STORAGE)
@pytest.mark.parametrize("to_color", [False, True])
def test_to_image_matches_model_and_round_trips(util, zb, make_buf, keep, trace, alloc, mapped, no_data, to_color):
    m = randoms(random.Random(alloc), W * H)
    mask = make_buf(bytes(m), W, H, 1, alloc, mapped)
    zb.set_attributes(mask, 11, 12)
    if no_data:
        zb.fail_next("lock_no_data")
    trace()
    out = keep(util.MaskToImageBuffer(mask, True) if to_color else util.MaskToImageBuffer(mask))
    assert trace() == [entry(M2I), end(M2I)]
    assert meta(zb, out) == (W, H, 4, BYTE, 0, 0)
    assert list(zb.to_bytes(out)) == [c for v in m for c in ([v, v, v, 255] if to_color else [0, 0, 0, v])]
    # The mask is unchanged, and turning the image back gives it again.
    assert list(zb.to_bytes(mask)) == list(zb.to_bytes(keep(util.ImageBufferToMask(out, to_color)))) == m


@pytest.mark.parametrize("method, flag, bpp, alloc, message", [
    *[("ImageBufferToMask", False, b, BYTE, f"unsupported BPP {b}") for b in (1, 2, 3, 6, 8)],
    *[("ImageBufferToMask", f, b, PLANAR, "Planar buffer does not have alpha channel")
      for f in (False, True) for b in (3, 4, 8)],
    *[("MaskToImageBuffer", False, b, a, f"unsupported BPP {b}")
      for b, a in ((2, BYTE), (3, BYTE), (4, BYTE), (4, PLANAR), (8, CHUNK))],
])
def test_refusals(util, make_buf, trace, method, flag, bpp, alloc, message):
    src = make_buf(bytes(2 * 2 * bpp), 2, 2, bpp, alloc)
    trace()
    assert getattr(util, method)(src, flag) is None
    assert trace() == [entry(f"PyQelBufferUtility::{method}"), PREFIX + message]


@pytest.mark.parametrize("method, flag, message", [
    ("ImageBufferToMask", False, f"[{I2M}][4Bytes] lock source failed, {{}}"),
    ("ImageBufferToMask", True, f"[{I2M}][FromColor] lock src failed, {{}}"),
    ("MaskToImageBuffer", True, f"[{M2I}] lock src failed"),
])
def test_lock_failure_releases_result(util, zb, make_buf, trace, method, flag, message):
    src = make_buf(bytes([1, 2, 3, 4]), *((1, 1, 4) if method == "ImageBufferToMask" else (4, 1, 1)))
    zb.fail_next("lock")
    trace()
    assert getattr(util, method)(src, flag) is None
    assert trace() == [entry(f"PyQelBufferUtility::{method}"), PREFIX + message.format(addr32(src))]


@pytest.mark.parametrize("hr", [E_OUTOFMEMORY, 0])
def test_allocation_failure_null_and_missing_allocator(util, zb, make_buf, trace, monkeypatch, capfd, tmp_path, hr):
    src, mask = make_buf(bytes(4), 1, 1, 4), make_buf(bytes(2), 2, 1, 1)
    calls = [(I2M, lambda: util.ImageBufferToMask(src)), (I2M, lambda: util.ImageBufferToMask(src, True)),
             (M2I, lambda: util.MaskToImageBuffer(mask))]
    for name, call in calls:
        zb.fail_next("allocateImageBuffer", 1, hr)
        trace()
        assert (call(), trace()) == (None, [entry(name)])
    no_alloc = make_utility(monkeypatch, capfd, allocator=str(tmp_path / "missing.so"))
    results = [util.ImageBufferToMask(None), util.ImageBufferToMask(None, True), util.MaskToImageBuffer(None),
               no_alloc.ImageBufferToMask(src), no_alloc.ImageBufferToMask(src, True), no_alloc.MaskToImageBuffer(mask)]
    assert (results, trace()) == ([None] * 6, [entry(n) for n in (I2M, I2M, M2I) * 2])
