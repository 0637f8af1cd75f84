"""MaskOperation, MaskValueMapping and SetTransparentAreaRGBByBuffer against Python models of each rule."""
import math
import random

import pytest

from conftest import E_FAIL, E_INVALIDARG, E_POINTER, S_OK, end, entry, line, make_utility
from test_depth import gil_released_during

BYTE, CHUNK, PLANAR = 0, 1, 2
W, H = 67, 9  # a 64-byte vector body plus a tail per row; three chunks of rows
OP, MAP, TRANSPARENT = (f"PyQelBufferUtility::{n}" for n in
                        ("MaskOperation", "MaskValueMapping", "SetTransparentAreaRGBByBuffer"))


def grey(rng, n):  # plenty of the extremes and of single bits
    return bytes(rng.choice((0, 255, 1 << rng.randrange(8), rng.randrange(256))) for _ in range(n))


def ref_operation(dst, ref, op):
    return bytes({1: d & r, 2: d & ~r & 0xFF}.get(op, d) for d, r in zip(dst, ref))


def ref_item(v):
    if isinstance(v, int):
        return min(max(v, 0), 255)
    return 0 if math.isnan(v) or v < 0 else int(min(v, 255.0))


# ---- MaskOperation -------------------------------------------------------------

@pytest.mark.parametrize("dst_value, ref_value, op, expected", [
    (255, 0, 1, 0), (255, 255, 2, 0), (255, 0, 2, 255), (200, 100, 1, 64), (128, 127, 1, 0), (200, 100, 3, 200),
])
def test_operation_worked_examples(util, zb, make_buf, trace, dst_value, ref_value, op, expected):
    dst, ref = make_buf(bytes([dst_value] * 6), 3, 2, 1), make_buf(bytes([ref_value] * 6), 3, 2, 1)
    assert (util.MaskOperation(dst, ref, op), zb.to_bytes(dst), zb.to_bytes(ref)) == \
        (S_OK, bytes([expected] * 6), bytes([ref_value] * 6))
    assert trace() == [entry(OP), end(OP)]


@pytest.mark.parametrize("dst_type, ref_type", [(BYTE, BYTE), (CHUNK, BYTE), (BYTE, CHUNK), (CHUNK, CHUNK)])
@pytest.mark.parametrize("op", [1, 2, 0, 3, -1])
def test_operation_matches_model(util, zb, make_buf, trace, dst_type, ref_type, op):
    rng = random.Random(op * 10 + dst_type * 2 + ref_type)
    dst_data, ref_data = grey(rng, W * H), grey(rng, W * H)
    dst, ref = make_buf(dst_data, W, H, 1, dst_type), make_buf(ref_data, W, H, 1, ref_type)
    assert util.MaskOperation(dst, ref, op) == S_OK
    assert (zb.to_bytes(dst), zb.to_bytes(ref)) == (ref_operation(dst_data, ref_data, op), ref_data)
    assert trace() == [entry(OP), end(OP)]


@pytest.mark.parametrize("op, expected", [(1, "same"), (2, "zero")])
def test_operation_with_itself(util, zb, make_buf, op, expected):
    buf = make_buf(data := grey(random.Random(5), W * H), W, H, 1, CHUNK)
    assert util.MaskOperation(buf, buf, op) == S_OK
    assert zb.to_bytes(buf) == (data if expected == "same" else bytes(W * H))


@pytest.mark.parametrize("dst_shape, ref_shape, faults, hr", [
    (None, (3, 2, 1), (), E_FAIL), ((3, 2, 1), None, (), E_FAIL),
    ((3, 2, 1), (2, 2, 1), (), E_FAIL), ((3, 2, 1), (3, 3, 1), (), E_FAIL),
    ((3, 2, 4), (3, 2, 4), (), E_FAIL), ((3, 2, 1), (3, 2, 2), (), E_FAIL),  # masks only, not images
    ((3, 2, 1), (3, 2, 1), (("lock", 0),), E_POINTER), ((3, 2, 1), (3, 2, 1), (("lock", 1),), E_POINTER),
    ((3, 2, 1), (3, 2, 1), (("lock_no_data", 0),), E_POINTER),
    ((3, 2, 1), (3, 2, 1), (("lock_no_data", 1),), E_POINTER),
])
def test_operation_refusals(util, zb, make_buf, trace, dst_shape, ref_shape, faults, hr):
    rng = random.Random(3)
    bufs = [None if s is None else make_buf(grey(rng, s[0] * s[1] * s[2]), *s) for s in (dst_shape, ref_shape)]
    before = [b and zb.to_bytes(b) for b in bufs]
    for op, skip in faults:
        zb.fail_next(op, skip=skip)
    assert util.MaskOperation(*bufs, 1) == hr
    assert [b and zb.to_bytes(b) for b in bufs] == before
    assert trace() == [entry(OP)]


# ---- MaskValueMapping ------------------------------------------------------------

def random_map(rng):
    pool = [0, 255, 256, -1, -5, 300, 2**31, -2**31, 2**70, -2**70, 12.9, 0.0, -0.0, -0.5, 254.999, 255.5, 1e300,
            float("inf"), float("-inf"), float("nan")]
    return tuple(rng.choice(pool) if rng.random() < 0.3 else
                 rng.choice((rng.randrange(256), rng.uniform(-10, 270))) for _ in range(256))


@pytest.mark.parametrize("alloc_type", [BYTE, CHUNK])
@pytest.mark.parametrize("sse_level", [None, "0"])  # the permute kernel where the processor has it; the table walk
def test_mapping_matches_model(util, zb, make_buf, trace, monkeypatch, alloc_type, sse_level):
    if sse_level is not None:
        monkeypatch.setenv("QEL_SSE_LEVEL", sse_level)
    rng = random.Random(alloc_type)
    for _ in range(4):
        table = random_map(rng)
        buf = make_buf(data := bytes(rng.randrange(256) for _ in range(W * H)), W, H, 1, alloc_type)
        assert util.MaskValueMapping(buf, table) == S_OK
        assert zb.to_bytes(buf) == bytes(ref_item(table[v]) for v in data)
        assert trace() == [entry(MAP), end(MAP)]


@pytest.mark.parametrize("item, expected", [(300, 255), (-5, 0), (12.9, 12), (255.9, 255), (2**64, 255),
                                            (-2**64, 0), (float("nan"), 0), (float("inf"), 255), (-0.1, 0)])
def test_mapping_worked_examples(util, zb, make_buf, item, expected):
    identity = tuple(range(256))
    buf = make_buf(bytes(range(256)), 16, 16, 1)
    assert util.MaskValueMapping(buf, identity) == S_OK and zb.to_bytes(buf) == bytes(range(256))
    assert util.MaskValueMapping(buf, identity[:10] + (item,) + identity[11:]) == S_OK
    assert zb.to_bytes(buf) == bytes(range(10)) + bytes([expected]) + bytes(range(11, 256))


class _Tuple(tuple):
    pass


class _Int(int):
    pass


REVERSE = tuple(range(255, -1, -1))  # a map that would change every pixel


@pytest.mark.parametrize("shape, table, faults, hr", [
    (None, REVERSE, (), E_INVALIDARG), ((4, 2, 2), REVERSE, (), E_INVALIDARG), ((4, 2, 4), REVERSE, (), E_INVALIDARG),
    *[((4, 2, 1), t, (), E_INVALIDARG) for t in (
        list(range(256)), tuple(range(255)), tuple(range(257)), (), None, _Tuple(range(256)), b"\0" * 256,
        tuple(range(255)) + (True,), (_Int(3),) + tuple(range(255)), tuple(range(128)) + ("1",) + tuple(range(127)),
        tuple(range(255)) + (None,))],
    ((4, 2, 1), REVERSE, ("lock",), E_POINTER), ((4, 2, 1), REVERSE, ("lock_no_data",), E_POINTER),
])
def test_mapping_refusals(util, zb, make_buf, trace, shape, table, faults, hr):
    buf = None if shape is None else make_buf(data := bytes(range(shape[0] * shape[1] * shape[2])), *shape)
    for op in faults:
        zb.fail_next(op)
    assert util.MaskValueMapping(buf, table) == hr
    assert buf is None or zb.to_bytes(buf) == data
    assert trace() == [entry(MAP)]


# ---- SetTransparentAreaRGBByBuffer --------------------------------------------------

def bgra(rng, n):
    return [(rng.randrange(256), rng.randrange(256), rng.randrange(256), rng.choice((0, 0, 1, 255, rng.randrange(256))))
            for _ in range(n)]


def flat(pixels):
    return bytes(v for p in pixels for v in p)


@pytest.mark.parametrize("dst_type, ref_type", [(BYTE, BYTE), (CHUNK, BYTE), (BYTE, CHUNK), (PLANAR, BYTE),
                                                (CHUNK, PLANAR), (PLANAR, PLANAR)])
def test_transparent_matches_model(util, zb, make_buf, trace, dst_type, ref_type):
    rng = random.Random(dst_type * 3 + ref_type)
    dst_px, ref_px = bgra(rng, W * H), bgra(rng, W * H)
    dst, ref = make_buf(flat(dst_px), W, H, 4, dst_type), make_buf(flat(ref_px), W, H, 4, ref_type)
    assert util.SetTransparentAreaRGBByBuffer(dst, ref) == S_OK
    expected = [r[:3] + (0,) if d[3] == 0 else d for d, r in zip(dst_px, ref_px)]
    assert (zb.to_bytes(dst), zb.to_bytes(ref), trace()) == (flat(expected), flat(ref_px), [])


def test_transparent_worked_example_and_itself(util, zb, make_buf):
    dst = make_buf(bytes((9, 9, 9, 0, 9, 9, 9, 1)), 2, 1, 4)
    ref = make_buf(bytes((1, 2, 3, 77, 4, 5, 6, 0)), 2, 1, 4)
    assert util.SetTransparentAreaRGBByBuffer(dst, ref) == S_OK
    assert zb.to_bytes(dst) == bytes((1, 2, 3, 0, 9, 9, 9, 1))
    assert util.SetTransparentAreaRGBByBuffer(dst, dst) == S_OK and zb.to_bytes(dst) == bytes((1, 2, 3, 0, 9, 9, 9, 1))


NULL = f"[Assert]FUNCTION : {TRANSPARENT} , Null Pointer : "


@pytest.mark.parametrize("dst_shape, ref_shape, faults, hr, logged", [
    (None, (2, 2, 4), (), E_POINTER, NULL + "pBuffer"), (None, None, (), E_POINTER, NULL + "pBuffer"),
    ((2, 2, 4), None, (), E_POINTER, NULL + "pRefBuffer"),
    *[(d, r, (), E_INVALIDARG, None) for d, r in (
        ((2, 2, 3), (2, 2, 3)), ((2, 2, 4), (2, 2, 8)), ((2, 2, 8), (2, 2, 8)), ((2, 2, 4), (3, 2, 4)),
        ((2, 2, 4), (2, 1, 4)))],
    *[((2, 2, 4), (2, 2, 4), f, E_POINTER, None) for f in (
        (("lock", 0),), (("lock", 1),), (("lock_no_data", 0),), (("lock_no_data", 1),))],
])
def test_transparent_refusals(util, zb, make_buf, trace, dst_shape, ref_shape, faults, hr, logged):
    rng = random.Random(4)
    bufs = [None if s is None else make_buf(flat(bgra(rng, s[0] * s[1]))[:s[0] * s[1] * s[2]].ljust(
        s[0] * s[1] * s[2], b"\0"), *s) for s in (dst_shape, ref_shape)]
    before = [b and zb.to_bytes(b) for b in bufs]
    for op, skip in faults:
        zb.fail_next(op, skip=skip)
    assert util.SetTransparentAreaRGBByBuffer(*bufs) == hr
    assert [b and zb.to_bytes(b) for b in bufs] == before
    assert trace() == ([line(logged)] if logged else [])


def test_no_allocator(monkeypatch, capfd, tmp_path, zb, make_buf, trace):
    obj = make_utility(monkeypatch, capfd, allocator=str(tmp_path / "none.so"))
    a, b = make_buf(bytes(4), 1, 1, 4), make_buf(bytes(4), 1, 1, 1 * 4)
    assert obj.SetTransparentAreaRGBByBuffer(a, b) == E_POINTER
    assert trace() == [line(NULL + "m_pBufferAllocator")]
    # The two mask edits need no allocator.
    m, r = make_buf(bytes((7, 9)), 2, 1, 1), make_buf(bytes((3, 3)), 2, 1, 1)
    assert (obj.MaskOperation(m, r, 1), obj.MaskValueMapping(m, (1,) * 256), zb.to_bytes(m)) == (S_OK, S_OK, b"\1\1")


def test_interpreter_lock_is_kept(util, zb, keep):
    a = keep(zb.from_bytes(bytes(2048 * 2048), 2048, 2048, 1))
    b = keep(zb.from_bytes(bytes(2048 * 2048), 2048, 2048, 1))
    c = keep(zb.from_bytes(bytes(1024 * 1024 * 4), 1024, 1024, 4))
    d = keep(zb.from_bytes(bytes(1024 * 1024 * 4), 1024, 1024, 4))
    for call in (lambda: util.MaskOperation(a, b, 1), lambda: util.MaskValueMapping(a, tuple(range(256))),
                 lambda: util.SetTransparentAreaRGBByBuffer(c, d)):
        assert gil_released_during(call) is False
