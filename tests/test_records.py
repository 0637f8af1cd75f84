"""The three plain records: zero-filled construction, typed accessors,
ownership by their Python wrappers."""
import math

import pytest

import PyQelBufferUtility as proxy

FIELDS = {
    "TLSErrorCode": [("hr", "HRESULT")],
    "ZuPixelInfo": [("nAlpha", "WORD"), ("nRed", "WORD"), ("nGreen", "WORD"), ("nBlue", "WORD")],
    "ReconstructData": [
        ("pSrcBuffer", "BYTE *"), ("unSrcWidth", "unsigned int"), ("unSrcHeight", "unsigned int"),
        ("unSrcStride", "unsigned int"), ("pDstBuffer", "BYTE *"), ("unDstWidth", "unsigned int"),
        ("unDstHeight", "unsigned int"), ("unDstStride", "unsigned int"), ("nStartX", "int"), ("nEndX", "int"),
        ("nStartY", "int"), ("nEndY", "int"), ("fRollAngle", "float"), ("fYawAngle", "float"),
        ("fPitchAngle", "float"), ("fYOffset", "float"), ("bHasSSE2", "BOOL"),
    ],
}
ALL = [(rec, field, typ) for rec, fields in FIELDS.items() for field, typ in fields]

LIMITS = {
    "HRESULT": (-2**31, 2**31 - 1), "int": (-2**31, 2**31 - 1), "BOOL": (-2**31, 2**31 - 1),
    "WORD": (0, 65535), "unsigned int": (0, 2**32 - 1),
}


def new(mod, rec):
    return getattr(mod, "new_" + rec)()


@pytest.mark.parametrize("rec, field, typ", ALL)
def test_new_record_is_zero_and_documented(mod, rec, field, typ):
    obj = new(mod, rec)
    value = getattr(mod, f"{rec}_{field}_get")(obj)
    assert value is None if typ == "BYTE *" else value == 0
    assert getattr(mod, f"{rec}_{field}_set").__doc__ == f"{rec}_{field}_set({rec} self, {typ} {field})"
    assert getattr(mod, f"{rec}_{field}_get").__doc__ == f"{rec}_{field}_get({rec} self) -> {typ}"
    assert getattr(mod, "new_" + rec).__doc__ == f"new_{rec}() -> {rec}"
    mod.__dict__["delete_" + rec](obj)


@pytest.mark.parametrize("rec, field, typ", [a for a in ALL if a[2] in LIMITS])
def test_integer_fields_range(mod, rec, field, typ):
    lo, hi = LIMITS[typ]
    obj = new(mod, rec)
    setter, getter = getattr(mod, f"{rec}_{field}_set"), getattr(mod, f"{rec}_{field}_get")
    for value in (lo, hi):
        setter(obj, value)
        assert getter(obj) == value
    for bad in (lo - 1, hi + 1):
        with pytest.raises(OverflowError) as e:
            setter(obj, bad)
        assert str(e.value) == f"in method '{rec}_{field}_set', argument 2 of type '{typ}'"
        assert getter(obj) == hi
    with pytest.raises(TypeError):
        setter(obj, 1.0)


@pytest.mark.parametrize("field", ["fRollAngle", "fYawAngle", "fPitchAngle", "fYOffset"])
def test_float_fields(mod, field):
    rec = proxy.ReconstructData()
    for value, stored in ((0.5, 0.5), (3, 3.0), (0.1, 0.10000000149011612), (math.inf, math.inf)):
        setattr(rec, field, value)
        assert getattr(rec, field) == stored  # kept as a single-precision float
    setattr(rec, field, math.nan)
    assert math.isnan(getattr(rec, field))
    for bad, exc in ((1e39, OverflowError), (10**400, TypeError), ("1", TypeError)):
        with pytest.raises(exc):
            setattr(rec, field, bad)


def test_none_record_and_byte_pointer_fields(mod, zb):
    # A setter given None does nothing; a getter refuses it.
    assert mod.ZuPixelInfo_nRed_set(None, 5) is mod.ReconstructData_fYOffset_set(None, 1.5) is None
    with pytest.raises(TypeError):
        mod.ZuPixelInfo_nRed_get(None)
    rec = proxy.ReconstructData()
    big, small = zb.BYTE_array(b"\x05\x06"), zb.byte_array(b"\x05\x06")
    rec.pSrcBuffer = big
    got = rec.pSrcBuffer
    assert (repr(got).split(" at ")[0], int(got), got.own()) == ("<Swig Object of type 'unsigned char *'", int(big),
                                                                 False)
    with pytest.raises(TypeError) as e:
        mod.ReconstructData_pSrcBuffer_set(rec, small)
    assert str(e.value) == "in method 'ReconstructData_pSrcBuffer_set', argument 2 of type 'BYTE *'"
    rec.pSrcBuffer = None
    assert rec.pSrcBuffer is None and rec.this.own()  # the record is freed by its owning wrapper
    zb.free_byte_array(big)
    zb.free_byte_array(small)
