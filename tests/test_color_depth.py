"""ConvertImageBufferColorDepth and ConvertImageBufferToMask against Python models of each formula."""
import random
from array import array

import pytest

from conftest import E_INVALIDARG, E_OUTOFMEMORY, addr32, end, entry, hx, line, make_utility

DEPTH, MASK = "ConvertImageBufferColorDepth", "ConvertImageBufferToMask"
METHODS = [(DEPTH, "PyQelBufferUtility::" + DEPTH), (MASK, "PyQelBufferUtility::" + MASK)]
BYTE, CHUNK, PLANAR = 0, 1, 2
ALLOC_OK = line(" allocateImageBuffer, HR = 0")
INFO = ("width", "height", "bpp", "alloc_type", "refcount", "attribute1", "attribute2")


def u16(values):
    return array("H", values).tobytes()


def grey(v):
    return [(v[i] + v[i + 1] + v[i + 2]) // 3 for i in range(0, len(v), 4)]


REF = {
    (DEPTH, 8, 4): lambda d: bytes(w >> 8 for w in array("H", d)),
    (DEPTH, 8, 1): lambda d: bytes(g >> 8 for g in grey(array("H", d))),
    (DEPTH, 4, 8): lambda d: u16(b * 257 for b in d),
    (DEPTH, 4, 1): lambda d: bytes(grey(d)),
    (DEPTH, 1, 4): lambda d: b"".join(bytes((0, 0, 0, m)) for m in d),
    (DEPTH, 1, 2): lambda d: u16(m * 16 for m in d),
    (MASK, 4, 1): lambda d: d[3::4],
}


def noise(n, salt):
    return random.Random(salt).randbytes(n)


@pytest.mark.parametrize("alloc_type, mapped", [(BYTE, False), (CHUNK, False), (CHUNK, True)])
@pytest.mark.parametrize("method, src_bpp, dst_bpp", list(REF))
def test_formula(util, zb, make_buf, keep, trace, alloc_type, mapped, method, src_bpp, dst_bpp):
    # 67 CHUNK rows span many chunks and every worker claims several; the top-left w x h of a larger source.
    w, h, sw = 131, 67, 136
    data = noise(sw * (h + 2) * src_bpp, salt=src_bpp * 10 + dst_bpp)
    src = make_buf(data, sw, h + 2, src_bpp, alloc_type, mapped)
    zb.set_attributes(src, 0x1122334455667788, 0xFFFFFFFFFFFFFFFF)
    out = keep(getattr(util, method)(src, w, h, src_bpp, dst_bpp))
    assert [zb.info(out)[k] for k in INFO] == [w, h, dst_bpp, alloc_type, 1, 0x1122334455667788, 0xFFFFFFFFFFFFFFFF]
    rows = b"".join(data[y * sw * src_bpp:(y * sw + w) * src_bpp] for y in range(h))
    assert zb.to_bytes(out) == REF[method, src_bpp, dst_bpp](rows)
    assert zb.to_bytes(src) == data
    name = "PyQelBufferUtility::" + method
    assert trace() == [entry(name), ALLOC_OK, end(name)]


@pytest.mark.parametrize("method, src_bpp, dst_bpp, pixels, expected", [
    (DEPTH, 8, 4, u16([0x1234, 0xFFFF, 0x0000, 0x8000]), bytes((0x12, 0xFF, 0x00, 0x80))),
    (DEPTH, 4, 8, bytes((0x00, 0x80, 0xFF, 0x80)), u16([0x0000, 0x8080, 0xFFFF, 0x8080])),
    (DEPTH, 4, 1, bytes((1, 1, 2, 0, 1, 1, 2, 255, 255, 255, 255, 7)), bytes((1, 1, 255))),
    (DEPTH, 8, 1, u16([0xFFFF] * 3 + [0] + [0x8000] * 3 + [0xFFFF] + [0xFF, 0xFF, 0x100, 0]),
     bytes((0xFF, 0x80, 0x00))),
    (DEPTH, 1, 2, bytes((0xFF,)), u16([0x0FF0])),
    (DEPTH, 1, 4, bytes((0xFF,)), bytes((0, 0, 0, 0xFF))),
    (MASK, 4, 1, bytes((0, 0, 0, 0x37, 255, 255, 255, 0x37, 9, 200, 77, 0x37)), bytes((0x37,) * 3)),
])
def test_worked_examples(util, zb, make_buf, keep, method, src_bpp, dst_bpp, pixels, expected):
    w = len(pixels) // src_bpp
    out = keep(getattr(util, method)(make_buf(pixels, w, 1, src_bpp), w, 1, src_bpp, dst_bpp))
    assert zb.to_bytes(out) == expected


@pytest.mark.parametrize("method, src_bpp, dst_bpp, alloc_type", [
    (MASK, 8, 1, BYTE), (MASK, 4, 2, BYTE), (DEPTH, 8, 2, BYTE), (DEPTH, 4, 2, BYTE), (DEPTH, 1, 8, BYTE),
    (DEPTH, 3, 4, BYTE),
    *[(m, b, b, t) for m in (DEPTH, MASK) for b, t in ((4, BYTE), (8, CHUNK), (1, BYTE), (3, CHUNK))],
])
def test_pairs_without_formula(util, zb, make_buf, keep, trace, method, src_bpp, dst_bpp, alloc_type):
    # Equal formats copy the source; any other pair clears the new pixels.
    w, h = 11, 6
    data = noise(w * h * src_bpp, salt=src_bpp)
    src = make_buf(data, w, h, src_bpp, alloc_type)
    zb.set_attributes(src, 1, 2)
    out = keep(getattr(util, method)(src, w, h, src_bpp, dst_bpp))
    assert [zb.info(out)[k] for k in ("bpp", "alloc_type", "attribute1", "attribute2")] == [dst_bpp, alloc_type, 1, 2]
    same, name = src_bpp == dst_bpp, "PyQelBufferUtility::" + method
    assert zb.to_bytes(out) == (data if same else bytes(w * h * dst_bpp))
    assert trace() == [entry(name), ALLOC_OK, *[line("Undefined BPP to be converted!!")] * (not same), end(name)]


@pytest.mark.parametrize("method, w, h, src_bpp, dst_bpp, alloc_type", [
    *[(m, 11, 4, 4, d, BYTE) for m, d in ((DEPTH, 8), (MASK, 1))],   # one column too many
    *[(m, 10, 5, 4, d, BYTE) for m, d in ((DEPTH, 8), (MASK, 1))],   # one row too many
    (DEPTH, 10, 4, 8, 4, BYTE),                                      # 8-byte reads of 4-byte rows
    *[(m, 4, 2, 4, 1, t) for m in (DEPTH, MASK) for t in (PLANAR, None)]])
def test_refused_before_allocating(util, zb, make_buf, trace, method, w, h, src_bpp, dst_bpp, alloc_type):
    name = "PyQelBufferUtility::" + method
    src = None if alloc_type is None else make_buf(noise(10 * 4 * 4, salt=1), 10, 4, 4, alloc_type)
    zb.fail_next("allocateImageBuffer")
    assert getattr(util, method)(src, w, h, src_bpp, dst_bpp) is None
    why = {None: [], PLANAR: ["Planar buffer does not support color depth transformation"]}.get(
        alloc_type, [f"[{name}] W({w}), H({h}), BPP({src_bpp}) do not fit the source W(10), H(4), BPP(4)"])
    assert trace() == [entry(name)] + [line(t) for t in why]
    assert util.GetEmptyBuffer(1, 1, 1) is None  # the armed allocation failure was not used up


@pytest.mark.parametrize("method", [DEPTH, MASK])
def test_reads_that_fit_are_not_refused(util, zb, make_buf, keep, method):
    data = noise(3 * 2 * 4, salt=9)
    src = make_buf(data, 3, 2, 4)
    # Equal formats read nothing beyond the source: the overlap is copied, the rest stays zero.
    out = zb.to_bytes(keep(getattr(util, method)(src, 4, 3, 4, 4)))
    assert out == b"".join(data[r * 12:r * 12 + 12] + bytes(4) for r in range(2)) + bytes(16)
    # A mask taken as 1-byte pixels reads within the rows: its bytes are placed in the alpha channel.
    if method == DEPTH:
        out = zb.to_bytes(keep(util.ConvertImageBufferColorDepth(src, 12, 2, 1, 4)))
        assert out == b"".join(bytes([0, 0, 0, v]) for v in data)


@pytest.mark.parametrize("method, name", METHODS)
def test_failure_paths(util, zb, monkeypatch, capfd, tmp_path, make_buf, keep, trace, method, name):
    src = make_buf(data := noise(5 * 3 * 4, salt=6), 5, 3, 4, CHUNK)
    # A success without a buffer leaves the last-error code alone; the allocator refuses a zero height itself.
    util.Close()
    for count, fault, h, hr in ((1, E_OUTOFMEMORY, 2, E_OUTOFMEMORY), (1, 0, 2, 0), (0, 0, 0, E_INVALIDARG)):
        zb.fail_next("allocateImageBuffer", count, hr=fault)
        assert getattr(util, method)(src, 5, h, 4, 1) is None
        assert trace() == [entry(name), line(" allocateImageBuffer, HR = " + hx(hr))]
        assert util.GetLastErrorHr() == (hr or E_OUTOFMEMORY)
    util.Close()
    # A failed source lock: the colour-depth conversion gives up and releases its new buffer, the mask extraction
    # reads the rows regardless.
    live = zb.live_buffers()
    zb.fail_next("lock")
    out = keep(getattr(util, method)(src, 5, 3, 4, 1))
    assert (out and zb.to_bytes(out), zb.live_buffers()) == \
        ((None, live) if method == DEPTH else (data[3::4], live + 1))
    why = line(f"[{name}] lock source failed, {addr32(src)}") if method == DEPTH else end(name)
    assert trace() == [entry(name), ALLOC_OK, why]
    # Without an allocator only the entry line is written.
    obj = make_utility(monkeypatch, capfd, allocator=str(tmp_path / "none.so"))
    assert getattr(obj, method)(src, 5, 3, 4, 1) is None
    assert trace() == [entry(name)]
