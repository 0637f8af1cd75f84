"""Probes under the pointer: GetPixelInfo's colour square and HitTest."""
import random
import threading
from array import array

import pytest
import zubuffer as zb

from conftest import addr32, line, pack_pixels, run_threads

BYTE, CHUNK, PLANAR = 0, 1, 2


def probe_model(pixels, w, h, bpp, x, y, g):
    top = 0xFFFF if bpp == 8 else 0xFF
    out = []
    for j in range(g):
        for i in range(g):
            px, py = x - g // 2 + i, y - g // 2 + j
            if not (0 <= px < w and 0 <= py < h):
                out.append((top, top // 2 + 1, top // 2 + 1, top // 2 + 1))
                continue
            b, gr, r, a = pixels[py * w + px]
            out.append((top, r, gr, b) if a else (top, 0, 0, 0))
    return out


def random_pixels(rng, n, bpp):
    top = 0xFFFF if bpp == 8 else 0xFF
    return [tuple(rng.randrange(top + 1) for _ in range(3)) + (rng.choice([0, 1, top, rng.randrange(top + 1)]),)
            for _ in range(n)]


@pytest.mark.parametrize("alloc_type", [BYTE, CHUNK])
@pytest.mark.parametrize("bpp", [4, 8])
@pytest.mark.parametrize("g", [1, 3, 5, 7])
@pytest.mark.parametrize("x, y", [(0, 0), (8, 5), (3, 2), (8, 0), (0, 5)])
def test_probe_against_the_model(util, make_buf, trace, alloc_type, bpp, g, x, y):
    w, h, pixels = 9, 6, random_pixels(random.Random(f"{alloc_type}{bpp}{g}{x}{y}"), 9 * 6, bpp)
    buf = make_buf(pack_pixels(pixels, bpp), w, h, bpp, alloc_type)
    assert util.GetPixelInfo(buf, x, y, g) == probe_model(pixels, w, h, bpp, x, y, g)
    assert trace() == []


def test_probe_examples(util, make_buf):
    opaque = make_buf(bytes((10, 20, 30, 200)), 1, 1, 4)
    assert util.GetPixelInfo(opaque, 0, 0) == util.GetPixelInfo(opaque, 0, 0, 1) == [(255, 30, 20, 10)]
    assert util.GetPixelInfo(make_buf(bytes((10, 20, 30, 0)), 1, 1, 4), 0, 0) == [(255, 0, 0, 0)]
    pixels = [(b, b + 1, b + 2, 255) for b in (10, 20, 30, 40)]
    square = util.GetPixelInfo(make_buf(pack_pixels(pixels, 4), 2, 2, 4), 0, 0, 3)
    grey = (255, 128, 128, 128)
    assert [square[i] for i in (0, 1, 2, 3, 6)] == [grey] * 5
    assert [square[i] for i in (4, 5, 7, 8)] == [(255, b + 2, b + 1, b) for b in (10, 20, 30, 40)]
    wide = util.GetPixelInfo(make_buf(pack_pixels([(1, 2, 3, 65535)], 8), 1, 1, 8), 0, 0, 3)
    assert wide[4] == (65535, 3, 2, 1) and wide[0] == (65535, 32768, 32768, 32768)


@pytest.mark.parametrize("bpp, alloc_type, x, y, g, why", [
    (4, PLANAR, 0, 0, 1, "Planar buffer does not support indexing"),
    (3, PLANAR, 9, 9, 2, "Planar buffer does not support indexing"),  # the checks run in this order
    (3, BYTE, 9, 9, 2, "unsupported BPP 3"),
    (1, CHUNK, 0, 0, 1, "unsupported BPP 1"),
    (4, BYTE, 4, 0, 2, "out of boundary 4, 0"),
    (8, BYTE, 0, 3, 1, "out of boundary 0, 3"),
    (4, CHUNK, -1, 0, 1, "out of boundary -1, 0"),
    (4, BYTE, 0, -2**31, 1, "out of boundary 0, -2147483648"),
    *[(4, BYTE, 3, 2, g, "Not support this gridcount number , fail") for g in (0, 2, 9, 2**32 - 1)],
])
def test_probe_refusals(util, make_buf, trace, bpp, alloc_type, x, y, g, why):
    buf = make_buf(bytes(4 * 3 * bpp), 4, 3, bpp, alloc_type)
    assert (util.GetPixelInfo(buf, x, y, g), trace()) == (None, [line(why)])


@pytest.mark.parametrize("fault", ["lock", "lock_no_data"])
def test_probe_without_pixels(util, make_buf, trace, fault):
    buf = make_buf(bytes(range(16)), 2, 2, 4, CHUNK)
    zb.fail_next(fault)
    assert (util.GetPixelInfo(buf, 1, 1, 3), trace()) == (None, [line("[GetPixelInfo]No Data to GetPixelInfo")])
    assert util.GetPixelInfo(None, 0, 0) is None and trace() == []


def test_probe_arguments(mod, util, make_buf):
    buf = make_buf(bytes(4), 1, 1, 4)
    with pytest.raises(TypeError) as e:
        mod.PyQelBufferUtility_GetPixelInfo(util, buf, 0, 0, -1)
    assert str(e.value) == (
        "Wrong number or type of arguments for overloaded function 'PyQelBufferUtility_GetPixelInfo'.\n"
        "  Possible C/C++ prototypes are:\n"
        "    PyQelBufferUtility::GetPixelInfo(CQELImageBuffer *,int,int,unsigned int const)\n"
        "    PyQelBufferUtility::GetPixelInfo(CQELImageBuffer *,int,int)\n")


def test_probe_while_other_threads_run(util, make_buf):
    # Probes on several threads at once, beside a thread that only runs Python: every answer is right.
    pixels = random_pixels(random.Random(5), 40 * 30, 4)
    buf = make_buf(pack_pixels(pixels, 4), 40, 30, 4, CHUNK)
    stop, wrong, done = threading.Event(), [], []

    def probe(salt):
        rng = random.Random(salt)
        for _ in range(300):
            x, y, g = rng.randrange(40), rng.randrange(30), rng.choice([1, 3, 5, 7])
            if util.GetPixelInfo(buf, x, y, g) != probe_model(pixels, 40, 30, 4, x, y, g):
                wrong.append((x, y, g))
        done.append(salt)  # a thread that raised never gets here

    def python_work():
        while not stop.is_set():
            sum(range(100))

    spinner = threading.Thread(target=python_work)
    spinner.start()
    run_threads(probe, [(s,) for s in range(4)])
    stop.set()
    spinner.join()
    assert (wrong, sorted(done)) == ([], [0, 1, 2, 3])


@pytest.mark.parametrize("bpp, value, hit", [
    (4, 26, 0), (4, 27, 1), (4, 255, 1), (8, 6554, 0), (8, 6555, 1),
    (1, 0, 0), (1, 1, 1),
    (2, 0xFFFF, 0), (3, 255, 0), (6, 0xFFFF, 0),
])
@pytest.mark.parametrize("alloc_type", [BYTE, CHUNK])
def test_hit_thresholds(util, make_buf, trace, bpp, value, hit, alloc_type):
    # Pixel (2, 1) of a 3 x 2 image carries the value in its last channel; every other pixel is the opposite.
    top = 0xFFFF if bpp in (2, 6, 8) else 0xFF
    ch = {1: 1, 2: 1, 3: 3, 4: 4, 6: 3, 8: 4}[bpp]
    other = 0 if hit else top
    pixels = [(0,) * (ch - 1) + (other,)] * 5 + [(0,) * (ch - 1) + (value,)]
    buf = make_buf(array("H" if bpp in (2, 6, 8) else "B", [v for p in pixels for v in p]).tobytes(), 3, 2, bpp,
                   alloc_type)
    assert (util.HitTest(buf, 2, 1), trace()) == (hit, [])


@pytest.mark.parametrize("x, y, fault, alloc_type", [
    (-1, 0, None, BYTE), (3, 0, None, BYTE), (0, 2, None, CHUNK), (-2**31, 2**31 - 1, None, BYTE),
    (0, 0, "lock_no_data", BYTE), (0, 0, None, PLANAR), (0, 0, "lock", CHUNK),
])
def test_hit_misses(util, make_buf, trace, x, y, fault, alloc_type):
    buf = make_buf(bytes([255]) * 24, 3, 2, 4, alloc_type)
    if fault:
        zb.fail_next(fault)
    assert util.HitTest(buf, x, y) == 0
    assert trace() == [line(f"[PyQelBufferUtility::HitTest] lock src failed, {addr32(buf)}")] * (fault == "lock")
    assert util.HitTest(None, 0, 0) == 0
