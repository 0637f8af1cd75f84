"""Making buffers: empty, GIF, from raw bytes, duplicates."""
import random
import subprocess
import sys

import pytest

from conftest import E_FAIL, E_INVALIDARG, E_OUTOFMEMORY, addr32, entry, end, hx, line

ALLOC_FAIL = "[Assert] m_pBufferAllocator->{}(pBuffer, (uint)nWidth, (uint)nHeight, (uint)nBPP, 0) , Error! hr={}"
RAW = "PyQelBufferUtility::CreateBufferFromRawData"
RAW_OK = [entry(RAW), line(" allocateImageBuffer, HR = 0"), end(RAW)]


def pixels(n, rng=random.Random(7)):
    return bytes(rng.randrange(256) for _ in range(n))


def shape(zb, buf):
    info = zb.info(buf)
    return tuple(info[k] for k in ("width", "height", "bpp", "alloc_type", "file_mapped", "refcount"))


@pytest.mark.parametrize("args, mapped", [((100, 50, 4), False), ((100, 50, 4, True), False),
                                          ((100, 50, 4, False), True)])
def test_get_empty_buffer(util, zb, keep, trace, args, mapped):
    assert shape(zb, keep(util.GetEmptyBuffer(*args))) == (100, 50, 4, 0, mapped, 1)
    assert trace() == []


@pytest.mark.parametrize("size, onmemory, op, hr", [
    ((4, 4, 4), True, "allocateImageBuffer", E_OUTOFMEMORY),   # injected
    ((4, 4, 4), False, "allocateFileMappingBuffer", E_OUTOFMEMORY),
    ((0, 4, 4), True, None, E_INVALIDARG), ((4, 4, 5), True, None, E_INVALIDARG),
    ((4, -1, 4), True, None, E_OUTOFMEMORY), ((65536, 65536, 8), True, None, E_OUTOFMEMORY),
])
def test_get_empty_buffer_failure(util, zb, trace, size, onmemory, op, hr):
    if op:
        zb.fail_next(op)
    assert util.GetEmptyBuffer(*size, onmemory) is None
    # The allocation texts carry their own newline: the line ends with two. No last-error code.
    call = "allocateImageBuffer" if onmemory else "allocateFileMappingBuffer"
    assert trace() == [line(ALLOC_FAIL.format(call, hx(hr))), ""]
    assert util.GetLastErrorHr() == 0
    zb.fail_next("allocateImageBuffer", hr=0)  # success without a buffer logs nothing
    assert util.GetEmptyBuffer(4, 4, 4) is None and trace() == []


def test_gif_buffer(util, zb, trace):
    assert repr(util.GetGifBuffer()).startswith("<Swig Object of type 'CQELGifBuffer *'")
    zb.fail_next("allocateGifBuffer", hr=E_FAIL)
    assert util.GetGifBuffer() is None
    assert trace() == [line(f"[Assert] m_pBufferAllocator->allocateGifBuffer(pBuffer) , Error! hr={hx(E_FAIL)}"), ""]


@pytest.mark.parametrize("w, h, bpp", [(3, 2, 4), (5, 9, 1), (7, 3, 8), (1, 1, 3)])
def test_create_from_raw_data(util, zb, keep, trace, w, h, bpp):
    data = pixels(w * h * bpp)
    src = zb.byte_array(data)
    buf = keep(util.CreateBufferFromRawData(src, w, h, bpp))
    zb.free_byte_array(src)
    assert (shape(zb, buf), zb.to_bytes(buf), trace()) == ((w, h, bpp, 0, False, 1), data, RAW_OK)


def test_create_from_raw_data_failures(util, zb, keep, trace):
    util.Close()
    src = zb.byte_array(b"\x09" * 4)
    zb.fail_next("allocateImageBuffer", hr=E_INVALIDARG)
    assert util.CreateBufferFromRawData(src, 1, 1, 4) is None
    zb.fail_next("allocateImageBuffer", hr=0)  # success without a buffer: no end line, last error untouched
    assert util.CreateBufferFromRawData(src, 1, 1, 4) is None
    assert trace() == [entry(RAW), line(" allocateImageBuffer, HR = 80070057"),
                       entry(RAW), line(" allocateImageBuffer, HR = 0")]
    assert util.GetLastErrorHr() == E_INVALIDARG
    # A None source or a lock without pixels leaves the new buffer as it was made.
    assert zb.to_bytes(keep(util.CreateBufferFromRawData(None, 2, 2, 1))) == bytes(4)
    zb.fail_next("lock_no_data")
    assert zb.to_bytes(keep(util.CreateBufferFromRawData(src, 2, 2, 1))) == bytes(4)
    util.Uninitialize()
    trace()
    assert util.CreateBufferFromRawData(src, 1, 1, 4) is None
    zb.free_byte_array(src)
    assert trace() == [entry(RAW), line(" allocateImageBuffer, HR = 80004005")]
    assert util.GetLastErrorHr() == E_FAIL
    util.Close()


@pytest.mark.parametrize("alloc_type", [0, 1])
@pytest.mark.parametrize("mapped", [False, True])
def test_duplicate(util, zb, make_buf, keep, trace, alloc_type, mapped):
    data = pixels(5 * 9 * 4)
    src = make_buf(data, 5, 9, 4, alloc_type, mapped)
    zb.set_attributes(src, 0x1122334455667788, 2**64 - 1)
    dup = keep(util.DuplicateImageBuffer(src))
    # Always in process memory, with the source's type, pixels and attributes.
    assert shape(zb, dup) == (5, 9, 4, alloc_type, False, 1)
    assert (zb.info(dup)["attribute1"], zb.info(dup)["attribute2"]) == (0x1122334455667788, 2**64 - 1)
    assert (zb.to_bytes(dup), zb.info(src)["refcount"], trace()) == (data, 1, [])
    # The two modules share one type registry: pointers pass both ways.
    assert zb.to_bytes(keep(util.DuplicateImageBuffer(dup))) == data


@pytest.mark.parametrize("fault, text", [(None, None), ("allocateImageBuffer", "buffer allocate fail"),
                                         ("copyBufferData", "buffer copy fail, {}"), ("lock", "buffer copy fail, {}"),
                                         ("lock_no_data", "buffer copy fail, {}")])
def test_duplicate_failures(util, zb, make_buf, trace, fault, text):
    src = make_buf(bytes(16), 2, 2, 4)
    live = zb.live_buffers()
    if fault is None:  # no source, or no allocator: nothing logged
        assert util.DuplicateImageBuffer(None) is None
        util.Uninitialize()
        trace()
    else:
        zb.fail_next(fault)
    assert util.DuplicateImageBuffer(src) is None
    assert zb.live_buffers() == live
    assert trace() == ([line("[PyQelBufferUtility] " + text.format(addr32(src)))] if text else [])


@pytest.mark.parametrize("alloc_type", [0, 1])  # BYTE, CHUNK
def test_large_buffers_come_zeroed_and_round_trip(util, zb, keep, alloc_type):
    """Blocks of 32 MiB and more are mapped straight from the kernel; a CHUNK
    buffer of 4 MiB and more keeps its chunks apart inside one block."""
    w, h = 2048, 4099
    buf = keep(zb.allocate(w, h, 4, alloc_type))
    assert zb.to_bytes(buf).count(0) == w * h * 4
    pattern = bytes(range(256)) * (w * h * 4 // 256) + bytes(range(w * h * 4 % 256))
    zb.write(buf, pattern)
    assert zb.to_bytes(keep(util.DuplicateImageBuffer(buf))) == pattern
    assert zb.to_bytes(keep(util.GetROI(buf, 0, 3, w, 2))) == pattern[3 * w * 4:5 * w * 4]  # across a chunk edge


def test_file_mapped_buffers_are_not_bounded_by_the_open_file_limit():
    # A common desktop soft limit; each live buffer used to hold a descriptor.
    script = """
import resource
import PyQelBufferUtility, zubuffer
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (min(1024, hard), hard))
util = PyQelBufferUtility.PyQelBufferUtility()
bufs = [util.GetEmptyBuffer(3, 2, 4, False) for _ in range(10000)]
assert all(b is not None for b in bufs)
assert all(zubuffer.info(b)["file_mapped"] for b in bufs[::997])
assert len({int(b) for b in bufs}) == 10000
open("/dev/null").close()  # descriptors are still to be had
print(sum(zubuffer.release(b) == 0 for b in bufs))
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout.strip()) == (0, "10000"), done.stderr
