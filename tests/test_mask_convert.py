"""ImageBufferToMask and MaskToImageBuffer: pixels against a plain Python
model, attributes, trace lines and failures."""
import random
import struct

import pytest

from conftest import addr32, end, entry, make_utility, PREFIX

BYTE, CHUNK, PLANAR = 0, 1, 2
W, H = 45, 9  # a vector body plus a tail per row; three chunks of rows

I2M = "PyQelBufferUtility::ImageBufferToMask"
M2I = "PyQelBufferUtility::MaskToImageBuffer"


@pytest.fixture
def rng():
    return random.Random(7331)


@pytest.fixture
def no_alloc_util(monkeypatch, capfd, tmp_path):
    return make_utility(monkeypatch, capfd, allocator=str(tmp_path / "missing.so"))


def random_bytes(rng, n):
    return [rng.choice((0, 1, 254, 255)) if rng.random() < 0.2 else rng.randint(0, 255) for _ in range(n)]


def shape(zb, buf):
    info = zb.info(buf)
    return info["width"], info["height"], info["bpp"], info["alloc_type"]


def attributes(zb, buf):
    info = zb.info(buf)
    return info["attribute1"], info["attribute2"]


# --- ImageBufferToMask ---------------------------------------------------

@pytest.mark.parametrize("from_color, pixel, expected", [
    (False, [10, 20, 30, 40], 40),
    (True, [10, 20, 30, 40], 20),
    (True, [1, 1, 2, 255], 1),
    (True, [255, 255, 255, 0], 255),
])
def test_to_mask_worked_examples(util, zb, make_buf, keep, from_color, pixel, expected):
    src = make_buf(bytes(pixel), 1, 1, 4)
    mask = keep(util.ImageBufferToMask(src, from_color))
    assert list(zb.to_bytes(mask)) == [expected]


@pytest.mark.parametrize("alloc", [BYTE, CHUNK])
def test_alpha_to_mask_matches_model(util, zb, make_buf, keep, trace, rng, alloc):
    px = random_bytes(rng, W * H * 4)
    src = make_buf(bytes(px), W, H, 4, alloc)
    zb.set_attributes(src, 0xDEADBEEF00000001, 42)
    live = zb.live_buffers()
    trace()
    mask = keep(util.ImageBufferToMask(src))  # alpha is the default
    assert trace() == [entry(I2M), end(I2M)]
    assert zb.live_buffers() == live + 1
    assert shape(zb, mask) == (W, H, 1, BYTE)
    assert attributes(zb, mask) == (0xDEADBEEF00000001, 42)
    assert list(zb.to_bytes(mask)) == px[3::4]
    assert list(zb.to_bytes(src)) == px


@pytest.mark.parametrize("alloc", [BYTE, CHUNK])
def test_color_to_mask_matches_model(util, zb, make_buf, keep, trace, rng, alloc):
    px = random_bytes(rng, W * H * 4)
    src = make_buf(bytes(px), W, H, 4, alloc)
    zb.set_attributes(src, 5, 6)
    trace()
    mask = keep(util.ImageBufferToMask(src, True))
    assert trace() == [entry(I2M), end(I2M)]
    assert shape(zb, mask) == (W, H, 1, BYTE)
    # The colour mask is a new picture: it does not take the image's attributes.
    assert attributes(zb, mask) == (0, 0)
    expected = [(px[i] + px[i + 1] + px[i + 2]) // 3 for i in range(0, len(px), 4)]
    assert list(zb.to_bytes(mask)) == expected
    assert list(zb.to_bytes(src)) == px


@pytest.mark.parametrize("alloc", [BYTE, CHUNK])
def test_color_to_mask_16bit_keeps_high_byte_of_mean(util, zb, make_buf, keep, rng, alloc):
    words = [rng.choice((0, 0xFFFF, 0x8000, 0x00FF)) if rng.random() < 0.2 else rng.randint(0, 0xFFFF)
             for _ in range(W * H * 4)]
    src = make_buf(struct.pack(f"<{len(words)}H", *words), W, H, 8, alloc)
    mask = keep(util.ImageBufferToMask(src, True))
    assert shape(zb, mask) == (W, H, 1, BYTE)
    expected = [((words[i] + words[i + 1] + words[i + 2]) // 3) >> 8 for i in range(0, len(words), 4)]
    assert list(zb.to_bytes(mask)) == expected


def test_color_to_mask_16bit_worked_values(util, zb, make_buf, keep):
    words = [0xFFFF, 0xFFFF, 0xFFFF, 0, 0x8000, 0x8000, 0x8000, 0, 0x0100, 0x0100, 0x00FF, 0]
    src = make_buf(struct.pack("<12H", *words), 3, 1, 8)
    assert list(zb.to_bytes(keep(util.ImageBufferToMask(src, True)))) == [0xFF, 0x80, 0x00]


@pytest.mark.parametrize("bpp", [1, 2, 3, 6])
def test_color_to_mask_other_formats_give_empty_mask(util, zb, make_buf, keep, trace, rng, bpp):
    src = make_buf(bytes(random_bytes(rng, 5 * 3 * bpp)), 5, 3, bpp, CHUNK)
    trace()
    mask = keep(util.ImageBufferToMask(src, True))
    assert trace() == [entry(I2M), end(I2M)]
    assert shape(zb, mask) == (5, 3, 1, BYTE)
    assert list(zb.to_bytes(mask)) == [0] * 15


@pytest.mark.parametrize("bpp", [1, 2, 3, 6, 8])
def test_alpha_to_mask_refuses_other_formats(util, zb, make_buf, trace, bpp):
    src = make_buf(bytes(2 * 2 * bpp), 2, 2, bpp)
    live = zb.live_buffers()
    trace()
    assert util.ImageBufferToMask(src, False) is None
    assert trace() == [entry(I2M), f"{PREFIX}unsupported BPP {bpp}"]
    assert zb.live_buffers() == live


@pytest.mark.parametrize("from_color", [False, True])
@pytest.mark.parametrize("bpp", [3, 4, 8])
def test_to_mask_refuses_planar(util, zb, make_buf, trace, bpp, from_color):
    src = make_buf(bytes(2 * 2 * bpp), 2, 2, bpp, PLANAR)
    live = zb.live_buffers()
    trace()
    assert util.ImageBufferToMask(src, from_color) is None
    assert trace() == [entry(I2M), f"{PREFIX}Planar buffer does not have alpha channel"]
    assert zb.live_buffers() == live


@pytest.mark.parametrize("from_color, message", [
    (False, "[PyQelBufferUtility::ImageBufferToMask][4Bytes] lock source failed, {}"),
    (True, "[PyQelBufferUtility::ImageBufferToMask][FromColor] lock src failed, {}"),
])
def test_to_mask_lock_failure_releases_mask(util, zb, make_buf, trace, from_color, message):
    src = make_buf(bytes([1, 2, 3, 4]), 1, 1, 4)
    live = zb.live_buffers()
    zb.fail_next("lock")
    trace()
    assert util.ImageBufferToMask(src, from_color) is None
    assert trace() == [entry(I2M), PREFIX + message.format(addr32(src))]
    assert zb.live_buffers() == live


@pytest.mark.parametrize("from_color", [False, True])
@pytest.mark.parametrize("hr", [-2147024882, 0])
def test_to_mask_allocation_failure(util, zb, make_buf, trace, from_color, hr):
    src = make_buf(bytes([1, 2, 3, 4]), 1, 1, 4)
    live = zb.live_buffers()
    zb.fail_next("allocateImageBuffer", 1, hr)
    trace()
    assert util.ImageBufferToMask(src, from_color) is None
    assert trace() == [entry(I2M)]
    assert zb.live_buffers() == live
    assert zb.info(src)["lock_count"] == 0


@pytest.mark.parametrize("from_color", [False, True])
def test_to_mask_lock_without_address_still_converts(util, zb, make_buf, keep, from_color):
    src = make_buf(bytes([30, 60, 90, 7] * 6), 3, 2, 4, CHUNK)
    zb.fail_next("lock_no_data")
    mask = keep(util.ImageBufferToMask(src, from_color))
    assert list(zb.to_bytes(mask)) == [60 if from_color else 7] * 6


def test_to_mask_null_and_missing_allocator(util, no_alloc_util, make_buf, trace):
    src = make_buf(bytes(4), 1, 1, 4)
    trace()
    assert util.ImageBufferToMask(None) is None
    assert util.ImageBufferToMask(None, True) is None
    assert no_alloc_util.ImageBufferToMask(src) is None
    assert no_alloc_util.ImageBufferToMask(src, True) is None
    assert trace() == [entry(I2M)] * 4


# --- MaskToImageBuffer ---------------------------------------------------

@pytest.mark.parametrize("to_color, expected", [
    (False, [0, 0, 0, 77]),
    (True, [77, 77, 77, 255]),
])
def test_to_image_worked_example(util, zb, make_buf, keep, to_color, expected):
    mask = make_buf(bytes([77]), 1, 1, 1)
    out = keep(util.MaskToImageBuffer(mask, to_color))
    assert list(zb.to_bytes(out)) == expected


@pytest.mark.parametrize("to_color", [False, True])
@pytest.mark.parametrize("alloc", [BYTE, CHUNK])
def test_to_image_matches_model(util, zb, make_buf, keep, trace, rng, alloc, to_color):
    m = random_bytes(rng, W * H)
    mask = make_buf(bytes(m), W, H, 1, alloc)
    zb.set_attributes(mask, 11, 12)
    live = zb.live_buffers()
    trace()
    out = keep(util.MaskToImageBuffer(mask, to_color))
    assert trace() == [entry(M2I), end(M2I)]
    assert zb.live_buffers() == live + 1
    assert shape(zb, out) == (W, H, 4, BYTE)
    assert attributes(zb, out) == (0, 0)
    expected = []
    for v in m:
        expected += [v, v, v, 255] if to_color else [0, 0, 0, v]
    assert list(zb.to_bytes(out)) == expected
    assert list(zb.to_bytes(mask)) == m


@pytest.mark.parametrize("to_color", [False, True])
def test_round_trip_returns_starting_mask(util, zb, make_buf, keep, rng, to_color):
    m = random_bytes(rng, W * H)
    mask = make_buf(bytes(m), W, H, 1, CHUNK)
    image = keep(util.MaskToImageBuffer(mask, to_color))
    back = keep(util.ImageBufferToMask(image, to_color))
    assert list(zb.to_bytes(back)) == m


@pytest.mark.parametrize("bpp, alloc", [(2, BYTE), (3, BYTE), (4, BYTE), (4, PLANAR), (8, CHUNK)])
def test_to_image_refuses_non_masks(util, zb, make_buf, trace, bpp, alloc):
    src = make_buf(bytes(2 * 2 * bpp), 2, 2, bpp, alloc)
    live = zb.live_buffers()
    trace()
    assert util.MaskToImageBuffer(src) is None
    assert trace() == [entry(M2I), f"{PREFIX}unsupported BPP {bpp}"]
    assert zb.live_buffers() == live


def test_to_image_lock_failure_releases_image(util, zb, make_buf, trace):
    mask = make_buf(bytes([5, 6]), 2, 1, 1)
    live = zb.live_buffers()
    zb.fail_next("lock")
    trace()
    assert util.MaskToImageBuffer(mask, True) is None
    assert trace() == [entry(M2I), f"{PREFIX}[{M2I}] lock src failed"]
    assert zb.live_buffers() == live


@pytest.mark.parametrize("hr", [-2147024882, 0])
def test_to_image_allocation_failure(util, zb, make_buf, trace, hr):
    mask = make_buf(bytes([5, 6]), 2, 1, 1)
    live = zb.live_buffers()
    zb.fail_next("allocateImageBuffer", 1, hr)
    trace()
    assert util.MaskToImageBuffer(mask) is None
    assert trace() == [entry(M2I)]
    assert zb.live_buffers() == live
    assert zb.info(mask)["lock_count"] == 0


def test_to_image_null_and_missing_allocator(util, no_alloc_util, make_buf, trace):
    mask = make_buf(bytes(1), 1, 1, 1)
    trace()
    assert util.MaskToImageBuffer(None) is None
    assert no_alloc_util.MaskToImageBuffer(mask, True) is None
    assert trace() == [entry(M2I)] * 2


def test_file_mapped_sources(util, zb, make_buf, keep, rng):
    px = random_bytes(rng, W * H * 4)
    src = make_buf(bytes(px), W, H, 4, CHUNK, True)
    assert list(zb.to_bytes(keep(util.ImageBufferToMask(src)))) == px[3::4]
    mask = make_buf(bytes(px[:W * H]), W, H, 1, BYTE, True)
    out = keep(util.MaskToImageBuffer(mask, True))
    assert list(zb.to_bytes(out))[0::4] == px[:W * H]
