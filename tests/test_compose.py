"""Composition onto an oriented buffer, and bars and frames drawn into one,
against a small Python model of the orientation mapping, the colour
converter and the blend."""
import math
import random
import re
import struct

import pytest

from conftest import E_POINTER, S_OK, end, entry, line

COMPOSE, SETTING = "PyQelBufferUtility::ComposeWithBuffer", "PyQelBufferUtility::ComposeWithSetting"
BYTE, CHUNK, PLANAR = 0, 1, 2
ANGLE = [0, 0, 180, 180, 90, 270, 270, 90]
NO_NEED = line("[ComposeWithBuffer]No Need to Composite")


def f32(v):
    """A Python float as the method receives it: rounded to a C float."""
    return struct.unpack("f", struct.pack("f", v))[0]


# ---- the model -------------------------------------------------------------------

def stored(orientation, dx, dy, w, h):
    """Displayed (dx, dy) to stored (x', y'), from the angle as a rotation with truncated products."""
    if not 1 <= orientation <= 8:
        return dx, dy
    theta = math.radians(ANGLE[orientation - 1])
    c, s = math.cos(theta), math.sin(theta)
    e = int(dx * c) - int(dy * s)
    f = int(dx * s) + int(dy * c)
    if orientation == 1:
        return dx, dy
    if orientation == 2:
        return w - dx, dy
    if orientation in (5, 8):
        x = e + w
        return (w - x if orientation == 5 else x), f
    if orientation in (3, 4):
        return (e + w if orientation == 3 else -e), f + h
    return (e if orientation == 6 else w - e), f + h


def word(px, i, size):
    return int.from_bytes(px[i * size:(i + 1) * size], "little")


def convert(px, ndst, nsrc):
    """A source pixel (bytes) as a packed colour in the destination's layout."""
    if ndst == 1:
        return px[0]
    if ndst == 4:
        if nsrc == 4:
            return int.from_bytes(px, "little")
        if nsrc == 8:
            return sum((word(px, c, 2) >> 8) << (8 * c) for c in range(4))
    if ndst == 8:
        if nsrc == 4:
            return sum((px[c] << 8) << (16 * c) for c in range(4))
        if nsrc == 8:
            return int.from_bytes(px, "little")
    return 0


def blend(px, color, alpha, ndst, replace):
    """A destination pixel (bytes) after the colour is mixed in."""
    a = max(0.0, min(1.0, alpha))
    if ndst == 1:
        return bytes([px[0] | int((color & 0xFF) * a)])
    if ndst not in (4, 8):
        return px
    bits = 8 if ndst == 4 else 16
    top = (1 << bits) - 1
    chan = [(color >> (bits * c)) & top for c in range(4)]
    d = [word(px, c, bits // 8) for c in range(4)]
    if chan[3] == 0:
        return px
    ea = int(chan[3] * a)
    out = [(chan[c] * ea + d[c] * (top - ea)) >> bits for c in range(3)]
    out.append(top if d[3] == top else ea if replace else d[3] - d[3] * ea // top + ea)
    return b"".join(v.to_bytes(bits // 8, "little") for v in out)


class Image:
    def __init__(self, data, w, h, bpp):
        self.px = [bytes(data[i:i + bpp]) for i in range(0, w * h * bpp, bpp)]
        self.w, self.h, self.bpp = w, h, bpp

    def data(self):
        return b"".join(self.px)

    def mix(self, orientation, dx, dy, color, alpha, replace):
        x, y = stored(orientation, dx, dy, self.w, self.h)
        if 0 <= x < self.w and 0 <= y < self.h:
            self.px[y * self.w + x] = blend(self.px[y * self.w + x], color, alpha, self.bpp, replace)


def model_compose(dst, src, x, y, sw, sh, alpha, orientation, replace):
    if alpha == 0.0:
        return
    for j in range(sh):
        for i in range(sw):
            dst.mix(orientation, x + i, y + j, convert(src.px[j * src.w + i], dst.bpp, src.bpp), f32(alpha), replace)


def model_bar(dst, x, y, w, h, color, alpha, orientation, replace):
    for i in range(max(h, 0)):
        for j in range(max(w, 0)):
            dst.mix(orientation, x + j, y + i, color, alpha, replace)


def pixels(rng, n, bpp):
    """Random pixels whose alpha is often one of the interesting values."""
    out = bytearray()
    for _ in range(n):
        px = bytearray(rng.randbytes(bpp))
        if bpp in (4, 8) and rng.random() < 0.5:
            top = 255 if bpp == 4 else 65535
            px[-bpp // 4:] = rng.choice([0, top, top // 2 + 1]).to_bytes(bpp // 4, "little")
        out += px
    return bytes(out)


# ---- composition -------------------------------------------------------------------

DW, DH, SW, SH = 11, 7, 6, 9
POSITIONS = [(0, 0), (-3, -2), (7, 4), (DW - 1, DH - 1), (-5, 3), (2, -8), (DH - 2, DW - 3), (9, -1)]
ALPHAS = [0.3, 1.0, -0.5, 1.7, float("inf"), float("nan"), 1e-30, 2 ** -8, 2 ** -9]


@pytest.mark.parametrize("dst_type, src_type", [(BYTE, BYTE), (CHUNK, CHUNK)])
@pytest.mark.parametrize("ndst, nsrc", [(4, 4), (4, 8), (8, 4), (8, 8), (1, 4)])
@pytest.mark.parametrize("orientation", [1, 2, 3, 4, 5, 6, 7, 8, 0, 9, -1])
def test_compose_matches_model(util, zb, make_buf, orientation, ndst, nsrc, dst_type, src_type):
    rng = random.Random(orientation * 100 + ndst * 10 + nsrc + dst_type)
    dst_data, src_data = pixels(rng, DW * DH, ndst), pixels(rng, SW * SH, nsrc)
    # Tall CHUNK buffers have rows in several chunks, so the transposed orientations walk uneven rows.
    dst = make_buf(dst_data, DW, DH, ndst, dst_type)
    src = make_buf(src_data, SW, SH, nsrc, src_type)
    model, source = Image(dst_data, DW, DH, ndst), Image(src_data, SW, SH, nsrc)
    for k, (x, y) in enumerate(POSITIONS):
        # Every other pair of positions uses the long form with part of the source.
        replace, alpha, part = k % 2 == 1, ALPHAS[(k + orientation + ndst) % len(ALPHAS)], k % 4 >= 2
        assert util.ComposeWithBuffer(dst, src, x, y, *((4, 5) if part else ()), alpha, orientation, replace) == S_OK
        model_compose(model, source, x, y, *((4, 5) if part else (SW, SH)), alpha, orientation, replace)
        assert zb.to_bytes(dst) == model.data(), (x, y, alpha)
    assert zb.to_bytes(src) == src_data


@pytest.mark.parametrize("ndst", [1, 2, 3, 4, 6, 8])
@pytest.mark.parametrize("nsrc", [1, 2, 3, 4, 6, 8])
def test_every_format_pair(util, zb, make_buf, ndst, nsrc):
    rng = random.Random(ndst * 10 + nsrc)
    dst_data, src_data = pixels(rng, 5 * 4, ndst), pixels(rng, 3 * 3, nsrc)
    dst, src = make_buf(dst_data, 5, 4, ndst), make_buf(src_data, 3, 3, nsrc)
    model = Image(dst_data, 5, 4, ndst)
    model_compose(model, Image(src_data, 3, 3, nsrc), 1, 1, 3, 3, 0.7, 5, False)
    assert util.ComposeWithBuffer(dst, src, 1, 1, 0.7, 5) == S_OK
    assert zb.to_bytes(dst) == model.data()
    if ndst in (2, 3, 6) or (ndst != 1 and nsrc not in (4, 8)):
        assert model.data() == dst_data  # the pairs without a rule leave the destination alone


@pytest.mark.parametrize("dst_px, src_px, bpp, alpha, replace, expected", [
    ((1, 2, 3, 4), (255, 255, 255, 255), 4, 1.0, False, (254, 254, 254, 255)),
    ((100, 100, 100, 0), (0, 0, 0, 128), 4, 1.0, False, (49, 49, 49, 128)),
    ((100, 100, 100, 128), (0, 0, 0, 128), 4, 1.0, False, (49, 49, 49, 192)),
    ((100, 100, 100, 255), (0, 0, 0, 128), 4, 1.0, True, (49, 49, 49, 255)),
    ((100, 100, 100, 77), (9, 9, 9, 0), 4, 1.0, True, (100, 100, 100, 77)),  # source alpha 0: untouched
    ((200, 100, 255, 9), (1, 1, 1, 200), 4, -1.0, True, (199, 99, 254, 0)),  # clamped to 0: floor(255 d / 256)
    ((0x0F,), (0xF0,), 1, 1.0, False, (0xFF,)),
])
def test_worked_examples(util, zb, make_buf, dst_px, src_px, bpp, alpha, replace, expected):
    dst, src = make_buf(bytes(dst_px), 1, 1, bpp), make_buf(bytes(src_px), 1, 1, bpp)
    assert util.ComposeWithBuffer(dst, src, 0, 0, alpha, 1, replace) == S_OK
    assert tuple(zb.to_bytes(dst)) == expected


def test_mirrored_axes_drop_an_edge(util, zb, make_buf):
    # Orientation 2 maps displayed column 0 to stored column W (clipped); orientation 6 sends (x, y) to (y, H - x).
    dst = make_buf(bytes(4 * 4 * 3), 4, 3, 4)
    src = make_buf(b"".join(bytes((16 * i + j, 0, 0, 255)) for j in range(3) for i in range(4)), 4, 3, 4)
    assert util.ComposeWithBuffer(dst, src, 0, 0, 1.0, 2) == S_OK
    got = zb.to_bytes(dst)
    assert [got[4 * (j * 4 + c)] for j in range(3) for c in range(4)] == \
        [0 if c == 0 else ((16 * (4 - c) + j) * 255) >> 8 for j in range(3) for c in range(4)]
    dst6 = make_buf(bytes(4 * 5 * 5), 5, 5, 4)
    assert util.ComposeWithBuffer(dst6, src, 0, 0, 1.0, 6) == S_OK
    got = zb.to_bytes(dst6)
    hit = {(x, y) for y in range(5) for x in range(5) if got[4 * (y * 5 + x) + 3]}
    assert hit == {(j, 5 - i) for i in range(1, 4) for j in range(3)}


@pytest.mark.parametrize("x, y", [(2 ** 31 - 1, 0), (-2 ** 31, -2 ** 31), (0, 2 ** 31 - 1), (-2 ** 31, 3),
                                  (2 ** 31 - 3, 2 ** 31 - 3)])
@pytest.mark.parametrize("orientation", [1, 2, 3, 5, 7])
def test_far_outside_changes_nothing(util, zb, make_buf, x, y, orientation):
    dst = make_buf(data := bytes(range(4 * 5 * 4)), 5, 4, 4)
    src = make_buf(b"\xff" * 4 * 6 * 6, 6, 6, 4)
    assert util.ComposeWithBuffer(dst, src, x, y, 1.0, orientation) == S_OK
    assert zb.to_bytes(dst) == data


@pytest.mark.parametrize("nw, nh, used", [(3, 2, (3, 2)), (0, 5, None), (4, -1, None), (50, 70, (SW, SH))])
def test_part_of_the_source(util, zb, make_buf, trace, nw, nh, used):
    rng = random.Random(nw)
    dst_data, src_data = pixels(rng, DW * DH, 4), pixels(rng, SW * SH, 4)
    dst, src = make_buf(dst_data, DW, DH, 4), make_buf(src_data, SW, SH, 4)
    model = Image(dst_data, DW, DH, 4)
    if used:
        model_compose(model, Image(src_data, SW, SH, 4), 1, 0, *used, 0.5, 1, False)
    assert util.ComposeWithBuffer(dst, src, 1, 0, nw, nh, 0.5, 1) == S_OK
    assert zb.to_bytes(dst) == model.data()
    assert trace() == [entry(COMPOSE), end(COMPOSE)]  # the long form logs no start lines


@pytest.mark.parametrize("orientation", [1, 3, 6])
def test_onto_itself_reads_the_source_as_it_was(util, zb, make_buf, orientation):
    rng = random.Random(orientation)
    data = pixels(rng, 9 * 9, 4)
    buf = make_buf(data, 9, 9, 4)
    model = Image(data, 9, 9, 4)
    model_compose(model, Image(data, 9, 9, 4), 2, 1, 9, 9, 0.6, orientation, False)
    assert util.ComposeWithBuffer(buf, buf, 2, 1, 0.6, orientation) == S_OK
    assert zb.to_bytes(buf) == model.data()


def test_trace_of_a_composition(util, make_buf, trace):
    dst, src = make_buf(bytes(4 * 6 * 5), 6, 5, 4), make_buf(bytes(8 * 3 * 2), 3, 2, 8)
    assert util.ComposeWithBuffer(dst, src, 0, 0, 0.5, 7) == S_OK
    assert trace() == [entry(COMPOSE), line("[ComposeWithBuffer]Composite Start, Src size over Dst size: 6, 30"),
                       line("[ComposeWithBuffer]Dst and Src Byte per Pixel: 4, 8"),
                       line("[ComposeWithBuffer]nOrientation 7"), end(COMPOSE)]


@pytest.mark.parametrize("case, hr, why", [
    ("null dst", E_POINTER, None), ("null src", E_POINTER, None), ("zero alpha", S_OK, "No Need to Composite"),
    ("src lock fails", E_POINTER, "No Data to Composite"), ("dst lock fails", E_POINTER, "No Data to Composite"),
    ("dst lock without data", E_POINTER, "No Data to Composite"),
    ("planar src", E_POINTER, r"No Stride table \(null\), 0x[0-9a-f]+"),
    ("planar dst", E_POINTER, r"No Stride table 0x[0-9a-f]+, \(null\)"),
])
def test_refusals(util, zb, make_buf, trace, case, hr, why):
    dst = make_buf(data := bytes(range(48)), 4, 3, 4, PLANAR if case == "planar dst" else BYTE)
    src = make_buf(b"\xff" * 16, 2, 2, 4, PLANAR if case == "planar src" else BYTE)
    alpha = 0.0 if case == "zero alpha" else 1.0
    args = [None if case == "null dst" else dst, None if case == "null src" else src]
    # The source is locked first.
    fault = {"src lock fails": ("lock", 0), "dst lock fails": ("lock", 1), "dst lock without data": ("lock_no_data", 1)}
    if case in fault:
        zb.fail_next(fault[case][0], 1, skip=fault[case][1])
    assert util.ComposeWithBuffer(*args, 0, 0, alpha, 1) == hr
    assert zb.to_bytes(dst) == data
    lines = trace()
    assert lines[0] == entry(COMPOSE) and len(lines) == (2 if why else 1)
    assert not why or re.fullmatch(re.escape(line("[ComposeWithBuffer]")) + why, lines[1])


def test_overload_message(mod, util, make_buf):
    buf = make_buf(bytes(4), 1, 1, 4)
    with pytest.raises(TypeError) as e:
        mod.PyQelBufferUtility_ComposeWithBuffer(util, buf, buf, 0, 0, 1.0, 1, 1)
    assert str(e.value) == (
        "Wrong number or type of arguments for overloaded function 'PyQelBufferUtility_ComposeWithBuffer'.\n"
        "  Possible C/C++ prototypes are:\n"
        "    PyQelBufferUtility::ComposeWithBuffer(CQELImageBuffer *,CQELImageBuffer *,int,int,float,int,bool)\n"
        "    PyQelBufferUtility::ComposeWithBuffer(CQELImageBuffer *,CQELImageBuffer *,int,int,float,int)\n"
        "    PyQelBufferUtility::ComposeWithBuffer(CQELImageBuffer *,CQELImageBuffer *,int,int,int,int,float,int,"
        "bool)\n"
        "    PyQelBufferUtility::ComposeWithBuffer(CQELImageBuffer *,CQELImageBuffer *,int,int,int,int,float,int)\n")


# ---- bars and frames -------------------------------------------------------------------

def bar_color(dw_color, bpp):
    return convert(dw_color.to_bytes(4, "little"), bpp, 4)


def shadow_color(bpp):
    return {4: 0xFF000000, 8: 0xFF00000000000000}.get(bpp, 0)


def model_setting(img, roi, m, t, dw_color, alpha, d, orientation, bar_or_frame=0, horv=0, replace=False):
    x, y, w, h = roi
    ew, eh = w or img.w, h or img.h
    L, D = (eh, ew) if 5 <= orientation <= 8 else (ew, eh)
    color, shadow = bar_color(dw_color, img.bpp), shadow_color(img.bpp)
    a, half = f32(alpha), f32(f32(alpha) * f32(0.5))
    if bar_or_frame:
        bar = (x, y + m, L, t) if horv else (x + m, y, t, D)
        if d:
            sx, sy = (bar[0], bar[1] + d) if horv else (bar[0] + d, bar[1])
            model_bar(img, sx, sy, bar[2], bar[3], shadow, half, orientation, replace)
        model_bar(img, *bar, color, a, orientation, replace)
        return
    sides = [(x + m, y + m, L - 2 * m, t), (x + m, y + D - m - t, L - 2 * m, t),
             (x + m, y + m + t, t, D - 2 * (m + t)), (x + L - m - t, y + m + t, t, D - 2 * (m + t))]
    if d:
        for sx, sy, sw, sh in sides:
            model_bar(img, sx + d, sy + d, sw, sh, shadow, half, orientation, replace)
    for side in sides:
        model_bar(img, *side, color, a, orientation, replace)


# A 2-wide frame; a horizontal bar under orientation 6 is stored column 0, its first displayed pixel clipped.
@pytest.mark.parametrize("w, h, bpp, args, drawn", [
    (10, 8, 4, (0, 2, 0xFF0000FF, 1.0, 0, 1),
     {(x, y) for y in range(8) for x in range(10) if y in (0, 1, 6, 7) or x in (0, 1, 8, 9)}),
    (100, 50, 1, (0, 1, 0xFF, 1.0, 0, 6, 1, 1), {(0, y) for y in range(1, 50)}),
])
def test_hand_worked_decorations(util, zb, make_buf, w, h, bpp, args, drawn):
    buf = make_buf(bytes(w * h * bpp), w, h, bpp)
    assert util.ComposeWithSetting(buf, None, *args) == S_OK
    got = zb.to_bytes(buf)
    assert {(i // bpp % w, i // bpp // w) for i, v in enumerate(got) if v} == drawn


@pytest.mark.parametrize("bpp, alloc_type", [(4, BYTE), (8, BYTE), (1, BYTE), (4, CHUNK), (3, BYTE)])
@pytest.mark.parametrize("orientation", [1, 3, 6, 8])
@pytest.mark.parametrize("kind, horv, roi, m, t, d", [
    ("bar", 1, None, 2, 3, 0), ("bar", 1, None, 1, 2, 2), ("bar", 0, (2, 1, 9, 6, 0.5), 1, 2, 3),
    ("bar", 0, None, -1, 40, -2),
    ("frame", 0, None, 1, 2, 0), ("frame", 0, None, 0, 2, 2), ("frame", 0, (3, -2, 8, 10, 0.0), 1, 1, 1),
    ("frame", 0, None, 2, 3, 1),  # sides overlap (D < 2(m + t)): run one after the other
    ("frame", 0, (-4, 5, 30, 0, 1.0), 0, 5, -3), ("frame", 0, None, 3, -2, 0),
])
def test_decorations_match_model(util, zb, make_buf, trace, bpp, alloc_type, orientation, kind, horv, roi, m, t, d):
    rng = random.Random(hash((bpp, orientation, kind, m, t, d)) & 0xFFFF)
    w, h = 14, 9
    data = pixels(rng, w * h, bpp)
    buf = make_buf(data, w, h, bpp, alloc_type)
    color = rng.choice([0x80FF0000, 0xFF123456, 0x7F00FF80])
    model = Image(data, w, h, bpp)
    bar = kind == "bar"
    model_setting(model, roi[:4] if roi else (0, 0, 0, 0), m, t, color, 0.75, d, orientation, bar, horv,
                  replace=orientation == 3)
    assert util.ComposeWithSetting(buf, roi, m, t, color, 0.75, d, orientation, int(bar), horv,
                                   orientation == 3) == S_OK
    assert zb.to_bytes(buf) == model.data()
    start = "[ComposeWithSetting]Composite with Bar Start" if bar else "[ComposeWithSetting]Composite with Frame Start"
    used = [line("[ComposeWithSetting] Use ROI: %d, %d, %d, %d" % roi[:4])] if roi else []
    assert trace() == [entry(SETTING)] + used + [line(start), end(SETTING)]


def test_shadow_lies_under_the_bar_and_half_opacity(util, zb, make_buf):
    buf = make_buf(b"\xc8" * 4 * 6 * 4, 6, 4, 4)  # grey, alpha 200
    assert util.ComposeWithSetting(buf, None, 0, 2, 0x80FF0000, 1.0, 1, 1, 1, 1) == S_OK
    got = zb.to_bytes(buf)
    px = [tuple(got[4 * (y * 6):][:4]) for y in range(4)]
    # Rows 0-1 the bar (red at alpha 128, over the shadow on row 1), row 2 shadow only (black at 255 * 0.5 = 127).
    shadowed = tuple((200 * 128) >> 8 for _ in range(3)) + (200 - 200 * 127 // 255 + 127,)
    assert px[3] == (200, 200, 200, 200)
    assert px[2] == shadowed
    assert px[0] == ((200 * 127) >> 8, (200 * 127) >> 8, (255 * 128 + 200 * 127) >> 8, 200 - 200 * 128 // 255 + 128)
    assert px[1] == tuple((s * 127) >> 8 for s in shadowed[:2]) + ((255 * 128 + shadowed[2] * 127) >> 8,) + (
        shadowed[3] - shadowed[3] * 128 // 255 + 128,)


@pytest.mark.parametrize("roi, region", [
    ((1, 2, 5, 4, 0.5), (1, 2, 5, 4)), ((1, 2, 5, 4), None), ([1, 2, 5, 4, 0.5], None), ("abcde", None),
    ((1, 2, 5, 4, 7), (1, 2, 5, 4)),
    # A bad item: the values before it are kept, the rest stay 0.
    ((1, 2, "x", 4, 0.5), (1, 2, 0, 0)), ((1.5, 2, 5, 4, 0.5), (0, 0, 0, 0)), ((3, 1, 4, 4, "f"), (3, 1, 4, 4)),
    ((1, 2, 3, 2 ** 40, 0.5), (1, 2, 3, 0)),
])
def test_region_tuples(util, zb, make_buf, trace, roi, region):
    buf = make_buf(bytes(4 * 9 * 8), 9, 8, 4)
    model = Image(bytes(4 * 9 * 8), 9, 8, 4)
    model_setting(model, region or (0, 0, 0, 0), 0, 1, 0xFF00FF00, 1.0, 0, 1)
    assert util.ComposeWithSetting(buf, roi, 0, 1, 0xFF00FF00, 1.0, 0, 1) == S_OK
    assert zb.to_bytes(buf) == model.data()
    used = [line("[ComposeWithSetting] Use ROI: %d, %d, %d, %d" % region)] if region else []
    assert trace() == [entry(SETTING)] + used + [line("[ComposeWithSetting]Composite with Frame Start"), end(SETTING)]


@pytest.mark.parametrize("case, why", [
    ("null", "[ComposeWithSetting]No Need to Composite"), ("thickness 0", "[ComposeWithSetting]No Need to Composite"),
    ("alpha 0", "[ComposeWithSetting]No Need to Composite"), ("lock fails", "[ComposeWithSetting]No Data to Composite"),
    ("lock without data", "[ComposeWithSetting]No Data to Composite"),
    ("planar", "[ComposeWithSetting]No Data to Composite"),
])
def test_setting_refusals(util, zb, make_buf, trace, case, why):
    buf = make_buf(data := bytes(range(48)), 4, 3, 4, PLANAR if case == "planar" else BYTE)
    if case.startswith("lock"):
        zb.fail_next("lock_no_data" if "without" in case else "lock")
    args = [None if case == "null" else buf, (0, 0, 2, 2, 0.0), 0, 0 if case == "thickness 0" else 1, 0xFFFFFFFF,
            0.0 if case == "alpha 0" else 1.0, 0, 1]
    assert util.ComposeWithSetting(*args) == E_POINTER
    assert zb.to_bytes(buf) == data
    roi = [] if why.endswith("No Need to Composite") else [line("[ComposeWithSetting] Use ROI: 0, 0, 2, 2")]
    assert trace() == [entry(SETTING)] + roi + [line(why)]


@pytest.mark.parametrize("orientation", [5, 6, 7, 8, 2, 3])
@pytest.mark.parametrize("x, y", [(0, 0), (-37, 21), (70, -90)])
def test_large_sources_cross_many_tiles(util, zb, make_buf, orientation, x, y):
    # Wider than one tile of columns and taller than one band of rows, ragged at both ends.
    rng = random.Random(orientation * 7 + x)
    w, h, sw, sh = 97, 151, 150, 43
    dst_data, src_data = pixels(rng, w * h, 4), pixels(rng, sw * sh, 4)
    dst, src = make_buf(dst_data, w, h, 4, CHUNK), make_buf(src_data, sw, sh, 4)
    model = Image(dst_data, w, h, 4)
    model_compose(model, Image(src_data, sw, sh, 4), x, y, sw, sh, 0.45, orientation, True)
    assert util.ComposeWithBuffer(dst, src, x, y, 0.45, orientation, True) == S_OK
    assert zb.to_bytes(dst) == model.data()


@pytest.mark.parametrize("orientation", [5, 6, 7, 8, 4])
def test_large_frame_with_shadow(util, zb, make_buf, orientation):
    rng = random.Random(orientation)
    w, h = 150, 131
    data = pixels(rng, w * h, 8)
    buf = make_buf(data, w, h, 8, CHUNK)
    model = Image(data, w, h, 8)
    model_setting(model, (-2, 3, 0, 140), 3, 5, 0xC0112233, 0.6, 4, orientation)
    assert util.ComposeWithSetting(buf, (-2, 3, 0, 140, 0.0), 3, 5, 0xC0112233, 0.6, 4, orientation) == S_OK
    assert zb.to_bytes(buf) == model.data()


@pytest.mark.parametrize("extra, bar, horv, replace", [((), 0, 0, False), ((1,), 1, 0, False), ((1, 1), 1, 1, False),
                                                       ((0, 0, True), 0, 0, True)])
def test_setting_forms_fill_in_the_defaults(util, zb, make_buf, extra, bar, horv, replace):
    data = pixels(random.Random(len(extra)), 12 * 10, 4)
    buf = make_buf(data, 12, 10, 4)
    model = Image(data, 12, 10, 4)
    model_setting(model, (0, 0, 0, 0), 1, 2, 0x9A00FF00, 0.5, 1, 1, bar, horv, replace)
    assert util.ComposeWithSetting(buf, None, 1, 2, 0x9A00FF00, 0.5, 1, 1, *extra) == S_OK
    assert zb.to_bytes(buf) == model.data()
