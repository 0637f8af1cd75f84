"""Rotate: CHUNK quarter turns, bilinear BYTE/PLANAR rotation against a model, refusals, failures; and the
checks Rotate, Mirror and Reconstruct share."""
import math
import random

import numpy as np
import pytest

from conftest import E_OUTOFMEMORY, addr32, end, entry, hx, line, make_utility

ROTATE, IPP, CHUNKED = ("PyQelBufferUtility::" + n for n in ("Rotate", "m_fnRotateUseIPP", "m_fnRotateWithChunk"))
BYTE, CHUNK, PLANAR = 0, 1, 2
DTYPE = {1: (np.uint8, 1), 2: (np.uint16, 1), 3: (np.uint8, 3), 4: (np.uint8, 4), 6: (np.uint16, 3), 8: (np.uint16, 4)}


def image(w, h, bpp, salt=0):
    dtype, ch = DTYPE[bpp]
    return np.random.default_rng(salt).integers(0, np.iinfo(dtype).max + 1, size=(h, w, ch), dtype=dtype)


def from_array(zb, keep, arr, bpp, alloc_type):
    return keep(zb.from_bytes(arr.astype(arr.dtype.newbyteorder("<")).tobytes(), arr.shape[1], arr.shape[0], bpp,
                              alloc_type))


def to_array(zb, buf, bpp):
    dtype, ch = DTYPE[bpp]
    info = zb.info(buf)
    return np.frombuffer(zb.to_bytes(buf), dtype=np.dtype(dtype).newbyteorder("<")).reshape(
        info["height"], info["width"], ch)


def shift_of(w, h, dw, dh, angle):
    angle = float(np.float32(angle))
    c, s = math.cos(math.radians(angle)), math.sin(math.radians(angle))
    if angle % 90 == 0:
        c, s = round(c), round(s)
    xc, yc = (w - 1) * 0.5, (h - 1) * 0.5
    return xc - xc * c - yc * s + (dw - w) * 0.5, yc + xc * s - yc * c + (dh - h) * 0.5, c, s


def bilinear_model(src, dw, dh, angle):
    """Bilinear samples at the turned position; outside neighbours count as zero; unreached pixels stay zero."""
    h, w, ch = src.shape
    xs, ys, c, s = shift_of(w, h, dw, dh, angle)
    out = np.zeros((dh, dw, ch))
    reached = np.zeros((dh, dw), bool)
    for yd in range(dh):
        for xd in range(dw):
            sx = c * (xd - xs) - s * (yd - ys)
            sy = s * (xd - xs) + c * (yd - ys)
            ix, iy = math.floor(sx), math.floor(sy)
            fx, fy = sx - ix, sy - iy
            acc, inside = np.zeros(ch), False
            for dx, dy, wgt in ((0, 0, (1 - fx) * (1 - fy)), (1, 0, fx * (1 - fy)), (0, 1, (1 - fx) * fy),
                                (1, 1, fx * fy)):
                if 0 <= ix + dx < w and 0 <= iy + dy < h:
                    acc += wgt * src[iy + dy, ix + dx]
                    inside = True
            if inside:
                out[yd, xd] = acc
                reached[yd, xd] = True
    return out, reached


@pytest.mark.parametrize("name, args", [("Rotate", (7, 9, 0.0)), ("Rotate", (7, 9, -0.0)), ("Mirror", (0,))])
def test_no_turn_returns_the_source(util, zb, make_buf, trace, name, args):
    src = make_buf(bytes(range(16)), 2, 2, 4)
    assert int(getattr(util, name)(src, *args)) == int(src)
    assert zb.info(src)["refcount"] == 2
    zb.release(src)
    assert trace() == [entry("PyQelBufferUtility::" + name)]


@pytest.mark.parametrize("bpp", [1, 2, 3, 4, 6, 8])
@pytest.mark.parametrize("angle, turns, shown", [(90.0, 1, 90.0), (-90.0, 3, 270.0), (270.0, 3, 270.0),
                                                 (180.0, 2, 180.0), (-180.0, 2, 180.0)])
def test_chunk_quarter_turns_are_exact(util, zb, keep, trace, bpp, angle, turns, shown):
    src_arr = image(19, 11, bpp, salt=bpp)
    src = from_array(zb, keep, src_arr, bpp, CHUNK)
    zb.set_attributes(src, 0x1234, 1 << 63)
    want = np.rot90(src_arr, turns)
    out = keep(util.Rotate(src, want.shape[1], want.shape[0], angle))
    assert np.array_equal(to_array(zb, out, bpp), want)
    assert [zb.info(out)[k] for k in ("alloc_type", "bpp", "attribute1", "attribute2")] == [CHUNK, bpp, 0x1234, 1 << 63]
    assert trace() == [entry(ROTATE), entry(CHUNKED), line(f"[RotateWithChunk][1] rotate angle {shown:f}"),
                       end(CHUNKED), end(ROTATE)]


def chunk_copy_model(src, dw, dh, turn):
    h, w, ch = src.shape
    out = np.zeros((dh, dw, ch), src.dtype)
    for y in range(h):
        for x in range(w):
            r, c = {90: (dh - 1 - x, y), 180: (dh - 1 - y, dw - 1 - x), 270: (x, dw - 1 - y)}[turn]
            if 0 <= r < dh and 0 <= c < dw:
                out[r, c] = src[y, x]
    return out


@pytest.mark.parametrize("bpp", [3, 4])
@pytest.mark.parametrize("turn", [90, 180, 270])
@pytest.mark.parametrize("dw, dh", [(5, 4), (30, 26), (21, 9)])
def test_chunk_destinations_of_other_sizes(util, zb, keep, bpp, turn, dw, dh):
    src_arr = image(21, 12, bpp, salt=turn)
    out = keep(util.Rotate(from_array(zb, keep, src_arr, bpp, CHUNK), dw, dh, float(turn)))
    assert np.array_equal(to_array(zb, out, bpp), chunk_copy_model(src_arr, dw, dh, turn))


@pytest.mark.parametrize("angle, why", [
    (45.0, "[RotateUseIPP][Angle: 45.000000] only support BYTE or PLANAR"),
    (450.0, "[RotateWithChunk]unsupported angle: 450.000000"),
    (-360.0, "[RotateWithChunk]unsupported angle: 0.000000"),
])
def test_chunk_refusals(util, zb, make_buf, trace, angle, why):
    src = make_buf(bytes(range(24)), 3, 2, 4, CHUNK)
    assert util.Rotate(src, 2, 3, angle) is None
    first = [entry(ROTATE), entry(IPP)] if "IPP" in why else [
        entry(ROTATE), entry(CHUNKED), line(f"[RotateWithChunk][1] rotate angle {angle % 360 if angle < 0 else angle:f}")]
    assert trace() == first + [line(why)]


@pytest.mark.parametrize("alloc_type, bpp", [(BYTE, b) for b in (1, 2, 3, 4, 6, 8)] + [(PLANAR, b) for b in (3, 4, 6, 8)])
@pytest.mark.parametrize("angle, turns", [(90.0, 1), (-90.0, 3), (180.0, 2), (270.0, 3), (450.0, 1),
                                          (-720.0, 0)])
def test_resampled_quarter_turns_are_exact(util, zb, keep, trace, alloc_type, bpp, angle, turns):
    src_arr = image(21, 13, bpp, salt=bpp + alloc_type)
    src = from_array(zb, keep, src_arr, bpp, alloc_type)
    zb.set_attributes(src, 5, 6)
    want = np.rot90(src_arr, turns)
    out = keep(util.Rotate(src, want.shape[1], want.shape[0], angle))
    assert np.array_equal(to_array(zb, out, bpp), want)
    assert [zb.info(out)[k] for k in ("alloc_type", "attribute1", "attribute2")] == [alloc_type, 5, 6]
    xs, ys, _, _ = shift_of(21, 13, want.shape[1], want.shape[0], angle)
    assert trace() == [entry(ROTATE), entry(IPP), line(f"[RotateUseIPP][Angle: {angle:f}] rotate shift {xs:f}, {ys:f}"),
                       end(IPP), end(ROTATE)]


@pytest.mark.parametrize("alloc_type, bpp", [(BYTE, 1), (BYTE, 4), (BYTE, 6), (BYTE, 8), (PLANAR, 4), (PLANAR, 6)])
@pytest.mark.parametrize("angle, dw, dh", [
    (30.0, 15, 11), (-45.0, 17, 17), (200.0, 15, 11), (90.0, 9, 7), (17.0, 8, 5), (60.0, 26, 24),
    (90.0, 12, 16),  # odd size difference: half-pixel blends
])
def test_any_angle_against_bilinear_model(util, zb, keep, alloc_type, bpp, angle, dw, dh):
    src_arr = image(15, 11, bpp, salt=int(angle) & 0xFF)
    out = keep(util.Rotate(from_array(zb, keep, src_arr, bpp, alloc_type), dw, dh, angle))
    got = to_array(zb, out, bpp).astype(float)
    want, reached = bilinear_model(src_arr.astype(float), dw, dh, angle)
    # Positions are rounded to 1/2048 pixel: 8-bit values move by a level, 16-bit by that share of a step.
    assert np.max(np.abs(got - want)) <= (1.0 if bpp in (1, 3, 4) else 65535 / 1024)
    assert not got[~reached].any()


def test_large_image_interior_is_bilinear(util, zb, keep):  # wide rows take the vector path
    src_arr = image(300, 40, 4, salt=9)
    out = keep(util.Rotate(from_array(zb, keep, src_arr, 4, BYTE), 120, 90, 33.0))
    assert np.max(np.abs(to_array(zb, out, 4).astype(float) - bilinear_model(src_arr.astype(float), 120, 90, 33.0)[0])) <= 1


@pytest.mark.parametrize("angle", [1e-30, float("nan"), float("inf"), -1e30])
def test_degenerate_angles_write_no_stray_pixels(util, zb, keep, angle):
    src_arr = image(6, 5, 4, salt=1)
    got = to_array(zb, keep(util.Rotate(from_array(zb, keep, src_arr, 4, BYTE), 6, 5, angle)), 4)
    if math.isfinite(angle) and abs(angle) < 1e-6:
        assert np.array_equal(got, src_arr)
    elif not math.isfinite(angle):
        assert not got.any()


@pytest.mark.parametrize("alloc_type, angle, fault, hr, why", [
    (BYTE, 30.0, "allocateImageBuffer", E_OUTOFMEMORY, "[RotateUseIPP][0] allocate fail " + hx(E_OUTOFMEMORY)),
    (PLANAR, 30.0, "allocateImageBuffer", 0, "[RotateUseIPP][2] allocate fail 0"),
    (CHUNK, 90.0, "allocateImageBuffer", E_OUTOFMEMORY, "[RotateWithChunk][1] allocate fail " + hx(E_OUTOFMEMORY)),
    (BYTE, 30.0, "lock", None, "[RotateUseIPP][BYTE] lock source failed, {src}"),
    (PLANAR, 90.0, "lock", None, "[RotateUseIPP][Planar] lock source failed, {src}"),
    (CHUNK, -90.0, "lock", None, "[RotateWithChunk] lock source failed, {src}"),
])
def test_failures(util, zb, make_buf, trace, alloc_type, angle, fault, hr, why):
    src = make_buf(bytes(range(48)), 4, 3, 4, alloc_type)
    util.Close()
    zb.fail_next(fault, 1, **({"hr": hr} if hr is not None else {}))
    assert util.Rotate(src, 3, 4, angle) is None
    assert util.GetLastErrorHr() == 0
    lines = trace()
    assert lines[:2] + lines[-1:] == [entry(ROTATE), entry(CHUNKED if alloc_type == CHUNK else IPP),
                                      line(why.format(src=addr32(src)))]


@pytest.mark.parametrize("alloc_type", [BYTE, PLANAR, CHUNK])
@pytest.mark.parametrize("call, model", [(lambda u, s: u.Rotate(s, 3, 4, 90.0), np.rot90),
                                         (lambda u, s: u.Mirror(s, 2), np.flipud)])
def test_result_lock_without_pixels(util, zb, make_buf, keep, alloc_type, call, model):
    # The result's lock is not examined; only CHUNK rows (reached through the row table) are written.
    src = make_buf(bytes(range(1, 49)), 4, 3, 4, alloc_type)
    zb.fail_next("lock_no_data", 1, skip=1)
    out = keep(call(util, src))
    want = model(np.frombuffer(bytes(range(1, 49)), np.uint8).reshape(3, 4, 4)).tobytes()
    assert zb.to_bytes(out) == (want if alloc_type == CHUNK else bytes(48))


@pytest.mark.parametrize("name, args", [("Rotate", (1, 1, 90.0)), ("Mirror", (1,)), ("Reconstruct", (1.0, 2.0, 3.0))])
def test_null_source_and_no_allocator(util, monkeypatch, capfd, tmp_path, make_buf, trace, name, args):
    assert getattr(util, name)(None, *args) is None
    assert trace() == [entry("PyQelBufferUtility::" + name)]
    obj = make_utility(monkeypatch, capfd, allocator=str(tmp_path / "none.so"))
    assert getattr(obj, name)(make_buf(bytes(4), 1, 1, 4), *args) is None
    assert trace() == [entry("PyQelBufferUtility::" + name)]


def test_random_sizes_never_touch_outside(util, zb, keep):
    # Random sizes and angles (the sanitizer run watches the memory).
    rnd = random.Random(5)
    for _ in range(12):
        w, h, dw, dh = (rnd.randint(1, 9) for _ in range(4))
        angle = rnd.choice([rnd.uniform(-720, 720), 90.0 * rnd.randint(-5, 5) or 90.0])
        src_arr = image(w, h, 4, salt=w * h)
        out = keep(util.Rotate(from_array(zb, keep, src_arr, 4, BYTE), dw, dh, angle))
        got = to_array(zb, out, 4).astype(float)
        assert got.shape == (dh, dw, 4)
        assert np.max(np.abs(got - bilinear_model(src_arr.astype(float), dw, dh, angle)[0]), initial=0) <= 1
