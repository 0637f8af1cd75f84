"""Utility object lifecycle: loading the allocator, the trace switch, and the
per-thread last-error code."""
import threading

import pytest

from conftest import ALLOCATOR_PATH, E_FAIL, E_OUTOFMEMORY, end, entry, line, make_utility, run_cpp, run_threads

CTOR = "PyQelBufferUtility::PyQelBufferUtility"
DTOR = "PyQelBufferUtility::~PyQelBufferUtility"
UNINIT = "PyQelBufferUtility::Uninitialize"
FREE = line("free BufferAllocator")


def construct(monkeypatch, capfd, allocator=None, dumpmsg="1"):
    return make_utility(monkeypatch, capfd, dumpmsg, allocator, with_lines=True)


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
    # Every method that needs the allocator now fails in its own way; the per-thread calls do not need it.
    assert mod.PyQelBufferUtility_GetEmptyBuffer(obj, 2, 2, 4) is mod.PyQelBufferUtility_GetGifBuffer(obj) is None
    assert (obj.Open(), obj.Close(), obj.GetLastErrorHr()) == (0, 0, 0)
    capfd.readouterr()
    assert mod.PyQelBufferUtility_Uninitialize(obj) == 0
    assert capfd.readouterr().err.splitlines() == [entry(UNINIT)] + [FREE] * (which != "missing") + [end(UNINIT)]


@pytest.mark.parametrize("uninitialized", [True, False])
def test_uninitialize_and_destructor(monkeypatch, capfd, mod, uninitialized):
    obj, _ = construct(monkeypatch, capfd)
    if uninitialized:
        assert mod.PyQelBufferUtility_Uninitialize(obj) == 0
        assert capfd.readouterr().err.splitlines() == [entry(UNINIT), FREE, end(UNINIT)]
        # A second time there is nothing to free, and nothing to allocate with.
        assert mod.PyQelBufferUtility_Uninitialize(obj) == 0
        assert capfd.readouterr().err.splitlines() == [entry(UNINIT), end(UNINIT)]
        assert mod.PyQelBufferUtility_GetEmptyBuffer(obj, 2, 2, 4) is None
    obj.this.disown()
    mod.delete_PyQelBufferUtility(obj)
    assert capfd.readouterr().err.splitlines() == [entry(DTOR), entry(UNINIT)] + [FREE] * (not uninitialized) + [
        end(UNINIT), end(DTOR)]


def test_detached_allocator_keeps_working(monkeypatch, capfd, mod, fixture_libs, keep, zb):
    monkeypatch.setenv("ZU_REAL_ALLOCATOR", ALLOCATOR_PATH)
    obj, lines = construct(monkeypatch, capfd, allocator=fixture_libs["no_delete"])
    assert lines[1] == line(" [Constructor]m_pBufferAllocator, HR = 0")
    for freed in ([FREE], []):
        assert mod.PyQelBufferUtility_Uninitialize(obj) == 0
        assert capfd.readouterr().err.splitlines() == [entry(UNINIT), *freed, end(UNINIT)]
        assert zb.info(keep(mod.PyQelBufferUtility_GetEmptyBuffer(obj, 3, 2, 1)))["width"] == 3


@pytest.mark.parametrize("value, traced", [
    ("0", False), ("1", True), ("0xFFFFFFFF", True), ("0x0", False), ("4294967296", False), ("junk", False),
    ("-1", False)])
def test_trace_switch_values(monkeypatch, capfd, value, traced):
    assert (construct(monkeypatch, capfd, dumpmsg=value)[1] != []) is traced


def test_trace_switch_is_read_at_each_construction(monkeypatch, capfd):
    first, lines = construct(monkeypatch, capfd, dumpmsg="1")
    monkeypatch.setenv("QEL_DUMPMSG", "0")
    first.Uninitialize()  # still on until the next object is made
    assert lines and capfd.readouterr().err != ""
    assert construct(monkeypatch, capfd, dumpmsg="0")[1] == []
    # Without the setting at all, the last decision stands.
    monkeypatch.delenv("QEL_DUMPMSG")
    first.Uninitialize()
    assert capfd.readouterr().err == ""


def test_trace_lines_are_whole_and_prefixed(monkeypatch, capfd):
    obj, _ = construct(monkeypatch, capfd)

    def worker():
        for _ in range(200):
            obj.Open()
            obj.Uninitialize()

    run_threads(worker, [()] * 4)
    assert set(capfd.readouterr().err.splitlines()) == {entry(UNINIT), end(UNINIT), FREE}


def test_last_error_survives_success_until_close(util, mod, zb, keep):
    assert (util.Close(), util.GetLastErrorHr()) == (0, 0)
    src = zb.byte_array(bytes(4))
    zb.fail_next("allocateImageBuffer")
    assert util.CreateBufferFromRawData(src, 1, 1, 4) is None and util.GetLastErrorHr() == E_OUTOFMEMORY
    assert keep(util.CreateBufferFromRawData(src, 1, 1, 4)) is not None and util.GetLastErrorHr() == E_OUTOFMEMORY
    zb.fail_next("allocateImageBuffer", hr=E_FAIL)
    assert util.CreateBufferFromRawData(src, 1, 1, 4) is None and util.GetLastErrorHr() == E_FAIL
    zb.free_byte_array(src)
    assert (util.Close(), util.GetLastErrorHr(), mod.PyQelBufferUtility_GetLastErrorHr(None)) == (0, 0, 0)


def test_last_error_is_per_thread(util, zb):
    util.Close()
    src, failed, checked, seen = zb.byte_array(bytes(4)), threading.Event(), threading.Event(), {}

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


def test_long_messages_are_cut_to_1023_characters(tmp_path):
    # No message from Python is that long, so the trace writer is driven directly.
    err = run_cpp(tmp_path, "trace_cut.cpp", "core/TraceLog.cpp").stderr
    assert err == line("n" * 1023) + "\n" + line("w" * 1023) + "\n"
