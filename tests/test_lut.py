"""Colour look-up tables: descriptions, refusals and both kernels against a
float32 model of the interpolation."""
import numpy as np
import pytest

from conftest import end, entry, line

APPLY = "PyQelBufferUtility::ApplyLUTOnBuffer"
LUT1D, LUT3D, LUT3D_SIMD = "Lut1D_Linear_normal", "Lut3D_Linear_normal", "Lut3D_Linear_SIMD"
BYTE, CHUNK, PLANAR = 0, 1, 2
F = np.float32
UNIT = ([0.0, 0.0, 0.0], [1.0, 1.0, 1.0])


def model(img, kind, n, fmin, fmax, data):
    """Float32 positions, lerps along axis 2, 1, then 0 (lo == hi keeps the
    lower corner), x 255, saturated and truncated; alpha passes through."""
    data = np.asarray(data, dtype=np.float64).astype(F)
    pix = img[..., :3].reshape(-1, 3)
    grid = F(n - 1)
    lo, hi, w = [], [], []
    for k in range(3):
        scale = (F(1.0) / (F(fmax[k]) - F(fmin[k]))) * grid
        t = (pix[:, k].astype(F) / F(255.0) - F(fmin[k])) * scale
        t = np.where(grid < t, grid, t)
        t = np.where(t > 0, t, F(0))
        lo.append(np.floor(t).astype(np.int64))
        hi.append(np.ceil(t).astype(np.int64))
        w.append((t - lo[k].astype(F))[:, None])
    flat = [(lo[k] == hi[k])[:, None] for k in range(3)]

    def lerp(a, b, k):
        return np.where(flat[k], a, a + (b - a) * w[k])

    if kind == "1D":
        e = data[:3 * n].reshape(n, 3)
        out = np.stack([lerp(e[lo[k], k][:, None], e[hi[k], k][:, None], k)[:, 0] for k in range(3)], axis=1)
    else:
        e = data[:3 * n ** 3].reshape(n, n, n, 3)  # [i2][i1][i0]

        def along2(i0, i1):
            return lerp(e[lo[2], i1, i0], e[hi[2], i1, i0], 2)

        out = lerp(lerp(along2(lo[0], lo[1]), along2(lo[0], hi[1]), 1),
                   lerp(along2(hi[0], lo[1]), along2(hi[0], hi[1]), 1), 0)
    x = out * F(255.0)
    x = np.where(x > 0, x, F(0))
    x = np.where(x > 255, F(255), x)
    res = img.copy()
    res[..., :3] = x.astype(np.int64).astype(np.uint8).reshape(img.shape[:-1] + (3,))
    return res


def describe(kind, n, fmin, fmax, data):
    return (kind, n, list(fmin), list(fmax), [float(v) for v in data])


@pytest.fixture(params=["1", None], ids=["scalar", "vector"])
def level(request, monkeypatch):
    if request.param is None:
        monkeypatch.delenv("QEL_SSE_LEVEL", raising=False)
        return LUT3D_SIMD
    monkeypatch.setenv("QEL_SSE_LEVEL", request.param)
    return LUT3D


@pytest.fixture
def apply(util, zb, keep):
    """apply(img, desc) gives the method's result and the image afterwards."""
    def run(img, desc, alloc_type=BYTE):
        buf = keep(zb.from_numpy(np.ascontiguousarray(img), alloc_type))
        return util.ApplyLUTOnBuffer(buf, desc), zb.to_numpy(buf)
    return run


def random_image(rng, w, h, grid_n=None):
    img = rng.integers(0, 256, (h, w, 4), dtype=np.uint8)
    if grid_n is not None and grid_n > 1:
        # A third of the pixels sit exactly on grid points of the unit domain where bytes allow it.
        levels = np.array([v for v in range(256) if (v * (grid_n - 1)) % 255 == 0], dtype=np.uint8)
        mask = rng.random((h, w, 3)) < 0.33
        img[..., :3] = np.where(mask, rng.choice(levels, (h, w, 3)), img[..., :3])
    return img


DOMAINS = {"unit": UNIT, "shifted": ([0.1, 0.2, -0.25], [0.8, 1.3, 0.75]),
           "reversed": ([1.0, 0.9, 1.0], [0.0, 0.0, 0.1])}


@pytest.mark.parametrize("domain", DOMAINS)
@pytest.mark.parametrize("kind, n", [("3D", n) for n in (2, 3, 4, 9, 17, 33)]
                         + [("1D", n) for n in (2, 3, 16, 33, 256, 1000)])
def test_matches_model(apply, trace, level, kind, n, domain):
    # The shifted domain runs on CHUNK rows.
    rng = np.random.default_rng(n * 7 + len(domain))
    fmin, fmax = DOMAINS[domain]
    size = 3 * n ** 3 if kind == "3D" else 3 * n
    data = rng.uniform(-0.15, 1.15, size).astype(F)  # some values leave 0..1: saturation
    img = random_image(rng, 37, 11, n)
    desc = describe(kind, n, fmin, fmax, data)
    result, out = apply(img, desc, CHUNK if domain == "shifted" else BYTE)
    kernel = level if kind == "3D" else LUT1D
    assert (result, trace()) == (1, [entry(APPLY), entry(kernel), end(kernel)])
    np.testing.assert_array_equal(out, model(img, kind, n, fmin, fmax, data))


def all_levels_image(n_pixels, salt):
    """A coarse grid of byte triples (step 5, 0 and 255 included) plus random triples."""
    g = np.arange(0, 256, 5, dtype=np.uint8)
    grid = np.stack(np.meshgrid(g, g, g, indexing="ij"), -1).reshape(-1, 3)
    rng = np.random.default_rng(salt)
    extra = rng.integers(0, 256, (n_pixels - len(grid), 3), dtype=np.uint8)
    bgr = np.concatenate([grid, extra])
    alpha = rng.integers(0, 256, (len(bgr), 1), dtype=np.uint8)
    return np.concatenate([bgr, alpha], axis=1).reshape(-1, 509, 4)


@pytest.mark.parametrize("n, values", [
    (33, "unit"), (5, "unit"), (2, "wide"),
    # Non-finite and huge values: the lerps differ from the corners, but both kernels must agree.
    (7, "wild"),
])
def test_vector_kernel_stores_the_scalar_bytes(apply, monkeypatch, n, values):
    rng = np.random.default_rng(n)
    data = rng.random(3 * n ** 3)
    if values == "wide":
        data = data * 40 - 20
    if values == "wild":
        picks = rng.integers(0, len(data), 40)
        data[picks] = rng.choice([np.inf, -np.inf, np.nan, 3e38, -3e38, 1e30], len(picks))
    img = all_levels_image(509 * 320, n)
    desc = describe("3D", n, [0.05, 0.0, 0.1], [0.95, 1.0, 0.7], data)
    monkeypatch.setenv("QEL_SSE_LEVEL", "1")
    scalar = apply(img, desc)
    monkeypatch.delenv("QEL_SSE_LEVEL")
    vector = apply(img, desc)
    assert scalar[0] == vector[0] == 1
    np.testing.assert_array_equal(vector[1], scalar[1])
    if values != "wild":
        np.testing.assert_array_equal(vector[1], model(img, "3D", n, [0.05, 0.0, 0.1], [0.95, 1.0, 0.7], data))


def identity(kind, n):
    ramp = [i / (n - 1) for i in range(n)]
    if kind == "1D":
        return [v for r in ramp for v in (r, r, r)]
    return [v for i2 in ramp for i1 in ramp for i0 in ramp for v in (i0, i1, i2)]


@pytest.mark.parametrize("kind, n", [("1D", 2), ("1D", 256), ("3D", 2), ("3D", 17), ("3D", 33)])
def test_identity_tables_give_the_image_back(apply, level, kind, n):
    v = np.arange(256, dtype=np.uint8)
    with np.errstate(over="ignore"):
        img = np.stack([v, 255 - v, v * 7, v ^ 0x5A], -1).reshape(16, 16, 4)  # v * 7 wraps
    result, out = apply(img, (kind, n, *UNIT, identity(kind, n)))
    assert result == 1
    np.testing.assert_array_equal(out, img)


def test_grid_points_read_one_entry(apply, level):
    # Bytes on grid points (multiples of 15 for N = 18) take the entry unchanged.
    n = 18
    rng = np.random.default_rng(5)
    data = rng.random(3 * n ** 3).astype(F)
    idx = rng.integers(0, n, (40, 3))
    idx[:4] = [[17, 17, 17], [0, 0, 0], [17, 0, 5], [0, 17, 17]]
    img = np.concatenate([idx * 15, rng.integers(0, 256, (40, 1))], axis=1).astype(np.uint8).reshape(4, 10, 4)
    result, out = apply(img, describe("3D", n, *UNIT, data))
    entries = data.reshape(-1, 3)[(idx[:, 2] * n + idx[:, 1]) * n + idx[:, 0]]
    assert result == 1
    np.testing.assert_array_equal(out[..., :3].reshape(-1, 3), (entries * F(255)).astype(np.uint8))
    np.testing.assert_array_equal(out[..., 3], img[..., 3])

    corners = [0.0] * 3 + [0.999, 1.0, 0.5] + [0.25] * 18
    _, out = apply(np.array([[[255, 0, 0, 9], [0, 0, 0, 8]]], np.uint8), ("3D", 2, *UNIT, corners))
    assert out.tolist() == [[[254, 255, 127, 9], [0, 0, 0, 8]]]


@pytest.mark.parametrize("kind, kernel", [("1D", LUT1D), ("1d", None), ("1D ", None), ("3D", None), ("x", None)])
def test_only_exact_1D_makes_a_1D_table(apply, trace, level, kind, kernel):
    data = np.random.default_rng(3).random(24)  # enough for N = 2 of either kind
    img = random_image(np.random.default_rng(4), 9, 3)
    result, out = apply(img, describe(kind, 2, *UNIT, data))
    kernel = kernel or level
    assert (result, trace()) == (1, [entry(APPLY), entry(kernel), end(kernel)])
    np.testing.assert_array_equal(out, model(img, "1D" if kernel == LUT1D else "3D", 2, *UNIT, data))


@pytest.mark.parametrize("fmin, fmax, used", [
    ([0.5, 0.5], [1.0, 1.0, 1.0], UNIT),                       # two numbers: ignored
    ((0.5, 0.5, 0.5), [0.6, 0.7, 0.8], ([0.0] * 3, [0.6, 0.7, 0.8])),  # a tuple is not a list
    ([0.5, 0.4, 0.3], [1, 2, 3, 4], ([0.5, 0.4, 0.3], [1.0] * 3)),
    ([0, 1, 0], [1, 0, True], ([0.0, 1.0, 0.0], [1.0, 0.0, 1.0])),  # ints and bools are numbers
])
def test_domain_items_of_other_forms_keep_the_defaults(apply, fmin, fmax, used):
    data = np.random.default_rng(6).random(81)
    img = random_image(np.random.default_rng(7), 13, 5)
    result, out = apply(img, ("3D", 3, fmin, fmax, [float(v) for v in data]))
    assert result == 1
    np.testing.assert_array_equal(out, model(img, "3D", 3, *used, data))


@pytest.mark.parametrize("size", [True, 1])
def test_a_one_point_table_paints_its_entry(apply, size):
    img = random_image(np.random.default_rng(2), 5, 3)
    result, out = apply(img, ("3D", size, *UNIT, [0.2, 0.4, 1.0]))
    assert result == 1
    assert {tuple(p) for p in out[..., :3].reshape(-1, 3)} == {(51, 102, 255)}


@pytest.mark.parametrize("kind", ["1D", "3D"])
def test_non_finite_values_saturate_and_grid_points_keep_them(apply, level, kind):
    # inf gives 255, -inf and NaN 0; a lerp between two infinities is NaN.
    entry_ = [float("nan"), 1e300, -1e300]  # 1e300 is beyond float: an infinity
    img = np.array([[[0, 0, 0, 1], [128, 128, 128, 2], [255, 255, 255, 3]]], np.uint8)
    result, out = apply(img, (kind, 2, *UNIT, entry_ * (2 if kind == "1D" else 8)))
    assert result == 1
    assert out.tolist() == [[[0, 255, 0, 1], [0, 0, 0, 2], [0, 255, 0, 3]]]


def refused(why):
    return [entry(APPLY), line(f"{APPLY} refuses the table: {why}")]


@pytest.mark.parametrize("desc, lines", [
    (("", 2, *UNIT, [0.0] * 6), [entry(APPLY)]), ((None, 2, *UNIT, [0.0] * 6), [entry(APPLY)]),
    (("1D", 2.0, *UNIT, [0.0] * 6), refused("size 0 is below 1")),
    (("3D", -3, *UNIT, [0.0] * 6), refused("size -3 is below 1")),
    (("1D", 2, *UNIT, [0.0] * 5), refused("5 values for size 2, 6 needed")),
    (("1D", 2, *UNIT, (0.0,) * 6), refused("0 values for size 2, 6 needed")),
    (("3D", 2, *UNIT, []), refused("0 values for size 2, 24 needed")),
    (("1D", 2, [0.2] * 3, [1.0, 0.2, 1.0], [0.0] * 6), refused("empty domain on axis 1")),
    (("3D", 2, [0.0] * 3, [1.0, 1.0, 0.0], [0.0] * 24), refused("empty domain on axis 2")),
    (("3D", 895, *UNIT, [0.0] * 6), refused("size 895 is above 894")),
    (("1D", 2 ** 24 + 1, *UNIT, [0.0] * 6), refused("size 16777217 is above 16777216")),
    (("1D", 2 ** 40, *UNIT, [0.0] * 6), refused("size 2147483647 is above 16777216")),
    (("1D", -2 ** 40, *UNIT, [0.0] * 6), refused("size -2147483648 is below 1")),
])
def test_refused_descriptions(apply, trace, desc, lines):
    img = random_image(np.random.default_rng(1), 6, 2)
    result, out = apply(img, desc)
    assert (result, trace()) == (0, lines)
    np.testing.assert_array_equal(out, img)


NOT_A_TUPLE = r"^ApplyLUTOnBuffer: pyLutData must be a tuple \(kind, size, minimum, maximum, data\), not list$"


@pytest.mark.parametrize("desc, exc, why", [
    (["1D", 2, *UNIT, [0.0] * 6], TypeError, None),
    (("1D", 2, *UNIT), IndexError, None),                        # four items
    (("1D", 2, *UNIT, [0.0, 0.5, "x", 1, 1, 1]), TypeError, "data item 2"),
    (("1D", 2, *UNIT, [[0, 0, 0], [1, 1, 1]]), TypeError, "data item 0"),  # wrongly nested
    (("3D", 2, [0.0, None, 0.0], [1.0] * 3, [0.0] * 24), TypeError, "minimum item 1"),
    (("3D", 2, [0.0] * 3, [1.0, 1.0, 1j], [0.0] * 24), TypeError, "maximum item 2"),
    (("\ud800", 2, *UNIT, [0.0] * 6), UnicodeEncodeError, None),  # a kind text with no UTF-8 form
])
def test_unreadable_descriptions_raise(util, zb, keep, trace, desc, exc, why):
    img = random_image(np.random.default_rng(1), 6, 2)
    buf = keep(zb.from_numpy(img, BYTE))
    with pytest.raises(exc, match=NOT_A_TUPLE if isinstance(desc, list) else None):
        util.ApplyLUTOnBuffer(buf, desc)
    np.testing.assert_array_equal(zb.to_numpy(buf), img)
    assert trace() == [entry(APPLY)] + ([line(f"ParseLutData {why} is not a number")] if why else [])


def test_a_value_that_empties_the_list_does_not_move_the_others(apply):
    class Emptying:
        def __float__(self):
            data.clear()
            return 0.0

    data = [0.0, 0.0, 0.0, 1.0, 1.0, 1.0]
    data[0] = Emptying()
    img = random_image(np.random.default_rng(9), 7, 3)
    result, out = apply(img, ("1D", 2, *UNIT, data))
    assert (result, data) == (1, [])
    np.testing.assert_array_equal(out, img)  # the identity table as it was handed over


def test_null_buffer_does_not_read_the_description(util, trace):
    assert util.ApplyLUTOnBuffer(None, "not a tuple") == 0
    assert trace() == [entry(APPLY)]


@pytest.mark.parametrize("bpp, alloc_type, why", [
    (3, BYTE, "unsupported bytes per pixel 3"), (8, CHUNK, "unsupported bytes per pixel 8"),
    (4, PLANAR, "unsupported allocation type 2"),
])
def test_buffers_that_are_not_bgra_rows_are_refused(util, zb, make_buf, trace, bpp, alloc_type, why):
    data = bytes(range(256))[:6 * 2 * bpp]
    buf = make_buf(data, 6, 2, bpp, alloc_type)
    assert util.ApplyLUTOnBuffer(buf, ("1D", 2, *UNIT, [1.0] * 6)) == 0
    assert trace() == [entry(APPLY), line(f"{APPLY} {why}")]
    assert zb.to_bytes(buf) == data


@pytest.mark.parametrize("fault", ["lock", "lock_no_data"])
@pytest.mark.parametrize("kind", ["1D", "3D"])
def test_a_lock_without_pixels_is_refused_by_the_kernel(util, zb, make_buf, trace, level, fault, kind):
    data = bytes(range(48))
    buf = make_buf(data, 4, 3, 4)
    zb.fail_next(fault)
    assert util.ApplyLUTOnBuffer(buf, describe(kind, 2, *UNIT, [1.0] * 24)) == 0
    kernel = LUT1D if kind == "1D" else level
    assert trace() == [entry(APPLY), entry(kernel)]
    assert zb.to_bytes(buf) == data
