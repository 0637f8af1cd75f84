"""Copying, filling and cutting buffers, and the byte array helpers."""
import random

import pytest
import zubuffer as zb

from conftest import E_FAIL, E_INVALIDARG, E_OUTOFMEMORY, E_POINTER, S_OK, addr32, entry, end, line, make_utility

TYPES = BYTE, CHUNK, PLANAR = 0, 1, 2
ROI, ALLOC_FAIL = "PyQelBufferUtility::GetROI", "[PyQelBufferUtility] buffer allocate fail"


def rnd(n, rng=random.Random(2024)):
    return rng.randbytes(n)


def attrs(buf):
    return zb.info(buf)["attribute1"], zb.info(buf)["attribute2"]


def test_refusals(util, make_buf, trace, monkeypatch, capfd):
    bare = make_utility(monkeypatch, capfd, allocator="/nonexistent/libZuBufferAllocator.so")
    data = rnd(80)
    a, b, grey = make_buf(data, 5, 4, 4, CHUNK), make_buf(rnd(40), 5, 2, 4), make_buf(rnd(20), 5, 4, 1)
    for u, dst, src in [(util, None, a), (util, a, None), (bare, a, b)]:
        assert u.CopyImageBuffer(dst, src, src is not None) == u.CopyBuffer(dst, src, 0, 0, 1, 1) == E_POINTER
    assert util.ClearBuffer(None, 0, 0, 1, 1, 0) == bare.ClearBuffer(a, 0, 0, 1, 1, 0) == E_POINTER
    assert util.SetBufferColor(None, 1, 2, 3, 4) == E_POINTER
    assert util.GetROI(None, 0, 0, 1, 1) is bare.GetROI(a, 0, 0, 1, 1) is None
    assert util.ConvertImageBufferAllocateType(None, BYTE, True) is bare.ConvertImageBufferAllocateType(a) is None
    assert trace() == [entry(ROI)] * 2
    assert {util.CopyBuffer(a, b, 0, 0, 0, 1), util.CopyBuffer(a, b, 0, 0, 1, 0), util.CopyBuffer(a, grey, 0, 0, 2, 2),
            util.ClearBuffer(a, 0, 0, 0, 1, 0), util.ClearBuffer(a, 0, 0, 1, 0, 0)} == {E_INVALIDARG}
    bgr = make_buf(rnd(12), 2, 2, 3)
    assert util.SetBufferColor(bgr, 1, 2, 3, 4) == util.SetBufferColor(bgr, 1, 2, 3, 4, "not parsed") == E_FAIL
    # The region is parsed like a call's arguments: the parser's own exceptions come through.
    for region, exc, text in [
            ("1234", TypeError, "SetBufferColor: pPyoROI must be None or a tuple of four ints (left, top, width, "
                                "height), not str"),
            ([0, 0, 1, 1], TypeError, "not list"), ((1, 2, 3), TypeError, "function takes exactly 4 arguments (3 given)"),
            ((1, 2, 3, 4, 5), TypeError, "function takes exactly 4 arguments (5 given)"),
            ((1.0, 2, 3, 4), TypeError, "'float' object cannot be interpreted as an integer"),
            ((0, 0, 2**31, 1), OverflowError, "signed integer is greater than maximum")]:
        with pytest.raises(exc) as e:
            util.SetBufferColor(a, 1, 2, 3, 4, region)
        assert str(e.value).endswith(text)

    class Index:  # e.g. a NumPy integer
        def __index__(self):
            return 1

    assert util.SetBufferColor(a, 7, 7, 7, 7, (0, 0, Index(), Index())) == S_OK
    assert zb.to_bytes(a)[:4] == bytes([7] * 4)
    zb.write(a, data)
    assert trace() == []
    # Only the byte counts must agree.
    assert util.CopyImageBuffer(a, b) == util.CopyImageBuffer(grey, b) == E_FAIL
    assert trace() == [line(f"[CopyImageBuffer]size error, dst({n}), src(40)") for n in (80, 20)]
    assert (zb.to_bytes(a), attrs(a)) == (data, (0, 0))
    # SetBufferColor needs no allocator; an empty byte array is still one to release.
    assert bare.SetBufferColor(b, 1, 2, 3, 4) == S_OK and zb.to_bytes(b) == bytes([4, 3, 2, 1]) * 10
    assert util.InverseByteArrayOrder(None, 2, 2) is util.ReleaseByteArray(None) is None
    nothing = util.InverseByteArrayOrder(None, 0, 3)
    assert nothing is not None and util.ReleaseByteArray(nothing) is None


# A lock without pixels fails a copy that needs them; fills then do nothing.
@pytest.mark.parametrize("method, dst_type, fault, count, code, text", [
    ("CopyImageBuffer", BYTE, "lock", 1, E_POINTER, "lock dst failed, {dst}"),
    ("CopyImageBuffer", CHUNK, "lock_no_data", 1, E_POINTER, "copy from src failed, {src}"),
    *[("CopyImageBuffer", t, "copyBufferData", 1, E_OUTOFMEMORY, "copy from src failed, {src}") for t in (BYTE, CHUNK)],
    # When both locks fail, the destination's failure is the one reported.
    *[("CopyBuffer", BYTE, f, n, c, t) for n in (1, 2)
      for f, c, t in [("lock", E_POINTER, "lock dst failed, {dst}"), ("lock_no_data", E_FAIL, None)]],
    *[(m, t, f, 1, S_OK, None) for m in ("ClearBuffer", "SetBufferColor") for t, f in [(BYTE, "lock"),
                                                                                       (PLANAR, "lock_no_data")]],
])
def test_lock_and_copy_faults(util, make_buf, trace, method, dst_type, fault, count, code, text):
    dst, src = make_buf(bytes(24), 3, 2, 4, dst_type), make_buf(rnd(24), 3, 2, 4)
    zb.set_attributes(src, 5, 6)
    zb.fail_next(fault, count=count)
    args = {"CopyImageBuffer": (dst, src), "CopyBuffer": (dst, src, 0, 0, 3, 2), "ClearBuffer": (dst, 0, 0, 3, 2, 9),
            "SetBufferColor": (dst, 9, 9, 9, 9)}[method]
    assert getattr(util, method)(*args) == code
    zb.clear_faults()
    logged = [line(f"[PyQelBufferUtility::{method}] " + text.format(dst=addr32(dst), src=addr32(src)))] if text else []
    assert trace() == logged
    assert (zb.to_bytes(dst), attrs(dst)) == (bytes(24), (0, 0))


# Only the byte counts agree: 10 x 6 and 6 x 10 BGRA. copy_to None: the two-argument form.
@pytest.mark.parametrize("dst_type", TYPES)
@pytest.mark.parametrize("src_type", TYPES)
@pytest.mark.parametrize("copy_to", [True, False, None])
def test_copy_image_buffer(util, make_buf, trace, dst_type, src_type, copy_to):
    dst_data, src_data = rnd(10 * 6 * 4), rnd(6 * 10 * 4)
    dst, src = make_buf(dst_data, 10, 6, 4, dst_type), make_buf(src_data, 6, 10, 4, src_type)
    zb.set_attributes(src, 11, 22)
    zb.set_attributes(dst, 1, 2)
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
    (0, 0, 100, 100), (-10, 0, 100, 100), (10, 0, 100, 100), (3, -2, 4, 3), (-3, 5, 100, 2),
    (40, 40, 100, 100), (-30, 0, 100, 100), (0, -20, 5, 5), (-2147483648, 0, 1, 1)])
@pytest.mark.parametrize("types", [(BYTE, BYTE), (CHUNK, CHUNK), (BYTE, CHUNK), (PLANAR, PLANAR),
                                   (PLANAR, BYTE), (CHUNK, PLANAR)])
@pytest.mark.parametrize("bpp", [3, 4, 8])
def test_copy_buffer(util, make_buf, trace, x, y, width, height, types, bpp):
    dst_data, src_data = rnd(17 * 11 * bpp), rnd(23 * 9 * bpp)
    dst, src = make_buf(dst_data, 17, 11, bpp, types[0]), make_buf(src_data, 23, 9, bpp, types[1])
    zb.set_attributes(src, 3, 4)
    assert util.CopyBuffer(dst, src, x, y, width, height) == S_OK
    assert zb.to_bytes(dst) == ref_copy(dst_data, 17, 11, src_data, 23, 9, bpp, x, y, width, height)
    assert (zb.to_bytes(src), attrs(dst), trace()) == (src_data, (3, 4), [])


@pytest.mark.parametrize("alloc_type, bpp", [(BYTE, 1), (BYTE, 2), (BYTE, 4), (CHUNK, 3), (CHUNK, 8),
                                             (PLANAR, 3), (PLANAR, 4), (PLANAR, 6), (PLANAR, 8)])
@pytest.mark.parametrize("w, h, region", [(19, 13, r) for r in [(0, 0, 19, 13), (3, 2, 7, 5), (18, 12, 1, 1),
                                          (0, 5, 19, 8), (4, 0, 15, 13)]] + [(1024, 600, (100, 7, 900, 590))])  # bands
def test_get_roi(util, make_buf, keep, trace, alloc_type, bpp, w, h, region):
    data = rnd(w * h * bpp)
    src = make_buf(data, w, h, bpp, alloc_type)
    zb.set_attributes(src, 0x1122334455667788, 9)
    roi = keep(util.GetROI(src, *region))
    info = zb.info(roi)
    assert [info[k] for k in ("width", "height", "bpp", "alloc_type", "refcount")] == [*region[2:], bpp, alloc_type, 1]
    assert (attrs(roi), zb.info(src)["refcount"]) == ((0x1122334455667788, 9), 1)
    assert zb.to_bytes(roi) == ref_copy(bytes(region[2] * region[3] * bpp), *region[2:], data, w, h, bpp, *region)
    assert trace() == [entry(ROI), end(ROI)]


# Zero or negative sizes pass the boundary test; the allocator refuses them.
@pytest.mark.parametrize("alloc_type, region, fault, text", [
    *[(BYTE, r, None, "[PyQelBufferUtility] roi out of boundary ({}, {}, {}, {})".format(*r))
      for r in [(1, 0, 10, 4), (0, 1, 10, 4), (-1, 0, 2, 2), (0, -1, 2, 2), (5, 0, 2147483647, 1)]],
    *[(BYTE, r, None, ALLOC_FAIL) for r in [(0, 0, 0, 4), (2, 1, 3, 0), (3, 0, -2, 2), (0, 0, -1, -1)]],
    *[(t, (0, 0, 2, 2), ("allocateImageBuffer", hr), ALLOC_FAIL) for t, hr in [(CHUNK, E_OUTOFMEMORY), (BYTE, 0)]],
    *[(t, (1, 1, 2, 2), ("lock", 0), f"[{ROI}]{s} lock src failed, {{}}")
      for t, s in [(BYTE, "[type(0)]"), (CHUNK, "[type(1)]"), (PLANAR, "[Planar]")]],
])
def test_get_roi_refused(util, make_buf, trace, alloc_type, region, fault, text):
    src = make_buf(rnd(10 * 4 * 4), 10, 4, 4, alloc_type)
    live = zb.live_buffers()
    if fault:
        zb.fail_next(fault[0], hr=fault[1])
    assert util.GetROI(src, *region) is None
    assert (zb.live_buffers(), trace()) == (live, [entry(ROI), line(text.format(addr32(src)))])


def ref_fill(data, w, h, bpp, value, region):
    left, top, width, height = (0, 0, w, h) if region in ("omit", None, (0, 0, 0, 0)) else region
    rows = [bytearray(data[i:i + w * bpp]) for i in range(0, len(data), w * bpp)]
    for y in range(max(top, 0), min(top + (height & 0xFFFFFFFF), h)):
        for x in range(max(left, 0), min(left + (width & 0xFFFFFFFF), w)):
            rows[y][x * bpp:(x + 1) * bpp] = value
    return b"".join(rows)


# A negative start clamps, unsigned, to the last column or row.
@pytest.mark.parametrize("x, y, width, height", [(0, 0, 100, 100), (2, 3, 4, 2), (-5, 0, 3, 3), (0, -1, 100, 100),
                                                 (6, 4, 100, 100), (50, 50, 1, 1), (1, 1, 1, 1)])
@pytest.mark.parametrize("alloc_type, bpp", [(BYTE, 1), (BYTE, 4), (CHUNK, 3), (CHUNK, 2), (PLANAR, 4), (PLANAR, 6)])
def test_clear_buffer(util, make_buf, trace, x, y, width, height, alloc_type, bpp):
    data = rnd(7 * 9 * bpp)
    buf = make_buf(data, 7, 9, bpp, alloc_type)
    assert util.ClearBuffer(buf, x, y, width, height, 0xAABBCC44) == S_OK
    region = (min(x & 0xFFFFFFFF, 6), min(y & 0xFFFFFFFF, 8), width, height)
    assert (zb.to_bytes(buf), trace()) == (ref_fill(data, 7, 9, bpp, b"\x44" * bpp, region), [])


REGIONS = ["omit", None, (0, 0, 0, 0), (2, 1, 3, 2), (5, 5, 0, 10), (4, 3, 100, 100), (-2, 1, 4, 2), (1, -3, 2, 5),
           (50, 0, 3, 3), (0, 20, 3, 3), (0, 0, -1, 2)]
# Grey is the mean of the four values in signed 32-bit arithmetic, truncated toward zero.
GREYS = [((255, 0, 0, 0), b"\x3f"), ((10, 20, 30, 41), b"\x19"), ((-7, 0, 0, 0), b"\xff"),
         ((300, 300, 300, 301), b"\x2c"), ((2**31 - 1, 1, 0, 0), b"\x00")]


@pytest.mark.parametrize("region", REGIONS)
@pytest.mark.parametrize("alloc_type, argb, value", [(t, (0x1AA, 0x2BB, -0x44, 0xDD), b"\xdd\xbc\xbb\xaa")
                                                     for t in TYPES] + [(t, *g) for t in (BYTE, CHUNK) for g in GREYS])
def test_set_buffer_color(util, make_buf, trace, region, alloc_type, argb, value):
    bpp = len(value)
    data = rnd(9 * 7 * bpp)
    buf = make_buf(data, 9, 7, bpp, alloc_type)
    assert util.SetBufferColor(buf, *argb, *([] if region == "omit" else [region])) == S_OK
    assert (zb.to_bytes(buf), trace()) == (ref_fill(data, 9, 7, bpp, value, region), [])


def test_worked_examples(util, make_buf):
    src = make_buf(bytes(range(100)) * 2, 100, 2, 1)
    for x, dst_col, src_col in [(-10, 10, 0), (10, 0, 10)]:
        dst = make_buf(b"\xee" * 200, 100, 2, 1, CHUNK)
        assert util.CopyBuffer(dst, src, x, 0, 100, 2) == S_OK
        row = b"\xee" * dst_col + bytes(range(src_col, src_col + 90)) + b"\xee" * (10 - dst_col)
        assert zb.to_bytes(dst) == row * 2
    buf = make_buf(bytes(100 * 3 * 4), 100, 3, 4)
    assert util.ClearBuffer(buf, -5, 0, 10, 3, 0x7F) == S_OK
    assert zb.to_bytes(buf) == (bytes(99 * 4) + b"\x7f" * 4) * 3


@pytest.mark.parametrize("w, h", [(1, 1), (3, 5), (16, 2), (0, 4), (4, 0), (-1, 4), (4, -1), (-4, -4), (2**30, 4),
                                  (65536, 65536)])
def test_inverse_byte_array_order(util, w, h):
    size = w * 4 * h if w >= 0 and h >= 0 and w * h < 2**29 else None   # negative or past 32 bits: refused
    data = rnd(size or 64)
    src = zb.byte_array(data)
    out = util.InverseByteArrayOrder(src, w, h)
    zb.free_byte_array(src)
    assert (out is None) == (size is None)
    if out is not None:
        assert repr(out).startswith("<Swig Object of type 'byte *'")
        rows = [data[r * w * 4:(r + 1) * w * 4] for r in range(h)]
        assert zb.read_byte_array(out, size) == b"".join(reversed(rows))
        assert util.ReleaseByteArray(out) is None
