"""The buffer allocator library on its own: its exports, its three layouts in
memory and in file mappings, reference and lock counting, copyBufferData,
refused requests, fault injection and concurrent row access.

The library is driven directly through ctypes (virtual calls through the
objects' tables), with buffers also made through zubuffer, which loads the
same library instance."""
import ctypes
import os
import random
import shutil
import subprocess
import threading

import pytest

import _PyQelBufferUtility
import zubuffer as zb

S_OK = 0
S_FALSE = 1
E_POINTER = -2147467261
E_INVALIDARG = -2147024809
E_OUTOFMEMORY = -2147024882

BYTE, CHUNK, PLANAR = 0, 1, 2
CHUNK_ROWS = 4
ALL_BPP = (1, 2, 3, 4, 6, 8)
PLANAR_BPP = (3, 4, 6, 8)

LIB_PATH = os.path.join(os.path.dirname(os.path.abspath(_PyQelBufferUtility.__file__)),
                        "Kernel", "Photo", "libZuBufferAllocator.so")
LIB = ctypes.CDLL(LIB_PATH)

c_hr = ctypes.c_int
c_ptr = ctypes.c_void_p
PP = ctypes.POINTER(ctypes.c_void_p)
LIB.CreateZuBufferAllocator.restype = c_ptr
LIB.DeleteZuBufferAllocator.argtypes = [c_ptr]
LIB.ZuTest_LiveImageBuffers.restype = ctypes.c_long


class BufferInfo(ctypes.Structure):
    _fields_ = [("unWidth", ctypes.c_uint), ("unHeight", ctypes.c_uint), ("unBytesPerPixel", ctypes.c_uint),
                ("nAllocateType", ctypes.c_int), ("bFileMapped", ctypes.c_int), ("nRefCount", ctypes.c_long),
                ("nLockCount", ctypes.c_long), ("qwAttribute1", ctypes.c_uint64),
                ("qwAttribute2", ctypes.c_uint64)]


LIB.ZuTest_GetImageBufferInfo.argtypes = [c_ptr, ctypes.POINTER(BufferInfo)]
LIB.ZuTest_GetImageBufferInfo.restype = c_hr
LIB.ZuTest_IsLiveImageBuffer.argtypes = [c_ptr]
LIB.ZuTest_FailNext.argtypes = [ctypes.c_char_p, ctypes.c_int, c_hr]
LIB.ZuTest_FailNext.restype = c_hr


def vtable(obj):
    return ctypes.cast(ctypes.c_void_p(obj), ctypes.POINTER(ctypes.POINTER(ctypes.c_void_p)))[0]


def method(obj, index, restype, *argtypes):
    return ctypes.CFUNCTYPE(restype, c_ptr, *argtypes)(vtable(obj)[index])


class Allocator:
    """ZuBufferAllocator through its virtual table."""

    def __init__(self):
        self.ptr = LIB.CreateZuBufferAllocator()
        assert self.ptr

    def _alloc(self, index, out, w, h, bpp, t):
        fn = method(self.ptr, index, c_hr, PP, ctypes.c_uint, ctypes.c_uint, ctypes.c_uint, ctypes.c_int)
        return fn(self.ptr, out, w, h, bpp, t)

    def allocate(self, w, h, bpp, t=BYTE, mapped=False, out=True):
        slot = ctypes.c_void_p(0xDEADBEEF)
        hr = self._alloc(1 if mapped else 0, ctypes.byref(slot) if out else None, w, h, bpp, t)
        return hr, slot.value

    def copy(self, buf, memory, offset, count, to_memory):
        fn = method(self.ptr, 2, c_hr, PP, c_ptr, ctypes.c_uint, ctypes.c_uint64, ctypes.c_bool)
        holder = ctypes.c_void_p(buf)
        return fn(self.ptr, ctypes.byref(holder) if buf is not False else None, memory, offset, count, to_memory)

    def gif(self, out=True):
        slot = ctypes.c_void_p(0xDEADBEEF)
        hr = method(self.ptr, 3, c_hr, PP)(self.ptr, ctypes.byref(slot) if out else None)
        return hr, slot.value

    def delete(self):
        LIB.DeleteZuBufferAllocator(self.ptr)
        self.ptr = None


class Buf:
    """CQELImageBuffer through its virtual table and public fields."""

    def __init__(self, ptr):
        self.ptr = ptr

    def add_ref(self):
        return method(self.ptr, 0, ctypes.c_long)(self.ptr)

    def release(self):
        return method(self.ptr, 1, ctypes.c_long)(self.ptr)

    def lock(self, width=12345, height=54321):
        data = ctypes.c_void_p(0xDEADBEEF)
        w, h = ctypes.c_uint(width), ctypes.c_uint(height)
        ok = method(self.ptr, 2, ctypes.c_bool, PP, ctypes.POINTER(ctypes.c_uint), ctypes.POINTER(ctypes.c_uint))(
            self.ptr, ctypes.byref(data), ctypes.byref(w), ctypes.byref(h))
        return ok, data.value, w.value, h.value

    def unlock(self):
        return method(self.ptr, 3, c_hr)(self.ptr)

    def size(self):
        return tuple(method(self.ptr, i, ctypes.c_uint)(self.ptr) for i in (4, 5, 6))

    def set_attribute(self, which, value):
        method(self.ptr, 6 + which, None, ctypes.c_uint64)(self.ptr, value)

    def field(self, offset, ctype=ctypes.c_void_p):
        return ctype.from_address(self.ptr + offset).value

    alloc_type = property(lambda self: self.field(8, ctypes.c_int))
    stride_table = property(lambda self: self.field(16))
    plane_table = property(lambda self: self.field(24))
    file_mapping = property(lambda self: self.field(32))
    attributes = property(lambda self: (self.field(40, ctypes.c_uint64), self.field(48, ctypes.c_uint64)))

    def rows(self):
        h = self.size()[1]
        return list((ctypes.c_void_p * h).from_address(self.stride_table))

    def planes(self, n):
        return list((ctypes.c_void_p * n).from_address(self.plane_table))

    def info(self):
        info = BufferInfo()
        assert LIB.ZuTest_GetImageBufferInfo(self.ptr, ctypes.byref(info)) == S_OK
        return info


@pytest.fixture
def alloc():
    a = Allocator()
    yield a
    if a.ptr:
        a.delete()


@pytest.fixture
def owned():
    """Buffers made through ctypes, released at the end of the test."""
    made = []
    yield made.append
    for b in made:
        Buf(b).release()


def rand_bytes(n, rng=random.Random(2024)):
    return bytes(rng.randrange(256) for _ in range(n))


def plane_count(bpp):
    return 3 if bpp in (3, 6) else 4


# --- exports -----------------------------------------------------------------

def test_only_the_factories_and_hooks_are_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", LIB_PATH], check=True, capture_output=True, text=True).stdout
    names = {line.split()[-1] for line in out.splitlines() if line.split()[1:2] == ["T"]}
    assert names == {"CreateZuBufferAllocator", "DeleteZuBufferAllocator", "ZuTest_FailNext",
                     "ZuTest_ClearFaults", "ZuTest_LiveImageBuffers", "ZuTest_IsLiveImageBuffer",
                     "ZuTest_GetImageBufferInfo"}


def test_zubuffer_and_ctypes_share_one_library_instance(alloc, owned):
    before = zb.live_buffers()
    hr, b = alloc.allocate(3, 3, 4)
    owned(b)
    assert hr == S_OK
    assert zb.live_buffers() == LIB.ZuTest_LiveImageBuffers() == before + 1


# --- layouts -----------------------------------------------------------------

@pytest.mark.parametrize("mapped", [False, True])
@pytest.mark.parametrize("bpp", ALL_BPP)
@pytest.mark.parametrize("w, h", [(1, 1), (3, 5), (7, 9)])
def test_byte_layout_is_one_packed_block(alloc, owned, mapped, bpp, w, h):
    hr, p = alloc.allocate(w, h, bpp, BYTE, mapped)
    assert hr == S_OK
    owned(p)
    b = Buf(p)
    assert b.size() == (w, h, bpp) and b.alloc_type == BYTE and b.plane_table is None
    rows = b.rows()
    assert rows == [rows[0] + y * w * bpp for y in range(h)]
    ok, data, lw, lh = b.lock()
    assert (ok, data, lw, lh) == (True, rows[0], w, h)
    assert ctypes.string_at(data, w * h * bpp) == bytes(w * h * bpp)
    assert b.unlock() == S_OK


@pytest.mark.parametrize("mapped", [False, True])
@pytest.mark.parametrize("bpp", ALL_BPP)
@pytest.mark.parametrize("h", [1, 4, 5, 8, 9, 13])
def test_chunk_rows_live_in_separate_chunks_of_at_most_four(alloc, owned, mapped, bpp, h):
    w = 3
    hr, p = alloc.allocate(w, h, bpp, CHUNK, mapped)
    assert hr == S_OK
    owned(p)
    b = Buf(p)
    rows = b.rows()
    row_bytes = w * bpp
    for y in range(1, h):
        contiguous = rows[y] == rows[y - 1] + row_bytes
        # Within a chunk rows follow each other; a new chunk starts elsewhere.
        assert contiguous == (y % CHUNK_ROWS != 0), y
    chunks = {rows[y - y % CHUNK_ROWS] for y in range(h)}
    assert len(chunks) == (h + CHUNK_ROWS - 1) // CHUNK_ROWS
    ok, data, lw, lh = b.lock()
    assert (ok, data, lw, lh) == (True, rows[0], w, h)
    assert all(ctypes.string_at(r, row_bytes) == bytes(row_bytes) for r in rows)
    assert b.unlock() == S_OK


@pytest.mark.parametrize("mapped", [False, True])
@pytest.mark.parametrize("bpp", PLANAR_BPP)
def test_planar_planes_hold_one_channel_each(alloc, owned, mapped, bpp):
    w, h = 5, 3
    hr, p = alloc.allocate(w, h, bpp, PLANAR, mapped)
    assert hr == S_OK
    owned(p)
    b = Buf(p)
    assert b.stride_table is None and b.alloc_type == PLANAR and b.size() == (w, h, bpp)
    n = plane_count(bpp)
    channel = 2 if bpp >= 6 else 1
    planes = b.planes(n)
    assert all(planes) and len(set(planes)) == n
    ok, data, lw, lh = b.lock()
    assert (ok, data, lw, lh) == (True, planes[0], w, h)
    assert b.unlock() == S_OK
    # Each plane is width * height channels, packed, blue first.
    data = rand_bytes(w * h * bpp)
    zbuf = zb.from_bytes(data, w, h, bpp, PLANAR, mapped)
    try:
        planes = Buf(int(zbuf)).planes(n)
        for c in range(n):
            expected = b"".join(data[px * bpp + c * channel: px * bpp + (c + 1) * channel] for px in range(w * h))
            assert ctypes.string_at(planes[c], w * h * channel) == expected
    finally:
        zb.release(zbuf)


@pytest.mark.parametrize("t", [BYTE, CHUNK, PLANAR])
def test_file_mapping_handle_is_a_memory_file_closed_on_destruction(alloc, t):
    hr, p = alloc.allocate(6, 6, 4, t, mapped=True)
    assert hr == S_OK
    b = Buf(p)
    handle = b.file_mapping
    assert handle
    link = os.readlink("/proc/self/fd/%d" % (handle - 1))
    assert link.startswith("/memfd:ZuBufferAllocator")
    assert b.release() == 0
    try:
        link = os.readlink("/proc/self/fd/%d" % (handle - 1))
    except FileNotFoundError:
        link = ""
    assert not link.startswith("/memfd:ZuBufferAllocator")


@pytest.mark.parametrize("t", [BYTE, CHUNK, PLANAR])
def test_in_memory_buffers_have_no_mapping_handle(alloc, owned, t):
    hr, p = alloc.allocate(4, 4, 4, t)
    owned(p)
    assert Buf(p).file_mapping is None


@pytest.mark.parametrize("mapped", [False, True])
@pytest.mark.parametrize("t", [BYTE, CHUNK, PLANAR])
def test_new_pixels_are_zero_even_where_an_old_buffer_was(mapped, t):
    w, h, bpp = 33, 9, 4
    for _ in range(3):
        buf = zb.allocate(w, h, bpp, t, mapped)
        assert zb.to_bytes(buf) == bytes(w * h * bpp)
        zb.write(buf, b"\xff" * (w * h * bpp))
        zb.release(buf)


# --- counts and attributes -----------------------------------------------------

def test_reference_counts_and_destruction(alloc):
    before = zb.live_buffers()
    hr, p = alloc.allocate(2, 2, 4)
    b = Buf(p)
    assert zb.live_buffers() == before + 1
    assert b.add_ref() == 2
    assert b.add_ref() == 3
    assert b.info().nRefCount == 3
    assert b.release() == 2
    assert b.release() == 1
    assert zb.live_buffers() == before + 1
    assert LIB.ZuTest_IsLiveImageBuffer(p) == 1
    assert b.release() == 0
    assert zb.live_buffers() == before
    assert LIB.ZuTest_IsLiveImageBuffer(p) == 0
    assert LIB.ZuTest_GetImageBufferInfo(p, ctypes.byref(BufferInfo())) == E_INVALIDARG


def test_info_hook_refuses_null_and_foreign_pointers():
    junk = ctypes.create_string_buffer(64)
    assert LIB.ZuTest_GetImageBufferInfo(ctypes.addressof(junk), ctypes.byref(BufferInfo())) == E_INVALIDARG
    assert LIB.ZuTest_GetImageBufferInfo(None, ctypes.byref(BufferInfo())) == E_INVALIDARG
    assert LIB.ZuTest_GetImageBufferInfo(ctypes.addressof(junk), None) == E_POINTER
    assert LIB.ZuTest_IsLiveImageBuffer(None) == 0


@pytest.mark.parametrize("t", [BYTE, CHUNK, PLANAR])
def test_lock_counts_and_unlock_of_an_unlocked_buffer(alloc, owned, t):
    hr, p = alloc.allocate(4, 6, 4, t)
    owned(p)
    b = Buf(p)
    assert b.unlock() == S_FALSE
    assert b.info().nLockCount == 0
    assert b.lock()[0] and b.lock()[0]
    assert b.info().nLockCount == 2
    assert b.unlock() == S_OK
    assert b.unlock() == S_OK
    assert b.unlock() == S_FALSE
    assert b.info().nLockCount == 0


def test_attributes_are_stored_in_the_fields(alloc, owned):
    hr, p = alloc.allocate(2, 2, 1)
    owned(p)
    b = Buf(p)
    assert b.attributes == (0, 0)
    b.set_attribute(1, 0x0123456789ABCDEF)
    b.set_attribute(2, 2**64 - 1)
    assert b.attributes == (0x0123456789ABCDEF, 2**64 - 1)
    info = b.info()
    assert (info.qwAttribute1, info.qwAttribute2) == (0x0123456789ABCDEF, 2**64 - 1)


def test_deleting_the_allocator_leaves_its_buffers_alive(alloc):
    before = zb.live_buffers()
    hr, p = alloc.allocate(4, 9, 3, CHUNK)
    hr2, g = alloc.gif()
    alloc.delete()
    b = Buf(p)
    assert zb.live_buffers() == before + 1
    rows = b.rows()
    ctypes.memmove(rows[8], b"\x01\x02\x03" * 4, 12)
    assert ctypes.string_at(rows[8], 12) == b"\x01\x02\x03" * 4
    assert method(g, 1, ctypes.c_long)(g) == 0
    assert b.release() == 0
    assert zb.live_buffers() == before


def test_delete_of_a_null_allocator_is_harmless():
    LIB.DeleteZuBufferAllocator(None)


def test_gif_buffers_are_reference_counted(alloc):
    hr, g = alloc.gif()
    assert hr == S_OK and g
    add_ref = method(g, 0, ctypes.c_long)
    release = method(g, 1, ctypes.c_long)
    assert add_ref(g) == 2
    assert release(g) == 1
    assert release(g) == 0
    assert alloc.gif(out=False)[0] == E_POINTER


# --- refused requests ------------------------------------------------------------

REFUSED = [
    ((0, 5, 4, BYTE), E_INVALIDARG),
    ((5, 0, 4, CHUNK), E_INVALIDARG),
    ((0, 0, 4, PLANAR), E_INVALIDARG),
    ((5, 5, 0, BYTE), E_INVALIDARG),
    ((5, 5, 5, BYTE), E_INVALIDARG),
    ((5, 5, 7, CHUNK), E_INVALIDARG),
    ((5, 5, 16, BYTE), E_INVALIDARG),
    ((5, 5, 1, PLANAR), E_INVALIDARG),
    ((5, 5, 2, PLANAR), E_INVALIDARG),
    ((5, 5, 4, 3), E_INVALIDARG),
    ((5, 5, 4, -1), E_INVALIDARG),
    ((0xFFFFFFFF, 0xFFFFFFFF, 8, BYTE), E_OUTOFMEMORY),
    ((0xFFFFFFFF, 0xFFFFFFFF, 8, CHUNK), E_OUTOFMEMORY),
    ((0xFFFFFFFF, 0xFFFFFFFF, 8, PLANAR), E_OUTOFMEMORY),
    ((65536, 32768, 1, BYTE), E_OUTOFMEMORY),
    ((32768, 32768, 3, PLANAR), E_OUTOFMEMORY),
    ((100000, 100000, 4, CHUNK), E_OUTOFMEMORY),
    ((1, 0x7FFFFFFF, 1, BYTE), E_OUTOFMEMORY),   # pixels fit, row table does not
    ((0x7FFFFFF8, 1, 1, BYTE), E_OUTOFMEMORY),   # one byte past the limit with its row pointer
]


@pytest.mark.parametrize("mapped", [False, True])
@pytest.mark.parametrize("args, hr", REFUSED)
def test_bad_requests_are_refused_and_null_the_out_pointer(alloc, mapped, args, hr):
    before = zb.live_buffers()
    assert alloc.allocate(*args, mapped=mapped) == (hr, None)
    assert zb.allocate(*args, file_mapped=mapped) is None
    assert zb.live_buffers() == before


@pytest.mark.parametrize("mapped", [False, True])
def test_null_out_pointer_is_e_pointer(alloc, mapped):
    assert alloc.allocate(4, 4, 4, out=False, mapped=mapped)[0] == E_POINTER


def test_largest_buffer_is_accepted():
    # Pixels plus the one row pointer make exactly 2^31 - 1 bytes; the
    # storage is never touched, so this costs address space only.
    a = Allocator()
    try:
        hr, p = a.allocate(0x7FFFFFF7, 1, 1, BYTE)
        assert hr == S_OK and p
        assert Buf(p).release() == 0
    finally:
        a.delete()


# --- copyBufferData ---------------------------------------------------------------

@pytest.mark.parametrize("mapped", [False, True])
@pytest.mark.parametrize("t", [BYTE, CHUNK])
@pytest.mark.parametrize("bpp", ALL_BPP)
def test_copy_buffer_data_both_ways(alloc, mapped, t, bpp):
    w, h = 3, 9
    n = w * h * bpp
    data = rand_bytes(n)
    buf = zb.from_bytes(data, w, h, bpp, t, mapped)
    try:
        p = int(buf)
        out = ctypes.create_string_buffer(b"\xaa" * (n + 8), n + 8)
        assert alloc.copy(p, out, 0, n, True) == S_OK
        assert out.raw[:n] == data and out.raw[n:] == b"\xaa" * 8
        # A slice from an offset that starts mid-row and spans chunks.
        off, count = bpp + 1, n - 2 * bpp - 3
        part = ctypes.create_string_buffer(count)
        assert alloc.copy(p, part, off, count, True) == S_OK
        assert part.raw == data[off:off + count]
        new = rand_bytes(n)
        src = ctypes.create_string_buffer(new, n)
        assert alloc.copy(p, src, 0, n, False) == S_OK
        assert zb.to_bytes(buf) == new
        patch = b"\x5a" * count
        assert alloc.copy(p, ctypes.create_string_buffer(patch, count), off, count, False) == S_OK
        assert zb.to_bytes(buf) == new[:off] + patch + new[off + count:]
    finally:
        zb.release(buf)


def test_copy_buffer_data_refusals(alloc):
    w, h, bpp = 3, 5, 4
    n = w * h * bpp
    buf = zb.from_bytes(rand_bytes(n), w, h, bpp, CHUNK)
    planar = zb.from_bytes(rand_bytes(n), w, h, bpp, PLANAR)
    try:
        p = int(buf)
        mem = ctypes.create_string_buffer(b"\x11" * (n + 16), n + 16)
        assert alloc.copy(False, mem, 0, n, True) == E_POINTER
        assert alloc.copy(None, mem, 0, n, True) == E_POINTER
        assert alloc.copy(p, None, 0, n, True) == E_POINTER
        assert alloc.copy(int(planar), mem, 0, n, True) == E_INVALIDARG
        assert alloc.copy(p, mem, 0, n + 1, True) == E_INVALIDARG
        assert alloc.copy(p, mem, 1, n, True) == E_INVALIDARG
        assert alloc.copy(p, mem, n + 1, 0, True) == E_INVALIDARG
        assert alloc.copy(p, mem, 0, 2**64 - 1, False) == E_INVALIDARG
        assert alloc.copy(p, mem, n, 0, True) == S_OK
        assert mem.raw == b"\x11" * (n + 16)
    finally:
        zb.release(buf)
        zb.release(planar)


# --- fault injection -----------------------------------------------------------------

@pytest.mark.parametrize("op, mapped", [("allocateImageBuffer", False), ("allocateFileMappingBuffer", True)])
def test_allocation_faults_count_down_and_keep_to_their_operation(alloc, owned, op, mapped):
    zb.fail_next(op, 2, E_INVALIDARG)
    hr, other = alloc.allocate(2, 2, 4, mapped=not mapped)
    owned(other)
    assert hr == S_OK and other
    assert alloc.allocate(2, 2, 4, mapped=mapped) == (E_INVALIDARG, None)
    assert alloc.allocate(2, 2, 4, mapped=mapped) == (E_INVALIDARG, None)
    hr, p = alloc.allocate(2, 2, 4, mapped=mapped)
    owned(p)
    assert hr == S_OK and p


def test_allocation_fault_with_success_code_gives_no_buffer(alloc):
    zb.fail_next("allocateImageBuffer", 1, 0)
    assert alloc.allocate(2, 2, 4) == (S_OK, None)
    zb.fail_next("allocateFileMappingBuffer", 1, S_FALSE)
    assert alloc.allocate(2, 2, 4, mapped=True) == (S_FALSE, None)


def test_gif_fault(alloc):
    zb.fail_next("allocateGifBuffer")
    assert alloc.gif() == (E_OUTOFMEMORY, None)
    hr, g = alloc.gif()
    assert hr == S_OK and method(g, 1, ctypes.c_long)(g) == 0


def test_copy_fault_copies_nothing(alloc):
    buf = zb.from_bytes(b"\x07" * 16, 2, 2, 4)
    try:
        mem = ctypes.create_string_buffer(16)
        zb.fail_next("copyBufferData", 1, E_POINTER)
        assert alloc.copy(int(buf), mem, 0, 16, True) == E_POINTER
        assert mem.raw == bytes(16)
        zb.fail_next("copyBufferData", 1, 0)
        assert alloc.copy(int(buf), mem, 0, 16, True) == S_OK
        assert mem.raw == bytes(16)
        assert alloc.copy(int(buf), mem, 0, 16, True) == S_OK
        assert mem.raw == b"\x07" * 16
    finally:
        zb.release(buf)


@pytest.mark.parametrize("t", [BYTE, CHUNK, PLANAR])
def test_lock_faults(alloc, owned, t):
    hr, p = alloc.allocate(3, 5, 4, t)
    owned(p)
    b = Buf(p)
    zb.fail_next("lock")
    assert b.lock() == (False, None, 0, 0)
    assert b.info().nLockCount == 0
    assert b.unlock() == S_FALSE
    zb.fail_next("lock_no_data", 2)
    assert b.lock() == (True, None, 3, 5)
    assert b.lock() == (True, None, 3, 5)
    assert b.info().nLockCount == 2
    assert b.unlock() == S_OK and b.unlock() == S_OK
    ok, data, w, h = b.lock()
    assert ok and data and (w, h) == (3, 5)
    assert b.unlock() == S_OK


def test_clear_faults_disarms_everything(alloc, owned):
    for op in ("allocateImageBuffer", "allocateFileMappingBuffer", "allocateGifBuffer", "copyBufferData",
               "lock", "lock_no_data"):
        zb.fail_next(op, 5)
    zb.clear_faults()
    hr, p = alloc.allocate(2, 2, 4)
    owned(p)
    assert hr == S_OK
    assert Buf(p).lock()[:2] != (False, None)
    assert Buf(p).unlock() == S_OK


def test_fail_next_hook_refuses_unknown_names_and_negative_counts():
    assert LIB.ZuTest_FailNext(b"allocate", 1, E_OUTOFMEMORY) == E_INVALIDARG
    assert LIB.ZuTest_FailNext(b"lock", -1, E_OUTOFMEMORY) == E_INVALIDARG
    assert LIB.ZuTest_FailNext(None, 1, E_OUTOFMEMORY) == E_POINTER


def test_faults_are_claimed_exactly_once_across_threads(alloc):
    # ctypes drops the interpreter lock around each call, so the threads
    # really race for the armed failures.
    zb.fail_next("allocateImageBuffer", 50)
    results = []
    lock = threading.Lock()

    def worker():
        mine = [alloc.allocate(2, 2, 1) for _ in range(40)]
        with lock:
            results.extend(mine)

    threads = [threading.Thread(target=worker) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    failed = [r for r in results if r[0] == E_OUTOFMEMORY]
    made = [p for hr, p in results if hr == S_OK]
    assert len(failed) == 50 and all(p is None for _, p in failed)
    assert len(made) == 8 * 40 - 50
    for p in made:
        assert Buf(p).release() == 0


# --- concurrency -------------------------------------------------------------------

@pytest.mark.parametrize("mapped", [False, True])
@pytest.mark.parametrize("t", [BYTE, CHUNK])
def test_distinct_rows_written_from_many_threads(mapped, t):
    w, h, bpp = 64, 61, 4
    buf = zb.allocate(w, h, bpp, t, mapped)
    b = Buf(int(buf))
    try:
        assert b.lock()[0]
        rows = b.rows()
        row_bytes = w * bpp
        expected = [bytes((y * 7 + x) & 0xFF for x in range(row_bytes)) for y in range(h)]
        refs = []

        def worker(k):
            for y in range(k, h, 6):
                for _ in range(20):
                    ctypes.memmove(rows[y], expected[y], row_bytes)
                    b.add_ref()
                    b.release()
            refs.append(b.info().nRefCount)

        threads = [threading.Thread(target=worker, args=(k,)) for k in range(6)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
        assert b.unlock() == S_OK
        assert zb.to_bytes(buf) == b"".join(expected)
        assert zb.info(buf)["refcount"] == 1 and zb.info(buf)["lock_count"] == 0
    finally:
        zb.release(buf)
