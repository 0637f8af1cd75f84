"""Shared fixtures: a traced utility object, buffers that are released after
each test, and a check that no test leaves a buffer locked or alive."""
import os
import subprocess
import sys
import threading
from array import array

import pytest

import _PyQelBufferUtility
import PyQelBufferUtility
import zubuffer

E_FAIL = -2147467259
E_POINTER = -2147467261
E_INVALIDARG = -2147024809
E_OUTOFMEMORY = -2147024882
S_OK = 0
S_FALSE = 1

PREFIX = "[PyQelBufferUtility]"

MODULE_DIR = os.path.dirname(os.path.abspath(_PyQelBufferUtility.__file__))
ALLOCATOR_PATH = os.path.join(MODULE_DIR, "Kernel", "Photo", "libZuBufferAllocator.so")
FIXTURES = os.path.join(os.path.dirname(__file__), "fixtures")


def line(text):
    """A trace line as it reaches standard error."""
    return PREFIX + text


def entry(name):
    return line(f"FUNCTION : {name}() entry")


def end(name):
    return line(f"FUNCTION : {name}() end")


def hx(hr):
    """An HRESULT as the trace prints it with %x."""
    return format(hr & 0xFFFFFFFF, "x")


def addr32(buf):
    """A buffer address as the trace prints it with %0x: its low 32 bits."""
    return format(int(buf.this if hasattr(buf, "this") else buf) & 0xFFFFFFFF, "x")


def pack_pixels(pixels, bpp):
    """Pixels given as channel values, as a buffer's bytes: 16-bit channels
    for 6 and 8 bytes per pixel, bytes otherwise."""
    return array("H" if bpp in (6, 8) else "B", [v for p in pixels for v in p]).tobytes()


def unpack_pixels(data, bpp):
    """A buffer's bytes as one tuple of channel values per pixel (the
    inverse of pack_pixels)."""
    vals, n = (array("H", data), bpp // 2) if bpp in (6, 8) else (data, bpp)
    return [tuple(vals[i:i + n]) for i in range(0, len(vals), n)]


def pack_values(values, bpp):
    """A flat list of values as a buffer's bytes: 16-bit values for 8 bytes
    per pixel, bytes for every other width (a 6-byte pixel is six bytes)."""
    return array("H" if bpp == 8 else "B", values).tobytes()


def run_threads(target, args):
    """Runs target(*a) for every tuple a in args, each on its own thread,
    all at once, and returns when every one has finished."""
    threads = [threading.Thread(target=target, args=a) for a in args]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


_UTILITIES = []


class _Registry:
    def __init__(self):
        self.buffers = []

    def add(self, buf):
        if buf is not None:
            self.buffers.append(buf)
        return buf


@pytest.fixture(autouse=True)
def _buffer_registry():
    """Every buffer a test makes or keeps is unlocked and released by the
    end of the test, and the process holds no more buffers than before."""
    zubuffer.clear_faults()
    live_before = zubuffer.live_buffers()
    registry = _Registry()
    yield registry
    zubuffer.clear_faults()
    # Utility objects made during the test go now, so that their destructor
    # lines never turn up in a later test's trace.
    while _UTILITIES:
        obj = _UTILITIES.pop()
        if obj.this.own():
            obj.this.disown()
            _PyQelBufferUtility.delete_PyQelBufferUtility(obj)
    locked = [zubuffer.info(b)["lock_count"] for b in registry.buffers]
    for buf in registry.buffers:
        zubuffer.release(buf)
    assert locked == [0] * len(locked), "a buffer was left locked"
    assert zubuffer.live_buffers() == live_before, "a buffer leaked"


@pytest.fixture
def mod():
    return _PyQelBufferUtility


@pytest.fixture
def zb():
    return zubuffer


@pytest.fixture
def trace(capfd):
    """trace() returns the stderr lines written since the previous call."""
    capfd.readouterr()

    def read():
        return capfd.readouterr().err.splitlines()

    return read


def make_utility(monkeypatch, capfd, dumpmsg="1", allocator=None, with_lines=False):
    """A utility object made with the given settings; with_lines also gives
    the trace lines of its construction."""
    monkeypatch.setenv("QEL_DUMPMSG", dumpmsg)
    if allocator is None:
        monkeypatch.delenv("QEL_BUFFER_ALLOCATOR", raising=False)
    else:
        monkeypatch.setenv("QEL_BUFFER_ALLOCATOR", allocator)
    capfd.readouterr()
    obj = PyQelBufferUtility.PyQelBufferUtility()
    lines = capfd.readouterr().err.splitlines()
    _UTILITIES.append(obj)
    return (obj, lines) if with_lines else obj


@pytest.fixture
def util(monkeypatch, capfd):
    """A utility object with tracing on; its construction lines are dropped."""
    return make_utility(monkeypatch, capfd)


@pytest.fixture
def make_buf(_buffer_registry):
    def make(data, w, h, bpp, alloc_type=0, file_mapped=False):
        return _buffer_registry.add(zubuffer.from_bytes(bytes(data), w, h, bpp, alloc_type, file_mapped))

    return make


@pytest.fixture
def keep(_buffer_registry):
    return _buffer_registry.add


@pytest.fixture(scope="session")
def fixture_libs(tmp_path_factory):
    """Small allocator stand-ins for the constructor's failure paths."""
    out = tmp_path_factory.mktemp("libs")
    built = {}
    for name in ("no_factory", "null_factory", "no_delete"):
        target = out / f"lib{name}.so"
        subprocess.run(
            ["cc", "-shared", "-fPIC", "-o", str(target), os.path.join(FIXTURES, name + ".c"), "-ldl"],
            check=True,
        )
        built[name] = str(target)
    return built


ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def run_cpp(tmp_path, source, *extra_sources, flags=()):
    """Compiles tests/cpp/<source> (with extra project sources, paths from
    the project root) against the project's headers, runs it and returns
    its completed process; a failing program fails the test with its
    output."""
    exe = tmp_path / os.path.splitext(os.path.basename(source))[0]
    includes = [f"-I{os.path.join(ROOT, d)}" for d in ("core", "binding", "")]
    subprocess.run(["g++", "-std=c++17", "-O2", "-fopenmp", *includes, *flags, "-o", str(exe),
                    os.path.join(ROOT, "tests", "cpp", source), *[os.path.join(ROOT, s) for s in extra_sources]],
                   check=True)
    done = subprocess.run([str(exe)], capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    return done


def gil_released_during(call, tries=25):
    """Whether a waiting Python thread gets to run while `call` runs. With a long switch interval the caller
    keeps the interpreter lock unless the call lets go of it, so a False answer is certain; a True one depends
    on the scheduler (tests/test_threads.py checks the releasing methods with a running counter instead)."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(60)
    try:
        for _ in range(tries):
            go, ran = threading.Event(), threading.Event()
            waiter = threading.Thread(target=lambda: (go.wait(), ran.set()))
            waiter.start()
            go.set()
            call()
            seen = ran.is_set()
            waiter.join()
            if seen:
                return True
        return False
    finally:
        sys.setswitchinterval(old)
