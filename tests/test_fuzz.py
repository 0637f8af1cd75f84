"""Random calls of every entry of the method table (tools/fuzz.py), and the faults it found, each pinned."""
import os
import sys
import types

import pytest

import _PyQelBufferUtility
import PyQelBufferUtility
import zubuffer

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools"))
import fuzz  # noqa: E402

# The same calls on every run; for a longer look: tools/fuzz.py --seconds N --salt S.
SALT = 20261206
CALLS_PER_ENTRY = 500


def test_every_entry_survives_random_calls():
    result = fuzz.run(SALT, calls=CALLS_PER_ENTRY, timeout=300)
    assert result["crashes"] == []
    assert result["findings"] == []
    fuzzed = [n for n, _, sigs in fuzz.discover(_PyQelBufferUtility) if not n.endswith("_swigregister")]
    assert result["calls"] >= CALLS_PER_ENTRY * len(fuzzed)


COMPOSE_DOC = (
    "\nPyQelBufferUtility_ComposeWithBuffer(PyQelBufferUtility self, CQELImageBuffer * pDstBuffer, "
    "CQELImageBuffer * pSrcBuffer, int nX, int nY, float fAlpha, int nDstOrientation, bool bReplaceAlpha=False)"
    " -> HRESULT\n"
    "PyQelBufferUtility_ComposeWithBuffer(PyQelBufferUtility self, CQELImageBuffer * pDstBuffer, "
    "CQELImageBuffer * pSrcBuffer, int nX, int nY, int nW, int nH, float fAlpha, int nDstOrientation, "
    "bool bReplaceAlpha=False) -> HRESULT\n")


@pytest.mark.parametrize("doc, expected", [
    (COMPOSE_DOC, [
        ("PyQelBufferUtility_ComposeWithBuffer", 8, 7, "HRESULT"),
        ("PyQelBufferUtility_ComposeWithBuffer", 10, 9, "HRESULT")]),
    ("PyQelBufferUtility_GetPixelInfo(PyQelBufferUtility self, CQELImageBuffer * pSrcImageBuffer, int nX, int nY, "
     "unsigned int const nGridCount=1) -> PyObject", [("PyQelBufferUtility_GetPixelInfo", 5, 4, "PyObject")]),
    ("new_ZuPixelInfo() -> ZuPixelInfo", [("new_ZuPixelInfo", 0, 0, "ZuPixelInfo")]),
    ("delete_TLSErrorCode(TLSErrorCode self)", [("delete_TLSErrorCode", 1, 1, None)]),
    (None, []),
])
def test_signatures_come_from_doc_strings(doc, expected):
    sigs = fuzz.parse_doc(doc)
    assert [(s.name, len(s.params), s.required, s.result) for s in sigs] == expected


def test_parameter_types_defaults_and_const():
    (sig,) = fuzz.parse_doc(
        "PyQelBufferUtility_ClearBuffer(PyQelBufferUtility self, CQELImageBuffer * pDstBuffer, int const x, "
        "UINT const width, DWORD const color, PyObject * pPyoROI=None, int nType=BUFFER_ALLOCATE_TYPE_BYTE, "
        "HWND hwnd, byte * buffer) -> CQELImageBuffer *")
    assert [(p.type, p.name, p.default) for p in sig.params] == [
        ("PyQelBufferUtility", "self", None), ("CQELImageBuffer *", "pDstBuffer", None), ("int", "x", None),
        ("UINT", "width", None), ("DWORD", "color", None), ("PyObject *", "pPyoROI", "None"),
        ("int", "nType", "BUFFER_ALLOCATE_TYPE_BYTE"), ("HWND", "hwnd", None), ("byte *", "buffer", None)]
    assert sig.result == "CQELImageBuffer *"


KNOWN_TYPES = (fuzz.INT_TYPES | fuzz.UINT_TYPES | fuzz.WORD_TYPES | fuzz.FLOAT_TYPES | fuzz.BYTE_PTR_TYPES
               | {fuzz.BUFFER_TYPE, "bool", "HWND", "PyObject *"})


def test_every_parameter_type_is_one_the_fuzz_builds():
    """A type the fuzz does not know would only ever get wrong values; records are the module's classes."""
    classes = {"PyQelBufferUtility", "TLSErrorCode", "ZuPixelInfo", "ReconstructData"}
    unknown = set()
    for name, _, sigs in fuzz.discover(_PyQelBufferUtility):
        if not sigs:
            assert name.endswith(("_swigregister", "_swiginit")), name
        for sig in sigs:
            for p in sig.params:
                if p.type not in KNOWN_TYPES and p.type.rstrip(" *") not in classes:
                    unknown.add((name, p.type))
    assert unknown == set()


def _fake_module(**entries):
    """The real module plus Python entries with signature doc strings, each showing the harness a fault."""
    fake = types.ModuleType("fake")
    fake.__dict__.update({k: v for k, v in vars(_PyQelBufferUtility).items() if not k.startswith("__")})
    for name, (doc, fn) in entries.items():
        fn.__doc__ = doc
        fn.__name__ = name
        setattr(fake, name, fn)
    return fake


_UNDO = []  # what the fake entries do wrong on purpose, undone after each test


def _keeps_a_reference(util, buf):
    if buf is not None:
        zubuffer.add_ref(buf)
        _UNDO.append(buf)
    return 0


def _leaks_a_buffer(util, width):
    _UNDO.append(zubuffer.allocate(1, 1, 4))
    return 0


def _leaves_an_error(util, obj):
    raise SystemError("<built-in function> returned a result with an exception set")


def _gives_an_extra_reference(util, buf):
    if buf is None:
        return None
    copy = zubuffer.allocate(2, 2, 4)
    zubuffer.add_ref(copy)
    _UNDO.append(copy)
    return copy


@pytest.mark.parametrize("fn, doc, text", [
    (_keeps_a_reference, "Fake_Keep(PyQelBufferUtility self, CQELImageBuffer * pSrc) -> HRESULT",
     "reference count of buf"),
    (_leaks_a_buffer, "Fake_Leak(PyQelBufferUtility self, int nWidth) -> HRESULT", "+1 live buffers after the call"),
    (_leaves_an_error, "Fake_Error(PyQelBufferUtility self, PyObject * pObj) -> HRESULT", "raised SystemError"),
    (_gives_an_extra_reference, "Fake_Copy(PyQelBufferUtility self, CQELImageBuffer * pSrc) -> CQELImageBuffer *",
     "returned a new buffer with 2 references"),
])
def test_the_harness_reports_each_kind_of_fault(fn, doc, text):
    fz = fuzz.Fuzzer(_fake_module(Fake_Entry=(doc, fn)), PyQelBufferUtility, zubuffer, salt=4, fault_rate=0)
    try:
        fz.run(rounds=40, only=["Fake_Entry"])
    finally:
        while _UNDO:
            zubuffer.release(_UNDO.pop())
        fz.finish()
    assert any(text in f for f in fz.findings), fz.findings[:3]


def test_a_crash_names_the_call_that_caused_it():
    result = fuzz.run_chunk(1, calls=1, selftest_crash=True, timeout=120)
    assert result["crash"] is not None
    assert "during call #1 selftest: a deliberate crash" in result["crash"]


def test_appending_a_pointer_already_in_the_chain_is_refused(mod):
    # Appending twice linked the pointer to itself: a walk along the chain overflowed the stack.
    holder, rec, other = type("Holder", (), {})(), mod.new_ZuPixelInfo(), mod.new_TLSErrorCode()
    assert mod.ZuPixelInfo_swiginit(holder, rec) is None
    assert mod.ZuPixelInfo_swiginit(holder, other) is None
    for again in (rec, other):
        with pytest.raises(ValueError, match="^Attempt to append a SwigPyObject already in the chain$"):
            mod.ZuPixelInfo_swiginit(holder, again)
    assert repr(rec).count("Swig Object") == 2
    assert mod.ZuPixelInfo_nRed_get(holder) == 0


@pytest.mark.parametrize("w, h", [(2**31 - 1, 2**31 - 1), (2**31 - 1, 1_500_000_000), (1_500_000_000, 2**31 - 1)])
def test_inverse_byte_array_order_bounds_the_size_before_forming_it(util, w, h):
    # w * 4 * h passes the 64-bit range: the size check itself overflowed before refusing them.
    src = zubuffer.byte_array(b"\x01")
    try:
        assert util.InverseByteArrayOrder(src, w, h) is None
        assert util.InverseByteArrayOrder(None, w, h) is None
    finally:
        zubuffer.free_byte_array(src)


@pytest.mark.parametrize("record, getter, setter", [
    ("ZuPixelInfo", "ZuPixelInfo_nRed_get", "ZuPixelInfo_nRed_set"),
    ("TLSErrorCode", "TLSErrorCode_hr_get", "TLSErrorCode_hr_set"),
    ("ReconstructData", "ReconstructData_pSrcBuffer_get", "ReconstructData_nEndX_set"),
])
def test_a_deleted_record_is_null_to_every_later_call(mod, record, getter, setter):
    # The wrapper kept the freed pointer: a second delete freed it again and a getter read freed memory.
    rec = getattr(mod, "new_" + record)()
    assert getattr(mod, "delete_" + record)(rec) is None
    assert int(rec) == 0 and not rec.own()
    assert getattr(mod, "delete_" + record)(rec) is None
    with pytest.raises(TypeError, match=f"^in method '{getter}', argument 1 of type '{record} \\*'$"):
        getattr(mod, getter)(rec)
    assert getattr(mod, setter)(rec, 1) is None


def test_a_deleted_utility_is_null_to_every_later_call(mod):
    obj = PyQelBufferUtility.PyQelBufferUtility()
    mod.delete_PyQelBufferUtility(obj)
    mod.delete_PyQelBufferUtility(obj)
    assert int(obj.this) == 0
    with pytest.raises(TypeError, match="^in method 'PyQelBufferUtility_GetROI', argument 1 of type "
                                        "'PyQelBufferUtility \\*'$"):
        obj.GetROI(None, 0, 0, 1, 1)
    for name in ("Uninitialize", "GetGifBuffer"):
        with pytest.raises(TypeError):
            getattr(mod, "PyQelBufferUtility_" + name)(obj)
    # The per-thread calls never used the object; they still work.
    assert mod.PyQelBufferUtility_Open(obj) == 0


@pytest.mark.parametrize("destroy", [5, "delete", lambda obj: None])
def test_registering_a_class_whose_destructor_is_not_built_in_is_refused(mod, destroy):
    # The hook read such an attribute as a built-in's flags and jumped to it when a record was freed.
    bogus = type("Bogus", (), {"__swig_destroy__": destroy})
    with pytest.raises(TypeError, match="^__swig_destroy__ must be a built-in function$"):
        mod.ZuPixelInfo_swigregister(bogus)
    # The registration stays the proxy's: its records are freed by its destructor.
    rec = PyQelBufferUtility.ZuPixelInfo()
    rec.nRed = 9
    assert rec.nRed == 9
    del rec
    assert mod.ZuPixelInfo_swigregister(PyQelBufferUtility.ZuPixelInfo) is None


def test_a_wrapped_pointer_refuses_to_append_one_already_in_its_chain(mod):
    # The wrapped pointer's own append had the same ring, in both modules.
    rec, other = mod.new_ZuPixelInfo(), mod.new_TLSErrorCode()
    buf = zubuffer.allocate(1, 1, 4)
    try:
        for head, again in ((rec, rec), (buf, buf)):
            with pytest.raises(ValueError, match="^Attempt to append a SwigPyObject already in the chain$"):
                head.append(again)
        assert rec.append(other) is None
        with pytest.raises(ValueError):
            rec.append(other)
        assert repr(rec).count("Swig Object") == 2 and repr(buf).count("Swig Object") == 1
        with pytest.raises(TypeError, match="^Attempt to append a non SwigPyObject$"):
            buf.append(5)
    finally:
        zubuffer.release(buf)
