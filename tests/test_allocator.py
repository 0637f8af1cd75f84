"""The allocator library through ctypes, for what zubuffer cannot show: row and plane tables, memory files,
locks, copyBufferData, GIF buffers, exact refusal codes, the test hooks and threads."""
import ctypes
import os
import subprocess
import threading

import pytest

import zubuffer as zb
from conftest import ALLOCATOR_PATH, E_INVALIDARG, E_OUTOFMEMORY, E_POINTER, S_FALSE, S_OK

BYTE, CHUNK, PLANAR = 0, 1, 2
ALL_BPP = (1, 2, 3, 4, 6, 8)
P, U, VP, HR = ctypes.c_void_p, ctypes.c_uint, ctypes.POINTER(ctypes.c_void_p), ctypes.c_int
LIB = ctypes.CDLL(ALLOCATOR_PATH)
LIB.CreateZuBufferAllocator.restype = P
LIB.DeleteZuBufferAllocator.argtypes = [P]
LIB.ZuTest_IsLiveImageBuffer.argtypes = [P]
LIB.ZuTest_GetImageBufferInfo.argtypes = [P, P]
ALLOC = LIB.CreateZuBufferAllocator()
ADD_REF, RELEASE, UNLOCK = 0, 1, 3


def vcall(obj, index, restype=ctypes.c_long, argtypes=(), *args):
    """Virtual method `index` of the C++ object at address obj (image and GIF buffers: 0 addRef, 1 release)."""
    vtable = ctypes.cast(P(obj), ctypes.POINTER(VP))[0]
    return ctypes.CFUNCTYPE(restype, P, *argtypes)(vtable[index])(obj, *args)


def allocate(w, h, bpp, t=BYTE, mapped=False, out=True, alloc=ALLOC):
    slot = P(0xDEADBEEF)
    hr = vcall(alloc, int(mapped), HR, [VP, U, U, U, ctypes.c_int], ctypes.byref(slot) if out else None, w, h, bpp, t)
    return hr, slot.value


def gif(out=True, alloc=ALLOC):
    slot = P(0xDEADBEEF)
    return vcall(alloc, 3, HR, [VP], ctypes.byref(slot) if out else None), slot.value


def copy(buf, memory, offset, size, to_memory):
    holder = None if buf is False else ctypes.byref(P(buf))
    return vcall(ALLOC, 2, HR, [VP, P, U, ctypes.c_uint64, ctypes.c_bool], holder, memory, offset, size, to_memory)


def lock(buf):
    data, w, h = P(0xDEADBEEF), U(777), U(777)
    ok = vcall(buf, 2, ctypes.c_bool, [VP, ctypes.POINTER(U), ctypes.POINTER(U)], ctypes.byref(data),
               ctypes.byref(w), ctypes.byref(h))
    return ok, data.value, w.value, h.value


def field(buf, offset):
    """Fields of CQELImageBuffer: 8 alloc type (int), 16 row table, 24 plane table, 32 file mapping handle."""
    return (ctypes.c_int if offset == 8 else P).from_address(buf + offset).value


def table(buf, offset, n):
    return list((P * n).from_address(field(buf, offset)))


def test_only_the_factories_and_hooks_are_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", ALLOCATOR_PATH], capture_output=True, text=True).stdout
    assert {ln.split()[2] for ln in out.splitlines() if ln.split()[1] == "T"} == {
        "CreateZuBufferAllocator", "DeleteZuBufferAllocator", "ZuTest_FailNext", "ZuTest_ClearFaults",
        "ZuTest_LiveImageBuffers", "ZuTest_IsLiveImageBuffer", "ZuTest_GetImageBufferInfo"}


@pytest.mark.parametrize("mapped", [False, True])
@pytest.mark.parametrize("bpp, t", [(bpp, t) for t in (BYTE, CHUNK) for bpp in ALL_BPP] +
                         [(bpp, PLANAR) for bpp in (3, 4, 6, 8)])
@pytest.mark.parametrize("w, h", [(1, 1), (3, 4), (5, 5), (2, 9)])
def test_layouts_locks_and_memory_files(mapped, bpp, t, w, h):
    zbuf = zb.allocate(w, h, bpp, t, mapped)
    buf = int(zbuf)
    if t == PLANAR:
        # One plane per channel, and no row table.
        planes = table(buf, 24, 3 if bpp in (3, 6) else 4)
        assert field(buf, 16) is None and all(planes) and len(set(planes)) == len(planes)
    else:
        # BYTE rows follow each other in one block; CHUNK rows do so only within a chunk of 4.
        planes = rows = table(buf, 16, h)
        assert field(buf, 24) is None
        assert [rows[y] == rows[y - 1] + w * bpp for y in range(1, h)] == [t == BYTE or y % 4 > 0 for y in range(1, h)]
    assert field(buf, 8) == t and lock(buf) == (True, planes[0], w, h)
    zb.fail_next("lock")
    assert lock(buf) == (False, None, 0, 0)
    zb.fail_next("lock_no_data", 2)
    assert lock(buf) == lock(buf) == (True, None, w, h) and zb.info(zbuf)["lock_count"] == 3
    assert [vcall(buf, UNLOCK, HR) for _ in range(4)] == [S_OK, S_OK, S_OK, S_FALSE]
    handle = field(buf, 32)
    fd = "/proc/self/fd/%d" % (handle - 1 if handle else -1)
    is_memfd = lambda: os.path.lexists(fd) and os.readlink(fd).startswith("/memfd:ZuBufferAllocator")  # noqa: E731
    assert bool(handle) == is_memfd() == mapped
    assert zb.release(zbuf) == 0 and not is_memfd()


INVALID = [(0, 5, 4, BYTE), (5, 0, 4, CHUNK), (0, 0, 4, PLANAR), (5, 5, 0, BYTE), (5, 5, 5, BYTE), (5, 5, 7, CHUNK),
           (5, 5, 16, BYTE), (5, 5, 1, PLANAR), (5, 5, 2, PLANAR), (5, 5, 4, 3), (5, 5, 4, -1)]
TOO_BIG = [(0xFFFFFFFF, 0xFFFFFFFF, 8, t) for t in (BYTE, CHUNK, PLANAR)] + [
    (65536, 32768, 1, BYTE), (32768, 32768, 3, PLANAR), (100000, 100000, 4, CHUNK),
    (1, 0x7FFFFFFF, 1, BYTE),  # the pixels fit, the row table does not
    (0x7FFFFFF8, 1, 1, BYTE)]  # one byte past 2^31 - 1 with its row pointer


@pytest.mark.parametrize("mapped", [False, True])
@pytest.mark.parametrize("args, hr", [(a, E_INVALIDARG) for a in INVALID] + [(a, E_OUTOFMEMORY) for a in TOO_BIG])
def test_refused_requests_give_their_code_and_a_null_buffer(mapped, args, hr):
    assert allocate(*args, mapped=mapped) == (hr, None) and zb.allocate(*args, file_mapped=mapped) is None


def test_the_largest_buffer_is_accepted_and_null_out_pointers_are_refused():
    big = zb.allocate(0x7FFFFFF7, 1, 1)  # exactly 2^31 - 1 bytes with its row pointer, never touched
    assert big is not None and zb.release(big) == 0
    assert allocate(4, 4, 4, out=False)[0] == allocate(4, 4, 4, mapped=True, out=False)[0] == E_POINTER
    assert gif(out=False)[0] == E_POINTER


@pytest.mark.parametrize("mapped", [False, True])
@pytest.mark.parametrize("t", [BYTE, CHUNK])
@pytest.mark.parametrize("bpp", ALL_BPP)
def test_copy_buffer_data_both_ways(make_buf, mapped, t, bpp):
    n = 3 * 9 * bpp
    data, new = bytes(range(n)), bytes(range(255, 255 - n, -1))  # n <= 216
    buf = make_buf(data, 3, 9, bpp, t, mapped)
    out = ctypes.create_string_buffer(b"\xaa" * (n + 8), n + 8)
    assert copy(int(buf), out, 0, n, True) == S_OK and out.raw == data + b"\xaa" * 8
    off, count = bpp + 1, n - 2 * bpp - 3  # starts mid-row, spans chunks
    part = ctypes.create_string_buffer(count)
    assert copy(int(buf), part, off, count, True) == S_OK and part.raw == data[off:off + count]
    assert copy(int(buf), ctypes.create_string_buffer(new, n), 0, n, False) == S_OK
    assert copy(int(buf), ctypes.create_string_buffer(b"Z" * count, count), off, count, False) == S_OK
    assert zb.to_bytes(buf) == new[:off] + b"Z" * count + new[off + count:]


def test_copy_buffer_data_refusals_and_faults(make_buf):
    n = 3 * 5 * 4
    buf, planar = int(make_buf(b"\x07" * n, 3, 5, 4, CHUNK)), int(make_buf(bytes(n), 3, 5, 4, PLANAR))
    mem = ctypes.create_string_buffer(b"\x11" * (n + 16), n + 16)
    assert [copy(False, mem, 0, n, True), copy(None, mem, 0, n, True), copy(buf, None, 0, n, True)] == [E_POINTER] * 3
    assert [copy(planar, mem, 0, n, True), copy(buf, mem, 0, n + 1, True), copy(buf, mem, 1, n, True),
            copy(buf, mem, n + 1, 0, True), copy(buf, mem, 0, 2**64 - 1, False)] == [E_INVALIDARG] * 5
    assert copy(buf, mem, n, 0, True) == S_OK
    zb.fail_next("copyBufferData", 1, E_POINTER)
    assert copy(buf, mem, 0, n, True) == E_POINTER
    zb.fail_next("copyBufferData", 1, S_OK)
    assert copy(buf, mem, 0, n, True) == S_OK and mem.raw == b"\x11" * (n + 16)
    assert copy(buf, mem, 0, n, True) == S_OK and mem.raw[:n] == b"\x07" * n


def test_gif_buffers_and_clear_faults(keep):
    zb.fail_next("allocateGifBuffer", 1, E_INVALIDARG)
    assert gif() == (E_INVALIDARG, None)
    for op in ("allocateImageBuffer", "allocateFileMappingBuffer", "allocateGifBuffer", "copyBufferData", "lock",
               "lock_no_data"):
        zb.fail_next(op, 5)
    zb.clear_faults()
    (hr, g), buf = gif(), int(keep(zb.allocate(2, 2, 4)))
    assert hr == S_OK and [vcall(g, ADD_REF), vcall(g, RELEASE), vcall(g, RELEASE)] == [2, 1, 0]
    assert keep(zb.allocate(2, 2, 4, file_mapped=True)) is not None and lock(buf)[1]
    assert vcall(buf, UNLOCK, HR) == S_OK and copy(buf, ctypes.create_string_buffer(16), 0, 16, True) == S_OK


def test_hooks_refuse_bad_arguments():
    junk = ctypes.create_string_buffer(64)
    stale = zb.allocate(1, 1, 1)
    zb.release(stale)
    assert [LIB.ZuTest_GetImageBufferInfo(p, junk) for p in (ctypes.addressof(junk), None, int(stale))] == \
        [E_INVALIDARG] * 3
    assert LIB.ZuTest_GetImageBufferInfo(ctypes.addressof(junk), None) == E_POINTER
    assert LIB.ZuTest_IsLiveImageBuffer(None) == LIB.ZuTest_IsLiveImageBuffer(int(stale)) == 0
    assert LIB.ZuTest_FailNext(b"allocate", 1, E_OUTOFMEMORY) == LIB.ZuTest_FailNext(b"lock", -1, 0) == E_INVALIDARG
    assert LIB.ZuTest_FailNext(None, 1, E_OUTOFMEMORY) == E_POINTER


def test_buffers_outlive_their_allocator():
    before = zb.live_buffers()
    alloc = LIB.CreateZuBufferAllocator()
    hr, buf = allocate(4, 9, 3, CHUNK, alloc=alloc)
    g = gif(alloc=alloc)[1]
    LIB.DeleteZuBufferAllocator(alloc)
    LIB.DeleteZuBufferAllocator(None)
    # zubuffer sees the same count: both modules share one library instance.
    assert hr == S_OK and zb.live_buffers() == LIB.ZuTest_LiveImageBuffers() == before + 1
    row = table(buf, 16, 9)[8]
    ctypes.memmove(row, b"\x01\x02\x03" * 4, 12)
    assert ctypes.string_at(row, 12) == b"\x01\x02\x03" * 4
    assert [vcall(buf, ADD_REF), vcall(buf, RELEASE), vcall(g, RELEASE), vcall(buf, RELEASE)] == [2, 1, 0, 0]
    assert LIB.ZuTest_IsLiveImageBuffer(buf) == 0


@pytest.mark.parametrize("mapped", [False, True])
@pytest.mark.parametrize("t", [BYTE, CHUNK])
def test_threads_write_distinct_rows_and_claim_each_fault_once(keep, mapped, t):
    # ctypes lets go of the interpreter lock around each call, so the threads really race.
    w, h = 64, 61
    zbuf = keep(zb.allocate(w, h, 4, t, mapped))
    buf = int(zbuf)
    assert lock(buf)[0]
    rows, made = table(buf, 16, h), []
    expected = [bytes((y * 7 + x) & 0xFF for x in range(w * 4)) for y in range(h)]
    zb.fail_next("allocateImageBuffer", 20)

    def worker(k):
        for y in range(k, h, 6):
            for _ in range(20):
                ctypes.memmove(rows[y], expected[y], w * 4)
                vcall(buf, ADD_REF)
                vcall(buf, RELEASE)
            made.append(allocate(2, 2, 1))

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(6)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert vcall(buf, UNLOCK, HR) == S_OK and zb.to_bytes(zbuf) == b"".join(expected) and zb.info(zbuf)["refcount"] == 1
    ok = [p for hr, p in made if hr == S_OK]
    assert made.count((E_OUTOFMEMORY, None)) == 20 and [vcall(p, RELEASE) for p in ok] == [0] * (h - 20)
