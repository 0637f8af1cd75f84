"""ConvertImageBufferColorDepth and ConvertImageBufferToMask against Python models of each formula."""
import random
from array import array

import pytest

from conftest import E_INVALIDARG, E_OUTOFMEMORY, addr32, end, entry, hx, line, make_utility

DEPTH, MASK = "ConvertImageBufferColorDepth", "ConvertImageBufferToMask"
BYTE, CHUNK, PLANAR = 0, 1, 2
ALLOC_OK = line(" allocateImageBuffer, HR = 0")
INFO = ("width", "height", "bpp", "alloc_type", "refcount", "attribute1", "attribute2")


def u16(values):
    return array("H", values).tobytes()


def grey(v):
    return [(v[i] + v[i + 1] + v[i + 2]) // 3 for i in range(0, len(v), 4)]


# (method, source and new bytes per pixel): model of the formula, a worked example and its result
FORMULAS = {
    (DEPTH, 8, 4): (lambda d: bytes(w >> 8 for w in array("H", d)),
                    u16([0x1234, 0xFFFF, 0x0000, 0x8000]), bytes((0x12, 0xFF, 0x00, 0x80))),
    (DEPTH, 8, 1): (lambda d: bytes(g >> 8 for g in grey(array("H", d))),
                    u16([0xFFFF] * 3 + [0] + [0x8000] * 3 + [0xFFFF] + [0xFF, 0xFF, 0x100, 0]), bytes((0xFF, 0x80, 0))),
    (DEPTH, 4, 8): (lambda d: u16(b * 257 for b in d), bytes((0, 0x80, 0xFF, 0x80)), u16([0, 0x8080, 0xFFFF, 0x8080])),
    (DEPTH, 4, 1): (lambda d: bytes(grey(d)), bytes((1, 1, 2, 0, 1, 1, 2, 255, 255, 255, 255, 7)), bytes((1, 1, 255))),
    (DEPTH, 1, 4): (lambda d: b"".join(bytes((0, 0, 0, m)) for m in d), bytes((0xFF,)), bytes((0, 0, 0, 0xFF))),
    (DEPTH, 1, 2): (lambda d: u16(m * 16 for m in d), bytes((0xFF,)), u16([0x0FF0])),
    (MASK, 4, 1): (lambda d: d[3::4], bytes((0, 0, 0, 0x37, 255, 255, 255, 0x37, 9, 200, 77, 0x37)), bytes([0x37] * 3)),
}


@pytest.mark.parametrize("alloc_type, mapped", [(BYTE, False), (CHUNK, False), (CHUNK, True)])
@pytest.mark.parametrize("method, src_bpp, dst_bpp", list(FORMULAS))
def test_formula(util, zb, make_buf, keep, trace, alloc_type, mapped, method, src_bpp, dst_bpp):
    # The top-left w x h of a larger 8-BPP source with the same row bytes (reads are checked in bytes, not pixels),
    # row 0 starting with the worked example; 67 CHUNK rows span many chunks and every worker claims several.
    model, example, expected = FORMULAS[method, src_bpp, dst_bpp]
    w, h, sw, name = 131, 67, 136, "PyQelBufferUtility::" + method
    data = bytearray(random.Random(src_bpp * 10 + dst_bpp).randbytes(sw * (h + 2) * src_bpp))
    data[:len(example)] = example
    src = make_buf(data, sw * src_bpp // 8, h + 2, 8, alloc_type, mapped)
    zb.set_attributes(src, 0x1122334455667788, 0xFFFFFFFFFFFFFFFF)
    out = keep(getattr(util, method)(src, w, h, src_bpp, dst_bpp))
    assert [zb.info(out)[k] for k in INFO] == [w, h, dst_bpp, alloc_type, 1, 0x1122334455667788, 0xFFFFFFFFFFFFFFFF]
    rows = b"".join(data[y * sw * src_bpp:(y * sw + w) * src_bpp] for y in range(h))
    assert (zb.to_bytes(out), zb.to_bytes(src), model(example)) == (model(rows), data, expected)
    assert trace() == [entry(name), ALLOC_OK, end(name)]


@pytest.mark.parametrize("method, src_bpp, dst_bpp, alloc_type", [
    (MASK, 8, 1, BYTE), (MASK, 4, 2, CHUNK), (DEPTH, 8, 2, BYTE), (DEPTH, 4, 2, CHUNK), (DEPTH, 1, 8, BYTE),
    (DEPTH, 3, 4, CHUNK), *[(m, b, b, t) for m in (DEPTH, MASK) for b, t in ((4, BYTE), (8, CHUNK))]])
def test_pairs_without_formula(util, zb, make_buf, keep, trace, method, src_bpp, dst_bpp, alloc_type):
    # A row and a column more than the source: equal formats copy what it holds, other pairs clear the new pixels.
    w, h, same, name = 11, 6, src_bpp == dst_bpp, "PyQelBufferUtility::" + method
    src = make_buf(data := random.Random(src_bpp).randbytes(w * h * src_bpp), w, h, src_bpp, alloc_type)
    zb.set_attributes(src, 1, 2)
    out = keep(getattr(util, method)(src, w + 1, h + 1, src_bpp, dst_bpp))
    assert [zb.info(out)[k] for k in ("bpp", "alloc_type", "attribute1", "attribute2")] == [dst_bpp, alloc_type, 1, 2]
    copied = b"".join(data[y * w * src_bpp:(y + 1) * w * src_bpp] + bytes(src_bpp) for y in range(h))
    assert zb.to_bytes(out) == (copied + bytes((w + 1) * src_bpp) if same else bytes((w + 1) * (h + 1) * dst_bpp))
    assert trace() == [entry(name), ALLOC_OK, *[line("Undefined BPP to be converted!!")] * (not same), end(name)]


@pytest.mark.parametrize("method, w, h, src_bpp, dst_bpp, alloc_type", [
    (DEPTH, 11, 4, 4, 8, BYTE), (MASK, 10, 5, 4, 1, BYTE), (DEPTH, 10, 4, 8, 4, BYTE),  # a column, row, byte too many
    *[(m, 4, 2, 4, 1, t) for m in (DEPTH, MASK) for t in (PLANAR, None)]])
def test_refused_before_allocating(util, make_buf, trace, method, w, h, src_bpp, dst_bpp, alloc_type):
    name = "PyQelBufferUtility::" + method
    src = None if alloc_type is None else make_buf(bytes(10 * 4 * 4), 10, 4, 4, alloc_type)
    assert getattr(util, method)(src, w, h, src_bpp, dst_bpp) is None
    why = {None: [], PLANAR: ["Planar buffer does not support color depth transformation"]}.get(
        alloc_type, [f"[{name}] W({w}), H({h}), BPP({src_bpp}) do not fit the source W(10), H(4), BPP(4)"])
    assert trace() == [entry(name)] + [line(t) for t in why]  # no allocation line: nothing was asked for


@pytest.mark.parametrize("method", [DEPTH, MASK])
def test_failure_paths(util, zb, monkeypatch, capfd, tmp_path, make_buf, keep, trace, method):
    name, src = "PyQelBufferUtility::" + method, make_buf(data := random.Random(6).randbytes(60), 5, 3, 4, CHUNK)
    # A success without a buffer leaves the last-error code alone; the allocator refuses a zero height itself.
    util.Close()
    for count, fault, h, hr in ((1, E_OUTOFMEMORY, 2, E_OUTOFMEMORY), (1, 0, 2, 0), (0, 0, 0, E_INVALIDARG)):
        zb.fail_next("allocateImageBuffer", count, hr=fault)
        assert getattr(util, method)(src, 5, h, 4, 1) is None
        assert trace() == [entry(name), line(" allocateImageBuffer, HR = " + hx(hr))]
        assert util.GetLastErrorHr() == (hr or E_OUTOFMEMORY)
    util.Close()
    # A failed source lock: the colour-depth conversion releases its new buffer, the mask extraction reads regardless.
    zb.fail_next("lock")
    out = keep(getattr(util, method)(src, 5, 3, 4, 1))
    assert (out and zb.to_bytes(out)) == (None if method == DEPTH else data[3::4])
    why = line(f"[{name}] lock source failed, {addr32(src)}") if method == DEPTH else end(name)
    assert trace() == [entry(name), ALLOC_OK, why]
    # Without an allocator only the entry line is written.
    obj = make_utility(monkeypatch, capfd, allocator=str(tmp_path / "none.so"))
    assert getattr(obj, method)(src, 5, 3, 4, 1) is None
    assert trace() == [entry(name)]
