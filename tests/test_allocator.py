"""The allocator library through ctypes: row and plane tables, memory files, locks, copyBufferData, GIF buffers,
exact refusal codes, the test hooks and threads."""
import ctypes
import subprocess
from concurrent.futures import ThreadPoolExecutor

import pytest

import zubuffer as zb
from conftest import ALLOCATOR_PATH, E_INVALIDARG, E_OUTOFMEMORY, E_POINTER, S_FALSE, S_OK

BYTE, CHUNK, PLANAR = 0, 1, 2
ALL_BPP = (1, 2, 3, 4, 6, 8)
P, U, VP, HR = ctypes.c_void_p, ctypes.c_uint, ctypes.POINTER(ctypes.c_void_p), ctypes.c_int
LIB = ctypes.CDLL(ALLOCATOR_PATH)
LIB.CreateZuBufferAllocator.restype = P
LIB.DeleteZuBufferAllocator.argtypes = LIB.ZuTest_IsLiveImageBuffer.argtypes = [P]
LIB.ZuTest_GetImageBufferInfo.argtypes = [P, P]
ALLOC = LIB.CreateZuBufferAllocator()
ADD_REF, RELEASE, UNLOCK, MEM = 0, 1, 3, ctypes.create_string_buffer


def vcall(obj, index, restype=ctypes.c_long, argtypes=(), *args):
    """Virtual method `index` of the C++ object at address obj."""
    vtable = ctypes.cast(P(obj), ctypes.POINTER(VP))[0]
    return ctypes.CFUNCTYPE(restype, P, *argtypes)(vtable[index])(obj, *args)


def allocate(*args, mapped=False, out=True, alloc=ALLOC):
    """(w, h, bpp, type): allocate[FileMapping|Image]Buffer, (): allocateGifBuffer; gives (hr, the new address)."""
    slot, types = P(0xDEADBEEF), [VP, U, U, U, ctypes.c_int][:len(args) + 1]
    return vcall(alloc, int(mapped) if args else 3, HR, types, ctypes.byref(slot) if out else None, *args), slot.value


def copy(buf, memory, offset, size, to_memory):
    holder = None if buf is False else ctypes.byref(P(buf))
    return vcall(ALLOC, 2, HR, [VP, P, U, ctypes.c_uint64, ctypes.c_bool], holder, memory, offset, size, to_memory)


def lock(buf):
    data, w, h = P(0xDEADBEEF), U(777), U(777)
    ok = vcall(buf, 2, ctypes.c_bool, [VP, ctypes.POINTER(U), ctypes.POINTER(U)], *map(ctypes.byref, (data, w, h)))
    return ok, data.value, w.value, h.value


def field(buf, offset, n=None):
    """CQELImageBuffer at 8: alloc type, 16: row table, 24: plane table, 32: file mapping; n: the table's entries."""
    value = (ctypes.c_int if offset == 8 else P).from_address(buf + offset).value
    return value if n is None else list((P * n).from_address(value))


@pytest.mark.parametrize("mapped", [False, True])
@pytest.mark.parametrize("bpp, t", [(b, t) for t in (BYTE, CHUNK, PLANAR) for b in ALL_BPP if b > 2 or t < PLANAR])
@pytest.mark.parametrize("w, h", [(1, 1), (3, 4), (2, 9)])
def test_layouts_locks_and_memory_files(mapped, bpp, t, w, h):
    buf = int(zbuf := zb.allocate(w, h, bpp, t, mapped))
    if t == PLANAR:  # one distinct plane per channel, no row table
        planes = field(buf, 24, 3 if bpp in (3, 6) else 4)
        assert field(buf, 16) is None and all(planes) and len(set(planes)) == len(planes)
    else:  # BYTE rows follow each other in one block; CHUNK rows only within a chunk of 4
        planes = rows = field(buf, 16, h)
        assert field(buf, 24) is None
        assert [rows[y] == rows[y - 1] + w * bpp for y in range(1, h)] == [t == BYTE or y % 4 > 0 for y in range(1, h)]
    assert field(buf, 8) == t and lock(buf) == (True, planes[0], w, h)
    zb.fail_next("lock")
    assert lock(buf) == (False, None, 0, 0)
    zb.fail_next("lock_no_data", 2)
    assert lock(buf) == lock(buf) == (True, None, w, h) and zb.info(zbuf)["lock_count"] == 3
    assert [vcall(buf, UNLOCK, HR) for _ in range(4)] == [S_OK, S_OK, S_OK, S_FALSE]
    # A file-mapped buffer's pixels lie in a memory file that only the mapping keeps open.
    assert bool(field(buf, 32)) == in_memory_file(planes[0]) == mapped and zb.release(zbuf) == 0
    assert not in_memory_file(planes[0])


def in_memory_file(address):
    with open("/proc/self/maps") as maps:
        for ln in maps:
            span, *_, path = ln.split(maxsplit=5)
            lo, hi = (int(v, 16) for v in span.split("-"))
            if lo <= address < hi:
                return path.startswith("/memfd:ZuBufferAllocator")
    return False


REFUSED = [(E_INVALIDARG, a) for a in ((0, 5, 4, BYTE), (5, 0, 4, CHUNK), (5, 5, 0, BYTE), (5, 5, 7, CHUNK),
                                       (5, 5, 16, BYTE), (5, 5, 2, PLANAR), (5, 5, 4, 3), (5, 5, 4, -1))] + [
    (E_OUTOFMEMORY, a) for a in ((2**32 - 1, 2**32 - 1, 8, PLANAR), (65536, 32768, 1, CHUNK),
                                 (1, 2**31 - 1, 1, BYTE),  # the pixels fit, the row table does not
                                 (2**31 - 8, 1, 1, BYTE))]  # one byte past 2^31 - 1 with its row pointer


@pytest.mark.parametrize("mapped", [False, True])
@pytest.mark.parametrize("hr, args", REFUSED)
def test_refused_requests_give_their_code_and_a_null_buffer(mapped, hr, args):
    assert allocate(*args, mapped=mapped) == (hr, None) and zb.allocate(*args, file_mapped=mapped) is None


@pytest.mark.parametrize("mapped", [False, True])
@pytest.mark.parametrize("t", [BYTE, CHUNK])
@pytest.mark.parametrize("bpp", ALL_BPP)
def test_copy_buffer_data_both_ways(make_buf, mapped, t, bpp):
    n, off = 3 * 9 * bpp, bpp + 1
    data, new, count = bytes(range(n)), bytes(range(255, 255 - n, -1)), n - 2 * bpp - 3  # mid-row, across chunks
    buf = int(zbuf := make_buf(data, 3, 9, bpp, t, mapped))
    out, part = MEM(b"\xaa" * (n + 8), n + 8), MEM(count)
    assert copy(buf, out, 0, n, True) == copy(buf, part, off, count, True) == S_OK
    assert out.raw == data + b"\xaa" * 8 and part.raw == data[off:off + count]
    assert copy(buf, MEM(new, n), 0, n, False) == copy(buf, MEM(b"Z" * count, count), off, count, False) == S_OK
    assert zb.to_bytes(zbuf) == new[:off] + b"Z" * count + new[off + count:]


def test_copy_buffer_data_refusals_and_faults(make_buf):
    n = 3 * 5 * 4
    buf, planar = int(make_buf(b"\x07" * n, 3, 5, 4, CHUNK)), int(make_buf(bytes(n), 3, 5, 4, PLANAR))
    mem = MEM(b"\x11" * (n + 16), n + 16)
    assert [copy(False, mem, 0, n, True), copy(None, mem, 0, n, True), copy(buf, None, 0, n, True)] == [E_POINTER] * 3
    assert [copy(planar, mem, 0, n, True), copy(buf, mem, 0, n + 1, True), copy(buf, mem, 1, n, True),
            copy(buf, mem, n + 1, 0, True), copy(buf, mem, 0, 2**64 - 1, False)] == [E_INVALIDARG] * 5
    assert copy(buf, mem, n, 0, True) == S_OK
    zb.fail_next("copyBufferData", 1, E_POINTER)
    assert copy(buf, mem, 0, n, True) == E_POINTER
    zb.fail_next("copyBufferData", 1, S_OK)
    assert copy(buf, mem, 0, n, True) == S_OK and mem.raw == b"\x11" * (n + 16)
    assert copy(buf, mem, 0, n, True) == S_OK and mem.raw[:n] == b"\x07" * n


def test_largest_buffers_gif_buffers_null_out_pointers_clear_faults_the_hooks_and_the_exports(keep):
    # Exactly 2^31 - 1 bytes with the row pointer; 2^31 - 2 in planes, which have no row table. Never touched.
    assert [zb.release(zb.allocate(*a)) for a in ((2**31 - 9, 1, 1, BYTE), (0x2AAAAAAA, 1, 3, PLANAR))] == [0, 0]
    assert allocate(4, 4, 4, 0, out=False)[0] == allocate(4, 4, 4, 0, mapped=True, out=False)[0] == E_POINTER
    zb.fail_next("allocateGifBuffer", 1, E_INVALIDARG)
    assert allocate() == (E_INVALIDARG, None) and allocate(out=False)[0] == E_POINTER
    for o in "allocateImageBuffer allocateFileMappingBuffer allocateGifBuffer copyBufferData lock lock_no_data".split():
        zb.fail_next(o, 5)
    zb.clear_faults()
    (hr, g), buf = allocate(), int(keep(zb.allocate(2, 2, 4)))
    assert hr == S_OK and [vcall(g, ADD_REF), vcall(g, RELEASE), vcall(g, RELEASE)] == [2, 1, 0]
    assert keep(zb.allocate(2, 2, 4, file_mapped=True)) is not None and lock(buf)[1]
    assert vcall(buf, UNLOCK, HR) == S_OK and copy(buf, MEM(16), 0, 16, True) == S_OK
    junk, stale = MEM(64), zb.allocate(1, 1, 1)
    zb.release(stale)
    assert [LIB.ZuTest_GetImageBufferInfo(p, junk) for p in (ctypes.addressof(junk), None, int(stale))] == \
        [E_INVALIDARG] * 3 and LIB.ZuTest_GetImageBufferInfo(buf, None) == E_POINTER
    assert LIB.ZuTest_IsLiveImageBuffer(None) == LIB.ZuTest_IsLiveImageBuffer(int(stale)) == 0
    assert LIB.ZuTest_FailNext(b"allocate", 1, 0) == LIB.ZuTest_FailNext(b"lock", -1, 0) == E_INVALIDARG
    assert LIB.ZuTest_FailNext(None, 1, 0) == E_POINTER
    out = subprocess.run(["nm", "-D", "--defined-only", ALLOCATOR_PATH], capture_output=True, text=True).stdout
    assert {ln.split()[2] for ln in out.splitlines() if ln.split()[1] == "T"} == {  # nothing else is exported
        "CreateZuBufferAllocator", "DeleteZuBufferAllocator", "ZuTest_FailNext", "ZuTest_FailNextAfter",
        "ZuTest_ClearFaults",
        "ZuTest_LiveImageBuffers", "ZuTest_IsLiveImageBuffer", "ZuTest_GetImageBufferInfo"}


def test_buffers_outlive_their_allocator():
    before, alloc = zb.live_buffers(), LIB.CreateZuBufferAllocator()
    (hr, buf), g = allocate(4, 9, 3, CHUNK, alloc=alloc), allocate(alloc=alloc)[1]
    LIB.DeleteZuBufferAllocator(alloc)
    LIB.DeleteZuBufferAllocator(None)
    # zubuffer sees the same count: both modules share one library instance.
    assert hr == S_OK and zb.live_buffers() == LIB.ZuTest_LiveImageBuffers() == before + 1
    assert [vcall(buf, ADD_REF), vcall(buf, RELEASE), vcall(g, RELEASE), vcall(buf, RELEASE)] == [2, 1, 0, 0]
    assert LIB.ZuTest_IsLiveImageBuffer(buf) == 0


def test_threads_count_references_and_claim_each_fault_once(keep):
    # ctypes lets go of the interpreter lock around each call, so the threads really race.
    buf, made = int(zbuf := keep(zb.allocate(4, 9, 4, CHUNK, True))), []
    zb.fail_next("allocateImageBuffer", 20)

    def worker(k):
        for _ in range(10):
            assert [vcall(buf, ADD_REF) > 1 and vcall(buf, RELEASE) > 0 for _ in range(20)] == [True] * 20
            made.append(allocate(2, 2, 1, BYTE))

    with ThreadPoolExecutor(6) as pool:
        list(pool.map(worker, range(6)))
    assert made.count((E_OUTOFMEMORY, None)) == 20 and zb.info(zbuf)["refcount"] == 1
    assert [vcall(p, RELEASE) for hr, p in made if hr == S_OK] == [0] * 40
