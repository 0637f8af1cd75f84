"""The companion module zubuffer: round trips in every layout, counts, byte arrays, NumPy, fault injection,
refused arguments with their messages, and loading the allocator library."""
import os
import re
import shutil
import subprocess
import sys
from types import SimpleNamespace

import numpy as np
import pytest

import zubuffer as zb
from conftest import E_FAIL, E_INVALIDARG

BYTE, CHUNK, PLANAR = 0, 1, 2
ARRAY = zb.byte_array(b"x")  # a "byte *" kept for the life of the module
LAYOUTS = [(bpp, t) for t in (BYTE, CHUNK) for bpp in (1, 2, 3, 4, 6, 8)] + [(bpp, PLANAR) for bpp in (3, 4, 6, 8)]


def split_planes(data, bpp):
    """Packed interleaved pixels split into their B, G, R[, A] planes."""
    n = 3 if bpp in (3, 6) else 4
    size = bpp // n
    return [b"".join(data[i + c * size:i + (c + 1) * size] for i in range(0, len(data), bpp)) for c in range(n)]


@pytest.mark.parametrize("mapped", [False, True])
@pytest.mark.parametrize("bpp, t", LAYOUTS)
@pytest.mark.parametrize("w, h", [(1, 1), (3, 5), (2, 9)])
def test_round_trip(keep, make_buf, mapped, bpp, t, w, h):
    n = w * h * bpp
    data, again = bytes(range(n)), bytes(range(255, 255 - n, -1))  # n <= 144
    assert zb.release(zb.from_bytes(b"\xff" * n, w, h, bpp, t, mapped)) == 0
    assert zb.to_bytes(keep(zb.allocate(w, h, bpp, t, mapped))) == bytes(n)  # zero where the old one was
    buf = make_buf(data, w, h, bpp, t, mapped)
    assert zb.info(buf) == {"width": w, "height": h, "bpp": bpp, "alloc_type": t, "file_mapped": mapped,
                            "attribute1": 0, "attribute2": 0, "refcount": 1, "lock_count": 0}
    assert zb.to_bytes(buf) == data
    assert zb.write(buf, again) is None and zb.to_bytes(buf) == again
    if t == PLANAR:
        planes = split_planes(again, bpp)
        assert [zb.plane_bytes(buf, i) for i in range(len(planes))] == planes


def test_planar_worked_example_bytes_likes_and_lock_faults_left_alone(keep):
    # zubuffer walks the tables and never locks, so armed lock faults wait for the code under test.
    zb.fail_next("lock")
    zb.fail_next("lock_no_data")
    # Two 16-bit BGRA pixels: the words stay little-endian inside their plane.
    data = bytes([1, 2, 3, 4, 5, 6, 7, 8, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18])
    buf = keep(zb.from_bytes(data=bytearray(data), width=2, height=1, bpp=8, alloc_type=PLANAR, file_mapped=True))
    assert [zb.plane_bytes(buf, i) for i in range(4)] == [b"\x01\x02\x11\x12", b"\x03\x04\x13\x14",
                                                          b"\x05\x06\x15\x16", b"\x07\x08\x17\x18"]
    zb.write(buf, memoryview(data[::-1]))
    assert zb.to_bytes(buf=buf) == data[::-1] and zb.info(buf)["lock_count"] == 0
    bgr = keep(zb.allocate(width=2, height=1, bpp=3, alloc_type=PLANAR, file_mapped=False))
    zb.write(bgr, b"BGRbgr")
    assert [zb.plane_bytes(bgr, i) for i in range(3)] == [b"Bb", b"Gg", b"Rr"]


def test_opaque_buffers_attributes_and_reference_counts(make_buf):
    assert (zb.BUFFER_ALLOCATE_TYPE_BYTE, zb.BUFFER_ALLOCATE_TYPE_CHUNK, zb.BUFFER_ALLOCATE_TYPE_PLANAR,
            zb.E_OUTOFMEMORY) == (BYTE, CHUNK, PLANAR, -2147024882)
    buf = make_buf(bytes(64), 4, 4, 4, CHUNK)
    assert re.fullmatch(r"<Swig Object of type 'CQELImageBuffer \*' at 0x[0-9a-f]+>", repr(buf))
    assert not buf.own() and not hasattr(zb, "CQELImageBuffer")
    zb.set_attributes(buf, 2**64 - 1, 0x1234)
    assert (zb.info(buf)["attribute1"], zb.info(buf)["attribute2"]) == (2**64 - 1, 0x1234)
    zb.set_attributes(buf, attribute1=0, attribute2=7)
    assert (zb.info(buf)["attribute1"], zb.info(buf)["attribute2"]) == (0, 7)
    before = zb.live_buffers()
    other = zb.from_bytes(bytes(16), 2, 2, 4, PLANAR, True)
    assert zb.live_buffers() == before + 1
    assert [zb.add_ref(buf), zb.info(buf)["refcount"], zb.release(buf)] == [2, 2, 1]
    assert zb.release(other) == 0 and zb.live_buffers() == before
    # Sizes that no UINT or int carries are requests no allocator could grant.
    args = [(-1, 5, 4), (5, -3, 4), (5, 5, -4), (2**32, 5, 4), (5, 2**70, 4), (5, 5, 4, 2**40), (5, 5, 4, -2**70)]
    assert [zb.allocate(*a, file_mapped=m) for a in args for m in (False, True)] == [None] * 14


BUFFER_CALLS = {
    "to_bytes": zb.to_bytes, "info": zb.info, "add_ref": zb.add_ref, "release": zb.release, "to_numpy": zb.to_numpy,
    "write": lambda b: zb.write(b, bytes(4)), "plane_bytes": lambda b: zb.plane_bytes(b, 0),
    "set_attributes": lambda b: zb.set_attributes(b, 1, 2),
}


@pytest.mark.parametrize("name", sorted(BUFFER_CALLS))
def test_buffer_arguments_none_wrong_type_or_released(name):
    call, stale = BUFFER_CALLS[name], zb.allocate(1, 1, 4)
    zb.release(stale)
    with pytest.raises(ValueError, match=re.escape(f"{name}: buffer is None, expected a CQELImageBuffer *")):
        call(None)
    for bad, kind in ((5, "int"), (b"\0" * 8, "bytes"), (np.zeros(3), "numpy.ndarray"), (ARRAY, "SwigPyObject")):
        with pytest.raises(TypeError) as e:
            call(bad)
        assert str(e.value) == f"{name}: expected a CQELImageBuffer *, got {kind}"
    with pytest.raises(ValueError) as e:
        call(stale)
    assert str(e.value) == f"{name}: the buffer is not a live image buffer of the allocator library (already released?)"


REFUSED = " failed with hr=0x80070057 (E_INVALIDARG)"
SIZES = " must each be from 0 to 4294967295"
PLANE = "plane_bytes: expected a plane index from 0 to 2 for bpp 6, got "
ATTRIBUTE = "set_attributes: attribute%d must be an unsigned 64-bit value (0 to 18446744073709551615)"
UNKNOWN = ("fail_next: unknown operation 'allocate'; expected one of allocateImageBuffer, allocateFileMappingBuffer, "
           "allocateGifBuffer, copyBufferData, lock, lock_no_data")
UINTS = "from_numpy: expected a uint8 or uint16 array, got "
READ = "read_byte_array: "
SHAPES = "from_numpy: expected shape (h, w) or (h, w, c) with c 1, 3 or 4, got "
REFUSALS = [  # o.p: 3 x 2 PLANAR bpp 6, o.c: 2 x 2 CHUNK bpp 4
    (lambda o: zb.write(o.p, bytes(37)), ValueError, "write: expected 36 bytes (width 3 × height 2 × bpp 6), got 37"),
    (lambda o: zb.from_bytes(b"", 2**32 - 1, 2**32 - 1, 2**32 - 1), ValueError, "from_bytes: expected "
     "79228162458924105385300197375 bytes (width 4294967295 × height 4294967295 × bpp 4294967295), got 0"),
    (lambda o: zb.from_bytes(bytes(25), 5, 5, 1, PLANAR, True), ValueError,
     "from_bytes: allocateFileMappingBuffer(width 5, height 5, bpp 1, alloc_type 2)" + REFUSED),
    (lambda o: zb.from_numpy(np.zeros((2, 3), np.uint8), PLANAR), ValueError,
     "from_numpy: allocateImageBuffer(width 3, height 2, bpp 1, alloc_type 2)" + REFUSED),
    (lambda o: zb.from_bytes(b"", -1, 5, 4), ValueError, "from_bytes: width -1, height 5 and bpp 4" + SIZES),
    (lambda o: zb.from_bytes(b"", 1, 2**32, 4), ValueError, "from_bytes: width 1, height 4294967296 and bpp 4" + SIZES),
    (lambda o: zb.from_bytes(b"", 1, 1, 4, 2**31), ValueError, "from_bytes: alloc_type 2147483648 is not a 32-bit int"),
    (lambda o: zb.from_bytes(None, 1, 1, 4), ValueError, "from_bytes: data is None, expected a bytes-like object"),
    (lambda o: zb.write(o.p, [1, 2]), TypeError, "write: data must be a bytes-like object, not list"),
    (lambda o: zb.BYTE_array("text"), TypeError, "BYTE_array: data must be a bytes-like object, not str"),
    (lambda o: zb.from_bytes(memoryview(bytes(8))[::2], 2, 1, 2), ValueError,
     "from_bytes: data must be a C-contiguous bytes-like object"),
    (lambda o: zb.from_bytes(bytes(4), 1.0, 1, 4), TypeError, "from_bytes: width must be an int, not float"),
    (lambda o: zb.allocate(1, 1, 4, 0, "yes"), TypeError, "allocate: file_mapped must be a bool, not str"),
    (lambda o: zb.plane_bytes(o.p, 3), ValueError, PLANE + "3"),
    (lambda o: zb.plane_bytes(o.p, -1), ValueError, PLANE + "-1"),
    (lambda o: zb.plane_bytes(o.c, 0), ValueError,
     "plane_bytes: expected a PLANAR buffer (alloc_type 2), got alloc_type 1"),
    (lambda o: zb.set_attributes(o.p, 2**64, 0), OverflowError, ATTRIBUTE % 1),
    (lambda o: zb.set_attributes(o.p, 5, -1), OverflowError, ATTRIBUTE % 2),
    (lambda o: zb.set_attributes(o.p, 5, None), TypeError, "set_attributes: attribute2 must be an int, not NoneType"),
    (lambda o: zb.read_byte_array(o.c, 1), TypeError, READ + "expected a byte * or BYTE *, got SwigPyObject"),
    (lambda o: zb.read_byte_array(None, 1), ValueError, READ + "pointer is None, expected a byte * or BYTE *"),
    (lambda o: zb.read_byte_array(ARRAY, -1), ValueError, READ + f"expected a size from 0 to {2**63 - 1}, got -1"),
    (lambda o: zb.fail_next("allocate"), ValueError, UNKNOWN),
    (lambda o: zb.fail_next(b"lock"), TypeError, "fail_next: operation must be a str, not bytes"),
    (lambda o: zb.fail_next("lock", -1), ValueError, "fail_next: expected a count from 0 to 2147483647, got -1"),
    (lambda o: zb.fail_next("lock", 1, 2**32), ValueError, "fail_next: hr 4294967296 is not a 32-bit HRESULT"),
    (lambda o: zb.fail_next("lock", 1, -2**31 - 1), ValueError, "fail_next: hr -2147483649 is not a 32-bit HRESULT"),
    (lambda o: zb.from_numpy(None), ValueError, "from_numpy: array is None, expected a uint8 or uint16 numpy array"),
    (lambda o: zb.from_numpy([[1, 2]]), TypeError, "from_numpy: expected a numpy array, got list"),
    (lambda o: zb.from_numpy(np.zeros((2, 2), np.int16)), TypeError, UINTS + "int16"),
    (lambda o: zb.from_numpy(np.zeros((2, 2), np.uint32)), TypeError, UINTS + "uint32"),
    (lambda o: zb.from_numpy(np.zeros((2, 2, 2), np.uint8)), ValueError, SHAPES + "(2, 2, 2)"),
    (lambda o: zb.from_numpy(np.zeros((2,), np.uint8)), ValueError, SHAPES + "(2,)"),
]


@pytest.mark.parametrize("call, exc, message", REFUSALS)
def test_refused_arguments(make_buf, call, exc, message):
    o = SimpleNamespace(p=make_buf(bytes(36), 3, 2, 6, PLANAR), c=make_buf(bytes(16), 2, 2, 4, CHUNK))
    with pytest.raises(exc) as e:
        call(o)
    assert str(e.value) == message
    assert zb.to_bytes(o.p) == bytes(36) and zb.info(o.p)["attribute1"] == 0


def test_byte_arrays_of_both_types():
    low, up, empty = zb.byte_array(b"hello"), zb.BYTE_array(bytearray(b"world!")), zb.byte_array(b"")
    assert "'byte *'" in repr(low) and "'unsigned char *'" in repr(up)
    assert [zb.read_byte_array(p, n) for p, n in ((low, 5), (up, 6), (empty, 0))] == [b"hello", b"world!", b""]
    assert [zb.free_byte_array(p) for p in (low, up, empty, None)] == [None] * 4


@pytest.mark.parametrize("op, mapped, hr, exc, text", [
    ("allocateImageBuffer", False, None, MemoryError, "failed with hr=0x8007000E (E_OUTOFMEMORY)"),
    ("allocateFileMappingBuffer", True, 0, MemoryError, "gave no buffer with hr=0x00000000 (S_OK)"),
    ("allocateImageBuffer", False, E_INVALIDARG, ValueError, "failed with hr=0x80070057 (E_INVALIDARG)"),
    ("allocateFileMappingBuffer", True, E_FAIL, MemoryError, "failed with hr=0x80004005 (E_FAIL)"),
    ("allocateImageBuffer", False, 0x80001234, MemoryError, "failed with hr=0x80001234")])
def test_allocation_faults_count_down_and_keep_to_their_operation(keep, op, mapped, hr, exc, text):
    zb.fail_next(op, 2, *([] if hr is None else [hr]))
    assert keep(zb.allocate(1, 1, 4, file_mapped=not mapped)) is not None
    assert zb.allocate(1, 1, 4, file_mapped=mapped) is None
    with pytest.raises(exc) as e:
        zb.from_bytes(bytes(4), 1, 1, 4, file_mapped=mapped)
    assert str(e.value) == f"from_bytes: {op}(width 1, height 1, bpp 4, alloc_type 0) {text}"
    assert keep(zb.allocate(1, 1, 4, file_mapped=mapped)) is not None
    zb.fail_next(op)
    zb.clear_faults()
    assert keep(zb.allocate(1, 1, 4, file_mapped=mapped)) is not None


@pytest.mark.parametrize("dtype, tail, bpp, t", [
    (dtype, tail, bpp, t) for dtype, tail, bpp in [("uint8", (), 1), ("uint16", (), 2), ("uint8", (1,), 1),
                                                   ("uint8", (3,), 3), ("uint8", (4,), 4), ("uint16", (3,), 6),
                                                   ("uint16", (4,), 8)]
    for t in (BYTE, CHUNK, PLANAR) if bpp > 2 or t != PLANAR])
def test_numpy_round_trip(keep, dtype, tail, bpp, t):
    arr = np.random.default_rng(5).integers(0, np.iinfo(dtype).max + 1, size=(5, 3) + tail, dtype=dtype)
    buf = keep(zb.from_numpy(arr, t))
    assert [zb.info(buf)[k] for k in ("width", "height", "bpp", "alloc_type")] == [3, 5, bpp, t]
    assert zb.to_bytes(buf) == arr.astype("<" + arr.dtype.str[1:]).tobytes()
    back = zb.to_numpy(buf)
    assert back.dtype == np.dtype(dtype) and back.flags.writeable
    assert back.shape == (5, 3) + (tail if bpp > 2 else ()) and np.array_equal(back.reshape(arr.shape), arr)


def test_numpy_non_contiguous_and_big_endian(keep):
    view = np.arange(6 * 8 * 3, dtype=">u2").reshape(6, 8, 3)[::2, 1::2]
    buf = keep(zb.from_numpy(view))
    assert zb.info(buf)["bpp"] == 6 and zb.to_bytes(buf) == np.ascontiguousarray(view, dtype="<u2").tobytes()
    assert np.array_equal(zb.to_numpy(buf), view)


def test_loading_the_allocator_library(tmp_path):
    def run(code, path, **env):
        return subprocess.run([sys.executable, "-c", code], env=dict(os.environ, PYTHONPATH=str(path), **env),
                              capture_output=True, text=True, timeout=60)

    # The utility's QEL_BUFFER_ALLOCATOR is not consulted: zubuffer loads the library beside it.
    pkg = os.path.dirname(os.path.abspath(zb.__file__))
    code = "import zubuffer as z; b = z.from_bytes(b'abcd', 1, 1, 4); print(z.to_bytes(b), z.release(b))"
    result = run(code, pkg, QEL_BUFFER_ALLOCATOR="/nonexistent/libZuBufferAllocator.so")
    assert (result.returncode, result.stdout.strip()) == (0, "b'abcd' 0"), result.stderr
    # Without the library the import fails and names the file.
    for name in os.listdir(pkg):
        if name.startswith("_zubuffer") or name == "zubuffer.py":
            shutil.copy(os.path.join(pkg, name), tmp_path / name)
    result = run("import zubuffer", tmp_path)
    assert result.returncode != 0 and result.stderr.strip().splitlines()[-1].startswith(
        "ImportError: zubuffer: cannot load the buffer allocator library %s: "
        % (tmp_path / "Kernel" / "Photo" / "libZuBufferAllocator.so"))
