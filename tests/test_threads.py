"""Eight threads calling the methods that release the interpreter lock, on own buffers and shared
read-only sources: results equal the single-threaded ones, shared sources come out unchanged, unlocked
and singly referenced, and each thread keeps its own last-error code. `tools/fuzz.py --threads SECONDS`
runs the same comparison for as long as asked."""
import os
import random
import sys
import threading
import time
from unittest import mock

import _PyQelBufferUtility as mod
import PyQelBufferUtility
import zubuffer
from conftest import E_FAIL, run_threads

THREADS = 8


class Sources:
    """Read-only buffers every thread shares, and their pixels."""

    def __init__(self, salt=5, w=96, h=80):
        rng = random.Random(salt)
        self.w, self.h, self.made = w, h, []
        self.bgra, self.bgra2, self.bgr, self.bgra16 = (self._make(rng.randbytes(w * h * b), b) for b in (4, 4, 3, 8))
        self.mask = self._make(bytes(rng.choice((0, 0, 255, 128)) for _ in range(w)) * h, 1)
        self.depth = self._make(rng.randbytes(w * h), 1)
        self.raw = zubuffer.byte_array(rng.randbytes(w * h * 8))
        self.bgr_bytes = rng.randbytes(w * h * 3)
        self.before = {int(b): zubuffer.to_bytes(b) for b in self.made}

    def _make(self, data, bpp):
        self.made.append(zubuffer.from_bytes(data, self.w, self.h, bpp))
        return self.made[-1]

    def check_untouched(self):
        return [f"shared source {info} changed" for buf, info in ((b, zubuffer.info(b)) for b in self.made)
                if info["lock_count"] or info["refcount"] != 1 or zubuffer.to_bytes(buf) != self.before[int(buf)]]

    def release(self):
        for buf in self.made:
            zubuffer.release(buf)
        zubuffer.free_byte_array(self.raw)


# The methods whose shells hold a CPyAllowThreads guard: name -> argument lists (after the utility object)
# from the shared sources. A callable argument is a destination made afresh per call; missing entries are skipped.
def _fresh_copy(src):
    info = zubuffer.info(src)
    return lambda: zubuffer.from_bytes(zubuffer.to_bytes(src), info["width"], info["height"], info["bpp"])


GIL_RELEASING = {
    "ConvertImageBufferColorDepth": lambda s: [
        (s.bgra, s.w, s.h, 4, 3), (s.bgr, s.w, s.h, 3, 4), (s.bgra16, s.w, s.h, 8, 4), (s.bgra, s.w, s.h, 4, 8),
        (s.mask, s.w, s.h, 1, 4), (s.bgra, s.w // 2, s.h // 3, 4, 1)],
    "ConvertImageBufferToMask": lambda s: [(s.bgra, s.w, s.h, 4, 1), (s.bgra16, s.w, s.h, 8, 1), (s.bgr, s.w, s.h, 3, 1)],
    "ConvertBufferFromBGRtoBGRA_FromPyObject": lambda s: [(s.bgr_bytes, s.w, s.h, s.w * 3), (s.bgr_bytes, s.w // 2, s.h, s.w * 3)],
    "CreateBufferFromRawData": lambda s: [(s.raw, s.w, s.h, 4), (s.raw, s.w, s.h // 2, 8), (s.raw, s.w * 2, s.h, 1)],
    "GetPixelInfo": lambda s: [(s.bgra, x, y, g) for x, y, g in ((0, 0, 1), (5, 7, 3), (s.w - 1, s.h - 1, 7), (40, 30, 5))]
    + [(s.bgra16, 10, 11, 3)],
    "Mirror": lambda s: [(b, state) for b in (s.bgra, s.bgr, s.mask) for state in (1, 2, 3)],
    "Rotate": lambda s: [(s.bgra, s.w, s.h, 30.0), (s.bgra, s.h, s.w, 90.0), (s.bgr, 120, 110, -17.5), (s.mask, s.w, s.h, 45.0)],
    "ComposeWithSetting": lambda s: [
        (_fresh_copy(s.bgra), None, 2, 3, 0x80FF2040, 0.75, 4, 1),
        (_fresh_copy(s.bgra), (5, 6, 50, 40, 0.0), 1, 2, 0xFF00FF00, 1.0, 0, 6, 1, 1),
        (_fresh_copy(s.bgra16), None, 3, 4, 0x40102030, 0.5, 2, 3, 0, 0, True)],
    "GetMaskFromDepthBuffer": lambda s: [(s.depth, d, f, i) for d in (0, 100, 200) for f in (False, True)
                                         for i in (False, True)],
    "GetDepthFromDepthBufferByRefBuffer": lambda s: [(s.depth, s.mask)],
    "BlendIgnoreAlphaChannel": lambda s: [(s.bgra, s.bgra2, r) for r in (0.0, 0.25, 0.5, 1.0)],
    "m_fnGetScaledDepth": lambda s: [(s.depth, d) for d in (0, 1, 128, 255, 1000)],
    "GetDepthFromDepthBufferByPos": lambda s: [(s.depth, x, y) for x, y in ((0, 0), (s.w - 1, s.h - 1), (13, 17))],
    "GetBoundingBoxCenterPos": lambda s: [(s.mask,), (s.bgra,)],
}


def _is_buffer(v):
    return type(v).__name__ == "SwigPyObject" and repr(v).startswith("<Swig Object of type 'CQELImageBuffer *'")


def prepare(args):
    real = [a() if callable(a) else a for a in args]
    return real, [r for a, r in zip(args, real) if callable(a)]


def collect(result, made, sources):
    """The outcome as plain values (buffers as shape and pixels); releases what the call made."""
    try:
        if _is_buffer(result):
            info = zubuffer.info(result)
            shape = (info["width"], info["height"], info["bpp"], info["alloc_type"], info["lock_count"])
            kind = "source" if int(result) in {int(b) for b in sources.made} else "buffer"
            out = (kind, shape, zubuffer.to_bytes(result))
            zubuffer.release(result)
        else:
            out = ("value", result)
        return out + tuple(zubuffer.to_bytes(d) for d in made)
    finally:
        for d in made:
            zubuffer.release(d)


def run_case(util, name, args, sources):
    real, made = prepare(args)
    try:
        result = getattr(mod, "PyQelBufferUtility_" + name)(util, *real)
    except BaseException:
        for d in made:
            zubuffer.release(d)
        raise
    return collect(result, made, sources)


def available_cases(sources):
    return [(name, args) for name, build in GIL_RELEASING.items() if hasattr(mod, "PyQelBufferUtility_" + name)
            for args in build(sources)]


def hammer(seconds=None, calls_per_thread=None, salt=1):
    """Runs the comparison and returns the number of calls made; raises AssertionError listing differences."""
    start_live = zubuffer.live_buffers()
    util = PyQelBufferUtility.PyQelBufferUtility()
    sources = Sources(salt)
    failures = []
    made = [0]
    try:
        cases = available_cases(sources)
        expected = [run_case(util, name, args, sources) for name, args in cases]
        failures += [f"{name}{args!r}: differs between two single-threaded calls" for (name, args), want
                     in zip(cases, expected) if run_case(util, name, args, sources) != want]
        deadline = time.monotonic() + seconds if seconds else None
        gate = threading.Barrier(THREADS)
        lock = threading.Lock()
        no_allocator = _utility_without_allocator()

        def worker(index):
            rng = random.Random(salt * 100 + index)
            mod.PyQelBufferUtility_Close(util)
            # Even threads record a failure first; the code is per thread, so odd ones still read 0.
            if index % 2 == 0:
                mod.PyQelBufferUtility_CreateBufferFromRawData(no_allocator, None, 1, 1, 4)
            gate.wait()
            n = 0
            while ((calls_per_thread is None or n < calls_per_thread)
                   and (deadline is None or time.monotonic() < deadline)):
                i = rng.randrange(len(cases))
                got = run_case(util, cases[i][0], cases[i][1], sources)
                n += 1
                if got != expected[i]:
                    with lock:
                        failures.append(f"thread {index}: {cases[i][0]}{cases[i][1]!r} differs from single-threaded")
            hr, want = mod.PyQelBufferUtility_GetLastErrorHr(util), (E_FAIL if index % 2 == 0 else 0)
            with lock:
                made[0] += n
                if hr != want:
                    failures.append(f"thread {index}: last-error code {hr}, expected {want}")
            mod.PyQelBufferUtility_Close(util)

        run_threads(worker, [(i,) for i in range(THREADS)])
        failures += sources.check_untouched()
    finally:
        sources.release()
    if zubuffer.live_buffers() != start_live:
        failures.append(f"{zubuffer.live_buffers() - start_live:+d} live buffers after the run")
    assert not failures, "\n".join(failures[:20])
    return made[0]


def _utility_without_allocator():
    with mock.patch.dict(os.environ, {"QEL_BUFFER_ALLOCATOR": "/nonexistent/libNoAllocator.so"}):
        return PyQelBufferUtility.PyQelBufferUtility()


def test_lock_releasing_methods_agree_across_threads():
    assert hammer(calls_per_thread=60, salt=3) == THREADS * 60


# Calls too short for another thread to be seen running during one: probes of
# a few pixels, and the centre scan, which reads only a mask's edge rows and
# columns (a tenth of a millisecond here).
QUICK = {"GetPixelInfo", "m_fnGetScaledDepth", "GetDepthFromDepthBufferByPos", "GetBoundingBoxCenterPos"}


def test_every_listed_method_releases_the_lock():
    """A counting thread runs while a listed method works on a large image (the switch interval is raised,
    so only a released interpreter lock lets it run)."""
    sources = Sources(9, 2048, 1536)
    util = PyQelBufferUtility.PyQelBufferUtility()
    try:
        seen = set()
        for name, args in available_cases(sources):
            if name in seen or name in QUICK:
                continue
            seen.add(name)
            # One sighting is enough; a loaded machine may not schedule the counter every call.
            assert any(_ticks_during(util, name, args, sources) for _ in range(60)), name
    finally:
        sources.release()


def _ticks_during(util, name, args, sources):
    ticks, running, started = [0], [True], threading.Event()

    def counter():
        started.set()
        while running[0]:
            ticks[0] += 1
            time.sleep(0)

    t = threading.Thread(target=counter)
    t.start()
    started.wait()
    old = sys.getswitchinterval()
    sys.setswitchinterval(10.0)
    real, made = prepare(args)
    try:
        before = ticks[0]
        result = getattr(mod, "PyQelBufferUtility_" + name)(util, *real)
        during = ticks[0] - before
    finally:
        sys.setswitchinterval(old)
        running[0] = False
        t.join()
    collect(result, made, sources)
    return during
