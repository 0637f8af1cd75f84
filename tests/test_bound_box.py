"""Where a buffer's content lies: GetBoundBox, GetUVMapBoundBox and GetBoundingBoxCenterPos."""
import random
from array import array

import numpy as np
import pytest
import zubuffer as zb

from conftest import addr32, entry, line, pack_pixels, unpack_pixels

BYTE, CHUNK, PLANAR = 0, 1, 2
CENTER = "PyQelBufferUtility::GetBoundingBoxCenterPos"


def passes(px, bpp, check_color, greater):
    top = 0xFFFF if bpp in (6, 8) else 0xFF
    if check_color:
        return sum(px[:-1]) // (len(px) - 1) > 0 if greater else px[0] < top
    value = px[-1]  # the mask value, or alpha
    return value > 0 if greater else value < top


def box_model(points):
    if not points:
        return (0, 0, 0, 0)
    xs, ys = [x for x, _ in points], [y for _, y in points]
    return (min(xs), min(ys), max(xs) - min(xs) + 1, max(ys) - min(ys) + 1)


def sparse_image(rng, w, h, bpp, background, n):
    """Pixels of one background value with n pixels of random channels, some at the edges."""
    top = 0xFFFF if bpp in (6, 8) else 0xFF
    ch = bpp // 2 if bpp in (6, 8) else bpp
    px = [(background,) * ch for _ in range(w * h)]
    for _ in range(n):
        px[rng.randrange(w * h)] = tuple(rng.choice([0, 1, 2, top - 1, top, rng.randrange(top + 1)])
                                         for _ in range(ch))
    return pack_pixels(px, bpp)


@pytest.mark.parametrize("alloc_type", [BYTE, CHUNK])
@pytest.mark.parametrize("w, h, n", [(1, 1, 1), (130, 9, 6), (200, 3, 40), (64, 4, 0)])
@pytest.mark.parametrize("bpp, check_color", [(1, False), (4, False), (8, False), (3, True), (4, True), (8, True)])
@pytest.mark.parametrize("greater", [True, False])
def test_box_against_the_tests(util, make_buf, trace, alloc_type, w, h, n, bpp, check_color, greater):
    rng = random.Random(f"{w}{h}{n}{bpp}{check_color}{greater}{alloc_type}")
    background = 0 if greater else (0xFFFF if bpp in (6, 8) else 0xFF)
    data = sparse_image(rng, w, h, bpp, background, n)
    expected = box_model([(i % w, i // w) for i, p in enumerate(unpack_pixels(data, bpp))
                          if passes(p, bpp, check_color, greater)])
    buf = make_buf(data, w, h, bpp, alloc_type)
    assert util.GetBoundBox(buf, check_color, greater) == expected
    assert (zb.to_bytes(buf), trace()) == (data, [])


@pytest.mark.parametrize("bpp, pixels, args, expected", [
    (4, {(7, 3): (9, 9, 9, 1)}, (), (7, 3, 1, 1)),
    (4, {(x, y): (0, 0, 0, 255) for x in range(10) for y in range(6)}, (False, False), (0, 0, 0, 0)),  # opaque
    (4, {(2, 2): (1, 1, 0, 255)}, (True, True), (0, 0, 0, 0)),  # floor(2 / 3) = 0
    (4, {(2, 2): (1, 1, 1, 0)}, (True, True), (2, 2, 1, 1)),  # the colour test ignores alpha
    (3, {(2, 2): (0, 0, 200)}, (True,), (0, 0, 0, 0)),  # the mean of B and G only
    (8, {(1, 4): (0, 0, 0, 1), (5, 0): (0, 0, 0, 65535)}, (), (1, 0, 5, 5)),
    (8, {(3, 3): (0, 0, 0, 65534)}, (False, False), (0, 0, 10, 6)),  # below full scale: the transparent ones too
])
def test_worked_examples(util, make_buf, bpp, pixels, args, expected):
    px = [(0,) * (bpp // 2 if bpp in (6, 8) else bpp)] * 60
    for (x, y), p in pixels.items():
        px[y * 10 + x] = p
    assert util.GetBoundBox(make_buf(pack_pixels(px, bpp), 10, 6, bpp), *args) == expected


def test_large_buffers_reduce_per_thread(util, keep):
    # Tall enough for the rows to be shared out; the box's corners lie in different threads' rows.
    rng = np.random.default_rng(3)
    for bpp, shape in ((1, (900, 517)), (4, (600, 301, 4))):
        a = np.zeros(shape, np.uint8)
        a[rng.integers(40, shape[0] - 40, 30), rng.integers(3, shape[1] - 7, 30)] = 7
        buf = keep(zb.from_numpy(a, CHUNK))
        ys, xs = np.nonzero(a if bpp == 1 else a[..., 3])
        assert util.GetBoundBox(buf) == (int(xs.min()), int(ys.min()), int(np.ptp(xs)) + 1, int(np.ptp(ys)) + 1)
        a[:] = 0
        zb.write(buf, a.tobytes())
        assert util.GetBoundBox(buf) == (0, 0, 0, 0)


def test_box_null_and_overloads(mod, util, make_buf, trace):
    assert util.GetBoundBox(None) is util.GetUVMapBoundBox(None) is None
    assert trace() == []
    buf = make_buf(bytes(4), 1, 1, 4)
    with pytest.raises(TypeError) as e:
        mod.PyQelBufferUtility_GetBoundBox(util, buf, 1)
    assert str(e.value) == (
        "Wrong number or type of arguments for overloaded function 'PyQelBufferUtility_GetBoundBox'.\n"
        "  Possible C/C++ prototypes are:\n"
        "    PyQelBufferUtility::GetBoundBox(CQELImageBuffer *,bool,bool)\n"
        "    PyQelBufferUtility::GetBoundBox(CQELImageBuffer *,bool)\n"
        "    PyQelBufferUtility::GetBoundBox(CQELImageBuffer *)\n")


def uv_map(w, h, bpp, points):
    words = array("I", [0xFFFFFFFF] * (w * h * bpp // 4))
    for x, y, v in points:
        words[y * w * bpp // 4 + x] = v
    return words.tobytes()


@pytest.mark.parametrize("alloc_type", [BYTE, CHUNK])
@pytest.mark.parametrize("bpp, points, expected", [
    (4, [], (0, 0, 0, 0)),
    (4, [(3, 1, 0xFFFFFFFE), (75, 4, 0x7FFFFFFF)], (3, 1, 73, 4)),
    # Wider pixels are still read as words at 4 x: only the first half of each 8-byte row is looked at.
    (8, [(79, 5, 1)], (79, 5, 1, 1)),
    (8, [(80, 5, 1)], (0, 0, 0, 0)),
    (6, [(2, 1, 5), (119, 2, 5)], (2, 1, 1, 1)),
])
def test_uv_box(util, make_buf, trace, alloc_type, bpp, points, expected):
    w, h = 80, 6
    buf = make_buf(uv_map(w, h, bpp, points), w, h, bpp, alloc_type)
    assert util.GetUVMapBoundBox(buf) == expected
    assert trace() == []


def centre_model(rows):
    """The edge scans, step by step, in unsigned 32-bit arithmetic."""
    h, w = len(rows), len(rows[0])
    top, bottom, left, right = 0, h - 1, 0, w - 1

    def scan(pos, d, empty, stop):  # steps past empty lines while the two edges have not crossed
        while True:
            e, pos = empty(pos), pos + d
            if not (e and (pos <= stop if d > 0 else stop <= pos)):
                return pos

    top = scan(top, 1, lambda y: not any(rows[y]), bottom)
    if top <= bottom:
        bottom = scan(bottom, -1, lambda y: not any(rows[y]), top)
    left = scan(left, 1, lambda x: not any(rows[y][x] for y in range(top, bottom + 1)), right)
    if left <= right:
        right = scan(right, -1, lambda x: not any(rows[y][x] for y in range(top, bottom + 1)), left)
    if left < right and top < bottom:
        return ((left + right) >> 1, (top + bottom) >> 1)
    return ((w - 1) >> 1, (h - 1) >> 1)


def mask_with(w, h, cells):
    rows = [[0] * w for _ in range(h)]
    for x, y in cells:
        rows[y][x] = 1 + (x * 7 + y) % 255
    return rows


@pytest.mark.parametrize("cells, expected", [
    ([(x, y) for x in range(5, 9) for y in range(2, 6)], (6, 3)),
    ([(5, 5)], (4, 4)),
    ([(x, y) for x in range(2, 5) for y in range(10)], (4, 4)),  # three columns wide
    ([(1, 1), (8, 8)], (4, 4)),  # the corner rows are stepped past: no column between them holds anything
    ([(0, 0), (9, 9), (0, 4), (9, 5)], (4, 4)),
    ([(3, 0), (3, 9), (0, 4), (9, 5)], (4, 4)),
])
def test_centre_examples(util, make_buf, trace, cells, expected):
    rows = mask_with(10, 10, cells)
    assert centre_model(rows) == expected
    assert util.GetBoundingBoxCenterPos(make_buf(bytes(sum(rows, [])), 10, 10, 1)) == expected
    assert trace() == [entry(CENTER)]


@pytest.mark.parametrize("alloc_type", [BYTE, CHUNK])
@pytest.mark.parametrize("salt", range(12))
def test_centre_against_the_scans(util, make_buf, alloc_type, salt):
    rng = random.Random(salt)
    w, h = rng.randrange(1, 90), rng.randrange(1, 40)
    cells = [(rng.randrange(w), rng.randrange(h)) for _ in range(rng.randrange(0, 8))]
    rows = mask_with(w, h, cells)
    assert util.GetBoundingBoxCenterPos(make_buf(bytes(sum(rows, [])), w, h, 1, alloc_type)) == centre_model(rows)


def test_centre_of_a_large_mask(util, keep):
    a = np.zeros((1100, 700), np.uint8)
    a[100, 50] = a[1000, 640] = 1  # first and last rows, stepped past
    a[500, 10] = a[600, 680] = 2  # the columns that count
    assert util.GetBoundingBoxCenterPos(keep(zb.from_numpy(a))) == ((10 + 680) >> 1, (100 + 1000) >> 1)


@pytest.mark.parametrize("method, bpp, alloc_type, fault, args, result, why", [
    ("GetBoundBox", 4, BYTE, "lock", (), None, "[GetBoundBox] lock src failed, {addr}"),
    # The lock and the data are checked before the format.
    ("GetBoundBox", 2, CHUNK, "lock", (), None, "[GetBoundBox] lock src failed, {addr}"),
    ("GetBoundBox", 3, BYTE, "lock_no_data", (), None, "[GetBoundBox]No Data to GetBoundBox"),
    ("GetBoundBox", 4, PLANAR, None, (), None, "[GetBoundBox]No Stride table null"),
    ("GetBoundBox", 2, BYTE, None, (True,), None, "[GetBoundBox]Unsupported BPP(2)"),
    ("GetBoundBox", 3, BYTE, None, (), None, "[GetBoundBox]No alpha channel can be used(3)"),
    ("GetBoundBox", 1, BYTE, None, (True,), None, "[GetBoundBox]No alpha channel can be used(1)"),
    ("GetUVMapBoundBox", 4, BYTE, "lock", (), None, "[GetUVMapBoundBox]No Data to GetUVMapBoundBox"),
    ("GetUVMapBoundBox", 2, CHUNK, "lock_no_data", (), None, "[GetUVMapBoundBox]No Data to GetUVMapBoundBox"),
    *[("GetUVMapBoundBox", b, t, None, (), None, f"[GetUVMapBoundBox]Unsupported BPP({b})")
      for b, t in ((3, BYTE), (1, CHUNK))],
    ("GetUVMapBoundBox", 4, PLANAR, None, (), None, "[GetUVMapBoundBox]No Stride table null"),
    *[("GetBoundingBoxCenterPos", b, t, None, (), (0, 0), " error: unsupported bytesPerPixel")
      for b, t in ((3, BYTE), (8, PLANAR))],
    *[("GetBoundingBoxCenterPos", 1, t, f, (), (0, 0), "[GetBoundingBoxCenterPos]No Data to GetBoundingBoxCenterPos")
      for t, f in ((BYTE, "lock"), (CHUNK, "lock_no_data"))],
])
def test_refusals(util, make_buf, trace, method, bpp, alloc_type, fault, args, result, why):
    buf = make_buf(bytes(range(1, 5 * 3 * bpp + 1)), 5, 3, bpp, alloc_type)
    if fault:
        zb.fail_next(fault)
    assert getattr(util, method)(buf, *args) == result
    assert trace() == [entry(CENTER)] * bool(result) + [line(why.format(addr=addr32(buf)))]
    assert zb.info(buf)["lock_count"] == 0
    assert util.GetBoundingBoxCenterPos(None) == (0, 0)
    assert trace() == [entry(CENTER), line(f"[Assert]FUNCTION : {CENTER} , Null Pointer : pSrcBuffer")]
