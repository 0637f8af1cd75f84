"""Cutting an image's alpha or colour channels with a mask placed at an offset."""
import random

import pytest
import zubuffer as zb

from conftest import E_POINTER, S_OK, end, entry, line, pack_pixels, unpack_pixels

BYTE, CHUNK, PLANAR = 0, 1, 2
ALPHA, COLOR = "UpdateAlphaChannelByMask", "UpdateColorChannelByMask"


def traced(method):
    return [entry("PyQelBufferUtility::" + method), end("PyQelBufferUtility::" + method)]


def rule(method, px, m, inverse):
    """One destination pixel under mask value m, as the rules read."""
    a, w = px[3], 255 - m if inverse else m
    if method == ALPHA:
        if (not inverse and a == 0) or (inverse and m == 0):
            return px
        if w == 0:
            return [0, 0, 0, 0]
        return px[:3] + [a * w // 255]
    return [c * w // 255 for c in px[:3]] + [a]


def axis(start, mask_size):
    """(destination start, mask start) of the overlap along one axis."""
    return (-start, 0) if start < 0 else (0, min(start, mask_size - 1))


def model(method, dst, w, h, bpp, mask, mw, mh, mbpp, sx, sy, inverse):
    px = [list(p) for p in unpack_pixels(dst, bpp)]
    (xd, xm), (yd, ym) = axis(sx, mw), axis(sy, mh)
    for y in range(h):
        for x in range(w):
            mx, my = x - xd + xm, y - yd + ym
            if x >= xd and y >= yd and mx < mw and my < mh:
                px[y * w + x] = rule(method, px[y * w + x], mask[(my * mw + mx) * mbpp], inverse)
    return pack_pixels(px, bpp)


def random_image(rng, w, h, bpp):
    top = 0xFFFF if bpp in (6, 8) else 0xFF
    n = bpp // (2 if bpp in (6, 8) else 1)
    return pack_pixels([[rng.choice([0, 1, top, rng.randrange(top + 1)]) for _ in range(n)] for _ in range(w * h)], bpp)


def random_mask(rng, w, h, mbpp):
    return bytes(rng.choice([0, 1, 254, 255, rng.randrange(256)]) for _ in range(w * h * mbpp))


SAME, NARROW, WIDE = (13, 7, 1, BYTE, BYTE), (5, 4, 2, CHUNK, BYTE), (20, 9, 4, BYTE, CHUNK)
# Offsets negative, positive, at and past the mask's edge, as wide as the destination or wider, and the int extremes.
PLACEMENTS = [(SAME, 0, 0), (SAME, -5, 0), (SAME, 3, 2), (SAME, 0, 7), (SAME, -13, 0), (SAME, -14, -50),
              (SAME, -2**31, 0), (SAME, 2**31 - 1, 2**31 - 1), (NARROW, -2, 4), (NARROW, 100, 100), (NARROW, 0, -2**31),
              (WIDE, 0, 0), (WIDE, 6, -1), ((13, 7, 3, CHUNK, CHUNK), 1, 1), ((7, 11, 8, BYTE, BYTE), -3, 2)]


@pytest.mark.parametrize("mask_shape, sx, sy", PLACEMENTS)
@pytest.mark.parametrize("bpp", [4, 8])
@pytest.mark.parametrize("inverse", [False, True])
@pytest.mark.parametrize("method", [ALPHA, COLOR])
def test_against_the_rules(util, make_buf, trace, method, inverse, bpp, mask_shape, sx, sy):
    mw, mh, mbpp, mask_type, dst_type = mask_shape
    rng = random.Random(f"{method}{inverse}{bpp}{mask_shape}{sx}{sy}")
    dst_data, mask_data = random_image(rng, 13, 7, bpp), random_mask(rng, mw, mh, mbpp)
    dst, mask = make_buf(dst_data, 13, 7, bpp, dst_type), make_buf(mask_data, mw, mh, mbpp, mask_type)
    call = getattr(util, method)
    assert (call(dst, mask, sx, sy, inverse) if inverse else call(dst, mask, sx, sy)) == S_OK
    assert zb.to_bytes(dst) == model(method, dst_data, 13, 7, bpp, mask_data, mw, mh, mbpp, sx, sy, inverse)
    assert zb.to_bytes(mask) == mask_data
    assert trace() == traced(method)


@pytest.mark.parametrize("method, inverse, bpp, pixel, mask, mbpp, expected", [
    # Alpha: under m = 0 a transparent pixel keeps its colour and a visible one is cleared; 200 * 128 // 255.
    (ALPHA, False, 4, (9, 8, 7, 0), 0, 1, (9, 8, 7, 0)), (ALPHA, False, 4, (9, 8, 7, 200), 0, 1, (0, 0, 0, 0)),
    (ALPHA, False, 4, (9, 8, 7, 200), 128, 1, (9, 8, 7, 100)),
    # Alpha, inverse: 255 clears the pixel completely, even a transparent one.
    (ALPHA, True, 4, (9, 8, 7, 0), 255, 1, (0, 0, 0, 0)), (ALPHA, True, 4, (9, 8, 7, 200), 127, 1, (9, 8, 7, 100)),
    (ALPHA, False, 8, (1, 2, 3, 65535), 254, 1, (1, 2, 3, 65278)),  # 16-bit alpha times a byte
    # Colour: 0 (normal) or 255 (inverse) makes the colours 0; alpha never changes.
    (COLOR, False, 4, (10, 20, 30, 40), 0, 1, (0, 0, 0, 40)), (COLOR, True, 4, (10, 20, 30, 40), 255, 1, (0, 0, 0, 40)),
    (COLOR, False, 4, (255, 128, 1, 7), 128, 1, (128, 64, 0, 7)),
    (COLOR, False, 8, (65535, 1000, 1, 9), 128, 1, (32896, 501, 0, 9)),
    # Only the first byte of a wider mask pixel counts: the low byte of a 16-bit mask, the blue of a colour one.
    (ALPHA, False, 4, (9, 8, 7, 200), (0x00, 0xFF), 2, (0, 0, 0, 0)),
    (ALPHA, False, 4, (9, 8, 7, 200), (128, 255, 255, 255), 4, (9, 8, 7, 100)),
    # Formats without alpha are accepted and left alone.
    (ALPHA, False, 3, (9, 8, 7), 0, 1, (9, 8, 7)), (COLOR, False, 6, (9, 8, 7), 0, 1, (9, 8, 7)),
])
def test_worked_examples(util, make_buf, trace, method, inverse, bpp, pixel, mask, mbpp, expected):
    dst = make_buf(pack_pixels([pixel], bpp), 1, 1, bpp)
    m = make_buf(bytes(mask if isinstance(mask, tuple) else (mask,)), 1, 1, mbpp)
    assert getattr(util, method)(dst, m, 0, 0, inverse) == S_OK
    assert zb.to_bytes(dst) == pack_pixels([expected], bpp)
    assert trace() == traced(method)


@pytest.mark.parametrize("sx, alpha", [(-5, [255] * 5 + [10, 20, 30, 40, 255]), (9, [40] + [255] * 9),
                                       (0, [10, 20, 30, 40] + [255] * 6)])
def test_placement_examples(util, make_buf, sx, alpha):
    # An opaque 10 x 1 row under a 4 x 1 mask 10, 20, 30, 40: the alpha each column ends with.
    dst, mask = make_buf(bytes([1, 1, 1, 255]) * 10, 10, 1, 4), make_buf(bytes([10, 20, 30, 40]), 4, 1, 1)
    assert util.UpdateAlphaChannelByMask(dst, mask, sx, 0) == S_OK
    assert list(zb.to_bytes(dst)[3::4]) == alpha


NO_DATA = "[UpdateImageBufferWithMask]No Data to DeleteImageBuffer"


@pytest.mark.parametrize("method", [ALPHA, COLOR])
@pytest.mark.parametrize("args, dst_type, mask_type, fault, why", [
    ("-m", BYTE, CHUNK, None, None), ("d-", BYTE, CHUNK, None, None),
    ("--", BYTE, CHUNK, None, None),  # two nulls are null, not the same buffer
    ("dd", BYTE, CHUNK, None, "[UpdateImageBufferWithMask]Mask is the destination buffer"),
    # The mask is locked first, then the destination; both are checked for data before their row tables.
    ("dm", BYTE, CHUNK, ("lock", 0), NO_DATA), ("dm", BYTE, CHUNK, ("lock", 1), NO_DATA),
    ("dm", BYTE, CHUNK, ("lock_no_data", 0), NO_DATA), ("dm", BYTE, PLANAR, ("lock_no_data", 1), NO_DATA),
    ("dm", BYTE, PLANAR, None, "[UpdateImageBufferWithMask]No Stride table null, valid"),
    ("dm", PLANAR, CHUNK, None, "[UpdateImageBufferWithMask]No Stride table valid, null"),
    ("dm", PLANAR, PLANAR, None, "[UpdateImageBufferWithMask]No Stride table null, null"),
])
def test_refusals(util, make_buf, trace, method, args, dst_type, mask_type, fault, why):
    rng = random.Random(f"{args}{dst_type}{mask_type}{fault}")
    dst_data, mask_data = random_image(rng, 3, 2, 4), random_mask(rng, 3, 2, 4)
    dst, mask = make_buf(dst_data, 3, 2, 4, dst_type), make_buf(mask_data, 3, 2, 4, mask_type)
    if fault:
        zb.fail_next(fault[0], skip=fault[1])
    args = [{"d": dst, "m": mask, "-": None}[c] for c in args]
    assert getattr(util, method)(*args, 0, 0) == E_POINTER
    assert (zb.to_bytes(dst), zb.to_bytes(mask)) == (dst_data, mask_data)
    assert trace() == traced(method)[:1] + ([line(why)] if why else [])
    assert zb.info(dst)["lock_count"] == zb.info(mask)["lock_count"] == 0


def test_large_buffers_run_in_parallel_bands(util, keep):
    import numpy as np
    rng = np.random.default_rng(7)
    img = rng.integers(0, 256, (700, 333, 4), np.uint8)
    m = rng.integers(0, 256, (700, 333), np.uint8)
    dst, mask = keep(zb.from_numpy(img, CHUNK)), keep(zb.from_numpy(m))
    assert util.UpdateAlphaChannelByMask(dst, mask, -3, 2, True) == S_OK
    exp = img.copy()
    part, w = exp[:698, 3:], (255 - m[2:, :330]).astype(np.uint32)
    a = part[..., 3].astype(np.uint32)
    new = part.copy()
    new[..., 3] = a * w // 255
    new[w == 0] = 0
    exp[:698, 3:] = new
    assert np.array_equal(zb.to_numpy(dst), exp)


@pytest.mark.parametrize("args", [(0, 0, None), (0,)])
def test_overload_message(mod, util, make_buf, args):
    buf = make_buf(bytes(4), 1, 1, 4)
    with pytest.raises(TypeError) as e:
        mod.PyQelBufferUtility_UpdateColorChannelByMask(util, buf, buf, *args)
    assert str(e.value) == (
        "Wrong number or type of arguments for overloaded function 'PyQelBufferUtility_UpdateColorChannelByMask'.\n"
        "  Possible C/C++ prototypes are:\n"
        "    PyQelBufferUtility::UpdateColorChannelByMask(CQELImageBuffer *,CQELImageBuffer *,int,int,bool)\n"
        "    PyQelBufferUtility::UpdateColorChannelByMask(CQELImageBuffer *,CQELImageBuffer *,int,int)\n")
