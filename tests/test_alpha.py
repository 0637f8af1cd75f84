"""Alpha removal, reveal and copy; red/blue exchange; BGR bytes to BGRA."""
import random

import pytest

from conftest import (E_FAIL, E_INVALIDARG, E_OUTOFMEMORY, E_POINTER, S_FALSE, S_OK, addr32, end, entry, hx, line,
                      make_utility, pack_pixels, unpack_pixels)

REDUCE, REVEAL, APPLY, FROMPY = ("PyQelBufferUtility::" + n for n in (
    "ReduceAlphaChannel", "RevealAlphaChannel", "ApplyAlphaByBuffer", "ConvertBufferFromBGRtoBGRA_FromPyObject"))
BYTE, CHUNK, PLANAR = 0, 1, 2
INFO = ("width", "height", "bpp", "alloc_type", "refcount", "attribute1", "attribute2")


@pytest.mark.parametrize("method, bpp, pixels, expected", [
    ("ReduceAlphaChannel", 4, [(10, 20, 30, 40)], bytes((10, 20, 30))),
    *[("RevealAlphaChannel", b, [(7, 8, 9, a) for a in (0, 1, t - 1, t)], pack_pixels([(7, 8, 9, a) for a in (0, t, t, t)], b))
      for b, t in ((4, 0xFF), (8, 0xFFFF))],
    ("SwapRBChannel", 4, [(1, 2, 3, 4)], bytes((3, 2, 1, 4))),
])
def test_worked_examples(util, zb, make_buf, keep, method, bpp, pixels, expected):
    buf = make_buf(pack_pixels(pixels, bpp), len(pixels), 1, bpp)
    assert zb.to_bytes(buf if (r := getattr(util, method)(buf)) == S_OK else keep(r)) == expected


@pytest.mark.parametrize("alloc_type, fail_lock", [(BYTE, False), (CHUNK, False), (CHUNK, True)])
@pytest.mark.parametrize("bpp, new_bpp", [(4, 3), (8, 6), (3, 3), (6, 6)])
def test_reduce(util, zb, make_buf, keep, trace, alloc_type, fail_lock, bpp, new_bpp):
    w, h, same = 23, 9, bpp == new_bpp
    src = make_buf(data := random.Random(bpp).randbytes(w * h * bpp), w, h, bpp, alloc_type)
    zb.set_attributes(src, 0xABCDEF, 1 << 63)
    zb.fail_next("lock", 2 * fail_lock)  # the lock results are not examined
    out = keep(util.ReduceAlphaChannel(src))
    assert [int(out) == int(src)] + [zb.info(out)[k] for k in INFO] == \
        [same, w, h, new_bpp, alloc_type, 1 + same, 0xABCDEF, 1 << 63]
    assert (zb.to_bytes(out), zb.to_bytes(src)) == (pack_pixels([p[:3] for p in unpack_pixels(data, bpp)], new_bpp), data)
    assert trace() == [entry(REDUCE), end(REDUCE)]


@pytest.mark.parametrize("method, bpp, alloc_type, fault, result, why", [
    ("ReduceAlphaChannel", 4, PLANAR, None, None, "Planar buffer does not have alpha channel"),
    *[("ReduceAlphaChannel", b, t, None, None, f"unsupported BPP {b}") for b, t in ((1, BYTE), (2, CHUNK))],
    # Reduce does not examine the HRESULT: a failed allocation leaves the last-error code alone.
    ("ReduceAlphaChannel", 4, BYTE, E_OUTOFMEMORY, None, ""), ("ReduceAlphaChannel", 8, CHUNK, S_OK, None, ""),
    *[("RevealAlphaChannel", b, BYTE, None, S_FALSE, f"[RevealAlphaChannel]No alpha channel BPP({b})")
      for b in (1, 3, 6)],
    *[(m, b, BYTE, None, E_FAIL, f"[{m}]Unsupported BPP({b})")
      for m, b in (("RevealAlphaChannel", 2), ("SwapRBChannel", 1), ("SwapRBChannel", 2))],
])
def test_refusals(util, zb, make_buf, trace, method, bpp, alloc_type, fault, result, why):
    buf = make_buf(data := random.Random(bpp).randbytes(2 * 2 * bpp), 2, 2, bpp, alloc_type)
    util.Close()
    zb.fail_next("allocateImageBuffer", int(fault is not None), hr=fault or 0)
    assert (getattr(util, method)(buf), zb.to_bytes(buf), util.GetLastErrorHr()) == (result, data, S_OK)
    assert trace() == [entry(REDUCE)] * (method == "ReduceAlphaChannel") + [line(why)] * bool(why)


def test_null_buffers_and_no_allocator(util, monkeypatch, capfd, tmp_path, make_buf, trace):
    buf, null = make_buf(bytes((1, 2, 3, 4)), 1, 1, 4), f"[Assert]FUNCTION : {REVEAL} , Null Pointer : "
    assert [util.ReduceAlphaChannel(None), util.RevealAlphaChannel(None), util.SwapRBChannel(None)] + [
        util.ApplyAlphaByBuffer(*a) for a in ((None, buf), (buf, None))] == [None, E_POINTER] + [E_FAIL] * 3
    assert trace() == [entry(REDUCE), line(null + "pSrcImageBuffer")] + [entry(APPLY)] * 2
    obj = make_utility(monkeypatch, capfd, allocator=str(tmp_path / "none.so"))
    assert (obj.ReduceAlphaChannel(buf), obj.RevealAlphaChannel(buf), obj.ApplyAlphaByBuffer(buf, buf)) == \
        (None, E_POINTER, E_FAIL)
    assert trace() == [entry(REDUCE), line(null + "m_pBufferAllocator"), entry(APPLY)]


@pytest.mark.parametrize("alloc_type, fail_lock", [(BYTE, False), (CHUNK, False), (PLANAR, False), (CHUNK, True)])
@pytest.mark.parametrize("method, bpp", [*[("RevealAlphaChannel", b) for b in (4, 8)],
                                         *[("SwapRBChannel", b) for b in (3, 4, 6, 8)]])
def test_in_place(util, zb, make_buf, trace, alloc_type, fail_lock, method, bpp):
    rng, top, n = random.Random(bpp + alloc_type), (0xFFFF if bpp in (6, 8) else 0xFF), (3 if bpp in (3, 6) else 4)
    pixels = [(*rng.choices(range(top + 1), k=n - 1), rng.choice([0, 1, top - 1, top, rng.randrange(top)]))
              for _ in range(19 * 9)]
    expected = [p[:3] + (top * bool(p[3]),) if method == "RevealAlphaChannel" else p[2::-1] + p[3:] for p in pixels]
    buf = make_buf(data := pack_pixels(pixels, bpp), 19, 9, bpp, alloc_type)
    zb.fail_next("lock", int(fail_lock))  # not examined: the failed lock reports a 0 x 0 image
    assert getattr(util, method)(buf) == S_OK
    assert (zb.to_bytes(buf), trace()) == (data if fail_lock else pack_pixels(expected, bpp), [])


@pytest.mark.parametrize("dst_type, src_type", [(BYTE, BYTE), (CHUNK, BYTE), (BYTE, CHUNK), (PLANAR, BYTE),
                                                (CHUNK, PLANAR), (PLANAR, PLANAR)])
@pytest.mark.parametrize("bpp", [3, 4, 8])
def test_apply(util, zb, make_buf, trace, dst_type, src_type, bpp):
    dst_data, src_data = random.Random(1).randbytes(17 * 9 * bpp), random.Random(2).randbytes(17 * 9 * bpp)
    dst, src = make_buf(dst_data, 17, 9, bpp, dst_type), make_buf(src_data, 17, 9, bpp, src_type)
    assert util.ApplyAlphaByBuffer(dst, src) == S_OK
    expected = [d[:3] + s[3:] for d, s in zip(unpack_pixels(dst_data, bpp), unpack_pixels(src_data, bpp))]
    assert (zb.to_bytes(dst), zb.to_bytes(src)) == (pack_pixels(expected, bpp), src_data)
    assert trace() == [entry(APPLY), line(f"Dst:{addr32(dst)} : Src:{addr32(src)}"), end(APPLY)]


@pytest.mark.parametrize("shape, locks_failing, hr, why", [
    (None, 0, S_OK, ["same buffer, nothing to do"]),
    *[(s, 0, E_FAIL, ["not allow different size"]) for s in ((3, 2, 4), (2, 3, 4), (2, 2, 8))],
    ((2, 2, 4), 2, E_POINTER, ["Dst:{dst} : Src:{src}", f"[{APPLY}] lock src failed, {{src}}"]),  # src locked first
    ((2, 2, 4), (1, 1), E_POINTER, ["Dst:{dst} : Src:{src}", f"[{APPLY}] lock dst failed, {{dst}}"]),
])
def test_apply_refusals(util, zb, make_buf, trace, shape, locks_failing, hr, why):
    dst = make_buf(data := random.Random(8).randbytes(16), 2, 2, 4)
    src = dst if shape is None else make_buf(bytes(shape[0] * shape[1] * shape[2]), *shape)
    skip, count = locks_failing if isinstance(locks_failing, tuple) else (0, locks_failing)
    zb.fail_next("lock", count, skip=skip)
    assert (util.ApplyAlphaByBuffer(dst, src), zb.to_bytes(dst)) == (hr, data)
    assert trace() == [entry(APPLY)] + [line(t.format(dst=addr32(dst), src=addr32(src))) for t in why]


@pytest.mark.parametrize("size, w, h, stride, why", [
    (8, 2, 1, 8, None),  # the worked example: bytes 1..8 give (1, 2, 3, 255), (4, 5, 6, 255)
    *[((h - 1) * s + 3 * w + x, w, h, s, None)
      for w, h, s, x in ((37, 11, 111, 0), (37, 11, 116, 0), (5, 4, 16, 5), (3, 3, 0, 0), (2, 1, -8, 0))],
    (bytearray(12), 2, 2, 6, ""), (None, 2, 2, 6, ""), (12, 2, 2, -6, "negative stride -6"),
    (21, 2, 3, 8, "22 bytes needed, Size(21)"), (11, 4, 1, 0, "12 bytes needed, Size(11)"),
])
def test_from_bytes(util, zb, keep, trace, size, w, h, stride, why):
    # size bytes 1, 2, 3, ... or an object that is not bytes: the error its read left must not surface as SystemError.
    data = bytes(i % 251 + 1 for i in range(size)) if isinstance(size, int) else size
    out = keep(util.ConvertBufferFromBGRtoBGRA_FromPyObject(data, w, h, stride))
    head = [entry(FROMPY), line(f" W({w}), H({h}), Size({size if isinstance(size, int) else 0})")]
    if why is not None:  # refused before allocating
        assert (out, trace()) == (None, head + [line(f"[{FROMPY}] {why}")] * bool(why))
        return
    assert zb.to_bytes(out) == b"".join(data[y * stride + 3 * x:][:3] + b"\xff" for y in range(h) for x in range(w))
    assert [zb.info(out)[k] for k in INFO[:5]] == [w, h, 4, BYTE, 1]
    assert trace() == head + [line(" allocateImageBuffer, HR = 0"), end(FROMPY)]


def test_from_bytes_allocation_failures(util, zb, monkeypatch, capfd, tmp_path, keep, trace):
    # A success without a buffer leaves the last-error code alone; the allocator refuses a zero width itself;
    # without an allocator the code is E_FAIL.
    bare = make_utility(monkeypatch, capfd, allocator=str(tmp_path / "none.so"))
    util.Close()
    for obj, count, fault, w, hr in ((util, 1, E_OUTOFMEMORY, 2, E_OUTOFMEMORY), (util, 1, S_OK, 2, S_OK),
                                     (util, 0, 0, 0, E_INVALIDARG), (bare, 0, 0, 2, E_FAIL)):
        zb.fail_next("allocateImageBuffer", count, hr=fault)
        assert obj.ConvertBufferFromBGRtoBGRA_FromPyObject(bytes(12), w, 2, 6) is None
        assert trace() == [entry(FROMPY), line(f" W({w}), H(2), Size(12)"),
                           line(" allocateImageBuffer, HR = " + hx(hr))]
        assert util.GetLastErrorHr() == (hr or E_OUTOFMEMORY)
    util.Close()
    zb.fail_next("lock_no_data")  # the lock yields no pointer: nothing is written
    assert zb.to_bytes(keep(util.ConvertBufferFromBGRtoBGRA_FromPyObject(bytes(range(12)), 2, 2, 6))) == bytes(16)
