"""Changing a buffer's storage layout (BYTE, CHUNK, PLANAR) or medium."""
import random

import pytest

from conftest import E_FAIL, E_OUTOFMEMORY, E_POINTER, hx, make_utility, PREFIX

BYTE, CHUNK, PLANAR = 0, 1, 2
NAME = "PyQelBufferUtility::ConvertImageBufferAllocateType"


def rnd(n, rng=random.Random(77)):
    return rng.randbytes(n)


def addr(buf):
    return f"{int(buf) & 0xFFFFFFFF:x}"


def planes_of(data, bpp):
    """Reference split of packed interleaved pixels into B, G, R(, A) planes."""
    channels = 3 if bpp in (3, 6) else 4
    size = bpp // channels
    pixels = [data[i:i + bpp] for i in range(0, len(data), bpp)]
    return [b"".join(p[c * size:(c + 1) * size] for p in pixels) for c in range(channels)]


def shape(zb, buf):
    info = zb.info(buf)
    return info["width"], info["height"], info["bpp"], info["alloc_type"], info["file_mapped"]


@pytest.fixture
def bare_util(monkeypatch, capfd):
    return make_utility(monkeypatch, capfd, allocator="/nonexistent/libZuBufferAllocator.so")


@pytest.mark.parametrize("src_type, args", [
    (BYTE, ()), (BYTE, (BYTE,)), (BYTE, (BYTE, True)), (CHUNK, (CHUNK,)), (PLANAR, (PLANAR, True)),
    (BYTE, (7,)), (CHUNK, (-1, False)), (BYTE, (BYTE, False)),
])
def test_returns_source(util, zb, make_buf, keep, trace, src_type, args):
    # The last case: a file-mapped source already has the storage asked for.
    mapped = args == (BYTE, False)
    src = make_buf(rnd(5 * 3 * 4), 5, 3, 4, src_type, mapped)
    out = keep(util.ConvertImageBufferAllocateType(src, *args))
    assert int(out) == int(src)
    assert zb.info(src)["refcount"] == 2
    assert trace() == []


LAYOUT_CASES = [(CHUNK, BYTE, True), (CHUNK, BYTE, False), (BYTE, CHUNK, True), (BYTE, CHUNK, False),
                (BYTE, BYTE, False), (CHUNK, CHUNK, False), (PLANAR, PLANAR, False)]
SIZES = [(7, 9, 4), (3, 5, 3), (6, 2, 8), (5, 6, 1)]


# Grey pixels have no planar form, so those pairings are left out.
@pytest.mark.parametrize("src_type, n_type, on_mem, w, h, bpp", [
    case + size for case in LAYOUT_CASES for size in SIZES if not (PLANAR in case[:2] and size[2] < 3)])
def test_layout_and_medium(util, zb, make_buf, keep, trace, src_type, n_type, on_mem, w, h, bpp):
    data = rnd(w * h * bpp)
    src = make_buf(data, w, h, bpp, src_type)
    zb.set_attributes(src, 0xABCDEF, 0x123)
    live = zb.live_buffers()
    out = keep(util.ConvertImageBufferAllocateType(src, n_type, on_mem))
    assert zb.live_buffers() == live + 1
    assert shape(zb, out) == (w, h, bpp, n_type, not on_mem)
    assert zb.to_bytes(out) == data
    info = zb.info(out)
    assert (info["attribute1"], info["attribute2"], info["refcount"]) == (0xABCDEF, 0x123, 1)
    assert zb.info(src)["refcount"] == 1
    assert trace() == []


@pytest.mark.parametrize("src_type", [BYTE, CHUNK])
@pytest.mark.parametrize("bpp", [3, 4, 6, 8])
@pytest.mark.parametrize("on_mem", [True, False])
def test_to_planar_and_back(util, zb, make_buf, keep, trace, src_type, bpp, on_mem):
    w, h = 13, 10
    data = rnd(w * h * bpp)
    src = make_buf(data, w, h, bpp, src_type)
    zb.set_attributes(src, 5, 6)
    planar = keep(util.ConvertImageBufferAllocateType(src, PLANAR, on_mem))
    # Planar copies are always made in memory.
    assert shape(zb, planar) == (w, h, bpp, PLANAR, False)
    expect = planes_of(data, bpp)
    assert [zb.plane_bytes(planar, c) for c in range(len(expect))] == expect
    assert (zb.info(planar)["attribute1"], zb.info(planar)["attribute2"]) == (5, 6)

    zb.set_attributes(planar, 7, 8)
    back = keep(util.ConvertImageBufferAllocateType(planar, src_type, on_mem))
    assert shape(zb, back) == (w, h, bpp, src_type, False)
    assert zb.to_bytes(back) == data
    assert (zb.info(back)["attribute1"], zb.info(back)["attribute2"]) == (7, 8)
    assert trace() == []


def test_blue_plane_example(util, zb, make_buf, keep):
    data = bytes([1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12])
    planar = keep(util.ConvertImageBufferAllocateType(make_buf(data, 3, 1, 4), PLANAR))
    assert [zb.plane_bytes(planar, c) for c in range(4)] == [b"\x01\x05\x09", b"\x02\x06\x0a",
                                                              b"\x03\x07\x0b", b"\x04\x08\x0c"]


def test_two_byte_planes(util, zb, make_buf, keep):
    # 16-bit samples stay whole little-endian words.
    data = bytes([0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16])
    planar = keep(util.ConvertImageBufferAllocateType(make_buf(data, 2, 1, 6), PLANAR))
    assert [zb.plane_bytes(planar, c) for c in range(3)] == [b"\x01\x02\x11\x12", b"\x03\x04\x13\x14",
                                                              b"\x05\x06\x15\x16"]


def test_planar_to_unknown_type_refused(util, zb, make_buf, trace):
    src = make_buf(rnd(4 * 4 * 4), 4, 4, 4, PLANAR)
    live = zb.live_buffers()
    assert util.ConvertImageBufferAllocateType(src, 7) is None
    assert zb.live_buffers() == live
    assert zb.info(src)["refcount"] == 1
    assert trace() == []


def test_null_source_and_missing_allocator(util, bare_util, make_buf, trace):
    src = make_buf(rnd(16), 2, 2, 4, CHUNK)
    assert util.ConvertImageBufferAllocateType(None, BYTE, True) is None
    assert bare_util.ConvertImageBufferAllocateType(src, BYTE) is None
    assert trace() == []


@pytest.mark.parametrize("src_type, n_type, on_mem, op", [
    (CHUNK, BYTE, True, "allocateImageBuffer"), (CHUNK, BYTE, False, "allocateFileMappingBuffer"),
    (BYTE, CHUNK, True, "allocateImageBuffer"), (BYTE, CHUNK, False, "allocateFileMappingBuffer"),
    (BYTE, PLANAR, False, "allocateImageBuffer"), (PLANAR, CHUNK, False, "allocateImageBuffer"),
    (BYTE, BYTE, False, "allocateFileMappingBuffer"),
])
@pytest.mark.parametrize("hr", [E_OUTOFMEMORY, 0])
def test_allocation_failure(util, zb, make_buf, trace, src_type, n_type, on_mem, op, hr):
    src = make_buf(rnd(3 * 3 * 4), 3, 3, 4, src_type)
    live = zb.live_buffers()
    zb.fail_next(op, hr=hr)
    assert util.ConvertImageBufferAllocateType(src, n_type, on_mem) is None
    assert zb.live_buffers() == live
    assert trace() == []


def test_planar_of_grey_cannot_be_made(util, zb, make_buf, trace):
    # The allocator has no planar grey buffer, so nothing is made or logged.
    src = make_buf(rnd(9), 3, 3, 1)
    assert util.ConvertImageBufferAllocateType(src, PLANAR) is None
    assert trace() == []


@pytest.mark.parametrize("src_type, n_type, case", [(BYTE, CHUNK, "Case2"), (CHUNK, PLANAR, "Case3"),
                                                    (BYTE, PLANAR, "Case3"), (PLANAR, BYTE, "Case4"),
                                                    (PLANAR, CHUNK, "Case4")])
def test_source_lock_failure(util, zb, make_buf, trace, src_type, n_type, case):
    src = make_buf(rnd(4 * 3 * 4), 4, 3, 4, src_type)
    live = zb.live_buffers()
    zb.fail_next("lock")
    assert util.ConvertImageBufferAllocateType(src, n_type) is None
    assert zb.live_buffers() == live
    assert trace() == [PREFIX + f"[{NAME}][{case}] lock source failed, {addr(src)}"]


def test_byte_to_chunk_source_without_pixels(util, zb, make_buf, trace):
    src = make_buf(rnd(16), 2, 2, 4)
    zb.fail_next("lock_no_data")
    assert util.ConvertImageBufferAllocateType(src, CHUNK) is None
    assert trace() == [PREFIX + f"[{NAME}][Case2] lock source failed, {addr(src)}"]


@pytest.mark.parametrize("src_type, n_type, case", [(CHUNK, BYTE, "Case1"), (BYTE, BYTE, "Case5"),
                                                    (CHUNK, CHUNK, "Case5")])
@pytest.mark.parametrize("hr", [E_FAIL, E_OUTOFMEMORY])
def test_copy_failure(util, zb, make_buf, trace, src_type, n_type, case, hr):
    src = make_buf(rnd(4 * 3 * 4), 4, 3, 4, src_type)
    live = zb.live_buffers()
    zb.fail_next("copyBufferData", hr=hr)
    assert util.ConvertImageBufferAllocateType(src, n_type, False) is None
    assert zb.live_buffers() == live
    assert trace() == [PREFIX + f"[{NAME}][{case}] copy source failed {hx(hr)}, {addr(src)}"]


def test_new_buffer_without_pixels(util, zb, make_buf, trace):
    src = make_buf(rnd(16), 2, 2, 4, CHUNK)
    zb.fail_next("lock_no_data")
    assert util.ConvertImageBufferAllocateType(src, BYTE) is None
    assert trace() == [PREFIX + f"[{NAME}][Case1] copy source failed {hx(E_POINTER)}, {addr(src)}"]


def test_byte_to_chunk_ignores_copy_result(util, zb, make_buf, keep, trace):
    # The scatter's HRESULT is not examined: a failed copy leaves the new
    # buffer as the allocator made it.
    src = make_buf(rnd(3 * 4 * 4), 3, 4, 4)
    zb.set_attributes(src, 1, 2)
    zb.fail_next("copyBufferData")
    out = keep(util.ConvertImageBufferAllocateType(src, CHUNK))
    assert shape(zb, out) == (3, 4, 4, CHUNK, False)
    assert zb.to_bytes(out) == bytes(3 * 4 * 4)
    assert zb.info(out)["attribute1"] == 1
    assert trace() == []


def test_to_planar_reads_rows_through_the_table(util, zb, make_buf, keep, trace):
    # Rows come from the stride table, so a source lock that succeeds without
    # a data pointer still converts every pixel.
    data = rnd(4 * 2 * 4)
    src = make_buf(data, 4, 2, 4, CHUNK)
    zb.fail_next("lock_no_data")
    planar = keep(util.ConvertImageBufferAllocateType(src, PLANAR))
    assert [zb.plane_bytes(planar, c) for c in range(4)] == planes_of(data, 4)
    assert trace() == []


@pytest.mark.parametrize("bpp, back_type", [(4, CHUNK), (3, BYTE)])
def test_large_image_round_trip(util, zb, make_buf, keep, bpp, back_type):
    # Tall enough for the rows to be shared out in several bands, with a
    # last band shorter than the others.
    w, h = 1024, 601
    data = rnd(w * h * bpp)
    planar = keep(util.ConvertImageBufferAllocateType(make_buf(data, w, h, bpp), PLANAR))
    assert [zb.plane_bytes(planar, c) for c in range(bpp)] == [data[c::bpp] for c in range(bpp)]
    back = keep(util.ConvertImageBufferAllocateType(planar, back_type))
    assert zb.to_bytes(back) == data
