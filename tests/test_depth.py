"""Depth maps: the focus mask, the scaled depth, the depth at a point and under a reference mask."""
import math
import random

import pytest

from conftest import E_OUTOFMEMORY, S_OK, addr32, end, entry, hx, line, make_utility

BYTE, CHUNK = 0, 1
W, H = 67, 9  # a 64-byte vector body plus a tail per row; three chunks of rows
MASK, SCALED, POS, REF = (f"PyQelBufferUtility::{n}" for n in (
    "GetMaskFromDepthBuffer", "m_fnGetScaledDepth", "GetDepthFromDepthBufferByPos",
    "GetDepthFromDepthBufferByRefBuffer"))
ALLOC_FAIL = "[Assert] m_pBufferAllocator->allocateImageBuffer(pMaskBuffer, unWidth, unHeight, nBytesPerPixel) , " \
             "Error! hr={}"


def tc(v):  # truncated toward zero, clamped to a byte
    return 0 if not v > 0 else 255 if v >= 255 else math.trunc(v)


def ref_scaled(raw, lo, hi):
    return lo if hi == lo else tc(raw * 255.0 / (hi - lo) + 0.5)


def ref_table(lo, hi, depth, focus, invert):
    t = [0] * 256
    if hi == lo:
        t[lo] = 255
    else:
        for i in range(hi - lo + 1):
            t[lo + i] = tc(i * 255.0 / (hi - lo) + 0.5)
        t[hi + 1:] = [255] * (255 - hi)
    d = min(max(depth, 0), 255)
    t = [255 - tc(abs(d - v) * 255.0 / max(255 - d, d) + 0.5) for v in t]
    if focus:
        t = [255 - 16 * (255 - v) if 255 - v < 16 else 0 for v in t]
    return [255 - v for v in t] if invert else t


def ref_median(depth, ref):
    chosen = [d for d, r in zip(depth, ref) if r == 255]
    half = len(chosen) // 2
    return next((i for i in range(255) if sum(d <= i for d in chosen) >= half), 255) if chosen else None


def depth_data(rng, kind, n):
    if kind == "constant":
        return bytes([rng.randrange(256)] * n)
    lo = rng.randrange(200) if kind == "narrow" else 0
    hi = lo + rng.randrange(1, 56) if kind == "narrow" else 255
    return bytes(rng.randint(lo, hi) for _ in range(n))


@pytest.mark.parametrize("alloc_type", [BYTE, CHUNK])
@pytest.mark.parametrize("kind", ["full", "narrow", "constant"])
@pytest.mark.parametrize("focus, invert", [(False, False), (False, True), (True, False), (True, True)])
@pytest.mark.parametrize("sse_level", [None, "0"])  # the permute kernel where the processor has it; the table walk
def test_mask_matches_model(util, zb, make_buf, keep, trace, monkeypatch, alloc_type, kind, focus, invert, sse_level):
    if sse_level is not None:
        monkeypatch.setenv("QEL_SSE_LEVEL", sse_level)
    rng = random.Random(f"{alloc_type}{kind}{focus}{invert}")
    buf = make_buf(data := depth_data(rng, kind, W * H), W, H, 1, alloc_type)
    zb.set_attributes(buf, 5, 6)
    for depth in (-5, 0, rng.randrange(256), 128, 255, 300):
        mask = keep(util.GetMaskFromDepthBuffer(buf, depth, focus, invert))
        table = ref_table(min(data), max(data), depth, focus, invert)
        assert zb.to_bytes(mask) == bytes(table[v] for v in data)
        info = zb.info(mask)
        # A new BYTE mask of the depth buffer's size that does not take its attributes.
        assert [info[k] for k in ("width", "height", "bpp", "alloc_type", "attribute1", "attribute2", "refcount")] == \
            [W, H, 1, BYTE, 0, 0, 1]
        assert (zb.to_bytes(buf), trace()) == (data, [entry(MASK), end(MASK)])


def test_mask_defaults(util, zb, make_buf, keep):
    buf = make_buf(depth_data(random.Random(1), "full", W * H), W, H, 1)
    masks = [zb.to_bytes(keep(m)) for m in (
        util.GetMaskFromDepthBuffer(buf, 90), util.GetMaskFromDepthBuffer(buf, 90, False, True),
        util.GetMaskFromDepthBuffer(buf, 90, True), util.GetMaskFromDepthBuffer(buf, 90, True, True))]
    assert masks[0] == masks[1] and masks[2] == masks[3] and masks[0] != masks[2]


@pytest.mark.parametrize("pixels, depth, focus, invert, expected", [
    ((50, 100, 150), 255, False, False, (0, 128, 255)),  # the normalising table alone
    ((0, 128, 255), 128, False, False, (0, 255, 2)), ((0, 128, 255), 128, False, True, (255, 0, 253)),
    ((0, 255), 300, False, False, (0, 255)), ((0, 255), -5, False, False, (255, 0)),
    ((0, 5, 15, 16, 255), 0, True, False, (255, 175, 15, 0, 0)),  # 255, 250, 240, 239, 0 after the distance step
    ((77, 77), 0, False, False, (0, 0)),
])
def test_mask_worked_examples(util, zb, make_buf, keep, pixels, depth, focus, invert, expected):
    buf = make_buf(bytes(pixels), len(pixels), 1, 1)
    assert zb.to_bytes(keep(util.GetMaskFromDepthBuffer(buf, depth, focus, invert))) == bytes(expected)


def test_mask_without_allocator(make_buf, trace, monkeypatch, capfd, tmp_path):
    obj = make_utility(monkeypatch, capfd, allocator=str(tmp_path / "none.so"))
    buf = make_buf(bytes(4), 2, 2, 1)
    assert (obj.GetMaskFromDepthBuffer(buf, 3, True, False), trace()) == (None, [entry(MASK)])
    # The depth queries need no allocator.
    assert obj.m_fnGetScaledDepth(buf, 9) == 0 and obj.GetDepthFromDepthBufferByRefBuffer(buf, buf) == 0


@pytest.mark.parametrize("alloc_type", [BYTE, CHUNK])
@pytest.mark.parametrize("kind", ["full", "narrow", "constant"])
def test_queries_match_model(util, zb, make_buf, trace, alloc_type, kind):
    rng = random.Random(f"{alloc_type}{kind}")
    buf = make_buf(data := depth_data(rng, kind, W * H), W, H, 1, alloc_type)
    lo, hi = min(data), max(data)
    for raw in (-2**31, -1, 0, lo, hi, rng.randrange(256), 255, 256, 2**31 - 1):
        assert (util.m_fnGetScaledDepth(buf, raw), trace()) == (ref_scaled(raw, lo, hi), [entry(SCALED), end(SCALED)])
    for x, y in ((0, 0), (W - 1, H - 1), (rng.randrange(W), rng.randrange(H))):
        assert util.GetDepthFromDepthBufferByPos(buf, x, y) == ref_scaled(data[y * W + x], lo, hi)
        assert trace() == [entry(POS), entry(SCALED), end(SCALED)]
    for chance in (0.0, 0.01, 0.3, 1.0):
        ref = make_buf(sel := bytes(rng.choice((255, 254, 0)) if rng.random() < chance else 0 for _ in range(W * H)),
                       W, H, 1, CHUNK - alloc_type)
        median = ref_median(data, sel)
        expected = ref_scaled(data[(H // 2) * W + W // 2] if median is None else median, lo, hi)
        assert util.GetDepthFromDepthBufferByRefBuffer(buf, ref) == expected
        inner = [entry(POS)] * (median is None) + [entry(SCALED), end(SCALED)]
        assert trace() == [entry(REF)] + inner + [end(REF)]


@pytest.mark.parametrize("pixels, raw, expected", [
    ((100, 200), 50, 128), ((100, 200), -3, 0), ((100, 200), 2**31 - 1, 255), ((100, 200), 1, 3), ((77, 77), 0, 77),
])
def test_scaled_worked_examples(util, make_buf, pixels, raw, expected):
    assert util.m_fnGetScaledDepth(make_buf(bytes(pixels), 2, 1, 1), raw) == expected


@pytest.mark.parametrize("depth, ref, expected_raw", [
    ((30, 90, 200, 10), (0, 255, 0, 0), 0),  # one pixel: half is 0, so depth 0 already reaches it
    ((30, 90, 200, 10), (255, 255, 254, 255), 10),  # 254 is not selected: 10, 30, 90, half 1
    ((30, 90, 200, 10), (0, 254, 0, 0), 200),  # nothing selected: the centre pixel (2, 0)
])
def test_reference_worked_examples(util, make_buf, depth, ref, expected_raw):
    buf = make_buf(bytes(depth), 4, 1, 1)
    ref_buf = make_buf(bytes(ref), 4, 1, 1)
    assert util.GetDepthFromDepthBufferByRefBuffer(buf, ref_buf) == ref_scaled(expected_raw, 10, 200)


def null(name, what):
    return f"[Assert]FUNCTION : {name} , Null Pointer : {what}"


def failed(name, what):
    return f"[{name}] lock {what} failed, {{{what}}}"


UNSUPPORTED = " error: unsupported bytesPerPixel in pDepthBuffer, 2"


# Every refusal leaves the buffers as they were, unlocked, makes nothing that outlives the call, and logs
# only what is listed ({pDepthBuffer}, {pRefBuffer}, {pMaskBuffer}: the buffers' addresses).
@pytest.mark.parametrize("call, fault, result, logged", [
    ("GetMaskFromDepthBuffer(None, 3)", None, None, [entry(MASK)]),
    ("GetMaskFromDepthBuffer(w, 10)", None, None, [entry(MASK), UNSUPPORTED]),
    ("GetMaskFromDepthBuffer(d, 10)", ("allocateImageBuffer", 0, E_OUTOFMEMORY), None,
     [entry(MASK), ALLOC_FAIL.format(hx(E_OUTOFMEMORY)), ""]),
    ("GetMaskFromDepthBuffer(d, 10)", ("allocateImageBuffer", 0, S_OK), None, [entry(MASK)]),  # no buffer, no word
    *[("GetMaskFromDepthBuffer(d, 10)", (f, skip, 0), None, [entry(MASK), failed(MASK, what)])
      for f, skip, what in (("lock", 0, "pDepthBuffer"), ("lock_no_data", 0, "pDepthBuffer"),
                            ("lock", 1, "pMaskBuffer"))],
    ("m_fnGetScaledDepth(None, 4)", None, 0, [entry(SCALED), null(SCALED, "pDepthBuffer")]),
    ("m_fnGetScaledDepth(w, 4)", None, 0, [entry(SCALED), UNSUPPORTED]),
    *[("m_fnGetScaledDepth(d, 7)", (f, 0, 0), 0, [entry(SCALED), failed(SCALED, "pDepthBuffer")])
      for f in ("lock", "lock_no_data")],
    ("GetDepthFromDepthBufferByPos(None, 0, 0)", None, 0, [entry(POS), null(POS, "pDepthBuffer")]),
    ("GetDepthFromDepthBufferByPos(w, 0, 0)", None, 0, [entry(POS), UNSUPPORTED]),
    *[("GetDepthFromDepthBufferByPos(d, {}, {})".format(*p), None, 0,
       [entry(POS), " error: position out of range: {}, {}".format(*p)])
      for p in ((4, 0), (0, 3), (-1, 0), (0, -1), (2**31 - 1, 2**31 - 1))],
    ("GetDepthFromDepthBufferByPos(d, 1, 1)", ("lock", 0, 0), 0, [entry(POS), failed(POS, "pDepthBuffer")]),
    ("GetDepthFromDepthBufferByPos(d, 1, 1)", ("lock", 1, 0), 0,
     [entry(POS), entry(SCALED), failed(SCALED, "pDepthBuffer")]),  # the second lock is the scaling's
    ("GetDepthFromDepthBufferByRefBuffer(None, None)", None, 0, [entry(REF), null(REF, "pDepthBuffer")]),
    ("GetDepthFromDepthBufferByRefBuffer(d, None)", None, 0, [entry(REF), null(REF, "pRefBuffer")]),
    *[(f"GetDepthFromDepthBufferByRefBuffer({a})", None, 0, [entry(REF), " error: unsupported bytesPerPixel"])
      for a in ("w, d", "d, w")],
    ("GetDepthFromDepthBufferByRefBuffer(d, o)", None, 0, [entry(REF), " error: unsupported buffer size"]),
    *[("GetDepthFromDepthBufferByRefBuffer(d, r)", (f, skip, 0), 0, [entry(REF), failed(REF, what)])
      for f, skip, what in (("lock", 0, "pDepthBuffer"), ("lock_no_data", 1, "pRefBuffer"))],
])
def test_refusals(util, zb, make_buf, trace, call, fault, result, logged):
    depth, ref = make_buf(bytes(range(12)), 4, 3, 1), make_buf(bytes([255] * 12), 4, 3, 1)
    other, wide = make_buf(bytes(8), 4, 2, 1), make_buf(bytes(24), 4, 3, 2)
    before, live = [zb.to_bytes(b) for b in (depth, ref)], zb.live_buffers()
    if fault:
        zb.fail_next(fault[0], skip=fault[1], hr=fault[2])
    assert eval("u." + call, dict(u=util, d=depth, r=ref, o=other, w=wide)) == result
    got = trace()
    # A mask made before a failed lock is released; its address is only known from the log.
    mask = got[-1].rsplit(" ", 1)[-1]
    assert got == [t if t == "" or t.startswith(line("")) else
                   line(t.format(pDepthBuffer=addr32(depth), pRefBuffer=addr32(ref), pMaskBuffer=mask)) for t in logged]
    assert ([zb.to_bytes(b) for b in (depth, ref)], zb.live_buffers()) == (before, live)
