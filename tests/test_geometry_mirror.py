"""Mirror: every flip state and layout against NumPy flips, the returned source, refusals, failures."""
import numpy as np
import pytest

from conftest import E_OUTOFMEMORY, addr32, end, entry, hx, line
from test_geometry_rotate import from_array, image, to_array

MIRROR = "PyQelBufferUtility::Mirror"
BYTE, CHUNK, PLANAR = 0, 1, 2
FLIP = {1: lambda a: a[:, ::-1], 2: lambda a: a[::-1], 3: lambda a: a[::-1, ::-1]}
LAYOUTS = [(BYTE, b) for b in (1, 3, 4, 6, 8)] + [(CHUNK, b) for b in (1, 2, 3, 4, 6, 8)] + \
          [(PLANAR, b) for b in (3, 4, 6, 8)]


@pytest.mark.parametrize("alloc_type, bpp", LAYOUTS)
@pytest.mark.parametrize("state", [1, 2, 3])
@pytest.mark.parametrize("w, h", [(13, 7), (1, 5), (37, 2)])
def test_every_state_and_layout(util, zb, keep, trace, alloc_type, bpp, state, w, h):
    src_arr = image(w, h, bpp, salt=bpp * 10 + state)
    src = from_array(zb, keep, src_arr, bpp, alloc_type)
    zb.set_attributes(src, 77, 1 << 40)
    out = keep(util.Mirror(src, state))
    assert np.array_equal(to_array(zb, out, bpp), FLIP[state](src_arr))
    if alloc_type == PLANAR and bpp in (4, 8):  # the alpha plane is flipped too
        assert zb.plane_bytes(out, 3) == np.ascontiguousarray(FLIP[state](src_arr[..., 3])).tobytes()
    assert [zb.info(out)[k] for k in ("width", "height", "bpp", "alloc_type", "attribute1", "attribute2")] == \
        [w, h, bpp, alloc_type, 77, 1 << 40]
    assert to_array(zb, src, bpp).tobytes() == src_arr.tobytes()
    assert trace() == [entry(MIRROR), end(MIRROR)]


@pytest.mark.parametrize("alloc_type, bpp, state, fault, hr, why", [
    (BYTE, 4, 4, None, None, "[Mirror]unsupported flip state 4"),
    (BYTE, 4, -1, None, None, "[Mirror]unsupported flip state -1"),
    (BYTE, 2, 1, None, None, "[Mirror] unsupported BPP 2"),
    (BYTE, 4, 1, "allocateImageBuffer", E_OUTOFMEMORY, "[Mirror] allocate fail " + hx(E_OUTOFMEMORY)),
    (PLANAR, 4, 2, "allocateImageBuffer", 0, "[Mirror] allocate fail 0"),
    (CHUNK, 3, 3, "lock", None, "[PyQelBufferUtility::Mirror] lock src failed, {src}"),
    (PLANAR, 8, 1, "lock", None, "[PyQelBufferUtility::Mirror] lock src failed, {src}"),
])
def test_refusals_and_failures(util, zb, make_buf, trace, alloc_type, bpp, state, fault, hr, why):
    src = make_buf(bytes(range(2 * 3 * bpp)), 2, 3, bpp, alloc_type)
    live = zb.live_buffers()
    util.Close()
    if fault:
        zb.fail_next(fault, 1, **({"hr": hr} if hr is not None else {}))
    assert util.Mirror(src, state) is None
    assert (zb.live_buffers(), util.GetLastErrorHr()) == (live, 0)
    assert trace() == [entry(MIRROR), line(why.format(src=addr32(src)))]


def test_large_rows_in_bands(util, zb, keep):
    src_arr = image(700, 300, 4, salt=3)
    src = from_array(zb, keep, src_arr, 4, BYTE)
    for state in (1, 2, 3):
        assert np.array_equal(to_array(zb, keep(util.Mirror(src, state)), 4), FLIP[state](src_arr))
