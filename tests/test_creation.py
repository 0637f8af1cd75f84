"""Making buffers: empty, GIF, from raw bytes, duplicates."""
import random

import pytest

from conftest import E_FAIL, E_INVALIDARG, E_OUTOFMEMORY, hx, PREFIX

ALLOC_FAIL = ("[Assert] m_pBufferAllocator->allocateImageBuffer(pBuffer, (uint)nWidth, (uint)nHeight, "
              "(uint)nBPP, 0) , Error! hr={}")
MAP_FAIL = ("[Assert] m_pBufferAllocator->allocateFileMappingBuffer(pBuffer, (uint)nWidth, (uint)nHeight, "
            "(uint)nBPP, 0) , Error! hr={}")
GIF_FAIL = "[Assert] m_pBufferAllocator->allocateGifBuffer(pBuffer) , Error! hr={}"
RAW = "PyQelBufferUtility::CreateBufferFromRawData"


def pixels(n, rng=random.Random(7)):
    return bytes(rng.randrange(256) for _ in range(n))


@pytest.mark.parametrize("args, mapped", [((100, 50, 4), False), ((100, 50, 4, True), False),
                                          ((100, 50, 4, False), True)])
def test_get_empty_buffer(util, zb, keep, trace, args, mapped):
    buf = keep(util.GetEmptyBuffer(*args))
    info = zb.info(buf)
    assert (info["width"], info["height"], info["bpp"], info["alloc_type"]) == (100, 50, 4, 0)
    assert info["file_mapped"] is mapped
    assert info["refcount"] == 1
    assert trace() == []


@pytest.mark.parametrize("onmemory, op, text", [(True, "allocateImageBuffer", ALLOC_FAIL),
                                                (False, "allocateFileMappingBuffer", MAP_FAIL)])
def test_get_empty_buffer_failure(util, zb, trace, onmemory, op, text):
    zb.fail_next(op)
    assert util.GetEmptyBuffer(4, 4, 4, onmemory) is None
    # The allocation texts carry their own newline: the line ends with two.
    assert trace() == [PREFIX + text.format(hx(E_OUTOFMEMORY)), ""]
    assert util.GetLastErrorHr() == 0


@pytest.mark.parametrize("size", [(0, 4, 4), (4, -1, 4), (4, 4, 5), (-1, -1, 8), (65536, 65536, 8)])
def test_get_empty_buffer_refused_sizes(util, trace, size):
    assert util.GetEmptyBuffer(*size) is None
    lines = trace()
    assert lines[0].startswith(PREFIX + "[Assert] m_pBufferAllocator->allocateImageBuffer(pBuffer")
    assert lines[0].endswith(("hr=80070057", "hr=8007000e"))


def test_get_empty_buffer_success_without_buffer(util, zb, trace):
    zb.fail_next("allocateImageBuffer", hr=0)
    assert util.GetEmptyBuffer(4, 4, 4) is None
    assert trace() == []


def test_gif_buffer(util, zb, trace):
    gif = util.GetGifBuffer()
    assert repr(gif).startswith("<Swig Object of type 'CQELGifBuffer *'")
    zb.fail_next("allocateGifBuffer", hr=E_FAIL)
    assert util.GetGifBuffer() is None
    assert trace() == [PREFIX + GIF_FAIL.format(hx(E_FAIL)), ""]


@pytest.mark.parametrize("w, h, bpp", [(3, 2, 4), (5, 9, 1), (7, 3, 8), (1, 1, 3)])
def test_create_from_raw_data(util, zb, keep, trace, w, h, bpp):
    data = pixels(w * h * bpp)
    src = zb.byte_array(data)
    try:
        buf = keep(util.CreateBufferFromRawData(src, w, h, bpp))
    finally:
        zb.free_byte_array(src)
    info = zb.info(buf)
    assert (info["width"], info["height"], info["bpp"], info["alloc_type"], info["file_mapped"]) == \
        (w, h, bpp, 0, False)
    assert zb.to_bytes(buf) == data
    assert trace() == [PREFIX + f"FUNCTION : {RAW}() entry", PREFIX + " allocateImageBuffer, HR = 0",
                       PREFIX + f"FUNCTION : {RAW}() end"]


def test_create_from_raw_data_allocation_failure(util, zb, trace):
    util.Close()
    zb.fail_next("allocateImageBuffer", hr=E_INVALIDARG)
    src = zb.byte_array(bytes(4))
    try:
        assert util.CreateBufferFromRawData(src, 1, 1, 4) is None
        # Success without a buffer: no end line, last error untouched.
        zb.fail_next("allocateImageBuffer", hr=0)
        assert util.CreateBufferFromRawData(src, 1, 1, 4) is None
    finally:
        zb.free_byte_array(src)
    assert trace() == [PREFIX + f"FUNCTION : {RAW}() entry", PREFIX + " allocateImageBuffer, HR = 80070057",
                       PREFIX + f"FUNCTION : {RAW}() entry", PREFIX + " allocateImageBuffer, HR = 0"]
    assert util.GetLastErrorHr() == E_INVALIDARG
    util.Close()


def test_create_from_raw_data_without_allocator(util, zb, trace):
    util.Close()
    util.Uninitialize()
    trace()
    src = zb.byte_array(bytes(4))
    try:
        assert util.CreateBufferFromRawData(src, 1, 1, 4) is None
    finally:
        zb.free_byte_array(src)
    assert trace() == [PREFIX + f"FUNCTION : {RAW}() entry", PREFIX + " allocateImageBuffer, HR = 80004005"]
    assert util.GetLastErrorHr() == E_FAIL
    util.Close()


def test_create_from_raw_data_none_source_gives_the_new_buffer(util, zb, keep):
    buf = keep(util.CreateBufferFromRawData(None, 2, 2, 1))
    assert zb.to_bytes(buf) == bytes(4)


def test_create_from_raw_data_lock_without_data(util, zb, keep):
    zb.fail_next("lock_no_data")
    src = zb.byte_array(b"\x09" * 4)
    try:
        buf = keep(util.CreateBufferFromRawData(src, 2, 2, 1))
    finally:
        zb.free_byte_array(src)
    assert zb.to_bytes(buf) == bytes(4)


@pytest.mark.parametrize("alloc_type", [0, 1])
@pytest.mark.parametrize("mapped", [False, True])
def test_duplicate(util, zb, make_buf, keep, trace, alloc_type, mapped):
    w, h, bpp = 5, 9, 4
    data = pixels(w * h * bpp)
    src = make_buf(data, w, h, bpp, alloc_type, mapped)
    zb.set_attributes(src, 0x1122334455667788, 2**64 - 1)
    dup = keep(util.DuplicateImageBuffer(src))
    info = zb.info(dup)
    assert info["alloc_type"] == alloc_type
    assert info["file_mapped"] is False
    assert (info["width"], info["height"], info["bpp"]) == (w, h, bpp)
    assert (info["attribute1"], info["attribute2"]) == (0x1122334455667788, 2**64 - 1)
    assert info["refcount"] == 1
    assert zb.to_bytes(dup) == data
    assert zb.info(src)["refcount"] == 1
    assert trace() == []


def test_duplicate_none_and_no_allocator(util, make_buf, trace):
    assert util.DuplicateImageBuffer(None) is None
    src = make_buf(bytes(4), 1, 1, 4)
    util.Uninitialize()
    trace()
    assert util.DuplicateImageBuffer(src) is None
    assert trace() == []


def test_duplicate_allocation_failure(util, zb, make_buf, trace):
    src = make_buf(bytes(4), 1, 1, 4)
    zb.fail_next("allocateImageBuffer")
    assert util.DuplicateImageBuffer(src) is None
    assert trace() == [PREFIX + "[PyQelBufferUtility] buffer allocate fail"]


@pytest.mark.parametrize("fault", ["copyBufferData", "lock", "lock_no_data"])
def test_duplicate_copy_failure_releases_the_copy(util, zb, make_buf, trace, fault):
    src = make_buf(bytes(16), 2, 2, 4)
    live = zb.live_buffers()
    zb.fail_next(fault)
    assert util.DuplicateImageBuffer(src) is None
    assert zb.live_buffers() == live
    [message] = trace()
    assert message.startswith(PREFIX + "[PyQelBufferUtility] buffer copy fail, ")
    assert int(message.rsplit(" ", 1)[1], 16) == int(src) & 0xFFFFFFFF


def test_zubuffer_buffers_round_trip_through_the_utility(util, zb, keep):
    """The two modules share one type registry: pointers pass both ways."""
    src = keep(zb.from_bytes(b"\x01\x02\x03\x04" * 6, 3, 2, 4, 1))
    dup = keep(util.DuplicateImageBuffer(src))
    again = keep(util.DuplicateImageBuffer(dup))
    assert zb.to_bytes(again) == b"\x01\x02\x03\x04" * 6


def test_large_buffers_come_zeroed_and_round_trip(util, zb, keep):
    """Blocks of 32 MiB and more are mapped straight from the kernel."""
    w, h = 4096, 2049
    buf = keep(util.GetEmptyBuffer(w, h, 4))
    assert zb.to_bytes(buf).count(0) == w * h * 4
    pattern = bytes(range(256)) * (w * h * 4 // 256) + bytes(range(w * h * 4 % 256))
    zb.write(buf, pattern)
    assert zb.to_bytes(keep(util.DuplicateImageBuffer(buf))) == pattern
