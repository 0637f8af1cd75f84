"""GetMaskWithBoundary against a single-precision model of the inside test."""
import random

import numpy as np
import pytest

from conftest import E_OUTOFMEMORY, S_OK, addr32, end, entry, gil_released_during, hx, line, make_utility, run_cpp

BYTE, CHUNK = 0, 1
NAME = "PyQelBufferUtility::GetMaskWithBoundary"
ALLOC_FAIL = "[Assert] m_pBufferAllocator->allocateImageBuffer(pOutBuffer, (uint)nWidth, (uint)nHeight, " \
             "ZU_PIXEL_1BYTES, 0) , Error! hr={}"
SQUARE = [(2, 2), (7, 2), (7, 7), (2, 7)]


def ref_inside(w, h, points):
    """Every edge's c in single precision, in the order the test takes; NaN counts as outside."""
    with np.errstate(all="ignore"):
        px = np.array([p[0] for p in points[:4]], dtype=np.float64).astype(np.float32)
        py = np.array([p[1] for p in points[:4]], dtype=np.float64).astype(np.float32)
        x = np.arange(w, dtype=np.float32)[None, :]
        y = np.arange(h, dtype=np.float32)[:, None]
        inside = np.ones((h, w), dtype=bool)
        for k in range(4):
            n = (k + 1) % 4
            c = (py[n] - py[k]) * (x - px[k]) - (px[n] - px[k]) * (y - py[k])
            inside &= c < np.float32(1.0)
    return inside


def ref_mask(w, h, points, invert=False, ignore=None):
    inside = ref_inside(w, h, points)
    inner = np.frombuffer(ignore, dtype=np.uint8).reshape(h, w) if ignore is not None else (0 if invert else 255)
    return np.where(inside, inner, 255 if invert else 0).astype(np.uint8).tobytes()


def shapes(rng, w, h):
    def pt(spread=1.0):
        return (rng.uniform(-0.2 * w, 1.2 * w) * spread, rng.uniform(-0.2 * h, 1.2 * h) * spread)
    cx, cy, r = w / 2, h / 2, min(w, h) / 2.5
    yield [(cx - r, cy - r), (cx + r, cy - r), (cx + r, cy + r), (cx - r, cy + r)]  # convex, clockwise on screen
    yield [(cx - r, cy + r), (cx + r, cy + r), (cx + r, cy - r), (cx - r, cy - r)]  # the other way round: empty
    yield [(cx - r, cy - r), (cx, cy), (cx + r, cy - r), (cx, cy + r)]  # concave (an arrow head)
    yield [(cx - r, cy - r), (cx + r, cy + r), (cx + r, cy - r), (cx - r, cy + r)]  # crossing itself (a bow tie)
    yield [(cx - r, cy - r), (cx, cy), (cx, cy), (cx - r, cy + r)]  # two corners touching
    yield [(round(cx) - 3, round(cy) - 3), (round(cx) + 3, round(cy) - 3), (round(cx) + 3, round(cy) + 3),
           (round(cx) - 3, round(cy) + 3)]  # on whole pixels: the edges are inside
    yield [(0.5, 0.5), (w - 0.5, 0.25), (w - 1.0, h - 1.0), (0.25, h - 0.5)]  # through the pixel centres
    for _ in range(4):
        yield [pt() for _ in range(4)]
    yield [pt(1e6) for _ in range(4)]  # far beyond the image: products of 2^40 and more
    yield [(3e11, -1), (-2e12, 5.5), (w / 2, 1e13), (1, 2)]  # beyond 2^40: tested pixel by pixel
    yield [(float("nan"), 1), (w, 1), (w, h), (1, h)]
    yield [(-1e39, 1), (w, 1), (w, h), (1, h)]  # -inf in single precision
    yield [(1, 1), (float("inf"), 1), (w - 2, h - 2), (1, h - 2)]


@pytest.mark.parametrize("w, h", [(67, 9), (5, 40), (1, 1)])
@pytest.mark.parametrize("invert", [False, True])
@pytest.mark.parametrize("ignore_type", [None, BYTE, CHUNK])
def test_matches_model(util, zb, make_buf, keep, trace, w, h, invert, ignore_type):
    rng = random.Random(f"{w}{h}{invert}{ignore_type}")
    ignore_data = bytes(rng.randrange(256) for _ in range(w * h))
    ignore = None if ignore_type is None else make_buf(ignore_data, w, h, 1, ignore_type)
    for points in shapes(rng, w, h):
        extra = [(rng.uniform(0, w), rng.uniform(0, h)) for _ in range(rng.choice((0, 2, 60)))]
        mask = keep(util.GetMaskWithBoundary(w, h, [tuple(p) for p in points] + extra, invert, ignore))
        expected = ref_mask(w, h, points, invert, None if ignore is None else ignore_data)
        assert zb.to_bytes(mask) == expected, points
        info = zb.info(mask)
        assert [info[k] for k in ("width", "height", "bpp", "alloc_type", "refcount")] == [w, h, 1, BYTE, 1]
        assert trace() == [entry(NAME), end(NAME)]
    if ignore is not None:
        assert (zb.to_bytes(ignore), zb.info(ignore)["lock_count"]) == (ignore_data, 0)


def square(inside):
    return bytes(inside if 2 <= x <= 7 and 2 <= y <= 7 else 255 - inside if inside in (0, 255) else 0
                 for y in range(10) for x in range(10))


@pytest.mark.parametrize("points, invert, ignore, expected", [
    (SQUARE, False, None, square(255)), (SQUARE[::-1], False, None, bytes(100)), (SQUARE, True, None, square(0)),
    (SQUARE, True, 77, bytes(77 if 2 <= x <= 7 and 2 <= y <= 7 else 255 for y in range(10) for x in range(10))),
    ([(2.5, 2.5), (6.5, 2.5), (6.5, 6.5), (2.5, 6.5)], False, None,
     bytes(255 if 3 <= x <= 6 and 3 <= y <= 6 else 0 for y in range(10) for x in range(10))),
    (SQUARE + [(0, 0), (9, 9)], False, None, square(255)),  # points after the fourth are not used
])
def test_worked_examples(util, zb, make_buf, keep, points, invert, ignore, expected):
    ignore_buf = None if ignore is None else make_buf(bytes([ignore] * 100), 10, 10, 1)
    assert zb.to_bytes(keep(util.GetMaskWithBoundary(10, 10, points, invert, ignore_buf))) == expected
    if not invert and ignore is None:  # the shorter forms default to these
        assert zb.to_bytes(keep(util.GetMaskWithBoundary(10, 10, points))) == expected
        assert zb.to_bytes(keep(util.GetMaskWithBoundary(10, 10, points, False))) == expected


class _List(list):
    pass


@pytest.mark.parametrize("w, h, boundary, ignore_shape, faults, logged", [
    (-1, 10, SQUARE, None, (), [" invalid size: -1, 10"]),
    (10, -2**31, SQUARE, None, (), [f" invalid size: 10, {-2**31}"]),
    (10, 10, SQUARE, (10, 9, 1), (), [" size of ignoreMask not match: 10, 9"]),
    (10, 10, SQUARE, (9, 10, 1), (), [" size of ignoreMask not match: 9, 10"]),
    (10, 10, SQUARE, (10, 10, 2), (), [" ignoreMask is not 1 byte per pixel: 2"]),
    *[(10, 10, b, None, (), [" invalid boundary"]) for b in (tuple(SQUARE), None, _List(SQUARE), "abcd", 5)],
    *[(10, 10, SQUARE[:n], None, (), [f"invalid boundary size: {n}"]) for n in (0, 3)],
    (0, 10, SQUARE, None, (), [ALLOC_FAIL.format(hx(-2147024809)), ""]),  # the allocator refuses a zero width
    (10, 10, SQUARE, None, (("allocateImageBuffer", 0, E_OUTOFMEMORY),), [ALLOC_FAIL.format(hx(E_OUTOFMEMORY)), ""]),
    (10, 10, SQUARE, None, (("allocateImageBuffer", 0, S_OK),), []),
    (10, 10, SQUARE, None, (("lock", 0, 0),), [f"[{NAME}] lock pOutBuffer failed, {{out}}"]),
    (10, 10, SQUARE, (10, 10, 1), (("lock_no_data", 1, 0),), [f"[{NAME}] lock pIgnoreMask failed, {{ignore}}"]),
])
def test_refusals(util, zb, make_buf, trace, w, h, boundary, ignore_shape, faults, logged):
    ignore = None if ignore_shape is None else make_buf(bytes(ignore_shape[0] * ignore_shape[1] * ignore_shape[2]),
                                                        *ignore_shape)
    live = zb.live_buffers()
    for op, skip, hr in faults:
        zb.fail_next(op, skip=skip, hr=hr)
    assert util.GetMaskWithBoundary(w, h, boundary, False, ignore) is None
    got = trace()
    out = got[-1].rsplit(" ", 1)[-1] if "pOutBuffer" in "".join(logged) else ""
    assert got == [entry(NAME)] + [t if t == "" else line(t.format(out=out, ignore=ignore and addr32(ignore)))
                                   for t in logged]
    assert zb.live_buffers() == live


class _Float:
    def __init__(self, victims):
        self.victims = victims

    def __float__(self):
        del self.victims[:]  # empties the boundary list while it is being read
        return 1.0


@pytest.mark.parametrize("position", [2, 5])  # a corner, and a point that is read but never used
@pytest.mark.parametrize("item, exc, message", [
    ([3, 4], TypeError, "GetMaskWithBoundary: boundary point {} must be a tuple of two numbers (x, y), not list"),
    ((3, 4, 5), TypeError,
     "GetMaskWithBoundary: boundary point {} must be a tuple of two numbers (x, y), not a tuple of another length"),
    (None, TypeError, "GetMaskWithBoundary: boundary point {} must be a tuple of two numbers (x, y), not NoneType"),
    ((3, "4"), TypeError, "must be real number, not str"),
    ((3, 2**1100), OverflowError, "int too large to convert to float"),
    ("emptying", ValueError, "GetMaskWithBoundary: the boundary list changed while it was read"),
])
def test_bad_points_raise(util, zb, trace, position, item, exc, message):
    live, points = zb.live_buffers(), SQUARE + [(0, 0), (1, 1)]
    points[position] = (_Float(points), 2) if item == "emptying" else item
    with pytest.raises(exc) as e:
        util.GetMaskWithBoundary(10, 10, points)
    assert str(e.value) == message.format(position)
    # An emptied list is short of its point 0 when the reading stops.
    assert trace() == [entry(NAME), line(f" invalid boundary point: {0 if item == 'emptying' else position}")]
    assert zb.live_buffers() == live


def test_no_allocator(monkeypatch, capfd, tmp_path, trace):
    obj = make_utility(monkeypatch, capfd, allocator=str(tmp_path / "none.so"))
    assert (obj.GetMaskWithBoundary(-1, 10, None), trace()) == (None, [entry(NAME)])


def test_interpreter_lock_is_kept(util, keep):
    big = [(0, 0), (4096, 0), (4096, 4096), (0, 4096)]
    assert gil_released_during(lambda: keep(util.GetMaskWithBoundary(4096, 4096, big))) is False


def test_spans_match_the_pixel_test(tmp_path):  # millions of random rows against the pixel-by-pixel test
    run_cpp(tmp_path, "boundary_mask_spans.cpp")
