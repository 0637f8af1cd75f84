"""Clipboard exchange on the process-local clipboard (no display), reached
through the module's test hooks."""
import ctypes
import random
import struct
import subprocess
import sysconfig

import pytest

import _PyQelBufferUtility
from conftest import E_OUTOFMEMORY, line, make_utility, run_cpp, run_threads

CF_BITMAP, CF_DIB = 2, 8
REFUSE_DIB, REFUSE_BITMAP, FAIL_OPEN, FAIL_ALLOC, FAIL_BLOCK_LOCK, FAIL_SECTION = 1, 2, 4, 8, 16, 32
OPENS, CLOSES, EMPTIES, LIVE_BLOCKS, LIVE_BITMAPS = range(5)


class Hooks:
    def __init__(self):
        lib = ctypes.CDLL(_PyQelBufferUtility.__file__)
        self._put, self._get = lib.QelClipboardTest_Put, lib.QelClipboardTest_Get
        self._put.argtypes = [ctypes.c_uint, ctypes.c_char_p, ctypes.c_size_t]
        self._get.argtypes = [ctypes.c_uint, ctypes.c_void_p, ctypes.c_size_t]
        self._get.restype = ctypes.c_longlong
        self.faults, self._counters = lib.QelClipboardTest_SetFaults, lib.QelClipboardTest_Counters
        self.faults.argtypes = [ctypes.c_uint]

    def put(self, fmt, data=b""):
        assert self._put(fmt, data, len(data)) == 1

    def get(self, fmt):
        size = self._get(fmt, None, 0)
        if size < 0:
            return None
        out = ctypes.create_string_buffer(size)
        assert self._get(fmt, out, size) == size
        return out.raw

    def counters(self):
        out = (ctypes.c_longlong * 5)()
        self._counters(out)
        return list(out)


HOOKS = Hooks()


@pytest.fixture(autouse=True)
def clip(monkeypatch):
    monkeypatch.delenv("DISPLAY", raising=False)
    HOOKS.faults(0)
    HOOKS.put(0)
    before = HOOKS.counters()
    yield HOOKS
    HOOKS.faults(0)
    HOOKS.put(0)
    after = HOOKS.counters()
    assert after[OPENS] - before[OPENS] == after[CLOSES] - before[CLOSES], "the clipboard was left open"
    assert after[LIVE_BLOCKS] == after[LIVE_BITMAPS] == 0, "a block or bitmap leaked"


def header(w, h, bpp, size_image, ppm=2835, size=40):
    return struct.pack("<IiiHHIIiiII", size, w, h, 1, 8 * bpp, 0, size_image, ppm, ppm, 0, 0) + bytes(size - 40)


def dib_model(data, w, h, bpp, ppm=2835):
    """The block a copy writes: header, then the rows last-first, each padded to 4 bytes."""
    row, stride = w * bpp, (w * bpp + 3) & ~3
    rows = [data[y * row:(y + 1) * row] + bytes(stride - row) for y in reversed(range(h))]
    return header(w, h, bpp, stride * h, ppm) + b"".join(rows)


def paste_model(block):
    """The BGRA pixels a paste makes of a DIB block."""
    size, w, signed_h, _, bits, _, size_image = struct.unpack_from("<IiiHHII", block)
    h, b = abs(signed_h), bits // 8
    s = size_image - (1 << 32) if size_image >= 1 << 31 else size_image
    stride = int(s / h) if size_image else (w * b + 3) & ~3
    out = bytearray()
    for y in range(h):
        start = size + (y if signed_h < 0 else h - 1 - y) * stride
        for x in range(w):
            px = block[start + x * b:start + x * b + b]
            out += px if b == 4 else px + b"\xff"
    return bytes(out)


def pixels(w, h, bpp, salt=0):
    return random.Random(salt).randbytes(w * h * bpp)


def bgra(data, bpp):
    return data if bpp == 4 else b"".join(data[i:i + 3] + b"\xff" for i in range(0, len(data), 3))


def paste(util, keep, zb):
    buf = keep(util.PasteFromClipboard(None))
    return None if buf is None else (zb.info(buf)["width"], zb.info(buf)["height"], zb.info(buf)["bpp"],
                                     zb.info(buf)["alloc_type"], zb.to_bytes(buf))


def test_two_by_two_block(util, make_buf, keep, zb, clip, trace):
    top, bottom = bytes(range(1, 9)), bytes(range(11, 19))
    assert util.CopyToClipboard(util.this, make_buf(top + bottom, 2, 2, 4)) == 1
    block = clip.get(CF_DIB)
    assert len(block) == 56
    assert struct.unpack("<IiiHHIIiiII", block[:40]) == (40, 2, 2, 1, 32, 0, 16, 2835, 2835, 0, 0)
    assert block[40:] == bottom + top
    assert clip.get(CF_BITMAP) is None
    assert paste(util, keep, zb) == (2, 2, 4, 0, top + bottom)
    assert trace() == []  # neither method logs on success


@pytest.mark.parametrize("w, h, bpp", [(5, 3, 4), (1, 1, 4), (5, 3, 3), (4, 2, 3), (7, 5, 3)])
def test_copy_writes_the_model_and_pastes_back(util, make_buf, keep, zb, clip, w, h, bpp):
    data = pixels(w, h, bpp, salt=w * h)
    assert util.CopyToClipboard(util.this, make_buf(data, w, h, bpp)) == 1
    assert clip.get(CF_DIB) == dib_model(data, w, h, bpp)
    assert paste(util, keep, zb) == (w, h, 4, 0, bgra(data, bpp))


@pytest.mark.parametrize("bpp", [4, 3])
def test_copy_replaces_and_allocation_types(util, make_buf, clip, bpp):
    # CHUNK rows (chunks of 4 rows) and PLANAR planes give the same block as BYTE; each copy replaces the last.
    w, h = 5, 9
    for alloc_type in (0, 1, 2):
        data = pixels(w, h, bpp, salt=alloc_type)
        assert util.CopyToClipboard(util.this, make_buf(data, w, h, bpp, alloc_type)) == 1
        assert clip.get(CF_DIB) == dib_model(data, w, h, bpp)


def _bgr_dib(w, h, rows_top_down, *, top_down=False, size_image=None, stride=None, size=40, bpp=3):
    stride = stride or (w * bpp + 3) & ~3
    stored = rows_top_down if top_down else rows_top_down[::-1]
    bits = b"".join(r + bytes(stride - len(r)) for r in stored)
    return header(w, -h if top_down else h, bpp, stride * h if size_image is None else size_image, size=size) + bits


ROWS3 = [bytes(range(10 * y, 10 * y + 9)) for y in range(2)]  # 3 x 2 BGR
ROWS4 = [bytes(range(20 * y, 20 * y + 12)) for y in range(2)]  # 3 x 2 BGRA, alpha bytes not 255


@pytest.mark.parametrize("block", [
    _bgr_dib(3, 2, ROWS4, bpp=4),                               # bottom-up 32-bit: alpha copied
    _bgr_dib(3, 2, ROWS4, bpp=4, top_down=True),                # negative height keeps the row order
    header(2, 2, 4, 16) + bytes(16),                            # alpha 0 stays 0
    _bgr_dib(3, 2, ROWS3),                                      # 24-bit: alpha 255, rows padded
    _bgr_dib(3, 2, ROWS3, top_down=True),
    _bgr_dib(3, 2, ROWS3, size_image=0),                        # no size: 4-byte rows, as the format pads them
    _bgr_dib(3, 2, ROWS3, stride=16),                           # stride from biSizeImage / H
    _bgr_dib(3, 2, ROWS4, bpp=4, stride=20, size_image=40),
    _bgr_dib(3, 2, ROWS3, size=56),                             # bits start biSize bytes in
    _bgr_dib(2, 1, [bytes(8)], bpp=4, size_image=4),            # a stride shorter than a row reads on, inside the block
], ids=["32-bottom-up", "32-top-down", "alpha-0", "24-bottom-up", "24-top-down", "24-no-size", "24-stride",
        "32-stride", "biSize-56", "short-stride"])
def test_paste_rules(util, keep, zb, clip, block):
    clip.put(CF_DIB, block)
    w, signed_h = struct.unpack_from("<ii", block, 4)
    assert paste(util, keep, zb) == (w, abs(signed_h), 4, 0, paste_model(block))


@pytest.mark.parametrize("block", [
    header(2, 2, 1, 4) + bytes(4), header(2, 2, 2, 8) + bytes(8),       # 8- and 16-bit
    header(2, 2, 6, 24) + bytes(24), header(2, 0, 4, 0),                # 48-bit; zero height
    header(2, 2, 4, 16) + bytes(15),                                    # truncated rows
    header(2, 2, 4, 0x80000000) + bytes(16),                            # a size whose stride is negative
    header(0, 2, 4, 0) + bytes(8), header(-2, 2, 4, 16) + bytes(16),    # no width
    header(2, 2, 4, 16, size=56)[:40] + bytes(16),                      # bits beyond the block
    bytes(39), b"",                                                     # no header
])
def test_paste_refusals(util, keep, zb, clip, block):
    clip.put(CF_DIB, block)
    assert paste(util, keep, zb) is None


def test_paste_empty_clipboard(util, keep, zb):
    assert paste(util, keep, zb) is None


@pytest.mark.parametrize("bpp", [4, 3])
def test_bitmap_fallback(util, make_buf, keep, zb, clip, trace, bpp):
    w, h = 3, 2
    data = pixels(w, h, bpp, salt=bpp)
    clip.faults(REFUSE_DIB)
    assert util.CopyToClipboard(util.this, make_buf(data, w, h, bpp)) == 1
    assert trace() == [line(f"Set DIB to clipboard fail, size = 3, 2, {bpp}")]
    assert clip.get(CF_DIB) is None
    assert clip.get(CF_BITMAP) == dib_model(data, w, h, bpp, ppm=2834)
    assert paste(util, keep, zb) == (w, h, 4, 0, bgra(data, bpp))


@pytest.mark.parametrize("faults", [REFUSE_DIB | REFUSE_BITMAP, REFUSE_DIB | FAIL_SECTION])
def test_both_formats_refused(util, make_buf, keep, zb, clip, trace, faults):
    clip.put(CF_DIB, header(1, 1, 4, 4) + b"\1\2\3\4")
    clip.faults(faults)
    assert util.CopyToClipboard(util.this, make_buf(bytes(24), 3, 2, 4)) == 0
    assert trace() == [line("Set DIB to clipboard fail, size = 3, 2, 4"),
                       line("Set BITMAP to clipboard fail, size = 3, 2, 4")]
    clip.faults(0)
    assert clip.get(CF_DIB) is None and clip.get(CF_BITMAP) is None  # emptied before the refusals
    assert paste(util, keep, zb) is None


def test_copy_failures_before_the_clipboard(util, make_buf, zb, clip, trace):
    old = header(1, 1, 4, 4) + b"\1\2\3\4"
    clip.put(CF_DIB, old)
    opens = clip.counters()[OPENS]
    buf = make_buf(pixels(2, 2, 4), 2, 2, 4)
    assert util.CopyToClipboard(None, buf) == 0  # null window
    assert util.CopyToClipboard(util.this, None) == 0
    for bpp in (1, 2, 6, 8):  # no DIB without a colour table or a 48/64-bit format: refused
        assert util.CopyToClipboard(util.this, make_buf(bytes(2 * 2 * bpp), 2, 2, bpp)) == 0
    for fault in ("lock", "lock_no_data"):
        zb.fail_next(fault)
        assert util.CopyToClipboard(util.this, buf) == 0
        assert zb.info(buf)["lock_count"] == 0
    clip.faults(FAIL_OPEN)
    assert util.CopyToClipboard(util.this, buf) == 0
    clip.faults(0)
    assert clip.counters()[OPENS] == opens and clip.get(CF_DIB) == old  # the clipboard untouched
    assert trace() == []


def test_copy_without_memory(util, make_buf, clip, trace):
    clip.put(CF_DIB, header(1, 1, 4, 4) + b"\1\2\3\4")
    clip.faults(FAIL_ALLOC)
    assert util.CopyToClipboard(util.this, make_buf(pixels(2, 2, 4), 2, 2, 4)) == 0
    clip.faults(0)
    assert clip.get(CF_DIB) is None and trace() == []  # it was emptied first


def test_block_that_cannot_be_locked(util, make_buf, keep, zb, clip):
    clip.faults(FAIL_BLOCK_LOCK)
    assert util.CopyToClipboard(util.this, make_buf(pixels(2, 2, 4), 2, 2, 4)) == 1
    assert paste(util, keep, zb) is None  # nor can a paste lock it
    clip.faults(0)
    assert clip.get(CF_DIB) == bytes(56)
    assert paste(util, keep, zb) is None  # a zeroed header has no height


def test_paste_allocation(util, keep, zb, clip, monkeypatch, capfd, tmp_path, trace):
    block = _bgr_dib(3, 2, ROWS4, bpp=4)
    clip.put(CF_DIB, block)
    zb.fail_next("allocateImageBuffer", hr=E_OUTOFMEMORY)
    assert paste(util, keep, zb) is None
    zb.fail_next("allocateImageBuffer", hr=0)  # success reported, no buffer
    assert paste(util, keep, zb) is None
    zb.fail_next("lock_no_data")  # the new buffer cannot be reached: it comes back unfilled
    assert paste(util, keep, zb) == (3, 2, 4, 0, bytes(24))
    assert trace() == []
    lost = make_utility(monkeypatch, capfd, allocator=str(tmp_path / "missing.so"))
    assert keep(lost.PasteFromClipboard(None)) is None
    assert paste(util, keep, zb) == (3, 2, 4, 0, paste_model(block))


def test_unreachable_display_uses_the_local_clipboard(util, make_buf, keep, zb, clip, monkeypatch):
    monkeypatch.setenv("DISPLAY", ":65000")  # no server there
    data = pixels(2, 3, 4)
    assert util.CopyToClipboard(util.this, make_buf(data, 2, 3, 4)) == 1
    assert clip.get(CF_DIB) == dib_model(data, 2, 3, 4)
    assert paste(util, keep, zb)[-1] == data


def test_hwnd_conversion(mod, util, make_buf):
    buf = make_buf(bytes(4), 1, 1, 4)
    with pytest.raises(TypeError) as e:
        mod.PyQelBufferUtility_CopyToClipboard(util, 5, buf)
    assert str(e.value) == "in method 'PyQelBufferUtility_CopyToClipboard', argument 2 of type 'HWND'"
    assert mod.PyQelBufferUtility_CopyToClipboard(util, buf, buf) == 1  # any wrapped pointer is a window


def test_images_too_large_for_a_dib(tmp_path):
    # No allocator makes buffers of 4 GiB, so a C++ stand-in reports the sizes.
    sources = [f"clipboard/{n}.cpp" for n in ("Clipboard", "ChooseClipboard", "ClipboardMemory", "LocalClipboard",
                                              "PngCodec", "X11Clipboard")]
    libs = [subprocess.run(["pkg-config", "--variable=libdir", pkg], capture_output=True, text=True,
                           check=True).stdout.strip() + "/" + name for pkg, name in (("xcb", "libxcb.so"),
                                                                                   ("libpng", "libpng.so"))]
    run_cpp(tmp_path, "clipboard_limits.cpp", *sources, "core/PyQelBufferUtility.cpp", "core/TraceLog.cpp",
            "core/AllocatorPath.cpp", *libs, flags=(f"-I{sysconfig.get_paths()['include']}", "-O0"))


def test_threads_take_turns(util, make_buf, zb, clip):
    # One call at a time opens the clipboard: a paste sees a whole image, or None between a copy's
    # emptying and its put.
    images = [pixels(64, 32, 4, salt) for salt in (1, 2)]
    bufs = [make_buf(data, 64, 32, 4) for data in images]
    seen, failures, empty = [], [], []

    def work(n):
        for _ in range(40):
            if util.CopyToClipboard(util.this, bufs[n]) != 1:
                failures.append("copy")
            got = util.PasteFromClipboard(None)
            if got is None:
                empty.append(n)
                continue
            seen.append(zb.to_bytes(got))
            zb.release(got)

    run_threads(work, [(0,), (1,)])
    assert failures == [] and len(seen) + len(empty) == 80 and seen and set(seen) <= set(images)
