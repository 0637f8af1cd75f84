"""MaskOperation, MaskValueMapping and SetTransparentAreaRGBByBuffer against Python models of each rule."""
import math
import random

import pytest

from conftest import E_FAIL, E_INVALIDARG, E_POINTER, S_OK, end, entry, gil_released_during, line, make_utility

BYTE, CHUNK, PLANAR = 0, 1, 2
W, H = 67, 9  # a 64-byte vector body plus a tail per row; three chunks of rows
OP, MAP, TRANSPARENT = (f"PyQelBufferUtility::{n}" for n in
                        ("MaskOperation", "MaskValueMapping", "SetTransparentAreaRGBByBuffer"))
NULL = f"[Assert]FUNCTION : {TRANSPARENT} , Null Pointer : "
REVERSE = tuple(range(255, -1, -1))  # a map that changes every pixel


def grey(rng, n):  # plenty of the extremes and of single bits
    return bytes(rng.choice((0, 255, 1 << rng.randrange(8), rng.randrange(256))) for _ in range(n))


def bgra(rng, n):
    return [(rng.randrange(256), rng.randrange(256), rng.randrange(256), rng.choice((0, 0, 1, 255, rng.randrange(256))))
            for _ in range(n)]


def ref_item(v):
    return min(max(v, 0), 255) if isinstance(v, int) else 0 if math.isnan(v) or v < 0 else int(min(v, 255.0))


@pytest.mark.parametrize("dst_type, ref_type", [(BYTE, BYTE), (CHUNK, BYTE), (BYTE, CHUNK), (CHUNK, CHUNK), (None, None)])
@pytest.mark.parametrize("op", [1, 2, 0, 3, -1])
def test_operation_matches_model(util, zb, make_buf, trace, dst_type, ref_type, op):
    rng = random.Random(f"{op}{dst_type}{ref_type}")
    dst_data, ref_data = grey(rng, W * H), grey(rng, W * H)
    dst = make_buf(dst_data, W, H, 1, dst_type or CHUNK)
    ref = dst if dst_type is None else make_buf(ref_data, W, H, 1, ref_type)  # None: a mask with itself
    ref_data = dst_data if dst_type is None else ref_data
    assert util.MaskOperation(dst, ref, op) == S_OK
    expected = bytes({1: d & r, 2: d & ~r & 0xFF}.get(op, d) for d, r in zip(dst_data, ref_data))
    assert (zb.to_bytes(dst), zb.to_bytes(ref) if dst_type else ref_data, trace()) == \
        (expected, ref_data, [entry(OP), end(OP)])


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
    for table in [tuple(range(256))] + [random_map(rng) for _ in range(4)]:
        buf = make_buf(data := bytes(rng.randrange(256) for _ in range(W * H)), W, H, 1, alloc_type)
        assert util.MaskValueMapping(buf, table) == S_OK
        assert (zb.to_bytes(buf), trace()) == (bytes(ref_item(table[v]) for v in data), [entry(MAP), end(MAP)])


@pytest.mark.parametrize("item, expected", [(300, 255), (-5, 0), (12.9, 12), (2**64, 255), (float("nan"), 0),
                                            (-0.1, 0)])
def test_mapping_worked_examples(util, zb, make_buf, item, expected):
    buf = make_buf(bytes(range(256)), 16, 16, 1)
    assert util.MaskValueMapping(buf, tuple(range(10)) + (item,) + tuple(range(11, 256))) == S_OK
    assert zb.to_bytes(buf) == bytes(range(10)) + bytes([expected]) + bytes(range(11, 256))


@pytest.mark.parametrize("dst_type, ref_type", [(CHUNK, BYTE), (BYTE, CHUNK), (PLANAR, BYTE), (CHUNK, PLANAR),
                                                (PLANAR, PLANAR), (CHUNK, None)])
def test_transparent_matches_model(util, zb, make_buf, trace, dst_type, ref_type):
    rng = random.Random(f"{dst_type}{ref_type}")
    dst_px, ref_px = bgra(rng, W * H), bgra(rng, W * H)
    dst = make_buf(bytes(v for p in dst_px for v in p), W, H, 4, dst_type)
    ref = dst if ref_type is None else make_buf(bytes(v for p in ref_px for v in p), W, H, 4, ref_type)
    ref_px = dst_px if ref_type is None else ref_px  # None: an image with itself
    assert util.SetTransparentAreaRGBByBuffer(dst, ref) == S_OK
    expected = [r[:3] + (0,) if d[3] == 0 else d for d, r in zip(dst_px, ref_px)]
    assert (zb.to_bytes(dst), zb.to_bytes(ref), trace()) == \
        (bytes(v for p in expected for v in p), bytes(v for p in ref_px for v in p), [])


class _Tuple(tuple):
    pass


class _Int(int):
    pass


BAD_MAPS = [list(range(256)), tuple(range(255)), tuple(range(257)), None, _Tuple(REVERSE), b"\0" * 256,
            REVERSE[:255] + (True,), (_Int(3),) + REVERSE[1:], REVERSE[:128] + ("1",) + REVERSE[129:],
            REVERSE[:255] + (None,)]


# Every refusal leaves both buffers as they were, unlocked, and logs only what is listed.
@pytest.mark.parametrize("method, dst, ref, faults, hr, logged", [
    *[("MaskOperation", d, r, (), E_FAIL, [entry(OP)]) for d, r in (
        (None, (3, 2, 1)), ((3, 2, 1), None), ((3, 2, 1), (2, 2, 1)), ((3, 2, 1), (3, 3, 1)),
        ((3, 2, 4), (3, 2, 4)), ((3, 2, 1), (3, 2, 2)))],  # masks only, not images
    *[("MaskOperation", (3, 2, 1), (3, 2, 1), (f,), E_POINTER, [entry(OP)])
      for f in (("lock", 0), ("lock_no_data", 1))],
    *[("MaskValueMapping", d, m, (), E_INVALIDARG, [entry(MAP)])
      for d, m in [(None, REVERSE), ((4, 2, 2), REVERSE), ((4, 2, 4), REVERSE)] + [((4, 2, 1), m) for m in BAD_MAPS]],
    *[("MaskValueMapping", (4, 2, 1), REVERSE, (f,), E_POINTER, [entry(MAP)]) for f in (("lock", 0), ("lock_no_data", 0))],
    ("SetTransparentAreaRGBByBuffer", None, (2, 2, 4), (), E_POINTER, [line(NULL + "pBuffer")]),
    ("SetTransparentAreaRGBByBuffer", (2, 2, 4), None, (), E_POINTER, [line(NULL + "pRefBuffer")]),
    *[("SetTransparentAreaRGBByBuffer", d, r, (), E_INVALIDARG, []) for d, r in (
        ((2, 2, 3), (2, 2, 3)), ((2, 2, 4), (2, 2, 8)), ((2, 2, 4), (3, 2, 4)), ((2, 2, 4), (2, 1, 4)))],
    *[("SetTransparentAreaRGBByBuffer", (2, 2, 4), (2, 2, 4), (f,), E_POINTER, [])
      for f in (("lock", 1), ("lock_no_data", 0))],
])
def test_refusals(util, zb, make_buf, trace, method, dst, ref, faults, hr, logged):
    rng = random.Random(3)
    bufs = [s if s is None or not isinstance(s[0], int) or len(s) != 3 else
            make_buf(bytes(rng.randrange(1, 256) for _ in range(s[0] * s[1] * s[2])), *s) for s in (dst, ref)]
    if method == "MaskValueMapping":
        bufs[1] = ref
    before = [zb.to_bytes(b) for b in bufs if b is not None and not isinstance(b, (tuple, list, bytes))]
    for op, skip in faults:
        zb.fail_next(op, skip=skip)
    assert getattr(util, method)(*bufs, *([1] if method == "MaskOperation" else [])) == hr
    assert [zb.to_bytes(b) for b in bufs if b is not None and not isinstance(b, (tuple, list, bytes))] == before
    assert trace() == logged


def test_no_allocator(monkeypatch, capfd, tmp_path, zb, make_buf, trace):
    obj = make_utility(monkeypatch, capfd, allocator=str(tmp_path / "none.so"))
    a, b = make_buf(bytes(4), 1, 1, 4), make_buf(bytes(4), 1, 1, 4)
    assert (obj.SetTransparentAreaRGBByBuffer(a, b), trace()) == (E_POINTER, [line(NULL + "m_pBufferAllocator")])
    # The two mask edits need no allocator.
    m, r = make_buf(bytes((7, 9)), 2, 1, 1), make_buf(bytes((3, 3)), 2, 1, 1)
    assert (obj.MaskOperation(m, r, 1), obj.MaskValueMapping(m, (1,) * 256), zb.to_bytes(m)) == (S_OK, S_OK, b"\1\1")


def test_interpreter_lock_is_kept(util, zb, keep):
    a, b = (keep(zb.from_bytes(bytes(2048 * 2048), 2048, 2048, 1)) for _ in range(2))
    c, d = (keep(zb.from_bytes(bytes(1024 * 1024 * 4), 1024, 1024, 4)) for _ in range(2))
    for call in (lambda: util.MaskOperation(a, b, 1), lambda: util.MaskValueMapping(a, tuple(range(256))),
                 lambda: util.SetTransparentAreaRGBByBuffer(c, d)):
        assert gil_released_during(call) is False
