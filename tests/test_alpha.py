"""Alpha removal, reveal and copy; red/blue exchange; BGR bytes to BGRA."""
import random
from array import array

import pytest

from conftest import (E_FAIL, E_INVALIDARG, E_OUTOFMEMORY, E_POINTER, S_FALSE, S_OK, addr32, end, entry, hx, line,
                      make_utility)

REDUCE, REVEAL, APPLY, FROMPY = ("PyQelBufferUtility::" + n for n in (
    "ReduceAlphaChannel", "RevealAlphaChannel", "ApplyAlphaByBuffer", "ConvertBufferFromBGRtoBGRA_FromPyObject"))
BYTE, CHUNK, PLANAR = 0, 1, 2
INFO = ("width", "height", "bpp", "alloc_type", "refcount", "attribute1", "attribute2")


def noise(n, salt):
    return random.Random(salt).randbytes(n)


def channels(data, bpp):
    vals, n = (array("H", data), bpp // 2) if bpp in (6, 8) else (data, bpp)
    return [tuple(vals[i:i + n]) for i in range(0, len(vals), n)]


def pack(pixels, bpp):
    return array("H" if bpp in (6, 8) else "B", [v for p in pixels for v in p]).tobytes()


@pytest.mark.parametrize("method, bpp, pixels, expected", [
    ("ReduceAlphaChannel", 4, [(10, 20, 30, 40)], bytes((10, 20, 30))),
    *[("RevealAlphaChannel", b, [(7, 8, 9, a) for a in (0, 1, t - 1, t)], pack([(7, 8, 9, a) for a in (0, t, t, t)], b))
      for b, t in ((4, 0xFF), (8, 0xFFFF))],
    ("SwapRBChannel", 4, [(1, 2, 3, 4)], bytes((3, 2, 1, 4))),
    ("SwapRBChannel", 8, [(0x1234, 0x5678, 0x9ABC, 0xDEF0)], pack([(0x9ABC, 0x5678, 0x1234, 0xDEF0)], 8)),
])
def test_worked_examples(util, zb, make_buf, keep, method, bpp, pixels, expected):
    buf = make_buf(pack(pixels, bpp), len(pixels), 1, bpp)
    assert zb.to_bytes(buf if (r := getattr(util, method)(buf)) == S_OK else keep(r)) == expected


@pytest.mark.parametrize("alloc_type, fail_lock", [(BYTE, False), (CHUNK, False), (CHUNK, True)])
@pytest.mark.parametrize("bpp, new_bpp", [(4, 3), (8, 6), (3, 3), (6, 6)])
def test_reduce(util, zb, make_buf, keep, trace, alloc_type, fail_lock, bpp, new_bpp):
    # A source without alpha comes back itself with one more reference.
    w, h, same = 23, 9, bpp == new_bpp
    data = noise(w * h * bpp, salt=bpp)
    src = make_buf(data, w, h, bpp, alloc_type)
    zb.set_attributes(src, 0xABCDEF, 1 << 63)
    live = zb.live_buffers()
    zb.fail_next("lock", 2 if fail_lock else 0)  # the lock results are not examined
    out = keep(util.ReduceAlphaChannel(src))
    zb.clear_faults()
    assert (int(out) == int(src), zb.live_buffers()) == (same, live + (not same))
    assert [zb.info(out)[k] for k in INFO] == [w, h, new_bpp, alloc_type, 1 + same, 0xABCDEF, 1 << 63]
    assert (zb.to_bytes(out), zb.to_bytes(src)) == (pack([p[:3] for p in channels(data, bpp)], new_bpp), data)
    assert trace() == [entry(REDUCE), end(REDUCE)]


@pytest.mark.parametrize("bpp, alloc_type, count, fault, why", [
    (4, PLANAR, 0, 0, ["Planar buffer does not have alpha channel"]), (1, BYTE, 0, 0, ["unsupported BPP 1"]),
    (2, CHUNK, 0, 0, ["unsupported BPP 2"]), (4, BYTE, 1, E_OUTOFMEMORY, []), (8, CHUNK, 1, S_OK, []),
])
def test_reduce_refusals(util, zb, make_buf, trace, bpp, alloc_type, count, fault, why):
    src = make_buf(bytes(2 * 2 * bpp), 2, 2, bpp, alloc_type)
    util.Close()
    zb.fail_next("allocateImageBuffer", count, hr=fault)
    live = zb.live_buffers()
    assert util.ReduceAlphaChannel(src) is None
    assert (zb.live_buffers(), util.GetLastErrorHr()) == (live, S_OK)
    assert trace() == [entry(REDUCE)] + [line(t) for t in why]


def test_null_buffers_and_no_allocator(util, monkeypatch, capfd, tmp_path, make_buf, trace):
    buf, other = make_buf(bytes((1, 2, 3, 4)), 1, 1, 4), make_buf(bytes((5, 6, 7, 8)), 1, 1, 4)
    null = f"[Assert]FUNCTION : {REVEAL} , Null Pointer : "
    assert [util.ReduceAlphaChannel(None), util.RevealAlphaChannel(None), util.SwapRBChannel(None)] == \
        [None, E_POINTER, E_FAIL]
    assert [util.ApplyAlphaByBuffer(*a) for a in ((None, buf), (buf, None), (None, None))] == [E_FAIL] * 3
    assert trace() == [entry(REDUCE), line(null + "pSrcImageBuffer")] + [entry(APPLY)] * 3
    obj = make_utility(monkeypatch, capfd, allocator=str(tmp_path / "none.so"))
    obj.Close()
    assert (obj.ReduceAlphaChannel(buf), obj.RevealAlphaChannel(buf), obj.ApplyAlphaByBuffer(buf, other),
            obj.ConvertBufferFromBGRtoBGRA_FromPyObject(bytes(12), 2, 2, 6), obj.GetLastErrorHr()) == \
        (None, E_POINTER, E_FAIL, None, E_FAIL)
    assert trace() == [entry(REDUCE), line(null + "m_pBufferAllocator"), entry(APPLY), entry(FROMPY),
                       line(" W(2), H(2), Size(12)"), line(" allocateImageBuffer, HR = " + hx(E_FAIL))]
    obj.Close()


@pytest.mark.parametrize("alloc_type, fail_lock", [(BYTE, False), (CHUNK, False), (PLANAR, False), (CHUNK, True)])
@pytest.mark.parametrize("method, bpp", [("RevealAlphaChannel", 4), ("RevealAlphaChannel", 8),
                                         *[("SwapRBChannel", b) for b in (3, 4, 6, 8)]])
def test_in_place(util, zb, make_buf, trace, alloc_type, fail_lock, method, bpp):
    # The last channel is often 0, 1, the top-but-one or the top value.
    rng, top, n = random.Random(bpp + alloc_type), (0xFFFF if bpp in (6, 8) else 0xFF), (3 if bpp in (3, 6) else 4)
    edges = [0, 1, top - 1, top]
    pixels = [(*rng.choices(range(top + 1), k=n - 1), rng.choice(edges + [rng.randrange(top)])) for _ in range(171)]
    model = {"RevealAlphaChannel": lambda p: p[:3] + (top if p[3] else 0,),
             "SwapRBChannel": lambda p: (p[2], p[1], p[0]) + p[3:]}[method]
    data = pack(pixels, bpp)
    buf = make_buf(data, 19, 9, bpp, alloc_type)  # 171 pixels
    zb.fail_next("lock", int(fail_lock))  # not examined: the failed lock reports a 0 x 0 image
    assert getattr(util, method)(buf) == S_OK
    assert zb.to_bytes(buf) == (data if fail_lock else pack(map(model, pixels), bpp))
    assert trace() == []


@pytest.mark.parametrize("bpp", [1, 2, 3, 6])
def test_formats_without_alpha(util, zb, make_buf, trace, bpp):
    data = noise(5 * 4 * bpp, salt=bpp)
    buf, other = make_buf(data, 5, 4, bpp), make_buf(noise(5 * 4 * bpp, salt=9), 5, 4, bpp)
    assert util.RevealAlphaChannel(buf) == (E_FAIL if bpp == 2 else S_FALSE)
    assert trace() == [line(f"[RevealAlphaChannel]{'Unsupported' if bpp == 2 else 'No alpha channel'} BPP({bpp})")]
    if bpp < 3:
        assert util.SwapRBChannel(buf) == E_FAIL
        assert trace() == [line(f"[SwapRBChannel]Unsupported BPP({bpp})")]
    assert util.ApplyAlphaByBuffer(buf, other) == S_OK
    assert zb.to_bytes(buf) == data


@pytest.mark.parametrize("dst_type, src_type", [(BYTE, BYTE), (CHUNK, BYTE), (BYTE, CHUNK), (PLANAR, BYTE),
                                                (CHUNK, PLANAR), (PLANAR, PLANAR)])
@pytest.mark.parametrize("bpp", [4, 8])
def test_apply_copies_alpha_only(util, zb, make_buf, trace, dst_type, src_type, bpp):
    dst_data, src_data = noise(17 * 9 * bpp, salt=1), noise(17 * 9 * bpp, salt=2)
    dst, src = make_buf(dst_data, 17, 9, bpp, dst_type), make_buf(src_data, 17, 9, bpp, src_type)
    assert util.ApplyAlphaByBuffer(dst, src) == S_OK
    expected = [d[:3] + s[3:] for d, s in zip(channels(dst_data, bpp), channels(src_data, bpp))]
    assert (zb.to_bytes(dst), zb.to_bytes(src)) == (pack(expected, bpp), src_data)
    assert trace() == [entry(APPLY), line(f"Dst:{addr32(dst)} : Src:{addr32(src)}"), end(APPLY)]


@pytest.mark.parametrize("shape, locks_failing, hr, why", [
    (None, 0, S_OK, ["same buffer, nothing to do"]),
    *[(s, 0, E_FAIL, ["not allow different size"]) for s in ((3, 2, 4), (2, 3, 4), (2, 2, 8), (2, 2, 3))],
    # With both locks failing the source's is still the one reported.
    *[((2, 2, 4), n, E_POINTER, ["Dst:{dst} : Src:{src}", f"[{APPLY}] lock src failed, {{src}}"]) for n in (1, 2)],
])
def test_apply_refusals(util, zb, make_buf, trace, shape, locks_failing, hr, why):
    dst = make_buf(data := noise(16, salt=8), 2, 2, 4)
    src = dst if shape is None else make_buf(bytes(shape[0] * shape[1] * shape[2]), *shape)
    zb.fail_next("lock", locks_failing)
    assert util.ApplyAlphaByBuffer(dst, src) == hr
    zb.clear_faults()
    assert zb.to_bytes(dst) == data
    assert trace() == [entry(APPLY)] + [line(t.format(dst=addr32(dst), src=addr32(src))) for t in why]


@pytest.mark.parametrize("w, h, stride, extra", [(2, 1, 8, 2), (37, 11, 111, 0), (37, 11, 116, 0), (5, 4, 16, 5),
                                                 (3, 3, 0, 0), (2, 1, -8, 0)])
def test_from_bytes(util, zb, keep, trace, w, h, stride, extra):
    size = (h - 1) * stride + 3 * w + extra
    data = bytes(i % 251 + 1 for i in range(size))
    out = keep(util.ConvertBufferFromBGRtoBGRA_FromPyObject(data, w, h, stride))
    # (2, 1, 8, 2) is the worked example: bytes 1..8 give (1, 2, 3, 255), (4, 5, 6, 255).
    assert zb.to_bytes(out) == b"".join(data[y * stride + i:y * stride + i + 3] + b"\xff" for y in range(h)
                                        for i in range(0, 3 * w, 3))
    assert [zb.info(out)[k] for k in INFO[:5]] == [w, h, 4, BYTE, 1]
    assert trace() == [entry(FROMPY), line(f" W({w}), H({h}), Size({size})"), line(" allocateImageBuffer, HR = 0"),
                       end(FROMPY)]


@pytest.mark.parametrize("obj, w, h, stride, size, why", [
    ("abc", 2, 2, 6, 0, []), (bytearray(12), 2, 2, 6, 0, []), (None, 2, 2, 6, 0, []), (12, 2, 2, 6, 0, []),
    (bytes(11), 2, 2, 6, 11, ["12 bytes needed, Size(11)"]), (bytes(21), 2, 3, 8, 21, ["22 bytes needed, Size(21)"]),
    (bytes(11), 4, 1, 0, 11, ["12 bytes needed, Size(11)"]), (bytes(12), 2, 2, -6, 12, ["negative stride -6"]),
])
def test_from_bytes_refusals(util, zb, trace, obj, w, h, stride, size, why):
    live = zb.live_buffers()
    zb.fail_next("allocateImageBuffer")
    # A Python error left pending by a failed read would surface here as SystemError.
    assert util.ConvertBufferFromBGRtoBGRA_FromPyObject(obj, w, h, stride) is None
    assert zb.live_buffers() == live
    assert trace() == [entry(FROMPY), line(f" W({w}), H({h}), Size({size})"), *[line(f"[{FROMPY}] {t}") for t in why]]
    assert util.GetEmptyBuffer(1, 1, 1) is None  # the armed allocation failure was not used up


def test_from_bytes_allocation_failures(util, zb, keep, trace):
    # A success without a buffer leaves the last-error code alone; the allocator refuses a zero width itself.
    util.Close()
    for count, fault, w, hr in ((1, E_OUTOFMEMORY, 2, E_OUTOFMEMORY), (1, S_OK, 2, S_OK), (0, 0, 0, E_INVALIDARG)):
        zb.fail_next("allocateImageBuffer", count, hr=fault)
        assert util.ConvertBufferFromBGRtoBGRA_FromPyObject(bytes(12), w, 2, 6) is None
        assert trace() == [entry(FROMPY), line(f" W({w}), H(2), Size(12)"),
                           line(f" allocateImageBuffer, HR = {hx(hr)}")]
        assert util.GetLastErrorHr() == (hr or E_OUTOFMEMORY)
    util.Close()
    zb.fail_next("lock_no_data")  # the lock yields no pointer: nothing is written
    assert zb.to_bytes(keep(util.ConvertBufferFromBGRtoBGRA_FromPyObject(bytes(range(12)), 2, 2, 6))) == bytes(16)
