"""ImageBufferToMask and MaskToImageBuffer against a Python model: pixels, attributes, trace lines and failures."""
import random

import pytest

from conftest import E_OUTOFMEMORY, PREFIX, addr32, end, entry, make_utility, pack_values

BYTE, CHUNK, PLANAR = 0, 1, 2
W, H = 45, 9  # a vector body plus a tail per row; three chunks of rows
I2M, M2I = "ImageBufferToMask", "MaskToImageBuffer"
Q = "PyQelBufferUtility::"


def randoms(rng, n, t):  # plenty of the extremes
    return [rng.choice((0, 1, t // 2 + 1, t - 1, t)) if rng.random() < 0.2 else rng.randint(0, t) for _ in range(n)]


@pytest.mark.parametrize("method, flag, w, data, expected", [
    (I2M, False, 1, bytes([10, 20, 30, 40]), [40]), (I2M, True, 1, bytes([10, 20, 30, 40]), [20]),
    (I2M, True, 1, bytes([1, 1, 2, 255]), [1]), (I2M, True, 1, bytes([255, 255, 255, 0]), [255]),
    # 16-bit mean, then its high byte
    (I2M, True, 3, pack_values([*[0xFFFF] * 3, 0, *[0x8000] * 3, 0, 0x100, 0x100, 0xFF, 0], 8), [0xFF, 0x80, 0x00]),
    (M2I, False, 1, bytes([77]), [0, 0, 0, 77]), (M2I, True, 1, bytes([77]), [77, 77, 77, 255]),
])
def test_worked_examples(util, zb, make_buf, keep, method, flag, w, data, expected):
    src = make_buf(data, w, 1, len(data) // w)
    assert list(zb.to_bytes(keep(getattr(util, method)(src, flag)))) == expected


# Source storage: allocation type, file mapped, lock without data address (rows via the row table).
@pytest.mark.parametrize("alloc, mapped, no_data", [(BYTE, False, False), (CHUNK, False, True), (CHUNK, True, False)])
@pytest.mark.parametrize("method, flag, bpp", [(I2M, None, 4), *((I2M, True, b) for b in (4, 8, 1, 2, 3, 6)),
                                               (M2I, None, 1), (M2I, True, 1)])
def test_matches_model(util, zb, make_buf, keep, trace, alloc, mapped, no_data, method, flag, bpp):
    px = randoms(random.Random(bpp + alloc), W * H * (4 if bpp == 8 else bpp), 0xFFFF if bpp == 8 else 0xFF)
    src = make_buf(pack_values(px, bpp), W, H, bpp, alloc, mapped)
    zb.set_attributes(src, 0xDEADBEEF00000001, 42)
    zb.fail_next("lock_no_data", int(no_data))
    trace()
    out = keep(getattr(util, method)(src, *([] if flag is None else [flag])))
    assert trace() == [entry(Q + method), end(Q + method)]
    # Only the alpha mask stands for the same layer and takes its attributes. A colour mask
    # of a format without BGRA colour is empty.
    expected = {(I2M, None): px[3::4], (M2I, None): [c for v in px for c in (0, 0, 0, v)],
                (M2I, True): [c for v in px for c in (v, v, v, 255)],
                (I2M, True): [(sum(px[i:i + 3]) // 3) >> (bpp - 4) * 2 for i in range(0, len(px), 4)]
                if bpp in (4, 8) else [0] * (W * H)}[method, flag]
    attrs = (0xDEADBEEF00000001, 42) if (method, flag) == (I2M, None) else (0, 0)
    info = zb.info(out)
    assert [info[k] for k in ("width", "height", "bpp", "alloc_type", "attribute1", "attribute2")] == \
        [W, H, 4 if method == M2I else 1, BYTE, *attrs]
    assert (list(zb.to_bytes(out)), zb.to_bytes(src)) == (expected, pack_values(px, bpp))
    if method == M2I:  # turning the image back gives the mask again
        assert list(zb.to_bytes(keep(util.ImageBufferToMask(out, bool(flag))))) == px


@pytest.mark.parametrize("method, flag, bpp, alloc, fault, message", [
    *[(I2M, False, b, BYTE, None, f"unsupported BPP {b}") for b in (1, 2, 3, 6, 8)],
    *[(I2M, f, b, PLANAR, None, "Planar buffer does not have alpha channel") for f in (False, True) for b in (3, 4, 8)],
    *[(M2I, False, b, a, None, f"unsupported BPP {b}") for b, a in ((2, BYTE), (3, BYTE), (4, BYTE), (4, PLANAR),
                                                                    (8, CHUNK))],
    # A failed lock releases the new buffer; so does a failed allocation, silently.
    (I2M, False, 4, BYTE, ("lock",), f"[{Q}{I2M}][4Bytes] lock source failed, {{}}"),
    (I2M, True, 4, BYTE, ("lock",), f"[{Q}{I2M}][FromColor] lock src failed, {{}}"),
    (M2I, True, 1, BYTE, ("lock",), f"[{Q}{M2I}] lock src failed"),
    *[(m, f, b, CHUNK, ("allocateImageBuffer", 1, hr), None)
      for m, f, b in ((I2M, False, 4), (I2M, True, 4), (M2I, False, 1)) for hr in (E_OUTOFMEMORY, 0)],
])
def test_refusals(util, zb, make_buf, trace, method, flag, bpp, alloc, fault, message):
    src = make_buf(bytes(2 * 2 * bpp), 2, 2, bpp, alloc)
    zb.fail_next(*(fault or ("lock", 0)))
    trace()
    assert getattr(util, method)(src, flag) is None
    assert trace() == [entry(Q + method)] + [PREFIX + m.format(addr32(src)) for m in [message] if m]


def test_null_buffer_and_missing_allocator(util, make_buf, trace, monkeypatch, capfd, tmp_path):
    src, mask = make_buf(bytes(4), 1, 1, 4), make_buf(bytes(2), 2, 1, 1)
    no_alloc = make_utility(monkeypatch, capfd, allocator=str(tmp_path / "missing.so"))
    results = [util.ImageBufferToMask(None), util.ImageBufferToMask(None, True), util.MaskToImageBuffer(None),
               no_alloc.ImageBufferToMask(src), no_alloc.ImageBufferToMask(src, True), no_alloc.MaskToImageBuffer(mask)]
    assert (results, trace()) == ([None] * 6, [entry(Q + n) for n in (I2M, I2M, M2I) * 2])
