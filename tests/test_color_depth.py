"""Colour-depth conversion and alpha-to-mask extraction."""
import random
import struct

import pytest

from conftest import E_INVALIDARG, E_OUTOFMEMORY, PREFIX, make_utility

DEPTH = "PyQelBufferUtility::ConvertImageBufferColorDepth"
MASK = "PyQelBufferUtility::ConvertImageBufferToMask"
BYTE, CHUNK, PLANAR = 0, 1, 2
UNDEFINED = PREFIX + "Undefined BPP to be converted!!"


def words(data):
    return struct.unpack(f"<{len(data) // 2}H", data)


def pack_words(values):
    return struct.pack(f"<{len(values)}H", *values)


# Python statements of each formula, one pixel at a time.
def ref_8_to_4(data):
    return bytes(w >> 8 for w in words(data))


def ref_8_to_1(data):
    w = words(data)
    return bytes(((w[i] + w[i + 1] + w[i + 2]) // 3) >> 8 for i in range(0, len(w), 4))


def ref_4_to_8(data):
    return pack_words([b * 257 for b in data])


def ref_4_to_1(data):
    return bytes((data[i] + data[i + 1] + data[i + 2]) // 3 for i in range(0, len(data), 4))


def ref_1_to_4(data):
    return b"".join(bytes((0, 0, 0, m)) for m in data)


def ref_1_to_2(data):
    return pack_words([m * 16 for m in data])


def ref_alpha_mask(data):
    return data[3::4]


DEPTH_PAIRS = [(8, 4, ref_8_to_4), (8, 1, ref_8_to_1), (4, 8, ref_4_to_8), (4, 1, ref_4_to_1),
               (1, 4, ref_1_to_4), (1, 2, ref_1_to_2)]


def noise(n, salt):
    rng = random.Random(salt)
    return bytes(rng.randrange(256) for _ in range(n))


def calls(name, *middle):
    return [PREFIX + f"FUNCTION : {name}() entry", *[PREFIX + m for m in middle],
            PREFIX + f"FUNCTION : {name}() end"]


@pytest.mark.parametrize("alloc_type", [BYTE, CHUNK])
@pytest.mark.parametrize("src_bpp, dst_bpp, ref", DEPTH_PAIRS)
def test_depth_kernel_matches_formula(util, zb, make_buf, keep, trace, alloc_type, src_bpp, dst_bpp, ref):
    # 9 rows span three chunks of a CHUNK buffer, whose rows are not contiguous.
    w, h = 37, 9
    data = noise(w * h * src_bpp, salt=src_bpp * 10 + dst_bpp)
    src = make_buf(data, w, h, src_bpp, alloc_type)
    zb.set_attributes(src, 0x1122334455667788, 0xFFFFFFFFFFFFFFFF)
    out = keep(util.ConvertImageBufferColorDepth(src, w, h, src_bpp, dst_bpp))
    info = zb.info(out)
    assert (info["width"], info["height"], info["bpp"], info["alloc_type"], info["refcount"]) == \
        (w, h, dst_bpp, alloc_type, 1)
    assert (info["attribute1"], info["attribute2"]) == (0x1122334455667788, 0xFFFFFFFFFFFFFFFF)
    assert zb.to_bytes(out) == ref(data)
    assert zb.to_bytes(src) == data
    assert trace() == calls(DEPTH, " allocateImageBuffer, HR = 0")


@pytest.mark.parametrize("src_bpp, dst_bpp, pixel, expected", [
    (8, 4, pack_words([0x1234, 0xFFFF, 0x0000, 0x8000]), bytes((0x12, 0xFF, 0x00, 0x80))),
    (4, 8, bytes((0x00, 0x80, 0xFF, 0x80)), pack_words([0x0000, 0x8080, 0xFFFF, 0x8080])),
    (4, 1, bytes((1, 1, 2, 0)), bytes((1,))),
    (4, 1, bytes((1, 1, 2, 255)), bytes((1,))),
    (4, 1, bytes((255, 255, 255, 7)), bytes((255,))),
    (8, 1, pack_words([0xFFFF, 0xFFFF, 0xFFFF, 0]), bytes((0xFF,))),
    (8, 1, pack_words([0x8000, 0x8000, 0x8000, 0xFFFF]), bytes((0x80,))),
    (8, 1, pack_words([0x00FF, 0x00FF, 0x0100, 0]), bytes((0x00,))),
    (1, 2, bytes((0xFF,)), pack_words([0x0FF0])),
    (1, 4, bytes((0xFF,)), bytes((0, 0, 0, 0xFF))),
])
def test_depth_worked_examples(util, zb, make_buf, keep, src_bpp, dst_bpp, pixel, expected):
    src = make_buf(pixel, 1, 1, src_bpp)
    out = keep(util.ConvertImageBufferColorDepth(src, 1, 1, src_bpp, dst_bpp))
    assert zb.to_bytes(out) == expected


@pytest.mark.parametrize("alloc_type", [BYTE, CHUNK])
def test_to_mask_takes_alpha(util, zb, make_buf, keep, trace, alloc_type):
    w, h = 29, 7
    data = noise(w * h * 4, salt=41)
    src = make_buf(data, w, h, 4, alloc_type)
    zb.set_attributes(src, 5, 6)
    out = keep(util.ConvertImageBufferToMask(src, w, h, 4, 1))
    info = zb.info(out)
    assert (info["bpp"], info["alloc_type"], info["attribute1"], info["attribute2"]) == (1, alloc_type, 5, 6)
    assert zb.to_bytes(out) == ref_alpha_mask(data)
    assert trace() == calls(MASK, " allocateImageBuffer, HR = 0")


def test_to_mask_ignores_colour(util, zb, make_buf, keep):
    src = make_buf(bytes((0, 0, 0, 0x37, 255, 255, 255, 0x37, 9, 200, 77, 0x37)), 3, 1, 4)
    out = keep(util.ConvertImageBufferToMask(src, 3, 1, 4, 1))
    assert zb.to_bytes(out) == bytes((0x37, 0x37, 0x37))


@pytest.mark.parametrize("method, src_bpp, dst_bpp", [
    ("ConvertImageBufferToMask", 8, 1), ("ConvertImageBufferToMask", 4, 2),
    ("ConvertImageBufferColorDepth", 4, 2), ("ConvertImageBufferColorDepth", 8, 2),
    ("ConvertImageBufferColorDepth", 2, 1), ("ConvertImageBufferColorDepth", 1, 8),
    ("ConvertImageBufferColorDepth", 3, 4),
])
def test_pair_without_kernel_gives_cleared_buffer(util, zb, make_buf, keep, trace, method, src_bpp, dst_bpp):
    w, h = 6, 5
    src = make_buf(noise(w * h * src_bpp, salt=3), w, h, src_bpp)
    zb.set_attributes(src, 1, 2)
    out = keep(getattr(util, method)(src, w, h, src_bpp, dst_bpp))
    info = zb.info(out)
    assert (info["bpp"], info["attribute1"], info["attribute2"]) == (dst_bpp, 1, 2)
    assert zb.to_bytes(out) == bytes(w * h * dst_bpp)
    name = DEPTH if method == "ConvertImageBufferColorDepth" else MASK
    assert trace() == calls(name, " allocateImageBuffer, HR = 0", "Undefined BPP to be converted!!")


@pytest.mark.parametrize("method", ["ConvertImageBufferColorDepth", "ConvertImageBufferToMask"])
@pytest.mark.parametrize("bpp, alloc_type", [(4, BYTE), (8, CHUNK), (1, BYTE), (3, CHUNK)])
def test_same_format_copies_source(util, zb, make_buf, keep, trace, method, bpp, alloc_type):
    data = noise(11 * 6 * bpp, salt=bpp)
    src = make_buf(data, 11, 6, bpp, alloc_type)
    out = keep(getattr(util, method)(src, 11, 6, bpp, bpp))
    assert zb.info(out)["alloc_type"] == alloc_type
    assert zb.to_bytes(out) == data
    name = DEPTH if method == "ConvertImageBufferColorDepth" else MASK
    assert trace() == calls(name, " allocateImageBuffer, HR = 0")


def test_smaller_size_converts_top_left(util, zb, make_buf, keep):
    w, h = 10, 8
    data = noise(w * h * 4, salt=9)
    src = make_buf(data, w, h, 4, CHUNK)
    out = keep(util.ConvertImageBufferColorDepth(src, 4, 3, 4, 8))
    part = b"".join(data[y * w * 4:y * w * 4 + 16] for y in range(3))
    assert zb.to_bytes(out) == ref_4_to_8(part)


@pytest.mark.parametrize("method", ["ConvertImageBufferColorDepth", "ConvertImageBufferToMask"])
@pytest.mark.parametrize("w, h, src_bpp", [(11, 4, 4), (10, 5, 4), (10, 4, 8), (10, 4, 1)])
def test_arguments_past_the_source_are_refused(util, zb, make_buf, trace, method, w, h, src_bpp):
    src = make_buf(noise(10 * 4 * 4, salt=1), 10, 4, 4)
    zb.fail_next("allocateImageBuffer")
    # A pair this method cannot convert reads nothing; force one it reads.
    dst_bpp = src_bpp if method == "ConvertImageBufferToMask" else {4: 8, 8: 4, 1: 4}[src_bpp]
    assert getattr(util, method)(src, w, h, src_bpp, dst_bpp) is None
    name = DEPTH if method == "ConvertImageBufferColorDepth" else MASK
    assert trace() == [PREFIX + f"FUNCTION : {name}() entry",
                       PREFIX + f"[{name}] W({w}), H({h}), BPP({src_bpp}) do not fit the source W(10), H(4), BPP(4)"]
    # Refused before the allocator was asked: the armed failure is still there.
    assert util.GetEmptyBuffer(1, 1, 1) is None


@pytest.mark.parametrize("method", ["ConvertImageBufferColorDepth", "ConvertImageBufferToMask"])
def test_planar_source_is_refused_without_allocating(util, zb, make_buf, trace, method):
    src = make_buf(noise(4 * 2 * 4, salt=2), 4, 2, 4, PLANAR)
    zb.fail_next("allocateImageBuffer")
    assert getattr(util, method)(src, 4, 2, 4, 1) is None
    name = DEPTH if method == "ConvertImageBufferColorDepth" else MASK
    assert trace() == [PREFIX + f"FUNCTION : {name}() entry",
                       PREFIX + "Planar buffer does not support color depth transformation"]
    assert util.GetEmptyBuffer(1, 1, 1) is None


@pytest.mark.parametrize("method, name", [("ConvertImageBufferColorDepth", DEPTH), ("ConvertImageBufferToMask", MASK)])
def test_null_source(util, trace, method, name):
    assert getattr(util, method)(None, 4, 4, 4, 1) is None
    assert trace() == [PREFIX + f"FUNCTION : {name}() entry"]


@pytest.mark.parametrize("method, name", [("ConvertImageBufferColorDepth", DEPTH), ("ConvertImageBufferToMask", MASK)])
def test_no_allocator(monkeypatch, capfd, tmp_path, make_buf, method, name):
    obj = make_utility(monkeypatch, capfd, allocator=str(tmp_path / "none.so"))
    src = make_buf(bytes(16), 2, 2, 4)
    assert getattr(obj, method)(src, 2, 2, 4, 1) is None
    assert capfd.readouterr().err.splitlines() == [PREFIX + f"FUNCTION : {name}() entry"]


@pytest.mark.parametrize("method, name", [("ConvertImageBufferColorDepth", DEPTH), ("ConvertImageBufferToMask", MASK)])
def test_allocation_failure_records_last_error(util, zb, make_buf, trace, method, name):
    src = make_buf(bytes(16), 2, 2, 4)
    util.Close()
    zb.fail_next("allocateImageBuffer")
    assert getattr(util, method)(src, 2, 2, 4, 1) is None
    assert trace() == [PREFIX + f"FUNCTION : {name}() entry", PREFIX + " allocateImageBuffer, HR = 8007000e"]
    assert util.GetLastErrorHr() == E_OUTOFMEMORY
    # The allocator's own refusal of a zero height is reported the same way.
    assert getattr(util, method)(src, 2, 0, 4, 1) is None
    assert trace()[1] == PREFIX + " allocateImageBuffer, HR = 80070057"
    assert util.GetLastErrorHr() == E_INVALIDARG
    util.Close()


@pytest.mark.parametrize("method, name", [("ConvertImageBufferColorDepth", DEPTH), ("ConvertImageBufferToMask", MASK)])
def test_allocation_success_without_buffer(util, zb, make_buf, trace, method, name):
    src = make_buf(bytes(16), 2, 2, 4)
    util.Close()
    zb.fail_next("allocateImageBuffer", hr=0)
    assert getattr(util, method)(src, 2, 2, 4, 1) is None
    assert trace() == [PREFIX + f"FUNCTION : {name}() entry", PREFIX + " allocateImageBuffer, HR = 0"]
    assert util.GetLastErrorHr() == 0


def test_depth_source_lock_failure_releases_new_buffer(util, zb, make_buf, trace):
    src = make_buf(noise(16, salt=5), 2, 2, 4)
    live = zb.live_buffers()
    zb.fail_next("lock")
    assert util.ConvertImageBufferColorDepth(src, 2, 2, 4, 8) is None
    assert zb.live_buffers() == live
    assert trace() == [PREFIX + f"FUNCTION : {DEPTH}() entry", PREFIX + " allocateImageBuffer, HR = 0",
                       PREFIX + f"[{DEPTH}] lock source failed, {int(src) & 0xFFFFFFFF:x}"]


def test_to_mask_ignores_source_lock_result(util, zb, make_buf, keep, trace):
    data = noise(5 * 3 * 4, salt=6)
    src = make_buf(data, 5, 3, 4, CHUNK)
    zb.fail_next("lock")
    out = keep(util.ConvertImageBufferToMask(src, 5, 3, 4, 1))
    assert zb.to_bytes(out) == ref_alpha_mask(data)
    assert trace() == calls(MASK, " allocateImageBuffer, HR = 0")


def test_file_mapped_chunk_source(util, zb, make_buf, keep):
    w, h = 33, 10
    data = noise(w * h * 8, salt=8)
    src = make_buf(data, w, h, 8, CHUNK, file_mapped=True)
    out = keep(util.ConvertImageBufferColorDepth(src, w, h, 8, 4))
    assert zb.to_bytes(out) == ref_8_to_4(data)


def test_large_image_uses_every_row(util, zb, make_buf, keep):
    # Enough rows for every worker of the team to claim several.
    w, h = 301, 257
    data = noise(w * h * 4, salt=12)
    src = make_buf(data, w, h, 4, CHUNK)
    out = keep(util.ConvertImageBufferColorDepth(src, w, h, 4, 1))
    assert zb.to_bytes(out) == ref_4_to_1(data)
