"""Copying, filling and cutting buffers, and the byte array helpers."""
import random

import pytest
import zubuffer as zb

from conftest import E_FAIL, E_INVALIDARG, E_OUTOFMEMORY, E_POINTER, S_OK, addr32, entry, end, line, make_utility

TYPES = BYTE, CHUNK, PLANAR = 0, 1, 2
ROI = "PyQelBufferUtility::GetROI"
rnd = random.Random(2024).randbytes


def attrs(buf):
    return zb.info(buf)["attribute1"], zb.info(buf)["attribute2"]


def test_refusals(util, make_buf, trace, monkeypatch, capfd):
    bare = make_utility(monkeypatch, capfd, allocator="/nonexistent/libZuBufferAllocator.so")
    a, b, grey, bgr = (make_buf(rnd(80), 5, 4, 4, CHUNK), make_buf(rnd(40), 5, 2, 4), make_buf(rnd(20), 5, 4, 1),
                       make_buf(rnd(12), 2, 2, 3))
    for u, dst, src in [(util, None, a), (util, a, None), (bare, a, b)]:
        assert u.CopyImageBuffer(dst, src, src is not None) == u.CopyBuffer(dst, src, 0, 0, 1, 1) == E_POINTER
    assert util.ClearBuffer(None, 0, 0, 1, 1, 0) == bare.ClearBuffer(a, 0, 0, 1, 1, 0) == E_POINTER
    assert util.SetBufferColor(None, 1, 2, 3, 4) == E_POINTER
    assert util.GetROI(None, 0, 0, 1, 1) is bare.GetROI(a, 0, 0, 1, 1) is None
    assert util.ConvertImageBufferAllocateType(None, BYTE, True) is bare.ConvertImageBufferAllocateType(a) is None
    assert trace() == [entry(ROI)] * 2
    assert {util.CopyBuffer(a, b, 0, 0, 0, 1), util.CopyBuffer(a, b, 0, 0, 1, 0), util.CopyBuffer(a, grey, 0, 0, 2, 2),
            util.ClearBuffer(a, 0, 0, 0, 1, 0), util.ClearBuffer(a, 0, 0, 1, 0, 0)} == {E_INVALIDARG}
    assert util.SetBufferColor(bgr, 1, 2, 3, 4) == util.SetBufferColor(bgr, 1, 2, 3, 4, "not parsed") == E_FAIL
    assert util.CopyImageBuffer(a, b) == util.CopyImageBuffer(grey, b) == E_FAIL  # the byte counts differ
    # The region is parsed like a call's arguments: the parser's own exceptions come through.
    for region, exc, text in [("1234", TypeError, "SetBufferColor: pPyoROI must be None or a tuple of four ints "
                                                   "(left, top, width, height), not str"),
                              ((1, 2, 3), TypeError, "takes exactly 4 arguments (3 given)"),
                              ((0, 0, 2**31, 1), OverflowError, "signed integer is greater than maximum")]:
        with pytest.raises(exc) as e:
            util.SetBufferColor(a, 1, 2, 3, 4, region)
        assert str(e.value).endswith(text)
    one = type("Index", (), {"__index__": lambda self: 1})()  # e.g. a NumPy integer
    assert util.SetBufferColor(a, 7, 7, 7, 7, (0, 0, one, one)) == S_OK and zb.to_bytes(a)[:4] == bytes([7] * 4)
    assert trace() == [line(f"[CopyImageBuffer]size error, dst({n}), src(40)") for n in (80, 20)]
    assert bare.SetBufferColor(b, 1, 2, 3, 4) == S_OK and zb.to_bytes(b) == bytes([4, 3, 2, 1]) * 10
    assert util.InverseByteArrayOrder(None, 2, 2) is util.ReleaseByteArray(None) is None
    assert (nothing := util.InverseByteArrayOrder(None, 0, 3)) is not None and util.ReleaseByteArray(nothing) is None


# A lock without pixels fails a copy that needs them and leaves fills undone; a failed copy's code is passed on.
@pytest.mark.parametrize("method, dst_type, fault, code, text", [
    *[(m, BYTE, "lock", E_POINTER, "lock dst failed, {dst}") for m in ("CopyImageBuffer", "CopyBuffer")],
    ("CopyBuffer", BYTE, ("lock", 1), E_POINTER, "lock src failed, {src}"),  # the destination is locked first
    *[("CopyImageBuffer", t, f, hr, "copy from src failed, {src}") for t, f, hr in [
      (CHUNK, "lock_no_data", E_POINTER), (BYTE, "copyBufferData", E_OUTOFMEMORY), (CHUNK, "copyBufferData", E_FAIL)]],
    ("CopyBuffer", PLANAR, "lock_no_data", E_FAIL, None), ("ClearBuffer", PLANAR, "lock_no_data", S_OK, None),
    ("SetBufferColor", BYTE, "lock_no_data", S_OK, None)])
def test_lock_and_copy_faults(util, make_buf, trace, method, dst_type, fault, code, text):
    dst, src = make_buf(bytes(24), 3, 2, 4, dst_type), make_buf(rnd(24), 3, 2, 4)
    zb.set_attributes(src, 5, 6)
    fault, skip = fault if isinstance(fault, tuple) else (fault, 0)
    zb.fail_next(fault, hr=code, skip=skip)
    args = {"CopyImageBuffer": (dst, src), "CopyBuffer": (dst, src, 0, 0, 3, 2), "ClearBuffer": (dst, 0, 0, 3, 2, 9),
            "SetBufferColor": (dst, 9, 9, 9, 9)}[method]
    assert getattr(util, method)(*args) == code
    zb.clear_faults()
    logged = [line(f"[PyQelBufferUtility::{method}] " + text.format(dst=addr32(dst), src=addr32(src)))] if text else []
    assert (zb.to_bytes(dst), attrs(dst), trace()) == (bytes(24), (0, 0), logged)


# Only the byte counts agree: 10 x 6 and 6 x 10 BGRA. copy_to None: the two-argument form.
@pytest.mark.parametrize("dst_type, src_type", [(d, s) for d in TYPES for s in TYPES])
@pytest.mark.parametrize("copy_to", [True, False, None])
def test_copy_image_buffer(util, make_buf, trace, dst_type, src_type, copy_to):
    dst, src = make_buf(dst_data := rnd(240), 10, 6, 4, dst_type), make_buf(src_data := rnd(240), 6, 10, 4, src_type)
    zb.set_attributes(src, 11, 22)
    assert util.CopyImageBuffer(dst, src, *([] if copy_to is None else [copy_to])) == S_OK
    both = dst_data if copy_to is False else src_data
    assert (zb.to_bytes(dst), zb.to_bytes(src), attrs(dst), attrs(src), trace()) == (both, both, (11, 22), (11, 22), [])


def ref_copy(dst, dw, dh, src, sw, sh, bpp, x, y, width, height):
    """Destination pixel (i, j) takes source pixel (i + x, j + y); start columns clamp into the source."""
    rows = [bytearray(dst[i:i + dw * bpp]) for i in range(0, len(dst), dw * bpp)]
    sx, dx = (0, -x) if x < 0 else (min(x, sw - 1), 0)
    sy, dy = (0, -y) if y < 0 else (min(y, sh - 1), 0)
    cols = 0 if dx >= dw else min(width, sw, dw - dx, sw - sx)
    for r in range(0 if dy >= dh else min(height, sh, dh - dy, sh - sy)):
        at = ((sy + r) * sw + sx) * bpp
        rows[dy + r][dx * bpp:(dx + cols) * bpp] = src[at:at + cols * bpp]
    return b"".join(rows)


@pytest.mark.parametrize("x, y, width, height", [
    (0, 0, 100, 100), (-10, 0, 100, 100), (10, 0, 100, 100), (3, -2, 4, 3), (40, 40, 100, 100), (0, -20, 5, 5),
    (-2147483648, 0, 1, 1)])
@pytest.mark.parametrize("dt, st", [(CHUNK, BYTE), (BYTE, CHUNK), (PLANAR, PLANAR), (PLANAR, CHUNK), (BYTE, PLANAR)])
@pytest.mark.parametrize("bpp", [3, 4, 6, 8])
def test_copy_buffer(util, make_buf, trace, x, y, width, height, dt, st, bpp):
    dst, src = make_buf(d := rnd(17 * 11 * bpp), 17, 11, bpp, dt), make_buf(s := rnd(23 * 9 * bpp), 23, 9, bpp, st)
    zb.set_attributes(src, 3, 4)
    assert util.CopyBuffer(dst, src, x, y, width, height) == S_OK
    assert zb.to_bytes(dst) == ref_copy(d, 17, 11, s, 23, 9, bpp, x, y, width, height)
    assert (zb.to_bytes(src), attrs(dst), trace()) == (s, (3, 4), [])


@pytest.mark.parametrize("alloc_type, bpp", [(BYTE, 1), (CHUNK, 3), (CHUNK, 8), *[(PLANAR, b) for b in (3, 4, 6, 8)]])
@pytest.mark.parametrize("w, h, region", [(19, 13, r) for r in [(0, 0, 19, 13), (3, 2, 7, 5), (18, 12, 1, 1),
                                          (0, 5, 19, 8), (4, 0, 15, 13)]] + [(1024, 600, (100, 7, 900, 590))])  # bands
def test_get_roi(util, make_buf, keep, trace, alloc_type, bpp, w, h, region):
    src = make_buf(data := rnd(w * h * bpp), w, h, bpp, alloc_type)
    zb.set_attributes(src, 0x1122334455667788, 9)
    roi = keep(util.GetROI(src, *region))
    assert zb.info(roi) == dict(width=region[2], height=region[3], bpp=bpp, alloc_type=alloc_type, file_mapped=False,
                                attribute1=0x1122334455667788, attribute2=9, refcount=1, lock_count=0)
    assert (zb.info(src)["refcount"], trace()) == (1, [entry(ROI), end(ROI)])
    assert zb.to_bytes(roi) == ref_copy(bytes(region[2] * region[3] * bpp), *region[2:], data, w, h, bpp, *region)


# Zero or negative sizes pass the boundary test and the allocator refuses them. Checks run: boundary, allocate, lock.
@pytest.mark.parametrize("alloc_type, region, fault, text", [
    *[(BYTE, r, "allocateImageBuffer", "[PyQelBufferUtility] roi out of boundary ({}, {}, {}, {})".format(*r))
      for r in [(1, 0, 10, 4), (0, 1, 10, 4), (-1, 0, 2, 2), (5, 0, 2147483647, 1)]],
    *[(t, r, f, "[PyQelBufferUtility] buffer allocate fail") for t, r, f in [
        (BYTE, (0, 0, 0, 4), "lock"), (CHUNK, (3, 0, -2, 2), "lock"), (BYTE, (0, 0, 2, 2), "allocateImageBuffer")]],
    *[(t, (1, 1, 2, 2), "lock", f"[{ROI}]{s} lock src failed, {{}}")
      for t, s in [(BYTE, "[type(0)]"), (CHUNK, "[type(1)]"), (PLANAR, "[Planar]")]]])
def test_get_roi_refused(util, make_buf, trace, alloc_type, region, fault, text):
    src = make_buf(rnd(160), 10, 4, 4, alloc_type)
    zb.fail_next(fault, hr=0)
    assert util.GetROI(src, *region) is None
    assert trace() == [entry(ROI), line(text.format(addr32(src)))]


def ref_fill(data, w, h, bpp, value, region):
    left, top, width, height = (0, 0, w, h) if region in ("omit", None, (0, 0, 0, 0)) else region
    rows = [bytearray(data[i:i + w * bpp]) for i in range(0, len(data), w * bpp)]
    for y in range(max(top, 0), min(top + (height & 0xFFFFFFFF), h)):
        for x in range(max(left, 0), min(left + (width & 0xFFFFFFFF), w)):
            rows[y][x * bpp:(x + 1) * bpp] = value
    return b"".join(rows)


# A negative start clamps, unsigned, to the last column or row.
@pytest.mark.parametrize("x, y, width, height", [(0, 0, 100, 100), (2, 3, 4, 2), (-5, 0, 3, 3), (0, -1, 100, 100),
                                                 (6, 4, 100, 100), (50, 50, 1, 1)])
@pytest.mark.parametrize("alloc_type, bpp", [(BYTE, 1), (CHUNK, 3), (PLANAR, 4), (PLANAR, 6)])
def test_clear_buffer(util, make_buf, trace, x, y, width, height, alloc_type, bpp):
    buf = make_buf(data := rnd(7 * 9 * bpp), 7, 9, bpp, alloc_type)
    assert util.ClearBuffer(buf, x, y, width, height, 0xAABBCC44) == S_OK
    region = (min(x & 0xFFFFFFFF, 6), min(y & 0xFFFFFFFF, 8), width, height)
    assert (zb.to_bytes(buf), trace()) == (ref_fill(data, 7, 9, bpp, b"\x44" * bpp, region), [])


# Grey is the mean of the four values in signed 32-bit arithmetic, truncated toward zero.
@pytest.mark.parametrize("region", ["omit", None, (0, 0, 0, 0), (2, 1, 3, 2), (5, 5, 0, 10), (4, 3, 100, 100),
                                    (-2, 1, 4, 2), (0, 20, 3, 3), (0, 0, -1, 2)])
@pytest.mark.parametrize("t, argb, value", [*[(t, (0x1AA, 0x2BB, -0x44, 0xDD), b"\xdd\xbc\xbb\xaa") for t in TYPES],
    *[(CHUNK, g, bytes([v])) for g, v in [((255, 0, 0, 0), 63), ((10, 20, 30, 41), 25), ((-7, 0, 0, 0), 255),
                                          ((300, 300, 300, 301), 44), ((2**31 - 1, 1, 0, 0), 0)]]])
def test_set_buffer_color(util, make_buf, trace, region, t, argb, value):
    buf = make_buf(data := rnd(9 * 7 * len(value)), 9, 7, len(value), t)
    assert util.SetBufferColor(buf, *argb, *([] if region == "omit" else [region])) == S_OK
    assert (zb.to_bytes(buf), trace()) == (ref_fill(data, 9, 7, len(value), value, region), [])


def test_worked_examples(util, make_buf):
    src = make_buf(bytes(range(100)) * 2, 100, 2, 1)
    for x, row in [(-10, b"\xee" * 10 + bytes(range(90))), (10, bytes(range(10, 100)) + b"\xee" * 10)]:
        dst = make_buf(b"\xee" * 200, 100, 2, 1, CHUNK)
        assert util.CopyBuffer(dst, src, x, 0, 100, 2) == S_OK and zb.to_bytes(dst) == row * 2
    buf = make_buf(bytes(100 * 3 * 4), 100, 3, 4)
    assert util.ClearBuffer(buf, -5, 0, 10, 3, 0x7F) == S_OK
    assert zb.to_bytes(buf) == (bytes(99 * 4) + b"\x7f" * 4) * 3


@pytest.mark.parametrize("w, h", [(1, 1), (3, 5), (4, 0), (-1, 4), (4, -1), (-4, -4), (2**30, 4), (65536, 65536)])
def test_inverse_byte_array_order(util, w, h):
    size = w * 4 * h if w >= 0 and h >= 0 and w * h < 2**29 else None  # negative or past 32 bits: refused
    src = zb.byte_array(data := rnd(size or 64))
    out = util.InverseByteArrayOrder(src, w, h)
    zb.free_byte_array(src)
    assert out is None if size is None else repr(out).startswith("<Swig Object of type 'byte *'")
    if out is not None:
        expect = b"".join(data[r * w * 4:(r + 1) * w * 4] for r in reversed(range(h)))
        assert (zb.read_byte_array(out, size), util.ReleaseByteArray(out)) == (expect, None)
