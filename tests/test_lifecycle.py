"""Utility object lifecycle: loading the allocator, the trace switch, and the
per-thread last-error code."""
import os
import subprocess
import threading

import pytest

import PyQelBufferUtility as proxy
from conftest import ALLOCATOR_PATH, E_FAIL, E_OUTOFMEMORY, end, entry, line

CTOR = "PyQelBufferUtility::PyQelBufferUtility"
DTOR = "PyQelBufferUtility::~PyQelBufferUtility"
UNINIT = "PyQelBufferUtility::Uninitialize"


def construct(monkeypatch, capfd, allocator=None, dumpmsg="1"):
    monkeypatch.setenv("QEL_DUMPMSG", dumpmsg)
    if allocator is None:
        monkeypatch.delenv("QEL_BUFFER_ALLOCATOR", raising=False)
    else:
        monkeypatch.setenv("QEL_BUFFER_ALLOCATOR", allocator)
    capfd.readouterr()
    obj = proxy.PyQelBufferUtility()
    return obj, capfd.readouterr().err.splitlines()


def test_constructor_with_allocator(monkeypatch, capfd, mod, keep):
    obj, lines = construct(monkeypatch, capfd)
    assert lines == [entry(CTOR), line(" [Constructor]m_pBufferAllocator, HR = 0"), end(CTOR)]
    assert keep(mod.PyQelBufferUtility_GetEmptyBuffer(obj, 2, 2, 4)) is not None


@pytest.mark.parametrize("which, message", [
    ("missing", "load Buffer Allocator dll fail"),
    ("no_factory", "get CREATEZUBUFFERALLOCATOR fail"),
    ("null_factory", "Create Buffer Allocator instance fail"),
])
def test_constructor_failures_still_give_an_object(monkeypatch, capfd, mod, fixture_libs, tmp_path, which,
                                                   message):
    path = str(tmp_path / "absent.so") if which == "missing" else fixture_libs[which]
    obj, lines = construct(monkeypatch, capfd, allocator=path)
    assert lines == [entry(CTOR), line(message), line(" [Constructor]m_pBufferAllocator, HR = 80004005"),
                     end(CTOR)]
    # Every method that needs the allocator now fails in its own way.
    assert mod.PyQelBufferUtility_GetEmptyBuffer(obj, 2, 2, 4) is None
    assert mod.PyQelBufferUtility_GetGifBuffer(obj) is None
    assert mod.PyQelBufferUtility_Open(obj) == 0
    capfd.readouterr()
    assert mod.PyQelBufferUtility_Uninitialize(obj) == 0
    expected = [entry(UNINIT)] + ([line("free BufferAllocator")] if which != "missing" else []) + [end(UNINIT)]
    assert capfd.readouterr().err.splitlines() == expected


def test_uninitialize_twice_and_destructor(monkeypatch, capfd, mod):
    obj, _ = construct(monkeypatch, capfd)
    assert mod.PyQelBufferUtility_Uninitialize(obj) == 0
    assert capfd.readouterr().err.splitlines() == [entry(UNINIT), line("free BufferAllocator"), end(UNINIT)]
    assert mod.PyQelBufferUtility_Uninitialize(obj) == 0
    assert capfd.readouterr().err.splitlines() == [entry(UNINIT), end(UNINIT)]
    assert mod.PyQelBufferUtility_GetEmptyBuffer(obj, 2, 2, 4) is None
    del obj
    assert capfd.readouterr().err.splitlines() == [entry(DTOR), entry(UNINIT), end(UNINIT), end(DTOR)]


def test_destructor_runs_uninitialize(monkeypatch, capfd, mod):
    obj, _ = construct(monkeypatch, capfd)
    mod.delete_PyQelBufferUtility(obj.this)
    assert capfd.readouterr().err.splitlines() == [
        entry(DTOR), entry(UNINIT), line("free BufferAllocator"), end(UNINIT), end(DTOR)]


def test_detached_allocator_keeps_working(monkeypatch, capfd, mod, fixture_libs, keep, zb):
    monkeypatch.setenv("ZU_REAL_ALLOCATOR", ALLOCATOR_PATH)
    obj, lines = construct(monkeypatch, capfd, allocator=fixture_libs["no_delete"])
    assert lines[1] == line(" [Constructor]m_pBufferAllocator, HR = 0")
    assert mod.PyQelBufferUtility_Uninitialize(obj) == 0
    assert capfd.readouterr().err.splitlines() == [entry(UNINIT), line("free BufferAllocator"), end(UNINIT)]
    buf = keep(mod.PyQelBufferUtility_GetEmptyBuffer(obj, 3, 2, 1))
    assert zb.info(buf)["width"] == 3
    assert mod.PyQelBufferUtility_Uninitialize(obj) == 0
    assert capfd.readouterr().err.splitlines() == [entry(UNINIT), end(UNINIT)]


@pytest.mark.parametrize("value, traced", [
    ("0", False), ("1", True), ("0xFFFFFFFF", True), ("4294967295", True), ("0x0", False),
    ("4294967296", False), ("junk", False), ("-1", False),
])
def test_trace_switch_values(monkeypatch, capfd, value, traced):
    obj, lines = construct(monkeypatch, capfd, dumpmsg=value)
    assert (lines != []) is traced
    del obj


def test_trace_switch_is_read_at_each_construction(monkeypatch, capfd):
    first, lines = construct(monkeypatch, capfd, dumpmsg="1")
    assert lines
    monkeypatch.setenv("QEL_DUMPMSG", "0")
    # Still on until the next object is made.
    first.Uninitialize()
    assert capfd.readouterr().err != ""
    second, lines = construct(monkeypatch, capfd, dumpmsg="0")
    assert lines == []
    # Without the setting at all, the last decision stands.
    monkeypatch.delenv("QEL_DUMPMSG")
    third = proxy.PyQelBufferUtility()
    assert capfd.readouterr().err == ""
    del first, second, third


def test_trace_lines_are_whole_and_prefixed(monkeypatch, capfd):
    obj, _ = construct(monkeypatch, capfd)
    errors = []

    def worker():
        try:
            for _ in range(200):
                obj.Open()
                obj.Uninitialize()
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    for text in capfd.readouterr().err.splitlines():
        assert text in (entry(UNINIT), end(UNINIT), line("free BufferAllocator"))


def test_last_error_survives_success_until_close(util, mod, zb, keep):
    assert mod.PyQelBufferUtility_Close(util) == 0
    assert util.GetLastErrorHr() == 0
    zb.fail_next("allocateImageBuffer")
    src = zb.byte_array(bytes(4))
    try:
        assert util.CreateBufferFromRawData(src, 1, 1, 4) is None
        assert util.GetLastErrorHr() == E_OUTOFMEMORY
        assert keep(util.CreateBufferFromRawData(src, 1, 1, 4)) is not None
        assert util.GetLastErrorHr() == E_OUTOFMEMORY
        zb.fail_next("allocateImageBuffer", hr=E_FAIL)
        assert util.CreateBufferFromRawData(src, 1, 1, 4) is None
        assert util.GetLastErrorHr() == E_FAIL
    finally:
        zb.free_byte_array(src)
    assert util.Close() == 0
    assert util.GetLastErrorHr() == 0
    assert mod.PyQelBufferUtility_GetLastErrorHr(None) == 0


def test_last_error_is_per_thread(util, zb):
    util.Close()
    src = zb.byte_array(bytes(4))
    failed, checked = threading.Event(), threading.Event()
    seen = {}

    def failing():
        zb.fail_next("allocateImageBuffer", hr=E_FAIL)
        seen["result"] = util.CreateBufferFromRawData(src, 1, 1, 4)
        failed.set()
        checked.wait(10)
        seen["worker"] = util.GetLastErrorHr()
        util.Close()
        seen["after_close"] = util.GetLastErrorHr()

    t = threading.Thread(target=failing)
    t.start()
    failed.wait(10)
    seen["main_meanwhile"] = util.GetLastErrorHr()
    checked.set()
    t.join()
    zb.free_byte_array(src)
    assert seen == {"result": None, "main_meanwhile": 0, "worker": E_FAIL, "after_close": 0}


def test_open_close_ignore_the_allocator(monkeypatch, capfd, mod, tmp_path):
    obj, _ = construct(monkeypatch, capfd, allocator=str(tmp_path / "none.so"))
    assert obj.Open() == 0
    assert obj.Close() == 0
    assert obj.GetLastErrorHr() == 0


def test_long_messages_are_cut_to_1023_characters(tmp_path):
    """No message from Python is that long, so the trace writer is driven directly."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    exe = tmp_path / "trace_cut"
    subprocess.run(["g++", "-std=c++17", "-I", os.path.join(root, "core"), "-o", str(exe),
                    os.path.join(root, "tests", "cpp", "trace_cut.cpp"), os.path.join(root, "core", "TraceLog.cpp")],
                   check=True)
    err = subprocess.run([str(exe)], capture_output=True, text=True, check=True).stderr
    assert err == line("n" * 1023) + "\n" + line("w" * 1023) + "\n"
