"""ImagePixelConvert, ImagePixelConvertByMask and ClearBGRByAlphaChannel:
pixels against a plain Python model of each rule, trace lines, failures."""
import random
import struct

import pytest

from conftest import addr32, end, entry, make_utility, PREFIX

BYTE, CHUNK, PLANAR = 0, 1, 2
W, H = 37, 9  # a vector body plus a tail per row; three chunks of rows

IPC = "PyQelBufferUtility::ImagePixelConvert"
IPCM = "PyQelBufferUtility::ImagePixelConvertByMask"
CLR = "PyQelBufferUtility::ClearBGRByAlphaChannel"


# --- pixel packing -------------------------------------------------------

def pack(pixels, bpp):
    """Flat channel list -> bytes (16-bit channels little-endian for 8 BPP)."""
    if bpp == 8:
        return struct.pack(f"<{len(pixels)}H", *pixels)
    return bytes(pixels)


def unpack(data, bpp):
    if bpp == 8:
        return list(struct.unpack(f"<{len(data) // 2}H", data))
    return list(data)


def random_pixels(rng, n, bpp):
    top = 0xFFFF if bpp == 8 else 0xFF
    # Plenty of the extremes, where the arithmetic is most fragile.
    return [rng.choice((0, 1, top - 1, top)) if rng.random() < 0.2 else rng.randint(0, top) for _ in range(n * 4)]


# --- reference model -----------------------------------------------------

def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def ref_mode(px, mode, top):
    out = list(px)
    for i in range(0, len(px), 4):
        b, g, r, a = px[i:i + 4]
        if mode == 1:
            out[i:i + 4] = [b, g, r, top]
        elif mode == 2:
            out[i:i + 4] = [a, a, a, top]
        elif mode == 3:
            grey = (b + g + r) // 3
            out[i:i + 4] = [grey, grey, grey, top]
        elif mode == 4:
            out[i:i + 4] = [top - b, top - g, top - r, a]
    return out


def ref_invert_channel(c, m, top):
    # Weight and inverted share in single precision, the rest in double.
    w = f32(f32(m) / f32(255.0))
    inverted = f32(f32(top - c) * w)
    return int(inverted + c * (1.0 - w))


def ref_invert_by_mask(px, mask, top):
    out = list(px)
    for p in range(len(px) // 4):
        for c in range(3):
            out[4 * p + c] = ref_invert_channel(px[4 * p + c], mask[p], top)
    return out


def ref_clear(px, thr, top):
    thr &= top
    out = list(px)
    for i in range(0, len(px), 4):
        if px[i + 3] <= thr:
            out[i:i + 3] = [0, 0, 0]
    return out


# --- fixtures ------------------------------------------------------------

@pytest.fixture
def rng():
    return random.Random(20240611)


@pytest.fixture
def no_alloc_util(monkeypatch, capfd, tmp_path):
    return make_utility(monkeypatch, capfd, allocator=str(tmp_path / "missing.so"))


def pixels_of(zb, buf):
    info = zb.info(buf)
    return unpack(zb.to_bytes(buf), info["bpp"])


# --- ImagePixelConvert -----------------------------------------------------

@pytest.mark.parametrize("mode, bpp, pixel, expected", [
    (1, 4, [10, 20, 30, 40], [10, 20, 30, 255]),
    (2, 4, [10, 20, 30, 40], [40, 40, 40, 255]),
    (3, 4, [10, 20, 30, 40], [20, 20, 20, 255]),
    (4, 4, [10, 20, 30, 40], [245, 235, 225, 40]),
    (3, 4, [1, 1, 2, 0], [1, 1, 1, 255]),  # 4 / 3 rounds down
    (4, 8, [0, 0x1234, 0xFFFF, 7], [0xFFFF, 0xEDCB, 0, 7]),
])
def test_mode_worked_examples(util, zb, make_buf, keep, mode, bpp, pixel, expected):
    src = make_buf(pack(pixel, bpp), 1, 1, bpp)
    assert pixels_of(zb, keep(util.ImagePixelConvert(src, mode, False))) == expected
    assert pixels_of(zb, src) == pixel
    util.ImagePixelConvert(src, mode)
    assert pixels_of(zb, src) == expected


@pytest.mark.parametrize("alloc", [BYTE, CHUNK])
@pytest.mark.parametrize("bpp", [4, 8])
@pytest.mark.parametrize("mode", [1, 2, 3, 4])
def test_mode_new_buffer_matches_model(util, zb, make_buf, keep, trace, rng, mode, bpp, alloc):
    px = random_pixels(rng, W * H, bpp)
    src = make_buf(pack(px, bpp), W, H, bpp, alloc)
    zb.set_attributes(src, 0x1122334455667788, 0x99)
    live = zb.live_buffers()
    trace()
    out = keep(util.ImagePixelConvert(src, mode, False))
    assert trace() == [entry(IPC), end(IPC)]
    assert zb.live_buffers() == live + 1
    info = zb.info(out)
    assert (info["width"], info["height"], info["bpp"], info["alloc_type"]) == (W, H, bpp, BYTE)
    assert (info["attribute1"], info["attribute2"]) == (0x1122334455667788, 0x99)
    assert info["refcount"] == 1
    assert pixels_of(zb, out) == ref_mode(px, mode, 0xFFFF if bpp == 8 else 0xFF)
    assert pixels_of(zb, src) == px


@pytest.mark.parametrize("alloc", [BYTE, CHUNK])
@pytest.mark.parametrize("bpp", [4, 8])
@pytest.mark.parametrize("mode", [1, 2, 3, 4])
def test_mode_in_place_matches_model(util, zb, make_buf, trace, rng, mode, bpp, alloc):
    px = random_pixels(rng, W * H, bpp)
    src = make_buf(pack(px, bpp), W, H, bpp, alloc)
    live = zb.live_buffers()
    refs = zb.info(src)["refcount"]
    trace()
    out = util.ImagePixelConvert(src, mode)  # in place by default
    assert trace() == [entry(IPC), end(IPC)]
    # The source itself comes back, without an extra reference.
    assert addr32(out) == addr32(src)
    assert zb.info(src)["refcount"] == refs
    assert zb.live_buffers() == live
    assert pixels_of(zb, src) == ref_mode(px, mode, 0xFFFF if bpp == 8 else 0xFF)


@pytest.mark.parametrize("mode", [5, 6, 100, -1])
@pytest.mark.parametrize("alloc", [BYTE, CHUNK])
def test_mode_without_rule_changes_nothing(util, zb, make_buf, keep, trace, rng, mode, alloc):
    px = random_pixels(rng, W * H, 8)
    src = make_buf(pack(px, 8), W, H, 8, alloc)
    zb.set_attributes(src, 5, 6)
    trace()
    assert addr32(util.ImagePixelConvert(src, mode, True)) == addr32(src)
    assert pixels_of(zb, src) == px
    out = keep(util.ImagePixelConvert(src, mode, False))
    assert trace() == [entry(IPC), end(IPC)] * 2
    info = zb.info(out)
    assert (info["width"], info["height"], info["bpp"], info["attribute1"], info["attribute2"]) == (W, H, 8, 5, 6)
    # A separate result holds the unconverted source rather than blank pixels.
    assert pixels_of(zb, out) == px


def test_mode_zero_is_nothing_to_do(util, zb, make_buf, trace):
    src = make_buf(bytes(4), 1, 1, 4)
    live = zb.live_buffers()
    trace()
    assert util.ImagePixelConvert(src, 0, False) is None
    assert trace() == [entry(IPC), f"{PREFIX}Nothing to do"]
    assert zb.live_buffers() == live


@pytest.mark.parametrize("bpp, alloc, message", [
    (4, PLANAR, "Not Support for Planar"),
    (3, PLANAR, "Not Support for Planar"),
    (1, BYTE, "Only Support BGRA32 or BGRA64"),
    (2, BYTE, "Only Support BGRA32 or BGRA64"),
    (3, CHUNK, "Only Support BGRA32 or BGRA64"),
    (6, BYTE, "Only Support BGRA32 or BGRA64"),
])
def test_refused_formats(util, zb, make_buf, trace, bpp, alloc, message):
    src = make_buf(bytes(2 * 2 * bpp), 2, 2, bpp, alloc)
    mask = make_buf(bytes(4), 2, 2, 1)
    live = zb.live_buffers()
    trace()
    assert util.ImagePixelConvert(src, 1, False) is None
    assert util.ImagePixelConvertByMask(src, mask, 5, False) is None
    assert util.ClearBGRByAlphaChannel(src) is None
    lines = [f"{PREFIX}{message}"]
    assert trace() == [entry(IPC)] + lines + [entry(IPCM)] + lines + [entry(CLR)] + lines
    assert zb.live_buffers() == live


def test_null_source_and_missing_allocator(util, no_alloc_util, make_buf, trace):
    src = make_buf(bytes(4), 1, 1, 4)
    mask = make_buf(bytes(1), 1, 1, 1)
    trace()
    assert util.ImagePixelConvert(None, 1) is None
    assert util.ImagePixelConvertByMask(None, mask, 5) is None
    assert util.ImagePixelConvertByMask(src, None, 5) is None
    assert util.ClearBGRByAlphaChannel(None) is None
    assert trace() == [entry(IPC), entry(IPCM), entry(IPCM), entry(CLR)]
    assert no_alloc_util.ImagePixelConvert(src, 1) is None
    assert no_alloc_util.ImagePixelConvertByMask(src, mask, 5) is None
    assert no_alloc_util.ClearBGRByAlphaChannel(src) is None
    assert trace() == [entry(IPC), entry(IPCM), entry(CLR)]


@pytest.mark.parametrize("hr", [-2147024882, 0])
def test_allocation_failure_gives_none(util, zb, make_buf, trace, hr):
    src = make_buf(bytes([1, 2, 3, 4]), 1, 1, 4)
    mask = make_buf(bytes([9]), 1, 1, 1)
    live = zb.live_buffers()
    for call, name in [(lambda: util.ImagePixelConvert(src, 1, False), IPC),
                       (lambda: util.ImagePixelConvertByMask(src, mask, 5, False), IPCM),
                       (lambda: util.ClearBGRByAlphaChannel(src, 0), CLR)]:
        zb.fail_next("allocateImageBuffer", 1, hr)
        trace()
        assert call() is None
        assert trace() == [entry(name)]
        assert zb.info(src)["lock_count"] == 0
    assert zb.live_buffers() == live
    assert pixels_of(zb, src) == [1, 2, 3, 4]


@pytest.mark.parametrize("inplace", [True, False])
def test_source_lock_failure(util, zb, make_buf, trace, inplace):
    src = make_buf(bytes([10, 20, 30, 40]), 1, 1, 4)
    mask = make_buf(bytes([255]), 1, 1, 1)
    live = zb.live_buffers()
    refs = zb.info(src)["refcount"]
    for call, name in [(lambda: util.ImagePixelConvert(src, 4, inplace), IPC),
                       (lambda: util.ImagePixelConvertByMask(src, mask, 5, inplace), IPCM)]:
        zb.fail_next("lock")
        trace()
        out = call()
        assert trace() == [entry(name), f"{PREFIX}[{name}][{int(inplace)}] lock src failed, {addr32(src)}"]
        if inplace:
            assert addr32(out) == addr32(src)
        else:
            assert out is None
        assert zb.live_buffers() == live
        assert zb.info(src)["refcount"] == refs
        assert zb.info(mask)["lock_count"] == 0
    assert pixels_of(zb, src) == [10, 20, 30, 40]


@pytest.mark.parametrize("inplace", [True, False])
def test_lock_without_address_still_converts(util, zb, make_buf, keep, inplace):
    # Rows are reached through the row table, not the lock address.
    src = make_buf(bytes([10, 20, 30, 40] * 6), 3, 2, 4, CHUNK)
    zb.fail_next("lock_no_data")
    out = util.ImagePixelConvert(src, 4, inplace)
    if not inplace:
        out = keep(out)
    assert pixels_of(zb, out) == [245, 235, 225, 40] * 6


# --- ImagePixelConvertByMask -------------------------------------------------

@pytest.mark.parametrize("m, pixel, expected", [
    (255, [10, 20, 30, 40], [245, 235, 225, 40]),
    (0, [10, 20, 30, 40], [10, 20, 30, 40]),
    (128, [0, 0, 0, 9], [128, 128, 128, 9]),  # 255 * 128 / 255
])
def test_mask_invert_worked_examples(util, zb, make_buf, m, pixel, expected):
    src = make_buf(bytes(pixel), 1, 1, 4)
    mask = make_buf(bytes([m]), 1, 1, 1)
    util.ImagePixelConvertByMask(src, mask, 5)
    assert pixels_of(zb, src) == expected


@pytest.mark.parametrize("inplace", [True, False])
@pytest.mark.parametrize("mask_alloc", [BYTE, CHUNK])
@pytest.mark.parametrize("alloc", [BYTE, CHUNK])
@pytest.mark.parametrize("bpp", [4, 8])
def test_mask_invert_matches_model(util, zb, make_buf, keep, trace, rng, bpp, alloc, mask_alloc, inplace):
    px = random_pixels(rng, W * H, bpp)
    # Every mask value occurs, so each single-precision weight is exercised.
    mask_px = [rng.randint(0, 255) for _ in range(W * H - 256)] + list(range(256))
    rng.shuffle(mask_px)
    src = make_buf(pack(px, bpp), W, H, bpp, alloc)
    mask = make_buf(bytes(mask_px), W, H, 1, mask_alloc)
    zb.set_attributes(src, 7, 8)
    live = zb.live_buffers()
    trace()
    out = util.ImagePixelConvertByMask(src, mask, 5, inplace)
    assert trace() == [entry(IPCM), end(IPCM)]
    expected = ref_invert_by_mask(px, mask_px, 0xFFFF if bpp == 8 else 0xFF)
    if inplace:
        assert addr32(out) == addr32(src)
        assert zb.live_buffers() == live
        assert pixels_of(zb, src) == expected
    else:
        keep(out)
        assert zb.live_buffers() == live + 1
        info = zb.info(out)
        assert (info["alloc_type"], info["bpp"], info["attribute1"], info["attribute2"]) == (BYTE, bpp, 7, 8)
        assert pixels_of(zb, out) == expected
        assert pixels_of(zb, src) == px
    assert list(zb.to_bytes(mask)) == mask_px


def test_wide_mask_reads_one_byte_per_pixel(util, zb, make_buf, rng):
    # A mask of another format is read as bytes of its row, one per pixel.
    px = random_pixels(rng, 5 * 3, 4)
    mask_bytes = bytes(rng.randint(0, 255) for _ in range(5 * 3 * 4))
    src = make_buf(pack(px, 4), 5, 3, 4)
    mask = make_buf(mask_bytes, 5, 3, 4, CHUNK)
    util.ImagePixelConvertByMask(src, mask, 5)
    per_pixel = [mask_bytes[y * 20 + x] for y in range(3) for x in range(5)]
    assert pixels_of(zb, src) == ref_invert_by_mask(px, per_pixel, 255)


def test_buffer_as_its_own_mask_in_place(util, zb, make_buf, rng):
    # Each pixel sees the mask byte as the pixels before it left it.
    px = random_pixels(rng, 11 * 2, 4)
    src = make_buf(pack(px, 4), 11, 2, 4)
    util.ImagePixelConvertByMask(src, src, 5)
    expected = list(px)
    for y in range(2):
        row = expected[y * 44:(y + 1) * 44]
        for x in range(11):
            m = row[x]
            for c in range(3):
                row[4 * x + c] = ref_invert_channel(row[4 * x + c], m, 255)
        expected[y * 44:(y + 1) * 44] = row
    assert pixels_of(zb, src) == expected


@pytest.mark.parametrize("mw, mh", [(4, 3), (3, 2), (2, 3)])
def test_mask_size_mismatch(util, zb, make_buf, trace, mw, mh):
    src = make_buf(bytes(3 * 3 * 4), 3, 3, 4)
    mask = make_buf(bytes(mw * mh), mw, mh, 1)
    trace()
    assert util.ImagePixelConvertByMask(src, mask, 5, False) is None
    assert trace() == [entry(IPCM), f"{PREFIX}Mask Size not Match to SrcImage"]


def test_mask_size_checked_before_format(util, make_buf, trace):
    src = make_buf(bytes(3 * 3 * 3), 3, 3, 3)
    mask = make_buf(bytes(4), 2, 2, 1)
    trace()
    assert util.ImagePixelConvertByMask(src, mask, 5) is None
    assert trace() == [entry(IPCM), f"{PREFIX}Mask Size not Match to SrcImage"]


def test_planar_mask_refused(util, make_buf, trace):
    src = make_buf(bytes(2 * 2 * 4), 2, 2, 4)
    mask = make_buf(bytes(2 * 2 * 4), 2, 2, 4, PLANAR)
    trace()
    assert util.ImagePixelConvertByMask(src, mask, 5) is None
    assert trace() == [entry(IPCM), f"{PREFIX}Not Support for Planar"]


@pytest.mark.parametrize("mode", [0, 1, 4, 6])
def test_mask_modes_other_than_inversion(util, zb, make_buf, keep, trace, rng, mode):
    px = random_pixels(rng, W * H, 4)
    src = make_buf(pack(px, 4), W, H, 4, CHUNK)
    mask = make_buf(bytes([255] * (W * H)), W, H, 1)
    trace()
    assert addr32(util.ImagePixelConvertByMask(src, mask, mode)) == addr32(src)
    out = keep(util.ImagePixelConvertByMask(src, mask, mode, False))
    assert trace() == [entry(IPCM), end(IPCM)] * 2
    assert pixels_of(zb, src) == px
    assert pixels_of(zb, out) == px


# --- ClearBGRByAlphaChannel ----------------------------------------------

@pytest.mark.parametrize("alloc", [BYTE, CHUNK])
@pytest.mark.parametrize("bpp, threshold", [
    (4, 0), (4, 300), (4, -1), (4, 255), (4, 0x7F),
    (8, 0), (8, 0x12345), (8, -1), (8, 0x8000),
])
def test_clear_matches_model(util, zb, make_buf, keep, trace, rng, bpp, threshold, alloc):
    px = random_pixels(rng, W * H, bpp)
    src = make_buf(pack(px, bpp), W, H, bpp, alloc)
    zb.set_attributes(src, 0xFFFFFFFFFFFFFFFF, 3)
    live = zb.live_buffers()
    trace()
    out = keep(util.ClearBGRByAlphaChannel(src, threshold))
    assert trace() == [entry(CLR), end(CLR)]
    assert zb.live_buffers() == live + 1
    info = zb.info(out)
    assert (info["alloc_type"], info["bpp"], info["width"], info["height"]) == (BYTE, bpp, W, H)
    assert (info["attribute1"], info["attribute2"]) == (0xFFFFFFFFFFFFFFFF, 3)
    assert pixels_of(zb, out) == ref_clear(px, threshold, 0xFFFF if bpp == 8 else 0xFF)
    assert pixels_of(zb, src) == px


def test_clear_threshold_default_and_truncation(util, zb, make_buf, keep):
    px = [1, 2, 3, 0, 4, 5, 6, 1, 7, 8, 9, 44, 10, 11, 12, 45]
    src = make_buf(bytes(px), 4, 1, 4)
    assert pixels_of(zb, keep(util.ClearBGRByAlphaChannel(src))) == [0, 0, 0, 0] + px[4:]
    # 300 keeps its low byte, 44.
    assert pixels_of(zb, keep(util.ClearBGRByAlphaChannel(src, 300))) == [
        0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 44, 10, 11, 12, 45]


def test_clear_source_lock_failure_returns_blank_buffer(util, zb, make_buf, keep, trace):
    src = make_buf(bytes([10, 20, 30, 40] * 4), 2, 2, 4)
    zb.set_attributes(src, 1, 2)
    zb.fail_next("lock")
    trace()
    out = keep(util.ClearBGRByAlphaChannel(src))
    assert trace() == [entry(CLR), end(CLR)]
    info = zb.info(out)
    assert (info["width"], info["height"], info["attribute1"], info["attribute2"]) == (2, 2, 1, 2)
    assert pixels_of(zb, out) == [0] * 16


# --- storage kinds -----------------------------------------------------------

def test_file_mapped_sources(util, zb, make_buf, keep, rng):
    px = random_pixels(rng, W * H, 4)
    src = make_buf(pack(px, 4), W, H, 4, CHUNK, True)
    mask = make_buf(bytes(rng.randint(0, 255) for _ in range(W * H)), W, H, 1, BYTE, True)
    mask_px = list(zb.to_bytes(mask))
    assert pixels_of(zb, keep(util.ImagePixelConvert(src, 2, False))) == ref_mode(px, 2, 255)
    assert pixels_of(zb, keep(util.ImagePixelConvertByMask(src, mask, 5, False))) == ref_invert_by_mask(
        px, mask_px, 255)
    assert pixels_of(zb, keep(util.ClearBGRByAlphaChannel(src, 128))) == ref_clear(px, 128, 255)
    util.ImagePixelConvert(src, 4)
    assert pixels_of(zb, src) == ref_mode(px, 4, 255)
