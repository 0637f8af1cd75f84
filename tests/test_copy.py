"""Copying, filling and cutting buffers, and the byte array helpers."""
import random

import pytest

from conftest import E_FAIL, E_INVALIDARG, E_OUTOFMEMORY, E_POINTER, PREFIX, S_OK, make_utility

BYTE, CHUNK, PLANAR = 0, 1, 2
U32 = 0xFFFFFFFF
ROI = "PyQelBufferUtility::GetROI"


def rnd(n, rng=random.Random(2024)):
    return rng.randbytes(n)


def addr(buf):
    return f"{int(buf) & U32:x}"


def rows_of(data, w, bpp):
    step = w * bpp
    return [bytearray(data[i:i + step]) for i in range(0, len(data), step)]


@pytest.fixture
def bare_util(monkeypatch, capfd):
    """A utility object whose allocator could not be loaded."""
    return make_utility(monkeypatch, capfd, allocator="/nonexistent/libZuBufferAllocator.so")


# ---------------------------------------------------------------- CopyImageBuffer

@pytest.mark.parametrize("dst_type", [BYTE, CHUNK, PLANAR])
@pytest.mark.parametrize("src_type", [BYTE, CHUNK, PLANAR])
@pytest.mark.parametrize("copy_to", [True, False])
def test_copy_image_buffer(util, zb, make_buf, trace, dst_type, src_type, copy_to):
    # Same byte count, different shapes: 10 x 6 and 6 x 10 BGRA.
    dst_data, src_data = rnd(10 * 6 * 4), rnd(6 * 10 * 4)
    dst = make_buf(dst_data, 10, 6, 4, dst_type)
    src = make_buf(src_data, 6, 10, 4, src_type)
    zb.set_attributes(src, 11, 22)
    zb.set_attributes(dst, 1, 2)
    assert util.CopyImageBuffer(dst, src, copy_to) == S_OK
    if copy_to:
        assert zb.to_bytes(dst) == src_data and zb.to_bytes(src) == src_data
    else:
        assert zb.to_bytes(src) == dst_data and zb.to_bytes(dst) == dst_data
    # The destination takes the source's attributes in both directions.
    assert (zb.info(dst)["attribute1"], zb.info(dst)["attribute2"]) == (11, 22)
    assert (zb.info(src)["attribute1"], zb.info(src)["attribute2"]) == (11, 22)
    assert trace() == []


def test_copy_image_buffer_default_direction(util, zb, make_buf):
    src_data = rnd(4 * 3 * 3)
    dst = make_buf(bytes(36), 4, 3, 3)
    src = make_buf(src_data, 3, 4, 3)
    assert util.CopyImageBuffer(dst, src) == S_OK
    assert zb.to_bytes(dst) == src_data


@pytest.mark.parametrize("dst_size, src_size, dst_bytes, src_bytes", [
    ((5, 4, 4), (5, 2, 4), 80, 40),
    ((5, 4, 1), (5, 4, 2), 20, 40),
])
def test_copy_image_buffer_size_error(util, zb, make_buf, trace, dst_size, src_size, dst_bytes, src_bytes):
    dst_data = rnd(dst_bytes)
    dst = make_buf(dst_data, *dst_size)
    src = make_buf(rnd(src_bytes), *src_size)
    assert util.CopyImageBuffer(dst, src) == E_FAIL
    assert trace() == [PREFIX + f"[CopyImageBuffer]size error, dst({dst_bytes}), src({src_bytes})"]
    assert zb.to_bytes(dst) == dst_data


def test_copy_image_buffer_null_arguments(util, bare_util, make_buf, trace):
    buf = make_buf(bytes(16), 2, 2, 4)
    other = make_buf(bytes(16), 2, 2, 4)
    assert util.CopyImageBuffer(None, buf) == E_POINTER
    assert util.CopyImageBuffer(buf, None, False) == E_POINTER
    assert bare_util.CopyImageBuffer(buf, other) == E_POINTER
    assert trace() == []


@pytest.mark.parametrize("fault", ["lock", "lock_no_data"])
def test_copy_image_buffer_lock_failure(util, zb, make_buf, trace, fault):
    dst = make_buf(bytes(16), 2, 2, 4)
    src = make_buf(rnd(16), 2, 2, 4)
    zb.set_attributes(src, 5, 6)
    zb.fail_next(fault)
    assert util.CopyImageBuffer(dst, src) == E_POINTER
    assert trace() == [PREFIX + f"[PyQelBufferUtility::CopyImageBuffer] lock dst failed, {addr(dst)}"]
    assert zb.to_bytes(dst) == bytes(16)
    assert zb.info(dst)["attribute1"] == 0


@pytest.mark.parametrize("dst_type", [BYTE, CHUNK])
def test_copy_image_buffer_copy_failure(util, zb, make_buf, trace, dst_type):
    dst = make_buf(bytes(24), 3, 2, 4, dst_type)
    src = make_buf(rnd(24), 3, 2, 4)
    zb.set_attributes(src, 5, 6)
    zb.fail_next("copyBufferData", hr=E_FAIL)
    assert util.CopyImageBuffer(dst, src) == E_FAIL
    assert trace() == [PREFIX + f"[PyQelBufferUtility::CopyImageBuffer] copy from src failed, {addr(src)}"]
    assert zb.to_bytes(dst) == bytes(24)
    assert zb.info(dst)["attribute1"] == 0


# ---------------------------------------------------------------- CopyBuffer

def ref_copy_buffer(dst, dw, dh, src, sw, sh, bpp, x, y, width, height):
    """Destination pixel (i, j) receives source pixel (i + x, j + y), inside
    both buffers and the given size; start columns clamp into the source."""
    out = rows_of(dst, dw, bpp)
    srows = rows_of(src, sw, bpp)
    sx, dx = (0, -x) if x < 0 else (min(x, sw - 1), 0)
    sy, dy = (0, -y) if y < 0 else (min(y, sh - 1), 0)
    cols = 0 if dx >= dw else min(width, sw, dw - dx, sw - sx)
    rows = 0 if dy >= dh else min(height, sh, dh - dy, sh - sy)
    for r in range(rows):
        out[dy + r][dx * bpp:(dx + cols) * bpp] = srows[sy + r][sx * bpp:(sx + cols) * bpp]
    return b"".join(out)


COPY_CASES = [
    # x, y, width, height
    (0, 0, 100, 100),
    (-10, 0, 100, 100),
    (10, 0, 100, 100),
    (3, -2, 4, 3),
    (-3, 5, 100, 2),
    (40, 40, 100, 100),    # source start clamps to its last column and row
    (-30, 0, 100, 100),    # destination start beyond its edge: nothing copied
    (0, -20, 5, 5),
    (-2147483648, 0, 1, 1),
]


@pytest.mark.parametrize("x, y, width, height", COPY_CASES)
@pytest.mark.parametrize("types", [(BYTE, BYTE), (CHUNK, CHUNK), (BYTE, CHUNK), (PLANAR, PLANAR),
                                   (PLANAR, BYTE), (CHUNK, PLANAR)])
@pytest.mark.parametrize("bpp", [3, 4, 8])
def test_copy_buffer(util, zb, make_buf, trace, x, y, width, height, types, bpp):
    dw, dh, sw, sh = 17, 11, 23, 9
    dst_data, src_data = rnd(dw * dh * bpp), rnd(sw * sh * bpp)
    dst = make_buf(dst_data, dw, dh, bpp, types[0])
    src = make_buf(src_data, sw, sh, bpp, types[1])
    zb.set_attributes(src, 3, 4)
    assert util.CopyBuffer(dst, src, x, y, width, height) == S_OK
    assert zb.to_bytes(dst) == ref_copy_buffer(dst_data, dw, dh, src_data, sw, sh, bpp, x, y, width, height)
    assert zb.to_bytes(src) == src_data
    assert (zb.info(dst)["attribute1"], zb.info(dst)["attribute2"]) == (3, 4)
    assert trace() == []


@pytest.mark.parametrize("x, dst_col, src_col", [(-10, 10, 0), (10, 0, 10)])
def test_copy_buffer_shift_examples(util, zb, make_buf, x, dst_col, src_col):
    src = make_buf(bytes(range(100)) * 2, 100, 2, 1)
    dst = make_buf(bytes([0xEE]) * 200, 100, 2, 1, CHUNK)
    assert util.CopyBuffer(dst, src, x, 0, 100, 2) == S_OK
    out = zb.to_bytes(dst)
    assert out[dst_col] == src_col and out[100 + dst_col] == src_col
    # 90 columns fit; the rest of the destination is untouched.
    assert out[dst_col:dst_col + 90] == bytes(range(src_col, src_col + 90))
    assert out[:dst_col] + out[dst_col + 90:100] == b"\xee" * 10


def test_copy_buffer_argument_failures(util, bare_util, zb, make_buf, trace):
    a = make_buf(rnd(16), 2, 2, 4)
    b = make_buf(rnd(16), 2, 2, 4)
    grey = make_buf(rnd(4), 2, 2, 1)
    assert util.CopyBuffer(None, a, 0, 0, 1, 1) == E_POINTER
    assert util.CopyBuffer(a, None, 0, 0, 1, 1) == E_POINTER
    assert bare_util.CopyBuffer(a, b, 0, 0, 1, 1) == E_POINTER
    assert util.CopyBuffer(a, b, 0, 0, 0, 1) == E_INVALIDARG
    assert util.CopyBuffer(a, b, 0, 0, 1, 0) == E_INVALIDARG
    # Rows are copied byte for byte: formats must match.
    before = zb.to_bytes(a)
    assert util.CopyBuffer(a, grey, 0, 0, 2, 2) == E_INVALIDARG
    assert zb.to_bytes(a) == before
    assert trace() == []


def test_copy_buffer_lock_failures(util, zb, make_buf, trace):
    dst = make_buf(bytes(16), 2, 2, 4)
    src = make_buf(rnd(16), 2, 2, 4)
    zb.fail_next("lock")
    assert util.CopyBuffer(dst, src, 0, 0, 2, 2) == E_POINTER
    assert trace() == [PREFIX + f"[PyQelBufferUtility::CopyBuffer] lock dst failed, {addr(dst)}"]
    # Both locks fail in turn: the destination's failure is the one reported.
    zb.fail_next("lock", count=2)
    assert util.CopyBuffer(dst, src, 0, 0, 2, 2) == E_POINTER
    assert trace() == [PREFIX + f"[PyQelBufferUtility::CopyBuffer] lock dst failed, {addr(dst)}"]
    zb.clear_faults()
    for count in (1, 2):
        zb.fail_next("lock_no_data", count=count)
        assert util.CopyBuffer(dst, src, 0, 0, 2, 2) == E_FAIL
        zb.clear_faults()
    assert zb.to_bytes(dst) == bytes(16)
    assert zb.info(dst)["attribute1"] == 0
    assert trace() == []


# ---------------------------------------------------------------- GetROI

def ref_roi(data, w, bpp, left, top, width, height):
    rows = rows_of(data, w, bpp)
    return b"".join(bytes(rows[top + r][left * bpp:(left + width) * bpp]) for r in range(height))


@pytest.mark.parametrize("alloc_type, bpp", [(BYTE, 1), (BYTE, 2), (BYTE, 4), (CHUNK, 3), (CHUNK, 8),
                                             (PLANAR, 3), (PLANAR, 4), (PLANAR, 6), (PLANAR, 8)])
@pytest.mark.parametrize("region", [(0, 0, 19, 13), (3, 2, 7, 5), (18, 12, 1, 1), (0, 5, 19, 8), (4, 0, 15, 13)])
def test_get_roi(util, zb, make_buf, keep, trace, alloc_type, bpp, region):
    w, h = 19, 13
    data = rnd(w * h * bpp)
    src = make_buf(data, w, h, bpp, alloc_type)
    zb.set_attributes(src, 0x1122334455667788, 9)
    roi = keep(util.GetROI(src, *region))
    info = zb.info(roi)
    assert (info["width"], info["height"], info["bpp"], info["alloc_type"]) == (region[2], region[3], bpp, alloc_type)
    assert (info["attribute1"], info["attribute2"], info["refcount"]) == (0x1122334455667788, 9, 1)
    assert zb.to_bytes(roi) == ref_roi(data, w, bpp, *region)
    assert zb.info(src)["refcount"] == 1
    assert trace() == [PREFIX + f"FUNCTION : {ROI}() entry", PREFIX + f"FUNCTION : {ROI}() end"]


@pytest.mark.parametrize("region", [(1, 0, 10, 4), (0, 1, 10, 4), (-1, 0, 2, 2), (0, -1, 2, 2),
                                    (5, 0, 2147483647, 1)])
def test_get_roi_out_of_boundary(util, make_buf, trace, region):
    src = make_buf(rnd(40), 10, 4, 1)
    assert util.GetROI(src, *region) is None
    assert trace() == [PREFIX + f"FUNCTION : {ROI}() entry",
                       PREFIX + "[PyQelBufferUtility] roi out of boundary ({}, {}, {}, {})".format(*region)]


@pytest.mark.parametrize("region", [(0, 0, 0, 4), (2, 1, 3, 0), (3, 0, -2, 2), (0, 0, -1, -1)])
def test_get_roi_empty_or_negative_size(util, make_buf, trace, region):
    # These pass the boundary test; the allocator refuses them.
    src = make_buf(rnd(40), 10, 4, 1)
    assert util.GetROI(src, *region) is None
    assert trace() == [PREFIX + f"FUNCTION : {ROI}() entry", PREFIX + "[PyQelBufferUtility] buffer allocate fail"]


@pytest.mark.parametrize("hr", [E_OUTOFMEMORY, 0])
def test_get_roi_allocation_failure(util, zb, make_buf, trace, hr):
    src = make_buf(rnd(40), 10, 4, 1)
    zb.fail_next("allocateImageBuffer", hr=hr)
    assert util.GetROI(src, 0, 0, 2, 2) is None
    assert trace() == [PREFIX + f"FUNCTION : {ROI}() entry", PREFIX + "[PyQelBufferUtility] buffer allocate fail"]


@pytest.mark.parametrize("alloc_type, text", [(BYTE, "[type(0)]"), (CHUNK, "[type(1)]"), (PLANAR, "[Planar]")])
def test_get_roi_lock_failure(util, zb, make_buf, trace, alloc_type, text):
    src = make_buf(rnd(10 * 4 * 4), 10, 4, 4, alloc_type)
    live = zb.live_buffers()
    zb.fail_next("lock")
    assert util.GetROI(src, 1, 1, 2, 2) is None
    assert zb.live_buffers() == live   # the new buffer was released
    assert trace() == [PREFIX + f"FUNCTION : {ROI}() entry",
                       PREFIX + f"[{ROI}]{text} lock src failed, {addr(src)}"]


def test_get_roi_null_arguments(util, bare_util, make_buf, trace):
    src = make_buf(rnd(16), 2, 2, 4)
    assert util.GetROI(None, 0, 0, 1, 1) is None
    assert bare_util.GetROI(src, 0, 0, 1, 1) is None
    assert trace() == [PREFIX + f"FUNCTION : {ROI}() entry"] * 2


# ---------------------------------------------------------------- ClearBuffer

def ref_clear(data, w, h, bpp, x, y, width, height, color):
    out = rows_of(data, w, bpp)
    x0, y0 = min(x & U32, w - 1), min(y & U32, h - 1)
    cols, rows = min(width, w - x0), min(height, h - y0)
    for r in range(rows):
        out[y0 + r][x0 * bpp:(x0 + cols) * bpp] = bytes([color & 0xFF]) * (cols * bpp)
    return b"".join(out)


@pytest.mark.parametrize("x, y, width, height", [(0, 0, 100, 100), (2, 3, 4, 2), (-5, 0, 3, 3), (0, -1, 100, 100),
                                                 (6, 4, 100, 100), (50, 50, 1, 1), (1, 1, 1, 1)])
@pytest.mark.parametrize("alloc_type, bpp", [(BYTE, 1), (BYTE, 4), (CHUNK, 3), (CHUNK, 2), (PLANAR, 4),
                                             (PLANAR, 6)])
def test_clear_buffer(util, zb, make_buf, trace, x, y, width, height, alloc_type, bpp):
    w, h = 7, 9
    data = rnd(w * h * bpp)
    buf = make_buf(data, w, h, bpp, alloc_type)
    assert util.ClearBuffer(buf, x, y, width, height, 0xAABBCC44) == S_OK
    assert zb.to_bytes(buf) == ref_clear(data, w, h, bpp, x, y, width, height, 0x44)
    assert trace() == []


def test_clear_buffer_negative_x_clears_last_column(util, zb, make_buf):
    buf = make_buf(bytes(100 * 3 * 4), 100, 3, 4)
    assert util.ClearBuffer(buf, -5, 0, 10, 3, 0x7F) == S_OK
    out = rows_of(zb.to_bytes(buf), 100, 4)
    assert all(row == bytes(99 * 4) + b"\x7f" * 4 for row in out)


def test_clear_buffer_failures(util, bare_util, zb, make_buf, trace):
    data = rnd(16)
    buf = make_buf(data, 2, 2, 4)
    assert util.ClearBuffer(None, 0, 0, 1, 1, 0) == E_POINTER
    assert bare_util.ClearBuffer(buf, 0, 0, 1, 1, 0) == E_POINTER
    assert util.ClearBuffer(buf, 0, 0, 0, 1, 0) == E_INVALIDARG
    assert util.ClearBuffer(buf, 0, 0, 1, 0, 0) == E_INVALIDARG
    for fault in ("lock", "lock_no_data"):
        zb.fail_next(fault)
        assert util.ClearBuffer(buf, 0, 0, 2, 2, 0) == S_OK
    assert zb.to_bytes(buf) == data
    assert trace() == []


# ---------------------------------------------------------------- SetBufferColor

def ref_fill(data, w, h, bpp, value, region):
    left, top, width, height = region
    if region == (0, 0, 0, 0):
        width, height = w, h
    out = rows_of(data, w, bpp)
    x0, x1 = max(left, 0), min(left + (width & U32), w)
    y0, y1 = max(top, 0), min(top + (height & U32), h)
    for y in range(y0, y1):
        for x in range(x0, x1):
            out[y][x * bpp:(x + 1) * bpp] = value
    return b"".join(out)


REGIONS = [None, (0, 0, 0, 0), (2, 1, 3, 2), (5, 5, 0, 10), (4, 3, 100, 100), (-2, 1, 4, 2), (1, -3, 2, 5),
           (50, 0, 3, 3), (0, 20, 3, 3), (0, 0, -1, 2), [1, 2, 3, 4]]


@pytest.mark.parametrize("region", REGIONS)
@pytest.mark.parametrize("alloc_type", [BYTE, CHUNK, PLANAR])
def test_set_buffer_color_bgra(util, zb, make_buf, trace, region, alloc_type):
    w, h = 9, 7
    data = rnd(w * h * 4)
    buf = make_buf(data, w, h, 4, alloc_type)
    args = (buf, 0x1AA, 0x2BB, -0x44, 0xDD) if region is None else (buf, 0x1AA, 0x2BB, -0x44, 0xDD, region)
    assert util.SetBufferColor(*args) == S_OK
    expect = ref_fill(data, w, h, 4, bytes([0xDD, 0xBC, 0xBB, 0xAA]), tuple(region or (0, 0, 0, 0)))
    assert zb.to_bytes(buf) == expect
    assert trace() == []


def grey(a, r, g, b):
    total = (a + r + g + b + 2**31) % 2**32 - 2**31
    return (abs(total) // 4 * (1 if total >= 0 else -1)) & 0xFF


@pytest.mark.parametrize("region", REGIONS)
@pytest.mark.parametrize("alloc_type", [BYTE, CHUNK])
@pytest.mark.parametrize("argb", [(255, 0, 0, 0), (10, 20, 30, 41), (-7, 0, 0, 0), (300, 300, 300, 301),
                                  (2**31 - 1, 1, 0, 0)])
def test_set_buffer_color_grey(util, zb, make_buf, region, alloc_type, argb):
    w, h = 11, 6
    data = rnd(w * h)
    buf = make_buf(data, w, h, 1, alloc_type)
    assert util.SetBufferColor(buf, *argb, region) == S_OK
    expect = ref_fill(data, w, h, 1, bytes([grey(*argb)]), tuple(region or (0, 0, 0, 0)))
    assert zb.to_bytes(buf) == expect


def test_set_buffer_color_examples(util, zb, make_buf):
    buf = make_buf(bytes(12), 4, 3, 1)
    assert util.SetBufferColor(buf, 255, 0, 0, 0) == S_OK
    assert zb.to_bytes(buf) == bytes([63]) * 12
    assert grey(-7, 0, 0, 0) == 0xFF   # -7 / 4 truncates to -1
    assert grey(2**31 - 1, 1, 0, 0) == 0   # the sum wraps to -2**31


@pytest.mark.parametrize("region, exc", [("1234", TypeError), ((1, 2, 3), TypeError), ((1, 2, 3, 4, 5), TypeError),
                                         ((1.0, 2, 3, 4), TypeError), ((1, 2, 3, "4"), TypeError),
                                         ((0, 0, 2**31, 1), OverflowError), (7, TypeError)])
def test_set_buffer_color_bad_region(util, zb, make_buf, trace, region, exc):
    data = rnd(16)
    buf = make_buf(data, 2, 2, 4)
    with pytest.raises(exc, match="^SetBufferColor: pPyoROI "):
        util.SetBufferColor(buf, 1, 2, 3, 4, region)
    assert zb.to_bytes(buf) == data


def test_set_buffer_color_failures(util, bare_util, zb, make_buf, trace):
    bgr = make_buf(rnd(12), 2, 2, 3)
    assert util.SetBufferColor(None, 1, 2, 3, 4) == E_POINTER
    assert util.SetBufferColor(bgr, 1, 2, 3, 4) == E_FAIL
    assert util.SetBufferColor(bgr, 1, 2, 3, 4, "not even parsed") == E_FAIL
    # The allocator is not needed.
    buf = make_buf(bytes(4), 1, 1, 4)
    assert bare_util.SetBufferColor(buf, 1, 2, 3, 4) == S_OK
    assert zb.to_bytes(buf) == bytes([4, 3, 2, 1])
    for fault in ("lock", "lock_no_data"):
        zb.fail_next(fault)
        assert util.SetBufferColor(buf, 9, 9, 9, 9) == S_OK
    assert zb.to_bytes(buf) == bytes([4, 3, 2, 1])
    assert trace() == []


# ---------------------------------------------------------------- byte arrays

@pytest.mark.parametrize("w, h", [(1, 1), (3, 5), (16, 2), (0, 4)])
def test_inverse_byte_array_order(util, zb, w, h):
    data = rnd(w * 4 * h)
    src = zb.byte_array(data)
    try:
        out = util.InverseByteArrayOrder(src, w, h)
        assert out is not None
        try:
            expect = b"".join(reversed([data[r * w * 4:(r + 1) * w * 4] for r in range(h)]))
            assert zb.read_byte_array(out, w * 4 * h) == expect
        finally:
            util.ReleaseByteArray(out)
    finally:
        zb.free_byte_array(src)


def test_inverse_byte_array_order_empty_and_refused(util, zb):
    src = zb.byte_array(rnd(64))
    try:
        empty = util.InverseByteArrayOrder(src, 4, 0)
        assert empty is not None
        assert repr(empty).startswith("<Swig Object of type 'byte *'")
        util.ReleaseByteArray(empty)
        for w, h in [(-1, 4), (4, -1), (-4, -4), (2**30, 4), (65536, 65536)]:
            assert util.InverseByteArrayOrder(src, w, h) is None
    finally:
        zb.free_byte_array(src)
    assert util.InverseByteArrayOrder(None, 2, 2) is None
    nothing = util.InverseByteArrayOrder(None, 0, 3)
    assert nothing is not None
    util.ReleaseByteArray(nothing)


def test_release_byte_array(util, zb):
    assert util.ReleaseByteArray(None) is None
    # Arrays from the companion module are malloc'd too.
    assert util.ReleaseByteArray(zb.byte_array(b"abcd")) is None


@pytest.mark.parametrize("alloc_type", [BYTE, CHUNK, PLANAR])
def test_get_roi_large_image(util, zb, make_buf, keep, alloc_type):
    # Tall enough for the rows to be shared out in several bands.
    w, h, bpp = 1024, 600, 4
    data = rnd(w * h * bpp)
    region = (100, 7, 900, 590)
    roi = keep(util.GetROI(make_buf(data, w, h, bpp, alloc_type), *region))
    assert zb.to_bytes(roi) == ref_roi(data, w, bpp, *region)
