"""The companion module zubuffer: round trips in every format and layout,
plane splitting, counts and attributes, byte arrays shared with the utility,
fault injection, refused arguments and concurrent use from Python threads."""
import os
import random
import re
import shutil
import subprocess
import sys
import threading

import pytest

import zubuffer as zb

E_FAIL = -2147467259
E_INVALIDARG = -2147024809
E_OUTOFMEMORY = -2147024882

BYTE, CHUNK, PLANAR = zb.BUFFER_ALLOCATE_TYPE_BYTE, zb.BUFFER_ALLOCATE_TYPE_CHUNK, zb.BUFFER_ALLOCATE_TYPE_PLANAR
ALL_BPP = (1, 2, 3, 4, 6, 8)
PLANAR_BPP = (3, 4, 6, 8)
LAYOUTS = [(bpp, t) for t in (BYTE, CHUNK) for bpp in ALL_BPP] + [(bpp, PLANAR) for bpp in PLANAR_BPP]


def rand_bytes(n, rng=random.Random(99)):
    return bytes(rng.randrange(256) for _ in range(n))


def split_planes(data, w, h, bpp):
    """Reference split of packed interleaved pixels into B, G, R[, A] planes."""
    channels = 3 if bpp in (3, 6) else 4
    size = bpp // channels
    return [b"".join(data[px * bpp + c * size: px * bpp + (c + 1) * size] for px in range(w * h))
            for c in range(channels)]


@pytest.fixture
def made():
    """Buffers made by a test, released at its end."""
    bufs = []

    def add(buf):
        if buf is not None:
            bufs.append(buf)
        return buf

    yield add
    for buf in bufs:
        zb.release(buf)


def test_constants():
    assert (zb.BUFFER_ALLOCATE_TYPE_BYTE, zb.BUFFER_ALLOCATE_TYPE_CHUNK, zb.BUFFER_ALLOCATE_TYPE_PLANAR) == (0, 1, 2)
    assert zb.E_OUTOFMEMORY == -2147024882


def test_buffers_are_bare_opaque_pointers(made):
    buf = made(zb.allocate(2, 2, 4))
    assert re.fullmatch(r"<Swig Object of type 'CQELImageBuffer \*' at 0x[0-9a-f]+>", repr(buf))
    assert not buf.own()
    assert not hasattr(zb, "CQELImageBuffer")


# --- round trips -------------------------------------------------------------------

@pytest.mark.parametrize("mapped", [False, True])
@pytest.mark.parametrize("bpp, t", LAYOUTS)
@pytest.mark.parametrize("w, h", [(1, 1), (3, 5), (2, 9), (5, 4)])
def test_round_trip(made, mapped, bpp, t, w, h):
    data = rand_bytes(w * h * bpp)
    buf = made(zb.from_bytes(data, w, h, bpp, t, mapped))
    assert zb.info(buf) == {"width": w, "height": h, "bpp": bpp, "alloc_type": t, "file_mapped": mapped,
                            "attribute1": 0, "attribute2": 0, "refcount": 1, "lock_count": 0}
    assert zb.to_bytes(buf) == data
    again = rand_bytes(w * h * bpp)
    assert zb.write(buf, again) is None
    assert zb.to_bytes(buf) == again
    if t == PLANAR:
        planes = split_planes(again, w, h, bpp)
        assert [zb.plane_bytes(buf, i) for i in range(len(planes))] == planes


@pytest.mark.parametrize("mapped", [False, True])
@pytest.mark.parametrize("bpp, t", LAYOUTS)
def test_allocate_gives_zeroed_pixels(made, mapped, bpp, t):
    buf = made(zb.allocate(3, 9, bpp, t, mapped))
    info = zb.info(buf)
    assert (info["width"], info["height"], info["bpp"], info["alloc_type"], info["file_mapped"]) == \
        (3, 9, bpp, t, mapped)
    assert zb.to_bytes(buf) == bytes(3 * 9 * bpp)


def test_planar_hand_worked_split(made):
    # Two 16-bit BGRA pixels: words stay little-endian inside their plane.
    data = bytes([0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                  0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18])
    buf = made(zb.from_bytes(data, 2, 1, 8, PLANAR))
    assert [zb.plane_bytes(buf, i) for i in range(4)] == [
        bytes([0x01, 0x02, 0x11, 0x12]), bytes([0x03, 0x04, 0x13, 0x14]),
        bytes([0x05, 0x06, 0x15, 0x16]), bytes([0x07, 0x08, 0x17, 0x18])]
    bgr = made(zb.from_bytes(b"BGRbgr", 2, 1, 3, PLANAR))
    assert [zb.plane_bytes(bgr, i) for i in range(3)] == [b"Bb", b"Gg", b"Rr"]


def test_keyword_arguments(made):
    buf = made(zb.from_bytes(data=b"\x01\x02\x03\x04" * 6, width=2, height=3, bpp=4, alloc_type=CHUNK,
                             file_mapped=True))
    assert zb.info(buf)["alloc_type"] == CHUNK and zb.info(buf)["file_mapped"] is True
    empty = made(zb.allocate(width=2, height=3, bpp=8, alloc_type=PLANAR, file_mapped=False))
    assert zb.info(empty)["alloc_type"] == PLANAR
    assert zb.to_bytes(buf=buf) == b"\x01\x02\x03\x04" * 6


@pytest.mark.parametrize("kind", [bytes, bytearray, memoryview])
def test_any_bytes_like_data(made, kind):
    data = rand_bytes(24)
    buf = made(zb.from_bytes(kind(data), 3, 2, 4))
    zb.write(buf, kind(data[::-1]))
    assert zb.to_bytes(buf) == data[::-1]


# --- attributes and counts -------------------------------------------------------------

def test_attributes(made):
    buf = made(zb.allocate(1, 1, 1))
    zb.set_attributes(buf, 2**64 - 1, 0x1234)
    info = zb.info(buf)
    assert (info["attribute1"], info["attribute2"]) == (2**64 - 1, 0x1234)
    zb.set_attributes(buf, attribute1=0, attribute2=7)
    assert (zb.info(buf)["attribute1"], zb.info(buf)["attribute2"]) == (0, 7)


@pytest.mark.parametrize("value, exc", [(-1, OverflowError), (2**64, OverflowError), (1.0, TypeError),
                                        ("1", TypeError), (None, TypeError)])
def test_attributes_refused(made, value, exc):
    buf = made(zb.allocate(1, 1, 1))
    with pytest.raises(exc):
        zb.set_attributes(buf, value, 0)
    with pytest.raises(exc):
        zb.set_attributes(buf, 0, value)
    assert (zb.info(buf)["attribute1"], zb.info(buf)["attribute2"]) == (0, 0)


def test_reference_counts_and_live_buffers():
    before = zb.live_buffers()
    buf = zb.allocate(4, 4, 4, CHUNK)
    other = zb.from_bytes(bytes(16), 2, 2, 4, PLANAR, True)
    assert zb.live_buffers() == before + 2
    assert zb.add_ref(buf) == 2
    assert zb.info(buf)["refcount"] == 2
    assert zb.release(buf) == 1
    assert zb.live_buffers() == before + 2
    assert zb.release(buf) == 0
    assert zb.live_buffers() == before + 1
    assert zb.release(other) == 0
    assert zb.live_buffers() == before


@pytest.mark.parametrize("call", [zb.to_bytes, zb.info, zb.add_ref, zb.release,
                                  lambda b: zb.write(b, bytes(4)), lambda b: zb.set_attributes(b, 1, 2),
                                  lambda b: zb.plane_bytes(b, 0)])
def test_released_buffers_are_refused_not_touched(call):
    buf = zb.allocate(1, 1, 4)
    zb.release(buf)
    with pytest.raises(ValueError, match="not a live image buffer"):
        call(buf)


# --- refused arguments ---------------------------------------------------------------

BUFFER_CALLS = {
    "to_bytes": lambda b: zb.to_bytes(b),
    "write": lambda b: zb.write(b, bytes(4)),
    "plane_bytes": lambda b: zb.plane_bytes(b, 0),
    "info": lambda b: zb.info(b),
    "set_attributes": lambda b: zb.set_attributes(b, 1, 2),
    "add_ref": lambda b: zb.add_ref(b),
    "release": lambda b: zb.release(b),
}


@pytest.mark.parametrize("name", sorted(BUFFER_CALLS))
def test_none_buffer_is_a_value_error(name):
    with pytest.raises(ValueError, match="^%s: buffer is None, expected a CQELImageBuffer \\*$" % name):
        BUFFER_CALLS[name](None)


@pytest.mark.parametrize("name", sorted(BUFFER_CALLS))
@pytest.mark.parametrize("bad", [5, "buf", b"\x00" * 8])
def test_wrong_buffer_type_is_a_type_error(name, bad):
    with pytest.raises(TypeError, match="^%s: expected a CQELImageBuffer \\*, got " % name):
        BUFFER_CALLS[name](bad)


def test_byte_array_is_not_a_buffer():
    ptr = zb.byte_array(b"\x00" * 16)
    try:
        with pytest.raises(TypeError, match="expected a CQELImageBuffer"):
            zb.to_bytes(ptr)
    finally:
        zb.free_byte_array(ptr)


def test_size_mismatch_messages(made):
    with pytest.raises(ValueError) as e:
        zb.from_bytes(bytes(39), 2, 5, 4)
    assert str(e.value) == "from_bytes: expected 40 bytes (width 2 × height 5 × bpp 4), got 39"
    buf = made(zb.allocate(3, 2, 6, PLANAR))
    with pytest.raises(ValueError) as e:
        zb.write(buf, bytes(37))
    assert str(e.value) == "write: expected 36 bytes (width 3 × height 2 × bpp 6), got 37"
    assert zb.to_bytes(buf) == bytes(36)


def test_data_none_and_wrong_types(made):
    buf = made(zb.allocate(1, 1, 4))
    with pytest.raises(ValueError, match="^from_bytes: data is None"):
        zb.from_bytes(None, 1, 1, 4)
    with pytest.raises(ValueError, match="^write: data is None"):
        zb.write(buf, None)
    with pytest.raises(TypeError, match="^from_bytes: data must be a bytes-like object, not str"):
        zb.from_bytes("abcd", 1, 1, 4)
    with pytest.raises(TypeError, match="^write: data must be a bytes-like object, not list"):
        zb.write(buf, [1, 2, 3, 4])
    with pytest.raises(TypeError, match="^from_bytes: width must be an int, not float"):
        zb.from_bytes(bytes(4), 1.0, 1, 4)
    with pytest.raises(TypeError, match="^allocate: bpp must be an int, not str"):
        zb.allocate(1, 1, "4")
    with pytest.raises(TypeError, match="^allocate: file_mapped must be a bool, not str"):
        zb.allocate(1, 1, 4, 0, "yes")
    with pytest.raises(TypeError, match="^plane_bytes: index must be an int"):
        zb.plane_bytes(buf, "0")


def test_plane_bytes_refusals(made):
    planar = made(zb.allocate(2, 2, 6, PLANAR))
    with pytest.raises(ValueError) as e:
        zb.plane_bytes(planar, 3)
    assert str(e.value) == "plane_bytes: expected a plane index from 0 to 2 for bpp 6, got 3"
    with pytest.raises(ValueError, match="from 0 to 2 for bpp 6, got -1"):
        zb.plane_bytes(planar, -1)
    chunk = made(zb.allocate(2, 2, 4, CHUNK))
    with pytest.raises(ValueError) as e:
        zb.plane_bytes(chunk, 0)
    assert str(e.value) == "plane_bytes: expected a PLANAR buffer (alloc_type 2), got alloc_type 1"


@pytest.mark.parametrize("mapped", [False, True])
@pytest.mark.parametrize("args", [
    (0, 5, 4, BYTE), (-1, 5, 4, BYTE), (5, -3, 4, BYTE), (5, 5, -4, BYTE), (2**32, 5, 4, BYTE),
    (5, 2**70, 4, BYTE), (5, 5, 4, 2**40), (5, 5, 4, -2**70)])
def test_allocate_refusals_give_none(mapped, args):
    # The allocator's own refusals are covered with the allocator; these are
    # values that no UINT or int can carry to it.
    before = zb.live_buffers()
    assert zb.allocate(*args, file_mapped=mapped) is None
    assert zb.live_buffers() == before


@pytest.mark.parametrize("args, pattern", [
    ((b"", 0, 5, 4), r"allocateImageBuffer\(width 0, height 5, bpp 4, alloc_type 0\) failed with "
                     r"hr=0x80070057 \(E_INVALIDARG\)"),
    ((bytes(25), 5, 5, 1, PLANAR), r"hr=0x80070057 \(E_INVALIDARG\)"),
    ((bytes(25), 5, 1, 5), r"hr=0x80070057"),
    ((bytes(4), 1, 1, 4, 7), r"alloc_type 7\) failed with hr=0x80070057"),
    ((b"", -1, 5, 4), r"width -1, height 5 and bpp 4 must each be from 0 to 4294967295"),
    ((b"", 1, 2**33, 4), r"must each be from 0 to 4294967295"),
    ((b"", 1, 1, 4, 2**31), r"alloc_type 2147483648 is not a 32-bit int"),
])
def test_from_bytes_refusals_are_value_errors(args, pattern):
    before = zb.live_buffers()
    with pytest.raises(ValueError, match=pattern):
        zb.from_bytes(*args)
    assert zb.live_buffers() == before


def test_from_bytes_size_product_beyond_64_bits():
    with pytest.raises(ValueError) as e:
        zb.from_bytes(b"", 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF)
    assert str(e.value) == ("from_bytes: expected 79228162458924105385300197375 bytes (width 4294967295 × "
                            "height 4294967295 × bpp 4294967295), got 0")


# --- byte arrays ----------------------------------------------------------------------------

def test_byte_arrays_of_both_types():
    low = zb.byte_array(b"hello")
    up = zb.BYTE_array(bytearray(b"world!"))
    try:
        assert "'byte *'" in repr(low)
        assert "'byte *'" not in repr(up) and "char *" in repr(up)
        assert zb.read_byte_array(low, 5) == b"hello"
        assert zb.read_byte_array(up, 6) == b"world!"
        assert zb.read_byte_array(up, 0) == b""
    finally:
        zb.free_byte_array(low)
        zb.free_byte_array(up)
    assert zb.free_byte_array(None) is None
    empty = zb.byte_array(b"")
    assert zb.read_byte_array(empty, 0) == b""
    zb.free_byte_array(empty)


def test_byte_array_refusals(made):
    buf = made(zb.allocate(1, 1, 1))
    with pytest.raises(ValueError, match="^byte_array: data is None"):
        zb.byte_array(None)
    with pytest.raises(TypeError, match="^BYTE_array: data must be a bytes-like object, not str"):
        zb.BYTE_array("text")
    with pytest.raises(TypeError, match="^read_byte_array: expected a byte \\* or BYTE \\*"):
        zb.read_byte_array(buf, 1)
    with pytest.raises(TypeError, match="^free_byte_array: expected a byte \\* or BYTE \\*"):
        zb.free_byte_array(buf)
    with pytest.raises(ValueError, match="^read_byte_array: pointer is None"):
        zb.read_byte_array(None, 1)
    ptr = zb.byte_array(b"x")
    try:
        with pytest.raises(ValueError, match="^read_byte_array: expected a size from 0 to"):
            zb.read_byte_array(ptr, -1)
    finally:
        zb.free_byte_array(ptr)


def test_byte_arrays_cross_into_the_utility(util, mod, keep):
    data = rand_bytes(3 * 2 * 4)
    src = zb.byte_array(data)
    try:
        buf = keep(util.CreateBufferFromRawData(src, 3, 2, 4))
        assert zb.to_bytes(buf) == data
    finally:
        zb.free_byte_array(src)
    # The utility frees a "byte *" made here with free(), and refuses a "BYTE *".
    mod.PyQelBufferUtility_ReleaseByteArray(util, zb.byte_array(b"abc"))
    up = zb.BYTE_array(b"abc")
    try:
        with pytest.raises(TypeError):
            mod.PyQelBufferUtility_ReleaseByteArray(util, up)
    finally:
        zb.free_byte_array(up)


def test_utility_buffers_are_read_and_released_here(util, made):
    buf = made(util.GetEmptyBuffer(3, 2, 4, False))
    info = zb.info(buf)
    assert (info["width"], info["height"], info["bpp"], info["file_mapped"]) == (3, 2, 4, True)
    assert zb.to_bytes(buf) == bytes(24)


# --- fault injection -------------------------------------------------------------------------

@pytest.mark.parametrize("op, mapped", [("allocateImageBuffer", False), ("allocateFileMappingBuffer", True)])
def test_fail_next_allocation(made, op, mapped):
    zb.fail_next(op, count=2)
    assert zb.allocate(1, 1, 4, file_mapped=mapped) is None
    with pytest.raises(MemoryError) as e:
        zb.from_bytes(bytes(4), 1, 1, 4, file_mapped=mapped)
    assert str(e.value) == ("from_bytes: %s(width 1, height 1, bpp 4, alloc_type 0) failed with "
                            "hr=0x8007000E (E_OUTOFMEMORY)" % op)
    assert made(zb.allocate(1, 1, 4, file_mapped=mapped)) is not None
    # The other kind of allocation was never affected.
    zb.fail_next(op)
    assert made(zb.allocate(1, 1, 4, file_mapped=not mapped)) is not None
    zb.clear_faults()
    assert made(zb.allocate(1, 1, 4, file_mapped=mapped)) is not None


@pytest.mark.parametrize("hr, exc, text", [
    (0, MemoryError, "gave no buffer with hr=0x00000000 (S_OK)"),
    (E_INVALIDARG, ValueError, "failed with hr=0x80070057 (E_INVALIDARG)"),
    (E_FAIL, MemoryError, "failed with hr=0x80004005 (E_FAIL)"),
    (0x8007000E, MemoryError, "failed with hr=0x8007000E (E_OUTOFMEMORY)"),
])
def test_fail_next_codes(hr, exc, text):
    before = zb.live_buffers()
    zb.fail_next("allocateImageBuffer", 1, hr)
    with pytest.raises(exc) as e:
        zb.from_bytes(bytes(8), 2, 1, 4)
    assert str(e.value).endswith(text)
    assert zb.live_buffers() == before


def test_gif_and_copy_faults_reach_the_utility(util, make_buf):
    zb.fail_next("allocateGifBuffer")
    assert util.GetGifBuffer() is None
    src = make_buf(rand_bytes(16), 2, 2, 4)
    zb.fail_next("copyBufferData")
    assert util.DuplicateImageBuffer(src) is None


def test_lock_faults_leave_zubuffer_alone(made):
    # zubuffer reaches pixels through the tables, never through lock, so an
    # armed lock fault is kept for the code under test.
    buf = made(zb.from_bytes(b"\x09" * 8, 2, 1, 4))
    zb.fail_next("lock")
    zb.fail_next("lock_no_data")
    assert zb.to_bytes(buf) == b"\x09" * 8
    zb.write(buf, b"\x01" * 8)
    assert zb.info(buf)["lock_count"] == 0


@pytest.mark.parametrize("args, exc, pattern", [
    (("allocate",), ValueError, "^fail_next: unknown operation 'allocate'; expected one of allocateImageBuffer, "),
    (("",), ValueError, "unknown operation ''"),
    ((b"lock",), TypeError, "operation must be a str, not bytes"),
    (("lock", -1), ValueError, "expected a count from 0 to 2147483647, got -1"),
    (("lock", 1.5), TypeError, "count must be an int"),
    (("lock", 1, 2**32), ValueError, "is not a 32-bit HRESULT"),
    (("lock", 1, -2**31 - 1), ValueError, "is not a 32-bit HRESULT"),
])
def test_fail_next_refusals(args, exc, pattern):
    with pytest.raises(exc, match=pattern):
        zb.fail_next(*args)


# --- NumPy ---------------------------------------------------------------------------------------

NUMPY_CASES = [("uint8", (), 1), ("uint16", (), 2), ("uint8", (3,), 3), ("uint8", (4,), 4),
               ("uint16", (3,), 6), ("uint16", (4,), 8), ("uint8", (1,), 1)]


@pytest.mark.parametrize("dtype, tail, bpp", NUMPY_CASES)
@pytest.mark.parametrize("t", [BYTE, CHUNK, PLANAR])
def test_numpy_round_trip(made, dtype, tail, bpp, t):
    np = pytest.importorskip("numpy")
    if t == PLANAR and bpp < 3:
        pytest.skip("PLANAR has no 1- or 2-byte pixels")
    rng = np.random.default_rng(5)
    arr = rng.integers(0, np.iinfo(dtype).max + 1, size=(5, 3) + tail, dtype=dtype)
    buf = made(zb.from_numpy(arr, t))
    info = zb.info(buf)
    assert (info["width"], info["height"], info["bpp"], info["alloc_type"]) == (3, 5, bpp, t)
    assert zb.to_bytes(buf) == arr.astype("<" + arr.dtype.str[1:]).tobytes()
    back = zb.to_numpy(buf)
    assert back.dtype == np.dtype(dtype) and back.flags.writeable
    assert back.shape == ((5, 3) if bpp in (1, 2) else (5, 3) + tail)
    assert np.array_equal(back.reshape(arr.shape), arr)


def test_numpy_non_contiguous_and_big_endian(made):
    np = pytest.importorskip("numpy")
    base = np.arange(6 * 8 * 3, dtype=">u2").reshape(6, 8, 3)
    view = base[::2, 1::2]
    buf = made(zb.from_numpy(view))
    assert zb.info(buf)["bpp"] == 6
    assert zb.to_bytes(buf) == np.ascontiguousarray(view, dtype="<u2").tobytes()
    assert np.array_equal(zb.to_numpy(buf), view)


@pytest.mark.parametrize("make, exc", [
    (lambda np: None, ValueError),
    (lambda np: [[1, 2], [3, 4]], TypeError),
    (lambda np: np.zeros((2, 2), dtype=np.float32), TypeError),
    (lambda np: np.zeros((2, 2), dtype=np.int16), TypeError),
    (lambda np: np.zeros((2, 2, 2), dtype=np.uint8), ValueError),
    (lambda np: np.zeros((2,), dtype=np.uint8), ValueError),
    (lambda np: np.zeros((2, 2, 3, 1), dtype=np.uint8), ValueError),
])
def test_from_numpy_refusals(make, exc):
    np = pytest.importorskip("numpy")
    with pytest.raises(exc, match="^from_numpy: "):
        zb.from_numpy(make(np))


def test_numpy_errors_name_the_numpy_call():
    np = pytest.importorskip("numpy")
    with pytest.raises(ValueError, match=r"^from_numpy: allocateImageBuffer\(width 3, height 2, bpp 1, "
                                         r"alloc_type 2\) failed with hr=0x80070057"):
        zb.from_numpy(np.zeros((2, 3), dtype=np.uint8), PLANAR)
    with pytest.raises(ValueError, match="^to_numpy: buffer is None"):
        zb.to_numpy(None)
    with pytest.raises(TypeError, match="^to_numpy: expected a CQELImageBuffer"):
        zb.to_numpy(np.zeros(3))


# --- threads --------------------------------------------------------------------------------------

@pytest.mark.parametrize("t", [BYTE, CHUNK, PLANAR])
def test_threads_share_one_buffer_and_fill_their_own(t):
    w, h, bpp = 48, 37, 4
    shared_data = rand_bytes(w * h * bpp)
    shared = zb.from_bytes(shared_data, w, h, bpp, t)
    errors = []

    def worker(k):
        try:
            mine = zb.allocate(w, h, bpp, t, k % 2 == 1)
            rows = [bytes([(k * 31 + y) & 0xFF]) * (w * bpp) for y in range(h)]
            for _ in range(30):
                zb.write(mine, b"".join(rows))
                assert zb.to_bytes(shared) == shared_data
                assert zb.to_bytes(mine) == b"".join(rows)
            zb.add_ref(shared)
            zb.release(shared)
            zb.release(mine)
        except Exception as exc:  # reported on the main thread
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(6)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    try:
        assert errors == []
        assert zb.info(shared)["refcount"] == 1
    finally:
        zb.release(shared)


# --- loading the allocator library ------------------------------------------------------------

def _run_python(code, pythonpath, env_extra=None):
    env = dict(os.environ, PYTHONPATH=pythonpath, **(env_extra or {}))
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)


def test_missing_library_fails_the_import_clearly(tmp_path):
    pkg = os.path.dirname(os.path.abspath(zb.__file__))
    for name in os.listdir(pkg):
        if name.startswith("_zubuffer") or name == "zubuffer.py":
            shutil.copy(os.path.join(pkg, name), tmp_path / name)
    result = _run_python("import zubuffer\n", str(tmp_path))
    assert result.returncode != 0
    last = result.stderr.strip().splitlines()[-1]
    assert last.startswith("ImportError: zubuffer: cannot load the buffer allocator library %s"
                           % (tmp_path / "Kernel" / "Photo" / "libZuBufferAllocator.so"))


def test_the_utility_s_library_override_is_ignored():
    pkg = os.path.dirname(os.path.abspath(zb.__file__))
    code = ("import zubuffer\n"
            "b = zubuffer.from_bytes(b'abcd', 1, 1, 4)\n"
            "print(zubuffer.to_bytes(b), zubuffer.release(b))\n")
    result = _run_python(code, pkg, {"QEL_BUFFER_ALLOCATOR": "/nonexistent/libZuBufferAllocator.so"})
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "b'abcd' 0"
