"""Alpha removal, reveal and copy; red/blue exchange; BGR bytes to BGRA."""
import random
import struct

import pytest

from conftest import E_FAIL, E_INVALIDARG, E_OUTOFMEMORY, E_POINTER, PREFIX, S_FALSE, S_OK, make_utility

REDUCE = "PyQelBufferUtility::ReduceAlphaChannel"
REVEAL = "PyQelBufferUtility::RevealAlphaChannel"
APPLY = "PyQelBufferUtility::ApplyAlphaByBuffer"
FROMPY = "PyQelBufferUtility::ConvertBufferFromBGRtoBGRA_FromPyObject"
BYTE, CHUNK, PLANAR = 0, 1, 2


def noise(n, salt):
    rng = random.Random(salt)
    return bytes(rng.randrange(256) for _ in range(n))


def channels(data, bpp):
    """Pixels as tuples of channel values (bytes or 16-bit words)."""
    if bpp in (6, 8):
        vals = struct.unpack(f"<{len(data) // 2}H", data)
        n = bpp // 2
    else:
        vals, n = data, bpp
    return [tuple(vals[i:i + n]) for i in range(0, len(vals), n)]


def pack(pixels, bpp):
    flat = [v for p in pixels for v in p]
    return struct.pack(f"<{len(flat)}H", *flat) if bpp in (6, 8) else bytes(flat)


def addr(buf):
    return f"{int(buf) & 0xFFFFFFFF:x}"


def alpha_noise(n_pixels, bpp, salt):
    """Random pixels whose alpha hits 0, 1, the top-but-one and the top value often."""
    rng = random.Random(salt)
    top = 0xFFFF if bpp == 8 else 0xFF
    pixels = []
    for _ in range(n_pixels):
        colour = tuple(rng.randrange(top + 1) for _ in range(3))
        a = rng.choice([0, 1, top - 1, top, rng.randrange(top + 1)])
        pixels.append(colour + (a,))
    return pack(pixels, bpp)


# ---- ReduceAlphaChannel ------------------------------------------------------

@pytest.mark.parametrize("alloc_type", [BYTE, CHUNK])
@pytest.mark.parametrize("bpp, new_bpp", [(4, 3), (8, 6)])
def test_reduce_drops_alpha(util, zb, make_buf, keep, trace, alloc_type, bpp, new_bpp):
    w, h = 23, 9
    data = noise(w * h * bpp, salt=bpp)
    src = make_buf(data, w, h, bpp, alloc_type)
    zb.set_attributes(src, 0xABCDEF, 1 << 63)
    out = keep(util.ReduceAlphaChannel(src))
    info = zb.info(out)
    assert (info["width"], info["height"], info["bpp"], info["alloc_type"], info["refcount"]) == \
        (w, h, new_bpp, alloc_type, 1)
    assert (info["attribute1"], info["attribute2"]) == (0xABCDEF, 1 << 63)
    assert zb.to_bytes(out) == pack([p[:3] for p in channels(data, bpp)], new_bpp)
    assert trace() == [PREFIX + f"FUNCTION : {REDUCE}() entry", PREFIX + f"FUNCTION : {REDUCE}() end"]


def test_reduce_worked_example(util, zb, make_buf, keep):
    out = keep(util.ReduceAlphaChannel(make_buf(bytes((10, 20, 30, 40)), 1, 1, 4)))
    assert zb.to_bytes(out) == bytes((10, 20, 30))


@pytest.mark.parametrize("bpp", [3, 6])
def test_reduce_returns_opaque_source_itself(util, zb, make_buf, keep, trace, bpp):
    data = noise(4 * 3 * bpp, salt=1)
    src = make_buf(data, 4, 3, bpp)
    live = zb.live_buffers()
    out = keep(util.ReduceAlphaChannel(src))
    assert int(out) == int(src)
    assert zb.info(src)["refcount"] == 2
    assert zb.live_buffers() == live
    assert zb.to_bytes(src) == data
    assert trace() == [PREFIX + f"FUNCTION : {REDUCE}() entry", PREFIX + f"FUNCTION : {REDUCE}() end"]


@pytest.mark.parametrize("bpp, alloc_type, line", [
    (4, PLANAR, "Planar buffer does not have alpha channel"),
    (1, BYTE, "unsupported BPP 1"),
    (2, CHUNK, "unsupported BPP 2"),
])
def test_reduce_refusals(util, zb, make_buf, trace, bpp, alloc_type, line):
    src = make_buf(bytes(2 * 2 * bpp), 2, 2, bpp, alloc_type)
    live = zb.live_buffers()
    assert util.ReduceAlphaChannel(src) is None
    assert zb.live_buffers() == live
    assert trace() == [PREFIX + f"FUNCTION : {REDUCE}() entry", PREFIX + line]


def test_reduce_null_source_and_failed_allocation(util, zb, make_buf, trace):
    assert util.ReduceAlphaChannel(None) is None
    assert trace() == [PREFIX + f"FUNCTION : {REDUCE}() entry"]
    src = make_buf(bytes(16), 2, 2, 4)
    util.Close()
    for hr in (E_OUTOFMEMORY, 0):
        zb.fail_next("allocateImageBuffer", hr=hr)
        assert util.ReduceAlphaChannel(src) is None
        assert trace() == [PREFIX + f"FUNCTION : {REDUCE}() entry"]
    assert util.GetLastErrorHr() == 0


def test_reduce_ignores_lock_results(util, zb, make_buf, keep):
    data = noise(6 * 5 * 4, salt=4)
    src = make_buf(data, 6, 5, 4, CHUNK)
    zb.fail_next("lock")
    out = keep(util.ReduceAlphaChannel(src))
    assert zb.to_bytes(out) == pack([p[:3] for p in channels(data, 4)], 3)


# ---- RevealAlphaChannel ------------------------------------------------------

def revealed(data, bpp):
    top = 0xFFFF if bpp == 8 else 0xFF
    return pack([p[:3] + ((top if p[3] else 0),) for p in channels(data, bpp)], bpp)


@pytest.mark.parametrize("alloc_type", [BYTE, CHUNK, PLANAR])
@pytest.mark.parametrize("bpp", [4, 8])
def test_reveal_makes_partial_alpha_opaque(util, zb, make_buf, trace, alloc_type, bpp):
    w, h = 19, 9
    data = alpha_noise(w * h, bpp, salt=bpp + alloc_type)
    buf = make_buf(data, w, h, bpp, alloc_type)
    assert util.RevealAlphaChannel(buf) == S_OK
    assert zb.to_bytes(buf) == revealed(data, bpp)
    assert trace() == []


@pytest.mark.parametrize("bpp, alphas, expected", [
    (4, (0, 1, 254, 255), (0, 255, 255, 255)),
    (8, (0, 1, 0xFFFE, 0xFFFF), (0, 0xFFFF, 0xFFFF, 0xFFFF)),
])
def test_reveal_worked_example(util, zb, make_buf, bpp, alphas, expected):
    buf = make_buf(pack([(7, 8, 9, a) for a in alphas], bpp), 4, 1, bpp)
    assert util.RevealAlphaChannel(buf) == S_OK
    assert zb.to_bytes(buf) == pack([(7, 8, 9, a) for a in expected], bpp)


@pytest.mark.parametrize("bpp, result, line", [
    (1, S_FALSE, "[RevealAlphaChannel]No alpha channel BPP(1)"),
    (3, S_FALSE, "[RevealAlphaChannel]No alpha channel BPP(3)"),
    (6, S_FALSE, "[RevealAlphaChannel]No alpha channel BPP(6)"),
    (2, E_FAIL, "[RevealAlphaChannel]Unsupported BPP(2)"),
])
def test_reveal_formats_without_alpha(util, zb, make_buf, trace, bpp, result, line):
    data = noise(3 * 2 * bpp, salt=bpp)
    buf = make_buf(data, 3, 2, bpp)
    assert util.RevealAlphaChannel(buf) == result
    assert zb.to_bytes(buf) == data
    assert trace() == [PREFIX + line]


def test_reveal_null_and_no_allocator(util, monkeypatch, capfd, tmp_path, make_buf):
    assert util.RevealAlphaChannel(None) == E_POINTER
    assert capfd.readouterr().err.splitlines() == \
        [PREFIX + f"[Assert]FUNCTION : {REVEAL} , Null Pointer : pSrcImageBuffer"]
    obj = make_utility(monkeypatch, capfd, allocator=str(tmp_path / "none.so"))
    buf = make_buf(bytes((1, 2, 3, 4)), 1, 1, 4)
    assert obj.RevealAlphaChannel(buf) == E_POINTER
    assert capfd.readouterr().err.splitlines() == \
        [PREFIX + f"[Assert]FUNCTION : {REVEAL} , Null Pointer : m_pBufferAllocator"]


def test_reveal_failed_lock_reports_no_pixels(util, zb, make_buf):
    # The lock's result is not examined; a failed lock reports a 0 x 0 image.
    data = alpha_noise(12, 4, salt=3)
    buf = make_buf(data, 4, 3, 4)
    zb.fail_next("lock")
    assert util.RevealAlphaChannel(buf) == S_OK
    assert zb.to_bytes(buf) == data


# ---- ApplyAlphaByBuffer ------------------------------------------------------

@pytest.mark.parametrize("dst_type, src_type", [(BYTE, BYTE), (CHUNK, BYTE), (BYTE, CHUNK), (PLANAR, BYTE),
                                                (CHUNK, PLANAR), (PLANAR, PLANAR)])
@pytest.mark.parametrize("bpp", [4, 8])
def test_apply_copies_alpha_only(util, zb, make_buf, trace, dst_type, src_type, bpp):
    w, h = 17, 9
    dst_data = noise(w * h * bpp, salt=1)
    src_data = noise(w * h * bpp, salt=2)
    dst = make_buf(dst_data, w, h, bpp, dst_type)
    src = make_buf(src_data, w, h, bpp, src_type)
    assert util.ApplyAlphaByBuffer(dst, src) == S_OK
    expected = [d[:3] + s[3:] for d, s in zip(channels(dst_data, bpp), channels(src_data, bpp))]
    assert zb.to_bytes(dst) == pack(expected, bpp)
    assert zb.to_bytes(src) == src_data
    assert trace() == [PREFIX + f"FUNCTION : {APPLY}() entry", PREFIX + f"Dst:{addr(dst)} : Src:{addr(src)}",
                       PREFIX + f"FUNCTION : {APPLY}() end"]


@pytest.mark.parametrize("bpp", [1, 2, 3, 6])
def test_apply_without_alpha_changes_nothing(util, zb, make_buf, bpp):
    dst_data = noise(5 * 4 * bpp, salt=5)
    dst = make_buf(dst_data, 5, 4, bpp)
    src = make_buf(noise(5 * 4 * bpp, salt=6), 5, 4, bpp)
    assert util.ApplyAlphaByBuffer(dst, src) == S_OK
    assert zb.to_bytes(dst) == dst_data


def test_apply_same_buffer(util, zb, make_buf, trace):
    data = noise(16, salt=7)
    buf = make_buf(data, 2, 2, 4)
    assert util.ApplyAlphaByBuffer(buf, buf) == S_OK
    assert zb.to_bytes(buf) == data
    assert trace() == [PREFIX + f"FUNCTION : {APPLY}() entry", PREFIX + "same buffer, nothing to do"]


@pytest.mark.parametrize("src_shape", [(3, 2, 4), (2, 3, 4), (2, 2, 8), (2, 2, 3)])
def test_apply_different_size_or_format(util, zb, make_buf, trace, src_shape):
    data = noise(16, salt=8)
    dst = make_buf(data, 2, 2, 4)
    w, h, bpp = src_shape
    src = make_buf(bytes(w * h * bpp), w, h, bpp)
    assert util.ApplyAlphaByBuffer(dst, src) == E_FAIL
    assert zb.to_bytes(dst) == data
    assert trace() == [PREFIX + f"FUNCTION : {APPLY}() entry", PREFIX + "not allow different size"]


def test_apply_null_buffers_and_no_allocator(util, monkeypatch, capfd, tmp_path, make_buf):
    buf = make_buf(bytes(16), 2, 2, 4)
    entry = [PREFIX + f"FUNCTION : {APPLY}() entry"]
    for args in ((None, buf), (buf, None), (None, None)):
        assert util.ApplyAlphaByBuffer(*args) == E_FAIL
        assert capfd.readouterr().err.splitlines() == entry
    obj = make_utility(monkeypatch, capfd, allocator=str(tmp_path / "none.so"))
    assert obj.ApplyAlphaByBuffer(buf, make_buf(bytes(16), 2, 2, 4)) == E_FAIL
    assert capfd.readouterr().err.splitlines() == entry


def test_apply_source_lock_failure(util, zb, make_buf, trace):
    data = noise(16, salt=9)
    dst = make_buf(data, 2, 2, 4)
    src = make_buf(bytes(16), 2, 2, 4)
    zb.fail_next("lock")
    assert util.ApplyAlphaByBuffer(dst, src) == E_POINTER
    assert zb.to_bytes(dst) == data
    assert trace() == [PREFIX + f"FUNCTION : {APPLY}() entry", PREFIX + f"Dst:{addr(dst)} : Src:{addr(src)}",
                       PREFIX + f"[{APPLY}] lock src failed, {addr(src)}"]


def test_apply_both_locks_failing_reports_the_source(util, zb, make_buf, trace):
    dst = make_buf(bytes(16), 2, 2, 4)
    src = make_buf(bytes(16), 2, 2, 4)
    zb.fail_next("lock", 2)
    assert util.ApplyAlphaByBuffer(dst, src) == E_POINTER
    assert trace()[-1] == PREFIX + f"[{APPLY}] lock src failed, {addr(src)}"
    zb.clear_faults()


# ---- SwapRBChannel -----------------------------------------------------------

@pytest.mark.parametrize("alloc_type", [BYTE, CHUNK, PLANAR])
@pytest.mark.parametrize("bpp", [3, 4, 6, 8])
def test_swap_rb(util, zb, make_buf, trace, alloc_type, bpp):
    w, h = 21, 9
    data = noise(w * h * bpp, salt=bpp * 3 + alloc_type)
    buf = make_buf(data, w, h, bpp, alloc_type)
    assert util.SwapRBChannel(buf) == S_OK
    assert zb.to_bytes(buf) == pack([(p[2], p[1], p[0]) + p[3:] for p in channels(data, bpp)], bpp)
    assert util.SwapRBChannel(buf) == S_OK
    assert zb.to_bytes(buf) == data
    assert trace() == []


def test_swap_rb_worked_example(util, zb, make_buf):
    buf = make_buf(bytes((1, 2, 3, 4)), 1, 1, 4)
    assert util.SwapRBChannel(buf) == S_OK
    assert zb.to_bytes(buf) == bytes((3, 2, 1, 4))


def test_swap_rb_keeps_16_bit_channels_whole(util, zb, make_buf):
    buf = make_buf(struct.pack("<4H", 0x1234, 0x5678, 0x9ABC, 0xDEF0), 1, 1, 8)
    assert util.SwapRBChannel(buf) == S_OK
    assert zb.to_bytes(buf) == struct.pack("<4H", 0x9ABC, 0x5678, 0x1234, 0xDEF0)


@pytest.mark.parametrize("bpp", [1, 2])
def test_swap_rb_refuses_single_channel(util, zb, make_buf, trace, bpp):
    data = noise(5 * 3 * bpp, salt=bpp)
    buf = make_buf(data, 5, 3, bpp)
    assert util.SwapRBChannel(buf) == E_FAIL
    assert zb.to_bytes(buf) == data
    assert trace() == [PREFIX + f"[SwapRBChannel]Unsupported BPP({bpp})"]


def test_swap_rb_null(util, trace):
    assert util.SwapRBChannel(None) == E_FAIL
    assert trace() == []


def test_swap_rb_failed_lock_reports_no_pixels(util, zb, make_buf):
    data = noise(12, salt=4)
    buf = make_buf(data, 3, 1, 4)
    zb.fail_next("lock")
    assert util.SwapRBChannel(buf) == S_OK
    assert zb.to_bytes(buf) == data


# ---- ConvertBufferFromBGRtoBGRA_FromPyObject ---------------------------------

def bgra_from_rows(data, w, h, stride):
    out = bytearray()
    for y in range(h):
        row = data[y * stride:y * stride + 3 * w]
        for x in range(w):
            out += row[3 * x:3 * x + 3] + b"\xff"
    return bytes(out)


def test_from_bytes_worked_example(util, zb, keep, trace):
    out = keep(util.ConvertBufferFromBGRtoBGRA_FromPyObject(bytes(range(1, 9)), 2, 1, 8))
    assert zb.to_bytes(out) == bytes((1, 2, 3, 255, 4, 5, 6, 255))
    info = zb.info(out)
    assert (info["width"], info["height"], info["bpp"], info["alloc_type"], info["refcount"]) == (2, 1, 4, BYTE, 1)
    assert trace() == [PREFIX + f"FUNCTION : {FROMPY}() entry", PREFIX + " W(2), H(1), Size(8)",
                       PREFIX + " allocateImageBuffer, HR = 0", PREFIX + f"FUNCTION : {FROMPY}() end"]


@pytest.mark.parametrize("w, h, stride, extra", [(37, 11, 37 * 3, 0), (37, 11, 116, 0), (5, 4, 16, 5),
                                                 (3, 3, 0, 0)])
def test_from_bytes_rows_at_stride(util, zb, keep, w, h, stride, extra):
    size = (h - 1) * stride + 3 * w + extra
    data = noise(size, salt=w + stride)
    out = keep(util.ConvertBufferFromBGRtoBGRA_FromPyObject(data, w, h, stride))
    assert zb.to_bytes(out) == bgra_from_rows(data, w, h, stride)


@pytest.mark.parametrize("obj", ["abc", bytearray(12), None, 12])
def test_from_bytes_not_bytes(util, zb, trace, obj):
    live = zb.live_buffers()
    # A Python error left pending by the failed read would surface here as
    # SystemError instead of the plain None.
    assert util.ConvertBufferFromBGRtoBGRA_FromPyObject(obj, 2, 2, 6) is None
    assert zb.live_buffers() == live
    assert trace() == [PREFIX + f"FUNCTION : {FROMPY}() entry", PREFIX + " W(2), H(2), Size(0)"]


@pytest.mark.parametrize("w, h, stride, size, line", [
    (2, 2, 6, 11, "12 bytes needed, Size(11)"),
    (2, 3, 8, 21, "22 bytes needed, Size(21)"),
    (4, 1, 0, 11, "12 bytes needed, Size(11)"),
    (2, 2, -6, 12, "negative stride -6"),
])
def test_from_bytes_refuses_short_data(util, zb, trace, w, h, stride, size, line):
    live = zb.live_buffers()
    zb.fail_next("allocateImageBuffer")
    assert util.ConvertBufferFromBGRtoBGRA_FromPyObject(bytes(size), w, h, stride) is None
    assert zb.live_buffers() == live
    assert trace() == [PREFIX + f"FUNCTION : {FROMPY}() entry", PREFIX + f" W({w}), H({h}), Size({size})",
                       PREFIX + f"[{FROMPY}] {line}"]
    # The allocator was never asked: its armed failure is still waiting.
    assert util.GetEmptyBuffer(1, 1, 1) is None


def test_from_bytes_allocation_failures(util, zb, trace):
    util.Close()
    zb.fail_next("allocateImageBuffer")
    assert util.ConvertBufferFromBGRtoBGRA_FromPyObject(bytes(12), 2, 2, 6) is None
    assert trace()[2:] == [PREFIX + " allocateImageBuffer, HR = 8007000e"]
    assert util.GetLastErrorHr() == E_OUTOFMEMORY
    assert util.ConvertBufferFromBGRtoBGRA_FromPyObject(b"", 0, 0, 0) is None
    assert trace()[1:] == [PREFIX + " W(0), H(0), Size(0)", PREFIX + " allocateImageBuffer, HR = 80070057"]
    assert util.GetLastErrorHr() == E_INVALIDARG
    util.Close()
    zb.fail_next("allocateImageBuffer", hr=0)
    assert util.ConvertBufferFromBGRtoBGRA_FromPyObject(bytes(12), 2, 2, 6) is None
    assert util.GetLastErrorHr() == 0


def test_from_bytes_without_allocator(monkeypatch, capfd, tmp_path):
    obj = make_utility(monkeypatch, capfd, allocator=str(tmp_path / "none.so"))
    obj.Close()
    assert obj.ConvertBufferFromBGRtoBGRA_FromPyObject(bytes(12), 2, 2, 6) is None
    assert capfd.readouterr().err.splitlines() == [
        PREFIX + f"FUNCTION : {FROMPY}() entry", PREFIX + " W(2), H(2), Size(12)",
        PREFIX + " allocateImageBuffer, HR = 80004005"]
    assert obj.GetLastErrorHr() == E_FAIL
    obj.Close()


def test_from_bytes_lock_without_data_writes_nothing(util, zb, keep):
    zb.fail_next("lock_no_data")
    out = keep(util.ConvertBufferFromBGRtoBGRA_FromPyObject(bytes(range(12)), 2, 2, 6))
    assert zb.to_bytes(out) == bytes(16)
