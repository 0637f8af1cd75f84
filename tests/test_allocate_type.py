"""Changing a buffer's storage layout (BYTE, CHUNK, PLANAR) or medium."""
import random

import pytest
import zubuffer as zb

from conftest import E_FAIL, E_OUTOFMEMORY, E_POINTER, addr32, hx, line

TYPES = BYTE, CHUNK, PLANAR = 0, 1, 2
SIZES = {1: (5, 6), 3: (3, 5), 4: (7, 9), 6: (13, 10), 8: (6, 2)}   # bytes per pixel: width, height
rnd = random.Random(77).randbytes


# The last case: a file-mapped source already has the storage asked for.
@pytest.mark.parametrize("src_type, args", [(BYTE, ()), (BYTE, (BYTE,)), (BYTE, (BYTE, True)), (PLANAR, (PLANAR, True)),
                                            (BYTE, (7,)), (CHUNK, (-1, False)), (BYTE, (BYTE, False))])
def test_returns_source(util, make_buf, keep, trace, src_type, args):
    src = make_buf(rnd(60), 5, 3, 4, src_type, args == (BYTE, False))
    out = keep(util.ConvertImageBufferAllocateType(src, *args))
    assert (int(out), zb.info(src)["refcount"], trace()) == (int(src), 2, [])


# Planar copies are always made in memory; grey pixels have no planar form.
@pytest.mark.parametrize("src_type, n_type, on_mem, bpp", [
    (s, n, m, bpp) for s in TYPES for n in TYPES for m in (True, False) for bpp in SIZES
    if not (s == n and m) and not (PLANAR in (s, n) and bpp < 3)])
def test_conversions(util, make_buf, keep, trace, src_type, n_type, on_mem, bpp):
    w, h = SIZES[bpp]
    src = make_buf(data := rnd(w * h * bpp), w, h, bpp, src_type)
    zb.set_attributes(src, 0xABCDEF, 0x123)
    out = keep(util.ConvertImageBufferAllocateType(src, n_type, on_mem))
    assert zb.info(out) == dict(width=w, height=h, bpp=bpp, alloc_type=n_type, attribute1=0xABCDEF, attribute2=0x123,
                                file_mapped=not on_mem and (src_type == n_type or PLANAR not in (src_type, n_type)),
                                refcount=1, lock_count=0)
    assert (zb.to_bytes(out), zb.info(src)["refcount"], trace()) == (data, 1, [])


# The worked examples (16-bit samples stay whole words), then 1024 x 601 images: bands of rows, the last one shorter.
@pytest.mark.parametrize("data, w, bpp, planes, back", [
    (bytes(range(1, 13)), 3, 4, [b"\x01\x05\x09", b"\x02\x06\x0a", b"\x03\x07\x0b", b"\x04\x08\x0c"], BYTE),
    (bytes([1, 2, 3, 4, 5, 6, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16]), 2, 6,
     [b"\x01\x02\x11\x12", b"\x03\x04\x13\x14", b"\x05\x06\x15\x16"], CHUNK),
    (None, 1024, 4, None, CHUNK), (None, 1024, 3, None, BYTE)])
def test_planar_round_trip(util, make_buf, keep, data, w, bpp, planes, back):
    data = data or rnd(1024 * 601 * bpp)
    planes = planes or [data[c::bpp] for c in range(bpp)]
    planar = keep(util.ConvertImageBufferAllocateType(make_buf(data, w, len(data) // (w * bpp), bpp), PLANAR))
    assert [zb.plane_bytes(planar, c) for c in range(len(planes))] == planes
    assert zb.to_bytes(keep(util.ConvertImageBufferAllocateType(planar, back))) == data


# Planes only become BYTE or CHUNK rows; a missing buffer is not logged. The last two still convert: a failed
# scatter to CHUNK is not examined, and rows to planes come from the stride table, not the lock's pointer.
@pytest.mark.parametrize("src_type, n_type, on_mem, fault, hr, text, made", [
    (PLANAR, 7, True, "lock", 0, None, None),
    *[(s, n, m, "allocateImageBuffer" if m or PLANAR in (s, n) else "allocateFileMappingBuffer", 0, None, None)
      for s, n in [(CHUNK, BYTE), (BYTE, CHUNK), (BYTE, PLANAR), (PLANAR, CHUNK), (BYTE, BYTE)] for m in (True, False)
      if s != n or not m],
    *[(s, n, False, f, 0, f"[{case}] lock source failed", None) for s, n, f, case in [
        (BYTE, CHUNK, "lock", "Case2"), (BYTE, CHUNK, "lock_no_data", "Case2"), (CHUNK, PLANAR, "lock", "Case3"),
        (PLANAR, BYTE, "lock", "Case4")]],
    (CHUNK, BYTE, False, "lock_no_data", 0, f"[Case1] copy source failed {hx(E_POINTER)}", None),  # new buffer's lock
    *[(s, n, False, "copyBufferData", hr, f"[{case}] copy source failed {hx(hr)}", None) for s, n, case, hr in [
        (CHUNK, BYTE, "Case1", E_OUTOFMEMORY), (BYTE, BYTE, "Case5", E_FAIL), (CHUNK, CHUNK, "Case5", E_OUTOFMEMORY)]],
    (BYTE, CHUNK, True, "copyBufferData", E_FAIL, None, bytes(48)),
    (CHUNK, PLANAR, True, "lock_no_data", 0, None, bytes(range(48)))])
def test_faults(util, make_buf, keep, trace, src_type, n_type, on_mem, fault, hr, text, made):
    src = make_buf(bytes(range(48)), 4, 3, 4, src_type)
    zb.fail_next(fault, hr=hr)
    out = keep(util.ConvertImageBufferAllocateType(src, n_type, on_mem))
    logged = [line(f"[PyQelBufferUtility::ConvertImageBufferAllocateType]{text}, {addr32(src)}")] if text else []
    assert (out and zb.to_bytes(out), zb.info(src)["refcount"], trace()) == (made, 1, logged)
