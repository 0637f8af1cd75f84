"""The module's face: its method table, doc strings, constants, calling
conventions and the argument conversion rules every wrapper follows."""
import sys
import types

import pytest

import PyQelBufferUtility as proxy


def _record(name, fields):
    return [f"{name}_{f}_{a}" for f in fields.split() for a in ("set", "get")] + [
        f"new_{name}", f"delete_{name}", f"{name}_swigregister", f"{name}_swiginit"]


# The full table of the finished module, in order.
FULL_TABLE = (_record("TLSErrorCode", "hr") + _record("ZuPixelInfo", "nAlpha nRed nGreen nBlue")
              + _record("ReconstructData", "pSrcBuffer unSrcWidth unSrcHeight unSrcStride pDstBuffer unDstWidth "
                        "unDstHeight unDstStride nStartX nEndX nStartY nEndY fRollAngle fYawAngle fPitchAngle "
                        "fYOffset bHasSSE2")
              + ["new_PyQelBufferUtility", "delete_PyQelBufferUtility"]
              + ["PyQelBufferUtility_" + m for m in """
    Uninitialize Open Close GetLastErrorHr GetGifBuffer GetEmptyBuffer ConvertImageBufferColorDepth
    ConvertBufferFromBGRtoBGRA_FromPyObject ConvertImageBufferAllocateType ConvertImageBufferToMask Reconstruct
    ReduceAlphaChannel ApplyAlphaByBuffer ImagePixelConvert ImagePixelConvertByMask ClearBGRByAlphaChannel
    ImageBufferToMask MaskToImageBuffer Rotate Mirror GetROI CreateBufferFromRawData RevealAlphaChannel
    BlendIgnoreAlphaChannel SwapRBChannel ComposeWithBuffer ComposeWithSetting ClearBuffer SetBufferColor
    CopyBuffer CopyImageBuffer UpdateImageBuffer DuplicateImageBuffer UpdateAlphaChannelByMask
    UpdateColorChannelByMask GetBoundBox GetUVMapBoundBox GetMaskWithBoundary MaskOperation MaskValueMapping
    GetPixelInfo HitTest CopyToClipboard PasteFromClipboard ApplyLUTOnBuffer GetMaskFromDepthBuffer
    m_fnGetScaledDepth GetDepthFromDepthBufferByPos GetDepthFromDepthBufferByRefBuffer GetBoundingBoxCenterPos
    SetTransparentAreaRGBByBuffer ReleaseByteArray InverseByteArrayOrder
    """.split()] + ["PyQelBufferUtility_swigregister", "PyQelBufferUtility_swiginit"])

CONSTANTS = list(zip(["PIXEL_CONVERT_" + n for n in "NOACT ALPHA_REVEAL ALPHA_REPLACE ALPHA_COLOR INVERT_COLOR "
                                                    "INVERT_COLOR_BY_MASK".split()]
                     + ["MASK_OPERATION_TYPE_INTERSECTION", "MASK_OPERATION_TYPE_DIFFERENCE"], [0, 1, 2, 3, 4, 5, 1, 2]))


def table(mod):
    return [n for n, v in vars(mod).items() if isinstance(v, types.BuiltinFunctionType)]


def test_table_order_and_contents(mod):
    assert table(mod) == FULL_TABLE and len(FULL_TABLE) == 113


def test_constants_follow_the_functions_in_order(mod):
    items = list(vars(mod).items())
    names = [n for n, _ in items]
    positions = [names.index(n) for n, _ in CONSTANTS]
    assert positions == sorted(positions)
    assert positions[0] > names.index("PyQelBufferUtility_swiginit")
    assert [(n, getattr(mod, n)) for n, _ in CONSTANTS] == CONSTANTS
    assert not hasattr(mod, "BUFFER_ALLOCATE_TYPE_BYTE")


@pytest.mark.parametrize("name, doc", [
    ("PyQelBufferUtility_GetEmptyBuffer",
     "PyQelBufferUtility_GetEmptyBuffer(PyQelBufferUtility self, int nWidth, int nHeight, int nBPP, "
     "bool onmemory=True) -> CQELImageBuffer"),
    ("PyQelBufferUtility_ClearBuffer",
     "PyQelBufferUtility_ClearBuffer(PyQelBufferUtility self, CQELImageBuffer * pDstBuffer, int const x, "
     "int const y, UINT const width, UINT const height, DWORD const color) -> HRESULT"),
    ("PyQelBufferUtility_ConvertImageBufferAllocateType",
     "PyQelBufferUtility_ConvertImageBufferAllocateType(PyQelBufferUtility self, CQELImageBuffer * "
     "pSrcImageBuffer, int nType=BUFFER_ALLOCATE_TYPE_BYTE, bool onMem=True) -> CQELImageBuffer"),
    ("PyQelBufferUtility_SetBufferColor",
     "PyQelBufferUtility_SetBufferColor(PyQelBufferUtility self, CQELImageBuffer * pDstBuffer, int nAlpha, "
     "int nRed, int nGreen, int nBlue, PyObject * pPyoROI=None) -> HRESULT"),
    ("PyQelBufferUtility_ReleaseByteArray",
     "PyQelBufferUtility_ReleaseByteArray(PyQelBufferUtility self, byte * buffer)"),
    ("PyQelBufferUtility_GetGifBuffer", "PyQelBufferUtility_GetGifBuffer(PyQelBufferUtility self) -> CQELGifBuffer *"),
    ("PyQelBufferUtility_GetBoundBox",
     "PyQelBufferUtility_GetBoundBox(PyQelBufferUtility self, CQELImageBuffer * pDstBuffer, bool bCheckColor=False, "
     "bool bGreater=True) -> PyObject"),
    ("PyQelBufferUtility_GetPixelInfo",
     "PyQelBufferUtility_GetPixelInfo(PyQelBufferUtility self, CQELImageBuffer * pSrcImageBuffer, int nX, int nY, "
     "unsigned int const nGridCount=1) -> PyObject"),
    ("PyQelBufferUtility_ComposeWithBuffer",
     "\nPyQelBufferUtility_ComposeWithBuffer(PyQelBufferUtility self, CQELImageBuffer * pDstBuffer, "
     "CQELImageBuffer * pSrcBuffer, int nX, int nY, float fAlpha, int nDstOrientation, bool bReplaceAlpha=False) "
     "-> HRESULT\nPyQelBufferUtility_ComposeWithBuffer(PyQelBufferUtility self, CQELImageBuffer * pDstBuffer, "
     "CQELImageBuffer * pSrcBuffer, int nX, int nY, int nW, int nH, float fAlpha, int nDstOrientation, "
     "bool bReplaceAlpha=False) -> HRESULT\n"),
    ("PyQelBufferUtility_CopyToClipboard",
     "PyQelBufferUtility_CopyToClipboard(PyQelBufferUtility self, HWND hwnd, CQELImageBuffer * pSrcBuffer) -> BOOL"),
    ("new_PyQelBufferUtility", "new_PyQelBufferUtility() -> PyQelBufferUtility"),
    ("delete_PyQelBufferUtility", "delete_PyQelBufferUtility(PyQelBufferUtility self)"),
    ("PyQelBufferUtility_swigregister", None),
    ("TLSErrorCode_swiginit", None),
])
def test_doc_strings(mod, name, doc):
    assert getattr(mod, name).__doc__ == doc


def test_object_argument(mod, util):
    for name in ("Uninitialize", "Open", "Close", "GetLastErrorHr"):
        assert getattr(mod, "PyQelBufferUtility_" + name)(util) == 0
    for args in ((), (util, util)):
        with pytest.raises(TypeError):
            mod.PyQelBufferUtility_Open(*args)
    # The per-thread calls never use the object; the others refuse None as argument 1, before the rest.
    assert [getattr(mod, "PyQelBufferUtility_" + n)(None) for n in ("Open", "Close", "GetLastErrorHr")] == [0, 0, 0]
    assert mod.delete_PyQelBufferUtility(None) is None
    for call in (lambda: mod.PyQelBufferUtility_Uninitialize(None),
                 lambda: mod.PyQelBufferUtility_ClearBuffer(None, None, 2.0, 0, 1, 1, 0)):
        with pytest.raises(TypeError) as e:
            call()
        assert str(e.value).endswith("argument 1 of type 'PyQelBufferUtility *'")


GET_EMPTY_OVERLOAD = (
    "Wrong number or type of arguments for overloaded function 'PyQelBufferUtility_GetEmptyBuffer'.\n"
    "  Possible C/C++ prototypes are:\n"
    "    PyQelBufferUtility::GetEmptyBuffer(int,int,int,bool)\n"
    "    PyQelBufferUtility::GetEmptyBuffer(int,int,int)\n")


@pytest.mark.parametrize("args, prefix", [
    ((10, 10, 4, 1), ""), ((10, 10), ""), ((10.0, 10, 4), ""), ((10, 10, 4, None), ""),
    ((1, 2, 3, True, 5), "PyQelBufferUtility_GetEmptyBuffer expected at most 5 arguments, got 6\n"
                         "Additional information:\n"),  # the count error first, the overload message after
])
def test_overload_message(mod, util, args, prefix):
    with pytest.raises(TypeError) as e:
        mod.PyQelBufferUtility_GetEmptyBuffer(util, *args)
    assert str(e.value) == prefix + GET_EMPTY_OVERLOAD


def test_bool_counts_as_int(mod, util, keep, zb):
    buf = keep(mod.PyQelBufferUtility_GetEmptyBuffer(util, True, 10, 4))
    assert zb.info(buf)["width"] == 1


class _Index:
    def __index__(self):
        return 3


@pytest.mark.parametrize("position, value, exc, argtype", [
    (3, 2.0, TypeError, "int"), (3, _Index(), TypeError, "int"), (3, 2**31, OverflowError, "int"),
    (3, -2**31 - 1, OverflowError, "int"), (5, -1, OverflowError, "UINT"), (6, 2**32, OverflowError, "UINT"),
    (7, -1, OverflowError, "DWORD"), (7, 1.5, TypeError, "DWORD"),
    (2, 5, TypeError, "CQELImageBuffer *"), (2, "the utility", TypeError, "CQELImageBuffer *"),
])
def test_argument_conversion(mod, util, make_buf, position, value, exc, argtype):
    buf = make_buf(bytes(4), 1, 1, 4)
    args = [util, buf, 0, 0, 1, 1, 0]
    args[position - 1] = util if value == "the utility" else value
    with pytest.raises(exc) as e:
        mod.PyQelBufferUtility_ClearBuffer(*args)
    assert str(e.value) == f"in method 'PyQelBufferUtility_ClearBuffer', argument {position} of type '{argtype}'"
    # The extremes of each range are accepted.
    assert mod.PyQelBufferUtility_ClearBuffer(util, buf, -2**31, 2**31 - 1, 2**32 - 1, 2**32 - 1, 0xFFFFFF07) == 0


def test_byte_and_BYTE_pointers_are_distinct(mod, util, zb):
    big, small = zb.BYTE_array(b"\x01" * 4), zb.byte_array(b"\x00")
    with pytest.raises(TypeError) as e:
        mod.PyQelBufferUtility_CreateBufferFromRawData(util, big, 1, 1, 4)
    assert str(e.value) == "in method 'PyQelBufferUtility_CreateBufferFromRawData', argument 2 of type 'byte *'"
    assert "'byte *'" in repr(small)
    zb.free_byte_array(big)
    zb.free_byte_array(small)


def test_count_error_wins_over_type_error(mod, util):
    for args in ((util, "x", "y"), ()):
        with pytest.raises(TypeError) as e:
            mod.PyQelBufferUtility_ClearBuffer(*args)
        assert str(e.value) == f"PyQelBufferUtility_ClearBuffer expected 7 arguments, got {len(args)}"


def test_buffer_crosses_without_ownership(mod, util, make_buf, keep, zb):
    buf = make_buf(bytes(8), 2, 1, 4)
    dup = keep(mod.PyQelBufferUtility_DuplicateImageBuffer(util, buf))
    assert repr(dup).startswith("<Swig Object of type 'CQELImageBuffer *' at ")
    assert not dup.own()
    # A second Python object for the same pointer, dropped: the buffer lives on.
    alias = again = mod.PyQelBufferUtility_DuplicateImageBuffer(util, dup)
    del again
    assert zb.info(alias)["refcount"] == 1
    zb.release(alias)


def test_proxy_hooks_and_shared_registry(mod):
    obj = proxy.PyQelBufferUtility()
    assert obj.this.own()
    with pytest.raises(TypeError, match="Attempt to append a non SwigPyObject"):
        mod.PyQelBufferUtility_swiginit(obj, 5)
    assert type(sys.modules["swig_runtime_data4"].type_pointer_capsule).__name__ == "PyCapsule"
