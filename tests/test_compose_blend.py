"""The two-image blend that keeps the first alpha (integer and float paths,
against Python models of each), and the rectangle update."""
import random
import re

import numpy as np
import pytest

from conftest import E_INVALIDARG, E_OUTOFMEMORY, E_POINTER, S_OK, addr32, hx, line, make_utility

UPDATE = "PyQelBufferUtility::UpdateImageBuffer"
BYTE, CHUNK, PLANAR = 0, 1, 2
F = np.float32


def has_sse41():
    try:
        with open("/proc/cpuinfo") as f:
            return " sse4_1" in f.read()
    except OSError:
        return False


def ratio(r):
    r = F(r)
    return F(0) if not r > 0 else min(r, F(1))


def blend_int(first, second, r):
    """Weights r * 255 + 0.5 and (255 - r * 255) + 0.5 in float, truncated; tables S = i * ws, F = i * wf."""
    r = ratio(r)
    scaled = F(r * F(255))
    ws = int(min(max(F(scaled + F(0.5)), F(0)), F(255)))
    wf = int(min(max(F(F(F(255) - scaled) + F(0.5)), F(0)), F(255)))
    out = bytearray(first)
    for i in range(len(first)):
        if i % 4 != 3:
            out[i] = min((second[i] * ws + first[i] * wf) >> 8, 255)
    return bytes(out)


def blend_float(first, second, r):
    """Tables S = min(i * r, 255) and F = min(i * (1 - r), 255) in float; out = trunc(min(S + F, 255))."""
    r = ratio(r)
    idx = np.arange(256, dtype=F)
    s_tab = np.minimum(idx * r, F(255))
    f_tab = np.minimum(idx * F(F(1) - r), F(255))
    out = bytearray(first)
    for i in range(len(first)):
        if i % 4 != 3:
            out[i] = int(min(F(s_tab[second[i]] + f_tab[first[i]]), F(255)))
    return bytes(out)


@pytest.fixture(params=["int", "float"])
def path(request, monkeypatch):
    if request.param == "int":
        if not has_sse41():
            pytest.skip("the integer path needs SSE4.1")
        monkeypatch.delenv("QEL_SSE_LEVEL", raising=False)
    else:
        monkeypatch.setenv("QEL_SSE_LEVEL", "4")
    return blend_int if request.param == "int" else blend_float


@pytest.mark.parametrize("r", [0.0, 0.3, 0.5, 1.0, 0.001, 0.999, 0.73, 2.0, -1.0, float("nan"), float("inf")])
@pytest.mark.parametrize("w, types", [(13, (BYTE, BYTE)), (8, (CHUNK, BYTE)), (7, (PLANAR, BYTE)),
                                      (5, (BYTE, PLANAR)), (6, (PLANAR, PLANAR))])
def test_blend_matches_model(util, zb, make_buf, keep, path, r, w, types):
    rng = random.Random(hash((r, w)) & 0xFFFF)
    h = 6
    first, second = rng.randbytes(w * h * 4), rng.randbytes(w * h * 4)
    a, b = make_buf(first, w, h, 4, types[0]), make_buf(second, w, h, 4, types[1])
    zb.set_attributes(a, 5, 6)
    out = keep(util.BlendIgnoreAlphaChannel(a, b, r))
    assert [zb.info(out)[k] for k in ("width", "height", "bpp", "alloc_type", "refcount", "attribute1")] == \
        [w, h, 4, types[0], 1, 0]
    assert zb.to_bytes(out) == path(first, second, r)
    assert (zb.to_bytes(a), zb.to_bytes(b)) == (first, second)


def test_every_value_pair(util, zb, make_buf, keep, path):
    # All 65536 (first, second) channel pairs at a few ratios, rows of 256 pixels plus a 3-pixel tail.
    vals = np.arange(256, dtype=np.uint8)
    firsts = np.repeat(vals, 256)
    seconds = np.tile(vals, 256)
    w = 259
    for r in (0.5, 0.3, 0.77):
        px = np.zeros((len(firsts) // 256, w, 4), dtype=np.uint8)
        qx = np.zeros_like(px)
        px[:, :256, 0] = firsts.reshape(-1, 256)
        qx[:, :256, 0] = seconds.reshape(-1, 256)
        px[:, 256:, 1] = 255
        qx[:, 256:, 1] = 200
        a, b = make_buf(px.tobytes(), w, px.shape[0], 4), make_buf(qx.tobytes(), w, px.shape[0], 4)
        out = keep(util.BlendIgnoreAlphaChannel(a, b, r))
        assert zb.to_bytes(out) == path(px.tobytes(), qx.tobytes(), r), r


@pytest.mark.parametrize("first, second, r, expected_int, expected_float", [
    ((200, 200, 200, 9), (100, 100, 100, 77), 0.5, (150, 150, 150, 9), (150, 150, 150, 9)),
    ((0, 0, 0, 1), (255, 100, 3, 2), 1.0, (254, 99, 2, 1), (255, 100, 3, 1)),
    ((255, 0, 7, 3), (9, 9, 9, 9), 0.0, (254, 0, 6, 3), (255, 0, 7, 3)),
    ((10, 20, 30, 40), (250, 240, 230, 220), 2.0, (249, 239, 229, 40), (250, 240, 230, 40)),
])
def test_blend_worked_examples(util, zb, make_buf, keep, path, first, second, r, expected_int, expected_float):
    a, b = make_buf(bytes(first), 1, 1, 4), make_buf(bytes(second), 1, 1, 4)
    got = tuple(zb.to_bytes(keep(util.BlendIgnoreAlphaChannel(a, b, r))))
    assert got == (expected_int if path is blend_int else expected_float)


@pytest.mark.parametrize("shapes, why", [
    (((2, 2, 4), (3, 2, 4)), "not allow different size"), (((2, 2, 4), (2, 1, 4)), "not allow different size"),
    (((2, 2, 4), (2, 2, 8)), "not allow different size"), (((2, 2, 3), (2, 2, 3)), "Only allow 4 BPP"),
    (((2, 2, 4), None), None), ((None, (2, 2, 4)), None),
])
def test_blend_refusals(util, make_buf, trace, shapes, why):
    bufs = [None if s is None else make_buf(bytes(s[0] * s[1] * s[2]), *s) for s in shapes]
    assert util.BlendIgnoreAlphaChannel(*bufs, 0.5) is None
    assert trace() == ([line(why)] if why else [])


@pytest.mark.parametrize("fault, hr, last_error", [("allocateImageBuffer", E_OUTOFMEMORY, E_OUTOFMEMORY),
                                                   ("allocateImageBuffer", S_OK, S_OK), ("lock", None, S_OK)])
def test_blend_allocation_and_locks(util, zb, make_buf, keep, trace, fault, hr, last_error):
    a, b = make_buf(bytes((8, 8, 8, 8)) * 6, 3, 2, 4), make_buf(bytes((4, 4, 4, 4)) * 6, 3, 2, 4)
    util.Close()
    if fault == "lock":
        zb.fail_next("lock", 3)  # not examined: the rows are still reached through each buffer's table
    else:
        zb.fail_next(fault, 1, hr=hr)
    out = keep(util.BlendIgnoreAlphaChannel(a, b, 0.5))
    assert util.GetLastErrorHr() == last_error
    if fault == "lock":
        assert zb.to_bytes(out) == bytes((6, 6, 6, 8)) * 6
        assert trace() == [line(" allocateImageBuffer, HR = 0")]
    else:
        assert out is None
        assert trace() == [line(" allocateImageBuffer, HR = " + hx(hr))]


def test_blend_without_allocator(monkeypatch, capfd, tmp_path, make_buf, trace):
    obj = make_utility(monkeypatch, capfd, allocator=str(tmp_path / "none.so"))
    a = make_buf(bytes(16), 2, 2, 4)
    assert obj.BlendIgnoreAlphaChannel(a, a, 0.5) is None
    assert trace() == []


# ---- UpdateImageBuffer ------------------------------------------------------------


def model_update(dst, dw_, dh_, src, sw_, sh_, bpp, drect, srect):
    out = bytearray(dst)
    dx, dy, w, h = drect
    sx, sy = srect[:2]
    for r in range(h):
        for c in range(w):
            if 0 <= dx + c < dw_ and 0 <= dy + r < dh_ and 0 <= sx + c < sw_ and 0 <= sy + r < sh_:
                d, s = ((dy + r) * dw_ + dx + c) * bpp, ((sy + r) * sw_ + sx + c) * bpp
                out[d:d + bpp] = src[s:s + bpp]
    return bytes(out)


@pytest.mark.parametrize("bpp, types", [(4, (BYTE, BYTE)), (1, (CHUNK, BYTE)), (8, (BYTE, CHUNK)), (3, (CHUNK, CHUNK))])
@pytest.mark.parametrize("drect, srect", [
    ((2, 1, 4, 3), (0, 0, 4, 3)), ((0, 0, 9, 7), (0, 0, 9, 7)), ((7, 5, 4, 4), (1, 2, 4, 4)),
    ((-2, -1, 5, 4), (3, 3, 5, 4)), ((1, 1, 6, 2), (-3, 5, 6, 2)), ((20, 0, 3, 3), (0, 0, 3, 3)),
    ((1, 1, -2, 3), (0, 0, -2, 3)), ((2 ** 31 - 1, 0, 5, 5), (0, 0, 5, 5)), ((-2 ** 31, -5, 3, 9), (1, 1, 3, 9)),
])
def test_update_matches_model(util, zb, make_buf, trace, bpp, types, drect, srect):
    rng = random.Random(hash((bpp, drect)) & 0xFFFF)
    dst_data, src_data = rng.randbytes(9 * 7 * bpp), rng.randbytes(8 * 9 * bpp)
    dst, src = make_buf(dst_data, 9, 7, bpp, types[0]), make_buf(src_data, 8, 9, bpp, types[1])
    assert util.UpdateImageBuffer(dst, src, drect, srect) == S_OK
    assert zb.to_bytes(dst) == model_update(dst_data, 9, 7, src_data, 8, 9, bpp, drect, srect)
    assert zb.to_bytes(src) == src_data
    assert trace() == []


@pytest.mark.parametrize("drect, srect", [((1, 1, 5, 4), (3, 2, 5, 4)), ((3, 2, 5, 4), (1, 1, 5, 4)),
                                          ((0, 2, 7, 3), (2, 2, 7, 3)), ((2, 1, 4, 4), (5, 5, 4, 4))])
def test_update_within_one_buffer(util, zb, make_buf, drect, srect):
    data = random.Random(3).randbytes(9 * 8 * 4)
    buf = make_buf(data, 9, 8, 4)
    assert util.UpdateImageBuffer(buf, buf, drect, srect) == S_OK
    assert zb.to_bytes(buf) == model_update(data, 9, 8, data, 9, 8, 4, drect, srect)


@pytest.mark.parametrize("drect, srect, hr, why", [
    ((0, 0, 2, 2), (0, 0, 2, 3), E_INVALIDARG, "[UpdateImageBuffer] size does not match, dst:(2, 2), src:(2, 3)"),
    ((0, 0, 2, 2), (0, 0), E_INVALIDARG, "[UpdateImageBuffer] size does not match, dst:(2, 2), src:(0, 0)"),
    ((0, 0, 2, 2), (0, 0, 2, "2"), E_INVALIDARG, "[UpdateImageBuffer] size does not match, dst:(2, 2), src:(2, 0)"),
    ((0, 0, 2, 2), [0, 0, 2, 2], E_INVALIDARG, "[UpdateImageBuffer] size does not match, dst:(2, 2), src:(0, 0)"),
    (None, None, S_OK, None), ((1, 1, 0, 0), "xy", S_OK, None), ((0, 0, 1.5, 1), (0, 0, 0, 0), S_OK, None),
])
def test_update_rectangles_that_do_not_parse(util, zb, make_buf, trace, drect, srect, hr, why):
    dst, src = make_buf(data := bytes(range(64)), 4, 4, 4), make_buf(b"\xff" * 64, 4, 4, 4)
    assert util.UpdateImageBuffer(dst, src, drect, srect) == hr
    assert (zb.to_bytes(dst), trace()) == (data, [line(why)] if why else [])


@pytest.mark.parametrize("case, hr, why", [
    ("null dst", E_POINTER, f"[Assert]FUNCTION : {UPDATE} , Null Pointer : pDstBuffer"),
    ("null src", E_POINTER, f"[Assert]FUNCTION : {UPDATE} , Null Pointer : pSrcBuffer"),
    ("bpp", E_INVALIDARG, "[UpdateImageBuffer] bpp does not match, dst:4, src:8"),
    ("dst lock", E_POINTER, f"[{UPDATE}] lock dst buffer failed, {{dst}}"),
    ("src lock", E_POINTER, f"[{UPDATE}] lock src buffer failed, {{src}}"),  # the destination is locked first
    ("planar", E_POINTER, "[UpdateImageBuffer] no stride table, dst:TABLE, src:0"),
])
def test_update_refusals(util, zb, make_buf, trace, case, hr, why):
    dst = make_buf(data := bytes(range(64)), 4, 4, 4)
    src = make_buf(bytes(128 if case == "bpp" else 64), 4, 4, 8 if case == "bpp" else 4,
                   PLANAR if case == "planar" else BYTE)
    if case.endswith("lock"):
        zb.fail_next("lock", 1, skip=int(case == "src lock"))
    args = (None if case == "null dst" else dst, None if case == "null src" else src)
    assert util.UpdateImageBuffer(*args, (0, 0, 2, 2), (0, 0, 2, 2)) == hr
    assert zb.to_bytes(dst) == data
    lines, expected = trace(), re.escape(line(why.format(dst=addr32(dst), src=addr32(src))))
    assert len(lines) == 1 and re.fullmatch(expected.replace("TABLE", "[0-9a-f]+"), lines[0])
