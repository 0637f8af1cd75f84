"""Changing a buffer's storage layout (BYTE, CHUNK, PLANAR) or medium."""
import random

import pytest
import zubuffer as zb

from conftest import E_FAIL, E_OUTOFMEMORY, E_POINTER, addr32, hx, line

TYPES = BYTE, CHUNK, PLANAR = 0, 1, 2
NAME = "PyQelBufferUtility::ConvertImageBufferAllocateType"
SIZES = {1: (5, 6), 3: (3, 5), 4: (7, 9), 6: (13, 10), 8: (6, 2)}   # bytes per pixel: width, height


def rnd(n, rng=random.Random(77)):
    return rng.randbytes(n)


def planes_of(data, bpp):
    """B, G, R(, A) planes of packed pixels; 6 and 8 bytes per pixel have 2-byte samples."""
    n = 2 if bpp in (6, 8) else 1
    return [b"".join(data[i + c * n:i + c * n + n] for i in range(0, len(data), bpp)) for c in range(bpp // n)]


def shape(buf):
    keys = "width", "height", "bpp", "alloc_type", "file_mapped", "attribute1", "attribute2", "refcount"
    return tuple(zb.info(buf)[k] for k in keys)


# The last case: a file-mapped source already has the storage asked for.
@pytest.mark.parametrize("src_type, args", [(BYTE, ()), (BYTE, (BYTE,)), (BYTE, (BYTE, True)), (CHUNK, (CHUNK,)),
                                            (PLANAR, (PLANAR, True)), (BYTE, (7,)), (CHUNK, (-1, False)),
                                            (BYTE, (BYTE, False))])
def test_returns_source(util, make_buf, keep, trace, src_type, args):
    src = make_buf(rnd(5 * 3 * 4), 5, 3, 4, src_type, args == (BYTE, False))
    out = keep(util.ConvertImageBufferAllocateType(src, *args))
    assert (int(out), zb.info(src)["refcount"], trace()) == (int(src), 2, [])


# Planar copies are always made in memory; grey pixels have no planar form.
@pytest.mark.parametrize("src_type, n_type, on_mem, bpp", [
    (s, n, m, bpp) for s in TYPES for n in TYPES for m in (True, False) for bpp in SIZES
    if not (s == n and m) and not (PLANAR in (s, n) and bpp < 3)])
def test_conversions(util, make_buf, keep, trace, src_type, n_type, on_mem, bpp):
    (w, h), live = SIZES[bpp], zb.live_buffers()
    data = rnd(w * h * bpp)
    src = make_buf(data, w, h, bpp, src_type)
    zb.set_attributes(src, 0xABCDEF, 0x123)
    out = keep(util.ConvertImageBufferAllocateType(src, n_type, on_mem))
    mapped = not on_mem and (src_type == n_type or PLANAR not in (src_type, n_type))
    assert shape(out) == (w, h, bpp, n_type, mapped, 0xABCDEF, 0x123, 1)
    assert (zb.to_bytes(out), zb.info(src)["refcount"], zb.live_buffers(), trace()) == (data, 1, live + 2, [])
    if n_type == PLANAR:
        assert [zb.plane_bytes(out, c) for c in range(len(planes_of(data, bpp)))] == planes_of(data, bpp)


@pytest.mark.parametrize("data, w, bpp, planes", [
    (bytes(range(1, 13)), 3, 4, [b"\x01\x05\x09", b"\x02\x06\x0a", b"\x03\x07\x0b", b"\x04\x08\x0c"]),
    (bytes([1, 2, 3, 4, 5, 6, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16]), 2, 6,
     [b"\x01\x02\x11\x12", b"\x03\x04\x13\x14", b"\x05\x06\x15\x16"]),   # 16-bit samples stay whole words
])
def test_planar_examples(util, make_buf, keep, data, w, bpp, planes):
    planar = keep(util.ConvertImageBufferAllocateType(make_buf(data, w, 1, bpp), PLANAR))
    assert [zb.plane_bytes(planar, c) for c in range(len(planes))] == planes


# Planes only become BYTE or CHUNK rows, and the allocator has no planar grey buffer. A missing buffer is not logged.
@pytest.mark.parametrize("src_type, n_type, on_mem, bpp, fault, hr, text", [
    (PLANAR, 7, True, 4, None, 0, None), (BYTE, PLANAR, True, 1, None, 0, None), *[
        (s, n, m, 4, op, hr, None) for hr in (E_OUTOFMEMORY, 0) for s, n, m, op in [
            (CHUNK, BYTE, True, "allocateImageBuffer"), (CHUNK, BYTE, False, "allocateFileMappingBuffer"),
            (BYTE, CHUNK, True, "allocateImageBuffer"), (BYTE, CHUNK, False, "allocateFileMappingBuffer"),
            (BYTE, PLANAR, False, "allocateImageBuffer"), (PLANAR, CHUNK, False, "allocateImageBuffer"),
            (BYTE, BYTE, False, "allocateFileMappingBuffer")]],
    *[(s, n, False, 4, f, 0, f"[{case}] lock source failed") for s, n, f, case in [
        (BYTE, CHUNK, "lock", "Case2"), (BYTE, CHUNK, "lock_no_data", "Case2"), (CHUNK, PLANAR, "lock", "Case3"),
        (BYTE, PLANAR, "lock", "Case3"), (PLANAR, BYTE, "lock", "Case4"), (PLANAR, CHUNK, "lock", "Case4")]],
    (CHUNK, BYTE, False, 4, "lock_no_data", 0, f"[Case1] copy source failed {hx(E_POINTER)}"),   # new buffer: no pixels
    *[(s, n, False, 4, "copyBufferData", hr, f"[{case}] copy source failed {hx(hr)}") for hr in (E_FAIL, E_OUTOFMEMORY)
      for s, n, case in [(CHUNK, BYTE, "Case1"), (BYTE, BYTE, "Case5"), (CHUNK, CHUNK, "Case5")]],
])
def test_nothing_made(util, make_buf, trace, src_type, n_type, on_mem, bpp, fault, hr, text):
    src = make_buf(rnd(4 * 3 * bpp), 4, 3, bpp, src_type)
    live = zb.live_buffers()
    if fault:
        zb.fail_next(fault, hr=hr)
    assert util.ConvertImageBufferAllocateType(src, n_type, on_mem) is None
    logged = [line(f"[{NAME}]{text}, {addr32(src)}")] if text else []
    assert (zb.live_buffers(), zb.info(src)["refcount"], trace()) == (live, 1, logged)


# A failed scatter to CHUNK is not examined; rows to planes come from the stride table, not the lock's pointer.
@pytest.mark.parametrize("src_type, n_type, fault, kept", [(BYTE, CHUNK, "copyBufferData", False),
                                                          (CHUNK, PLANAR, "lock_no_data", True)])
def test_faults_that_still_convert(util, make_buf, keep, trace, src_type, n_type, fault, kept):
    data = rnd(3 * 4 * 4)
    src = make_buf(data, 3, 4, 4, src_type)
    zb.set_attributes(src, 1, 2)
    zb.fail_next(fault)
    out = keep(util.ConvertImageBufferAllocateType(src, n_type))
    expect = (3, 4, 4, n_type, False, 1, 2, 1), data if kept else bytes(48), []
    assert (shape(out), zb.to_bytes(out), trace()) == expect


@pytest.mark.parametrize("bpp, back_type", [(4, CHUNK), (3, BYTE)])
def test_large_image_round_trip(util, make_buf, keep, bpp, back_type):
    # Several bands of rows, the last one shorter than the others.
    data = rnd(1024 * 601 * bpp)
    planar = keep(util.ConvertImageBufferAllocateType(make_buf(data, 1024, 601, bpp), PLANAR))
    assert [zb.plane_bytes(planar, c) for c in range(bpp)] == [data[c::bpp] for c in range(bpp)]
    back = keep(util.ConvertImageBufferAllocateType(planar, back_type))
    assert zb.to_bytes(back) == data
