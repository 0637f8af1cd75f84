"""The companion module zubuffer: round trips in every layout, counts, byte arrays, NumPy, fault injection,
refused arguments with their messages, and loading the allocator library."""
import os
import re
import shutil
import subprocess
import sys

import numpy as np
import pytest

import zubuffer as zb
from conftest import E_FAIL

BYTE, CHUNK, PLANAR = 0, 1, 2
ARRAY = zb.byte_array(b"x")  # a "byte *" kept for the life of the module
LAYOUTS = [(bpp, t) for t in (BYTE, CHUNK, PLANAR) for bpp in (1, 2, 3, 4, 6, 8) if bpp > 2 or t != PLANAR]


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
    assert zb.to_bytes(buf) == data and zb.write(buf, again) is None and zb.to_bytes(buf) == again
    if t == PLANAR:  # the model: the B, G, R[, A] planes of the packed pixels, 16-bit samples kept whole
        size = 2 if bpp in (6, 8) else 1
        assert [zb.plane_bytes(buf, c // size) for c in range(0, bpp, size)] == [
            b"".join(again[i + c:i + c + size] for i in range(0, n, bpp)) for c in range(0, bpp, size)]


def test_worked_example_keywords_opaque_buffers_attributes_counts_and_byte_arrays(keep, make_buf):
    zb.fail_next("lock")  # zubuffer walks the tables and never locks: the faults wait for the code under test
    zb.fail_next("lock_no_data")
    # Two 16-bit BGRA pixels: the words stay little-endian inside their plane.
    data = bytes([1, 2, 3, 4, 5, 6, 7, 8, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18])
    buf = keep(zb.from_bytes(data=bytearray(data), width=2, height=1, bpp=8, alloc_type=PLANAR, file_mapped=True))
    assert [zb.plane_bytes(buf=buf, index=i) for i in range(4)] == [b"\x01\x02\x11\x12", b"\x03\x04\x13\x14",
                                                                    b"\x05\x06\x15\x16", b"\x07\x08\x17\x18"]
    zb.write(buf=buf, data=memoryview(data[::-1]))
    assert zb.to_bytes(buf=buf) == data[::-1] and zb.info(buf)["lock_count"] == 0
    assert keep(zb.allocate(width=1, height=1, bpp=3, alloc_type=PLANAR, file_mapped=False)) is not None
    assert (zb.BUFFER_ALLOCATE_TYPE_BYTE, zb.BUFFER_ALLOCATE_TYPE_CHUNK, zb.BUFFER_ALLOCATE_TYPE_PLANAR,
            zb.E_OUTOFMEMORY) == (BYTE, CHUNK, PLANAR, -2147024882)
    buf, before = make_buf(bytes(64), 4, 4, 4, CHUNK), zb.live_buffers()
    assert re.fullmatch(r"<Swig Object of type 'CQELImageBuffer \*' at 0x[0-9a-f]+>", repr(buf))
    assert not buf.own() and not hasattr(zb, "CQELImageBuffer")
    zb.set_attributes(buf, attribute1=2**64 - 1, attribute2=0x1234)
    assert (zb.info(buf)["attribute1"], zb.info(buf)["attribute2"]) == (2**64 - 1, 0x1234)
    other = zb.from_bytes(bytes(16), 2, 2, 4, PLANAR, True)
    assert [zb.live_buffers(), zb.add_ref(buf), zb.info(buf)["refcount"], zb.release(buf)] == [before + 1, 2, 2, 1]
    assert zb.release(other) == 0 and zb.live_buffers() == before
    # Sizes that no UINT or int carries are requests no allocator could grant.
    args = [(-1, 5, 4), (5, 2**32, 4), (5, 5, 2**70), (5, 5, 4, 2**31), (5, 5, 4, -2**31 - 1)]
    assert [zb.allocate(*a, file_mapped=m) for a in args for m in (False, True)] == [None] * 10
    low, up, empty = zb.byte_array(b"hello"), zb.BYTE_array(bytearray(b"world!")), zb.byte_array(b"")
    assert "'byte *'" in repr(low) and "'unsigned char *'" in repr(up)
    assert [zb.read_byte_array(p, n) for p, n in ((low, 5), (up, 6), (empty, 0))] == [b"hello", b"world!", b""]
    assert [zb.free_byte_array(p) for p in (low, up, empty, None)] == [None] * 4


V, T = "ValueError: ", "TypeError: "
REFUSED = " height 2, bpp 1, alloc_type 2) failed with hr=0x80070057 (E_INVALIDARG)"
PLANE = V + "plane_bytes: expected a plane index from 0 to 2 for bpp 6, got "
ATTRIBUTE = "OverflowError: set_attributes: attribute%d must be an unsigned 64-bit value (0 to 18446744073709551615)"
UINTS = T + "from_numpy: expected a uint8 or uint16 array, got "
HRESULT = V + "fail_next: hr %d is not a 32-bit HRESULT"
REFUSALS = [  # p: 3 x 2 PLANAR bpp 6, c: 2 x 2 CHUNK bpp 4
    ("write(p, bytes(37))", V + "write: expected 36 bytes (width 3 × height 2 × bpp 6), got 37"),
    ("from_bytes(b'', 2**32 - 1, 2**32 - 1, 2**32 - 1)", V + "from_bytes: expected "
     "79228162458924105385300197375 bytes (width 4294967295 × height 4294967295 × bpp 4294967295), got 0"),
    ("from_bytes(bytes(2), 1, 2, 1, PLANAR, True)", V + "from_bytes: allocateFileMappingBuffer(width 1," + REFUSED),
    ("from_numpy(np.zeros((2, 3), np.uint8), PLANAR)", V + "from_numpy: allocateImageBuffer(width 3," + REFUSED),
    ("from_bytes(b'', 1, 2**32, 4)", V + "from_bytes: width 1, height 4294967296 and bpp 4 must each be from 0 "
     "to 4294967295"),
    ("from_bytes(b'', 1, 1, 4, 2**31)", V + "from_bytes: alloc_type 2147483648 is not a 32-bit int"),
    ("from_bytes(None, 1, 1, 4)", V + "from_bytes: data is None, expected a bytes-like object"),
    ("write(p, [1, 2])", T + "write: data must be a bytes-like object, not list"),
    ("BYTE_array('text')", T + "BYTE_array: data must be a bytes-like object, not str"),
    ("from_bytes(memoryview(bytes(8))[::2], 2, 1, 2)", V + "from_bytes: data must be a C-contiguous bytes-like object"),
    ("from_bytes(bytes(4), 1.0, 1, 4)", T + "from_bytes: width must be an int, not float"),
    ("allocate(1, 1, 4, 0, 'yes')", T + "allocate: file_mapped must be a bool, not str"),
    ("plane_bytes(p, 3)", PLANE + "3"),
    ("plane_bytes(p, -1)", PLANE + "-1"),
    ("plane_bytes(c, 0)", V + "plane_bytes: expected a PLANAR buffer (alloc_type 2), got alloc_type 1"),
    ("set_attributes(p, 2**64, 0)", ATTRIBUTE % 1),
    ("set_attributes(p, 5, -1)", ATTRIBUTE % 2),
    ("set_attributes(p, 5, None)", T + "set_attributes: attribute2 must be an int, not NoneType"),
    ("read_byte_array(c, 1)", T + "read_byte_array: expected a byte * or BYTE *, got SwigPyObject"),
    ("read_byte_array(None, 1)", V + "read_byte_array: pointer is None, expected a byte * or BYTE *"),
    ("read_byte_array(ARRAY, -1)", V + f"read_byte_array: expected a size from 0 to {2**63 - 1}, got -1"),
    ("fail_next('allocate')", V + "fail_next: unknown operation 'allocate'; expected one of allocateImageBuffer, "
     "allocateFileMappingBuffer, allocateGifBuffer, copyBufferData, lock, lock_no_data"),
    ("fail_next(b'lock')", T + "fail_next: operation must be a str, not bytes"),
    ("fail_next('lock', -1)", V + "fail_next: expected a count from 0 to 2147483647, got -1"),
    ("fail_next('lock', 1, skip=-1)", V + "fail_next: expected a skip from 0 to 2147483647, got -1"),
    ("fail_next('lock', 1, 2**32)", HRESULT % 2**32),
    ("fail_next('lock', 1, -2**31 - 1)", HRESULT % (-2**31 - 1)),
    ("from_numpy(None)", V + "from_numpy: array is None, expected a uint8 or uint16 numpy array"),
    ("from_numpy([[1, 2]])", T + "from_numpy: expected a numpy array, got list"),
    ("from_numpy(np.zeros((2, 2), np.int16))", UINTS + "int16"),
    ("from_numpy(np.zeros((2, 2), np.uint32))", UINTS + "uint32"),
    ("from_numpy(np.zeros((2, 2, 2), np.uint8))",
     V + "from_numpy: expected shape (h, w) or (h, w, c) with c 1, 3 or 4, got (2, 2, 2)"),
] + [(call.format(arg), kind + call.split("(")[0] + ": " + text)  # s: a released buffer
     for call in ("to_bytes({})", "info({})", "add_ref({})", "release({})", "to_numpy({})", "write({}, bytes(4))",
                  "plane_bytes({}, 0)", "set_attributes({}, 1, 2)")
     for arg, kind, text in (("None", V, "buffer is None, expected a CQELImageBuffer *"),
                             ("5", T, "expected a CQELImageBuffer *, got int"),
                             ("ARRAY", T, "expected a CQELImageBuffer *, got SwigPyObject"),
                             ("s", V, "the buffer is not a live image buffer of the allocator library "
                                      "(already released?)"))]


@pytest.mark.parametrize("call, message", REFUSALS)
def test_refused_arguments(make_buf, call, message):
    p, c, s = make_buf(bytes(36), 3, 2, 6, PLANAR), make_buf(bytes(16), 2, 2, 4, CHUNK), zb.allocate(1, 1, 4)
    zb.release(s)
    with pytest.raises(Exception) as e:
        eval(call, dict(vars(zb), np=np, ARRAY=ARRAY, PLANAR=PLANAR, p=p, c=c, s=s))
    assert f"{type(e.value).__name__}: {e.value}" == message
    assert zb.to_bytes(p) == bytes(36) and zb.info(p)["attribute1"] == 0


@pytest.mark.parametrize("op, mapped, hr, exc, text", [
    ("allocateImageBuffer", False, None, MemoryError, "failed with hr=0x8007000E (E_OUTOFMEMORY)"),
    ("allocateFileMappingBuffer", True, 0, MemoryError, "gave no buffer with hr=0x00000000 (S_OK)"),
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


@pytest.mark.parametrize("dtype, tail, bpp, t", [(d, tail, bpp, t) for d, tail, bpp in [
    ("uint8", (), 1), ("uint16", (), 2), ("uint8", (1,), 1), ("uint8", (3,), 3), ("uint8", (4,), 4),
    ("uint16", (3,), 6), ("uint16", (4,), 8)] for t in (BYTE, CHUNK, PLANAR) if bpp > 2 or t != PLANAR])
def test_numpy_round_trip(keep, dtype, tail, bpp, t):
    arr = np.random.default_rng(5).integers(0, np.iinfo(dtype).max + 1, size=(5, 3) + tail, dtype=dtype)
    buf = keep(zb.from_numpy(arr, t))
    assert [zb.info(buf)[k] for k in ("width", "height", "bpp", "alloc_type")] == [3, 5, bpp, t]
    assert zb.to_bytes(buf) == arr.astype("<" + arr.dtype.str[1:]).tobytes()
    back, view = zb.to_numpy(buf), np.arange(6 * 8 * 3, dtype=">u2").reshape(6, 8, 3)[::2, 1::2]
    assert back.dtype == np.dtype(dtype) and back.flags.writeable and back.shape == (5, 3) + (tail if bpp > 2 else ())
    assert np.array_equal(back.reshape(arr.shape), arr)
    buf = keep(zb.from_numpy(view, t))  # non-contiguous and big-endian
    assert zb.to_bytes(buf) == view.astype("<u2").tobytes() and np.array_equal(zb.to_numpy(buf), view)


def test_loading_the_allocator_library(tmp_path):
    pkg, alone = os.path.dirname(os.path.abspath(zb.__file__)), tmp_path / "alone"
    shutil.copytree(pkg, alone, ignore=lambda _, names: [n for n in names if n[:9] not in ("_zubuffer", "zubuffer.")])
    # QEL_BUFFER_ALLOCATOR, which redirects the utility, is not consulted: zubuffer loads the library beside it.
    code = "import zubuffer as z; b = z.from_bytes(b'abcd', 1, 1, 4); print(z.to_bytes(b), z.release(b))"
    env = dict(os.environ, QEL_BUFFER_ALLOCATOR="/nonexistent/libZuBufferAllocator.so")
    ok, bad = [subprocess.run([sys.executable, "-c", code], env=dict(env, PYTHONPATH=str(path)), capture_output=True,
                              text=True, timeout=60) for path in (pkg, alone)]
    assert (ok.returncode, ok.stdout, bad.returncode) == (0, "b'abcd' 0\n", 1), ok.stderr
    assert bad.stderr.splitlines()[-1].startswith(f"ImportError: zubuffer: cannot load the buffer allocator library "
                                                f"{alone / 'Kernel' / 'Photo' / 'libZuBufferAllocator.so'}: ")


def test_fail_next_skip_lets_calls_pass_first(keep):
    zb.fail_next("allocateImageBuffer", 2, skip=3)
    made = [zb.allocate(1, 1, 4) for _ in range(6)]
    assert [m is not None for m in made] == [True, True, True, False, False, True]
    for m in made:
        keep(m)
    zb.fail_next("allocateImageBuffer", 0, skip=1)  # a count of 0 disarms, skip and all
    assert keep(zb.allocate(1, 1, 4)) is not None and keep(zb.allocate(1, 1, 4)) is not None
