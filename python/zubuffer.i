// zubuffer: how Python scripts and the test suites make image buffers with
// given pixels and read them back. It uses the allocator library that the
// utility loads by default, and shares the wrapper runtime's type registry
// with _PyQelBufferUtility, so buffers and byte arrays cross freely between
// the two modules.
%module zubuffer

%{
#include <Python.h>

#include <cstdarg>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "BufferGuards.h"
#include "CPyAllowThreads.h"
#include "SwigChainGuard.h"
#include "ZuBufferCore.h"
%}

// Known to the wrapper only as opaque pointer types: no proxy class, so a
// buffer shows as "<Swig Object of type 'CQELImageBuffer *' ...>". "byte"
// stays a type the wrapper does not know ("_p_byte"), while BYTE is an
// unsigned char ("_p_unsigned_char"): they are distinct wrapped types.
// uint8 is declared too so that this module's "_p_unsigned_char" record
// reads exactly like the utility's, whichever module is imported first.
class CQELImageBuffer;
typedef unsigned char BYTE;
typedef unsigned char uint8;
%types(CQELImageBuffer *, byte *, BYTE *);

%{
namespace {

const char *const kOperationNames =
    "allocateImageBuffer, allocateFileMappingBuffer, allocateGifBuffer, copyBufferData, lock, lock_no_data";

std::string Format(const char *pszFormat, ...) __attribute__((format(printf, 1, 2)));

std::string Format(const char *pszFormat, ...)
{
    char szText[512];
    va_list args;
    va_start(args, pszFormat);
    std::vsnprintf(szText, sizeof(szText), pszFormat, args);
    va_end(args);
    return szText;
}

// Messages are UTF-8 ("×" included); PyErr_SetString decodes them as such.
PyObject *Fail(PyObject *pExcType, const std::string &strMessage)
{
    PyErr_SetString(pExcType, strMessage.c_str());
    return nullptr;
}

std::string HrText(HRESULT hr)
{
    const char *pszName = "";
    switch (hr) {
    case S_OK: pszName = " (S_OK)"; break;
    case S_FALSE: pszName = " (S_FALSE)"; break;
    case E_FAIL: pszName = " (E_FAIL)"; break;
    case E_POINTER: pszName = " (E_POINTER)"; break;
    case E_INVALIDARG: pszName = " (E_INVALIDARG)"; break;
    case E_OUTOFMEMORY: pszName = " (E_OUTOFMEMORY)"; break;
    default: break;
    }
    return Format("hr=0x%08X%s", (unsigned)hr, pszName);
}

std::string Decimal(unsigned __int128 v)
{
    char szDigits[48];
    int n = 0;
    do {
        szDigits[n++] = (char)('0' + (int)(v % 10));
        v /= 10;
    } while (v != 0);
    std::string str;
    while (n > 0)
        str += szDigits[--n];
    return str;
}

const zb::AllocatorLibrary *Library()
{
    std::string strError;
    const zb::AllocatorLibrary *pLib = zb::GetAllocatorLibrary(&strError);
    if (pLib == nullptr)
        PyErr_SetString(PyExc_RuntimeError, strError.c_str());
    return pLib;
}

// An int argument (bool counts as an int). Values beyond 64 bits are
// clamped, which every caller's range check then refuses.
bool ArgInt(const char *pszFn, const char *pszName, PyObject *pObj, long long *pValue)
{
    if (!PyLong_Check(pObj)) {
        Fail(PyExc_TypeError, Format("%s: %s must be an int, not %s", pszFn, pszName, Py_TYPE(pObj)->tp_name));
        return false;
    }
    int nOverflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(pObj, &nOverflow);
    if (v == -1 && PyErr_Occurred())
        return false;
    if (nOverflow != 0)
        v = nOverflow > 0 ? LLONG_MAX : LLONG_MIN;
    *pValue = v;
    return true;
}

bool ArgBool(const char *pszFn, const char *pszName, PyObject *pObj, bool *pValue)
{
    if (!PyLong_Check(pObj)) {
        Fail(PyExc_TypeError, Format("%s: %s must be a bool, not %s", pszFn, pszName, Py_TYPE(pObj)->tp_name));
        return false;
    }
    int nTrue = PyObject_IsTrue(pObj);
    if (nTrue < 0)
        return false;
    *pValue = nTrue != 0;
    return true;
}

// The public name a shared entry reports its errors under.
const char *CallerName(PyObject *pyCaller, const char *pszDefault)
{
    const char *psz = PyUnicode_Check(pyCaller) ? PyUnicode_AsUTF8(pyCaller) : nullptr;
    if (psz == nullptr) {
        PyErr_Clear();
        return pszDefault;
    }
    return psz;
}

bool InUIntRange(long long v) { return v >= 0 && v <= (long long)UINT_MAX; }

// A buffer argument: a live image buffer of the allocator library. None is
// a ValueError, another type a TypeError; a pointer the library does not
// know (released, or never one of its buffers) is refused before use.
bool ArgBuffer(const char *pszFn, PyObject *pObj, CQELImageBuffer **ppBuffer)
{
    if (pObj == Py_None) {
        Fail(PyExc_ValueError, Format("%s: buffer is None, expected a CQELImageBuffer *", pszFn));
        return false;
    }
    void *pv = nullptr;
    if (!SWIG_IsOK(SWIG_ConvertPtr(pObj, &pv, SWIGTYPE_p_CQELImageBuffer, 0))) {
        PyErr_Clear();
        Fail(PyExc_TypeError, Format("%s: expected a CQELImageBuffer *, got %s", pszFn, Py_TYPE(pObj)->tp_name));
        return false;
    }
    const zb::AllocatorLibrary *pLib = Library();
    if (pLib == nullptr)
        return false;
    if (pv == nullptr || !pLib->pfnIsLiveImageBuffer(static_cast<CQELImageBuffer *>(pv))) {
        Fail(PyExc_ValueError,
             Format("%s: the buffer is not a live image buffer of the allocator library (already released?)", pszFn));
        return false;
    }
    *ppBuffer = static_cast<CQELImageBuffer *>(pv);
    return true;
}

bool ArgShape(const char *pszFn, CQELImageBuffer *pBuffer, zb::BufferShape *pShape)
{
    if (!zb::DescribeBuffer(pBuffer, pShape)) {
        Fail(PyExc_ValueError, Format("%s: the buffer's row or plane table is missing", pszFn));
        return false;
    }
    return true;
}

// Holds a bytes-like argument's memory for the length of a call.
class CDataView {
public:
    CDataView() = default;
    ~CDataView()
    {
        if (m_bHeld)
            PyBuffer_Release(&m_view);
    }
    CDataView(const CDataView &) = delete;
    CDataView &operator=(const CDataView &) = delete;

    bool Get(const char *pszFn, const char *pszName, PyObject *pObj, bool bWritable)
    {
        if (pObj == Py_None) {
            Fail(PyExc_ValueError, Format("%s: %s is None, expected a bytes-like object", pszFn, pszName));
            return false;
        }
        if (!PyObject_CheckBuffer(pObj)) {
            Fail(PyExc_TypeError,
                 Format("%s: %s must be a bytes-like object, not %s", pszFn, pszName, Py_TYPE(pObj)->tp_name));
            return false;
        }
        int nFlags = PyBUF_C_CONTIGUOUS | (bWritable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(pObj, &m_view, nFlags) != 0) {
            PyErr_Clear();
            Fail(bWritable ? PyExc_TypeError : PyExc_ValueError,
                 Format("%s: %s must be a C-contiguous%s bytes-like object", pszFn, pszName,
                        bWritable ? " writable" : ""));
            return false;
        }
        m_bHeld = true;
        return true;
    }

    BYTE *Data() const { return static_cast<BYTE *>(m_view.buf); }
    std::size_t Size() const { return (std::size_t)m_view.len; }

private:
    Py_buffer m_view{};
    bool m_bHeld = false;
};

std::string SizeText(const zb::BufferShape &shape)
{
    return Format("width %u \xC3\x97 height %u \xC3\x97 bpp %u", shape.unWidth, shape.unHeight,
                  shape.unBytesPerPixel);
}

bool CheckDataSize(const char *pszFn, const zb::BufferShape &shape, std::size_t cbGot)
{
    if (cbGot == shape.PackedBytes())
        return true;
    Fail(PyExc_ValueError, Format("%s: expected %zu bytes (%s), got %zu", pszFn, shape.PackedBytes(),
                                  SizeText(shape).c_str(), cbGot));
    return false;
}

PyObject *NewBufferObject(CQELImageBuffer *pBuffer)
{
    return SWIG_NewPointerObj(static_cast<void *>(pBuffer), SWIGTYPE_p_CQELImageBuffer, 0);
}

HRESULT AllocateOne(const zb::AllocatorLibrary *pLib, CNewBuffer &newBuffer, UINT unWidth, UINT unHeight,
                    UINT unBpp, int nType, bool bFileMapped)
{
    if (bFileMapped)
        return pLib->pAllocator->allocateFileMappingBuffer(newBuffer.out(), unWidth, unHeight, unBpp, nType);
    return pLib->pAllocator->allocateImageBuffer(newBuffer.out(), unWidth, unHeight, unBpp, nType);
}

} // namespace

PyObject *zb_load_error()
{
    std::string strError;
    if (zb::GetAllocatorLibrary(&strError) != nullptr)
        Py_RETURN_NONE;
    return PyUnicode_FromString(strError.c_str());
}

PyObject *zb_allocate(PyObject *pyWidth, PyObject *pyHeight, PyObject *pyBpp, PyObject *pyType,
                      PyObject *pyFileMapped)
{
    const char *pszFn = "allocate";
    long long nWidth = 0, nHeight = 0, nBpp = 0, nType = 0;
    bool bFileMapped = false;
    if (!ArgInt(pszFn, "width", pyWidth, &nWidth) || !ArgInt(pszFn, "height", pyHeight, &nHeight) ||
        !ArgInt(pszFn, "bpp", pyBpp, &nBpp) || !ArgInt(pszFn, "alloc_type", pyType, &nType) ||
        !ArgBool(pszFn, "file_mapped", pyFileMapped, &bFileMapped))
        return nullptr;
    const zb::AllocatorLibrary *pLib = Library();
    if (pLib == nullptr)
        return nullptr;
    // Sizes that no UINT can carry are requests no allocator could grant.
    if (!InUIntRange(nWidth) || !InUIntRange(nHeight) || !InUIntRange(nBpp) || nType < INT_MIN || nType > INT_MAX)
        Py_RETURN_NONE;
    CNewBuffer newBuffer;
    HRESULT hr = AllocateOne(pLib, newBuffer, (UINT)nWidth, (UINT)nHeight, (UINT)nBpp, (int)nType, bFileMapped);
    if (FAILED(hr) || !newBuffer)
        Py_RETURN_NONE;
    PyObject *pResult = NewBufferObject(newBuffer.get());
    if (pResult != nullptr)
        newBuffer.detach();
    return pResult;
}

PyObject *zb_from_bytes(PyObject *pyData, PyObject *pyWidth, PyObject *pyHeight, PyObject *pyBpp,
                        PyObject *pyType, PyObject *pyFileMapped, PyObject *pyCaller)
{
    const char *pszFn = CallerName(pyCaller, "from_bytes");
    CDataView data;
    long long nWidth = 0, nHeight = 0, nBpp = 0, nType = 0;
    bool bFileMapped = false;
    if (!data.Get(pszFn, "data", pyData, false) || !ArgInt(pszFn, "width", pyWidth, &nWidth) ||
        !ArgInt(pszFn, "height", pyHeight, &nHeight) || !ArgInt(pszFn, "bpp", pyBpp, &nBpp) ||
        !ArgInt(pszFn, "alloc_type", pyType, &nType) ||
        !ArgBool(pszFn, "file_mapped", pyFileMapped, &bFileMapped))
        return nullptr;
    if (!InUIntRange(nWidth) || !InUIntRange(nHeight) || !InUIntRange(nBpp))
        return Fail(PyExc_ValueError,
                    Format("%s: width %lld, height %lld and bpp %lld must each be from 0 to %u", pszFn, nWidth,
                           nHeight, nBpp, UINT_MAX));
    if (nType < INT_MIN || nType > INT_MAX)
        return Fail(PyExc_ValueError, Format("%s: alloc_type %lld is not a 32-bit int", pszFn, nType));
    unsigned __int128 qqExpected = (unsigned __int128)nWidth * (unsigned __int128)nHeight * (unsigned __int128)nBpp;
    if (qqExpected != (unsigned __int128)data.Size())
        return Fail(PyExc_ValueError,
                    Format("%s: expected %s bytes (width %lld \xC3\x97 height %lld \xC3\x97 bpp %lld), got %zu", pszFn,
                           Decimal(qqExpected).c_str(), nWidth, nHeight, nBpp, data.Size()));
    const zb::AllocatorLibrary *pLib = Library();
    if (pLib == nullptr)
        return nullptr;

    CNewBuffer newBuffer;
    HRESULT hr = AllocateOne(pLib, newBuffer, (UINT)nWidth, (UINT)nHeight, (UINT)nBpp, (int)nType, bFileMapped);
    const char *pszCall = bFileMapped ? "allocateFileMappingBuffer" : "allocateImageBuffer";
    if (FAILED(hr) || !newBuffer) {
        std::string strMessage =
            Format("%s: %s(width %lld, height %lld, bpp %lld, alloc_type %lld) %s %s", pszFn, pszCall, nWidth,
                   nHeight, nBpp, nType, FAILED(hr) ? "failed with" : "gave no buffer with", HrText(hr).c_str());
        return Fail(hr == E_INVALIDARG ? PyExc_ValueError : PyExc_MemoryError, strMessage);
    }
    zb::BufferShape shape;
    if (!ArgShape(pszFn, newBuffer.get(), &shape) || !CheckDataSize(pszFn, shape, data.Size()))
        return nullptr;
    {
        CPyAllowThreads allowThreads;
        zb::WritePacked(newBuffer.get(), shape, data.Data());
    }
    PyObject *pResult = NewBufferObject(newBuffer.get());
    if (pResult != nullptr)
        newBuffer.detach();
    return pResult;
}

PyObject *zb_to_bytes(PyObject *pyBuffer)
{
    const char *pszFn = "to_bytes";
    CQELImageBuffer *pBuffer = nullptr;
    zb::BufferShape shape;
    if (!ArgBuffer(pszFn, pyBuffer, &pBuffer) || !ArgShape(pszFn, pBuffer, &shape))
        return nullptr;
    PyObject *pBytes = PyBytes_FromStringAndSize(nullptr, (Py_ssize_t)shape.PackedBytes());
    if (pBytes == nullptr)
        return nullptr;
    BYTE *pDst = reinterpret_cast<BYTE *>(PyBytes_AS_STRING(pBytes));
    {
        CPyAllowThreads allowThreads;
        zb::ReadPacked(pBuffer, shape, pDst);
    }
    return pBytes;
}

PyObject *zb_read_into(PyObject *pyBuffer, PyObject *pyTarget)
{
    const char *pszFn = "to_numpy";
    CQELImageBuffer *pBuffer = nullptr;
    zb::BufferShape shape;
    CDataView target;
    if (!ArgBuffer(pszFn, pyBuffer, &pBuffer) || !ArgShape(pszFn, pBuffer, &shape) ||
        !target.Get(pszFn, "target", pyTarget, true) || !CheckDataSize(pszFn, shape, target.Size()))
        return nullptr;
    {
        CPyAllowThreads allowThreads;
        zb::ReadPacked(pBuffer, shape, target.Data());
    }
    Py_RETURN_NONE;
}

PyObject *zb_write(PyObject *pyBuffer, PyObject *pyData)
{
    const char *pszFn = "write";
    CQELImageBuffer *pBuffer = nullptr;
    zb::BufferShape shape;
    CDataView data;
    if (!ArgBuffer(pszFn, pyBuffer, &pBuffer) || !data.Get(pszFn, "data", pyData, false) ||
        !ArgShape(pszFn, pBuffer, &shape) || !CheckDataSize(pszFn, shape, data.Size()))
        return nullptr;
    {
        CPyAllowThreads allowThreads;
        zb::WritePacked(pBuffer, shape, data.Data());
    }
    Py_RETURN_NONE;
}

PyObject *zb_plane_bytes(PyObject *pyBuffer, PyObject *pyIndex)
{
    const char *pszFn = "plane_bytes";
    CQELImageBuffer *pBuffer = nullptr;
    zb::BufferShape shape;
    long long nIndex = 0;
    if (!ArgBuffer(pszFn, pyBuffer, &pBuffer) || !ArgInt(pszFn, "index", pyIndex, &nIndex) ||
        !ArgShape(pszFn, pBuffer, &shape))
        return nullptr;
    if (shape.nAllocateType != BUFFER_ALLOCATE_TYPE_PLANAR)
        return Fail(PyExc_ValueError,
                    Format("plane_bytes: expected a PLANAR buffer (alloc_type %d), got alloc_type %d",
                           (int)BUFFER_ALLOCATE_TYPE_PLANAR, shape.nAllocateType));
    UINT nPlanes = zb::PlaneCount(shape);
    if (nIndex < 0 || nIndex >= (long long)nPlanes)
        return Fail(PyExc_ValueError, Format("plane_bytes: expected a plane index from 0 to %u for bpp %u, got %lld",
                                             nPlanes - 1, shape.unBytesPerPixel, nIndex));
    PyObject *pBytes = PyBytes_FromStringAndSize(nullptr, (Py_ssize_t)zb::PlaneBytes(shape));
    if (pBytes == nullptr)
        return nullptr;
    BYTE *pDst = reinterpret_cast<BYTE *>(PyBytes_AS_STRING(pBytes));
    {
        CPyAllowThreads allowThreads;
        zb::ReadPlane(pBuffer, shape, (UINT)nIndex, pDst);
    }
    return pBytes;
}

PyObject *zb_info(PyObject *pyBuffer, PyObject *pyCaller)
{
    const char *pszFn = CallerName(pyCaller, "info");
    CQELImageBuffer *pBuffer = nullptr;
    if (!ArgBuffer(pszFn, pyBuffer, &pBuffer))
        return nullptr;
    ZuTestBufferInfo info{};
    if (FAILED(Library()->pfnGetImageBufferInfo(pBuffer, &info)))
        return Fail(PyExc_ValueError, Format("%s: the buffer was released while it was being read", pszFn));
    return Py_BuildValue("{s:I,s:I,s:I,s:i,s:O,s:K,s:K,s:l,s:l}", "width", info.unWidth, "height", info.unHeight,
                         "bpp", info.unBytesPerPixel, "alloc_type", info.nAllocateType, "file_mapped",
                         info.bFileMapped ? Py_True : Py_False, "attribute1",
                         (unsigned long long)info.qwAttribute1, "attribute2", (unsigned long long)info.qwAttribute2,
                         "refcount", info.nRefCount, "lock_count", info.nLockCount);
}

namespace {

bool ArgUInt64(const char *pszFn, const char *pszName, PyObject *pObj, UINT64 *pValue)
{
    if (!PyLong_Check(pObj)) {
        Fail(PyExc_TypeError, Format("%s: %s must be an int, not %s", pszFn, pszName, Py_TYPE(pObj)->tp_name));
        return false;
    }
    unsigned long long v = PyLong_AsUnsignedLongLong(pObj);
    if (v == (unsigned long long)-1 && PyErr_Occurred()) {
        PyErr_Clear();
        Fail(PyExc_OverflowError,
             Format("%s: %s must be an unsigned 64-bit value (0 to 18446744073709551615)", pszFn, pszName));
        return false;
    }
    *pValue = v;
    return true;
}

} // namespace

PyObject *zb_set_attributes(PyObject *pyBuffer, PyObject *pyAttribute1, PyObject *pyAttribute2)
{
    const char *pszFn = "set_attributes";
    CQELImageBuffer *pBuffer = nullptr;
    UINT64 qwAttribute1 = 0, qwAttribute2 = 0;
    if (!ArgBuffer(pszFn, pyBuffer, &pBuffer) || !ArgUInt64(pszFn, "attribute1", pyAttribute1, &qwAttribute1) ||
        !ArgUInt64(pszFn, "attribute2", pyAttribute2, &qwAttribute2))
        return nullptr;
    pBuffer->setAttribute1(qwAttribute1);
    pBuffer->setAttribute2(qwAttribute2);
    Py_RETURN_NONE;
}

PyObject *zb_add_ref(PyObject *pyBuffer)
{
    CQELImageBuffer *pBuffer = nullptr;
    if (!ArgBuffer("add_ref", pyBuffer, &pBuffer))
        return nullptr;
    return PyLong_FromLong(pBuffer->addRef());
}

PyObject *zb_release(PyObject *pyBuffer)
{
    CQELImageBuffer *pBuffer = nullptr;
    if (!ArgBuffer("release", pyBuffer, &pBuffer))
        return nullptr;
    return PyLong_FromLong(pBuffer->release());
}

PyObject *zb_live_buffers()
{
    const zb::AllocatorLibrary *pLib = Library();
    if (pLib == nullptr)
        return nullptr;
    return PyLong_FromLong(pLib->pfnLiveImageBuffers());
}

namespace {

PyObject *NewByteArray(const char *pszFn, PyObject *pyData, swig_type_info *pType)
{
    CDataView data;
    if (!data.Get(pszFn, "data", pyData, false))
        return nullptr;
    // Freed with free() by whoever takes it, so it must come from malloc.
    BYTE *pCopy = static_cast<BYTE *>(std::malloc(data.Size() > 0 ? data.Size() : 1));
    if (pCopy == nullptr)
        return PyErr_NoMemory();
    std::memcpy(pCopy, data.Data(), data.Size());
    PyObject *pResult = SWIG_NewPointerObj(static_cast<void *>(pCopy), pType, 0);
    if (pResult == nullptr)
        std::free(pCopy);
    return pResult;
}

// Either byte array type; null for None.
bool ArgByteArray(const char *pszFn, PyObject *pObj, void **ppv)
{
    *ppv = nullptr;
    if (pObj == Py_None)
        return true;
    if (SWIG_IsOK(SWIG_ConvertPtr(pObj, ppv, SWIGTYPE_p_byte, 0)) ||
        SWIG_IsOK(SWIG_ConvertPtr(pObj, ppv, SWIGTYPE_p_unsigned_char, 0)))
        return true;
    PyErr_Clear();
    Fail(PyExc_TypeError, Format("%s: expected a byte * or BYTE *, got %s", pszFn, Py_TYPE(pObj)->tp_name));
    return false;
}

} // namespace

PyObject *zb_byte_array(PyObject *pyData)
{
    return NewByteArray("byte_array", pyData, SWIGTYPE_p_byte);
}

PyObject *zb_BYTE_array(PyObject *pyData)
{
    return NewByteArray("BYTE_array", pyData, SWIGTYPE_p_unsigned_char);
}

PyObject *zb_read_byte_array(PyObject *pyPointer, PyObject *pySize)
{
    const char *pszFn = "read_byte_array";
    void *pv = nullptr;
    long long nSize = 0;
    if (!ArgByteArray(pszFn, pyPointer, &pv) || !ArgInt(pszFn, "size", pySize, &nSize))
        return nullptr;
    if (pv == nullptr)
        return Fail(PyExc_ValueError, "read_byte_array: pointer is None, expected a byte * or BYTE *");
    if (nSize < 0 || nSize > PY_SSIZE_T_MAX)
        return Fail(PyExc_ValueError, Format("read_byte_array: expected a size from 0 to %zd, got %lld",
                                             (Py_ssize_t)PY_SSIZE_T_MAX, nSize));
    return PyBytes_FromStringAndSize(static_cast<const char *>(pv), (Py_ssize_t)nSize);
}

PyObject *zb_free_byte_array(PyObject *pyPointer)
{
    void *pv = nullptr;
    if (!ArgByteArray("free_byte_array", pyPointer, &pv))
        return nullptr;
    std::free(pv);
    Py_RETURN_NONE;
}

PyObject *zb_fail_next(PyObject *pyOperation, PyObject *pyCount, PyObject *pyHr, PyObject *pySkip)
{
    const char *pszFn = "fail_next";
    if (!PyUnicode_Check(pyOperation))
        return Fail(PyExc_TypeError,
                    Format("fail_next: operation must be a str, not %s", Py_TYPE(pyOperation)->tp_name));
    const char *pszOperation = PyUnicode_AsUTF8(pyOperation);
    if (pszOperation == nullptr)
        return nullptr;
    long long nCount = 0, nHr = 0, nSkip = 0;
    if (!ArgInt(pszFn, "count", pyCount, &nCount) || !ArgInt(pszFn, "hr", pyHr, &nHr) ||
        !ArgInt(pszFn, "skip", pySkip, &nSkip))
        return nullptr;
    if (nCount < 0 || nCount > INT_MAX)
        return Fail(PyExc_ValueError, Format("fail_next: expected a count from 0 to %d, got %lld", INT_MAX, nCount));
    if (nSkip < 0 || nSkip > INT_MAX)
        return Fail(PyExc_ValueError, Format("fail_next: expected a skip from 0 to %d, got %lld", INT_MAX, nSkip));
    // Codes are taken signed (-2147024882) or as written in hex (0x8007000E).
    if (nHr < INT_MIN || nHr > (long long)UINT_MAX)
        return Fail(PyExc_ValueError, Format("fail_next: hr %lld is not a 32-bit HRESULT", nHr));
    const zb::AllocatorLibrary *pLib = Library();
    if (pLib == nullptr)
        return nullptr;
    HRESULT hr = pLib->pfnFailNextAfter(pszOperation, (int)nSkip, (int)nCount, (HRESULT)(std::uint32_t)nHr);
    if (hr == E_INVALIDARG || hr == E_POINTER)
        return Fail(PyExc_ValueError,
                    Format("fail_next: unknown operation '%s'; expected one of %s", pszOperation, kOperationNames));
    Py_RETURN_NONE;
}

PyObject *zb_clear_faults()
{
    const zb::AllocatorLibrary *pLib = Library();
    if (pLib == nullptr)
        return nullptr;
    pLib->pfnClearFaults();
    Py_RETURN_NONE;
}
%}

%rename("_load_error") zb_load_error;
%rename("_allocate") zb_allocate;
%rename("_from_bytes") zb_from_bytes;
%rename("_to_bytes") zb_to_bytes;
%rename("_read_into") zb_read_into;
%rename("_write") zb_write;
%rename("_plane_bytes") zb_plane_bytes;
%rename("_info") zb_info;
%rename("_set_attributes") zb_set_attributes;
%rename("_add_ref") zb_add_ref;
%rename("_release") zb_release;
%rename("_live_buffers") zb_live_buffers;
%rename("_byte_array") zb_byte_array;
%rename("_BYTE_array") zb_BYTE_array;
%rename("_read_byte_array") zb_read_byte_array;
%rename("_free_byte_array") zb_free_byte_array;
%rename("_fail_next") zb_fail_next;
%rename("_clear_faults") zb_clear_faults;

PyObject *zb_load_error();
PyObject *zb_allocate(PyObject *pyWidth, PyObject *pyHeight, PyObject *pyBpp, PyObject *pyType, PyObject *pyFileMapped);
PyObject *zb_from_bytes(PyObject *pyData, PyObject *pyWidth, PyObject *pyHeight, PyObject *pyBpp, PyObject *pyType,
                        PyObject *pyFileMapped, PyObject *pyCaller);
PyObject *zb_to_bytes(PyObject *pyBuffer);
PyObject *zb_read_into(PyObject *pyBuffer, PyObject *pyTarget);
PyObject *zb_write(PyObject *pyBuffer, PyObject *pyData);
PyObject *zb_plane_bytes(PyObject *pyBuffer, PyObject *pyIndex);
PyObject *zb_info(PyObject *pyBuffer, PyObject *pyCaller);
PyObject *zb_set_attributes(PyObject *pyBuffer, PyObject *pyAttribute1, PyObject *pyAttribute2);
PyObject *zb_add_ref(PyObject *pyBuffer);
PyObject *zb_release(PyObject *pyBuffer);
PyObject *zb_live_buffers();
PyObject *zb_byte_array(PyObject *pyData);
PyObject *zb_BYTE_array(PyObject *pyData);
PyObject *zb_read_byte_array(PyObject *pyPointer, PyObject *pySize);
PyObject *zb_free_byte_array(PyObject *pyPointer);
PyObject *zb_fail_next(PyObject *pyOperation, PyObject *pyCount, PyObject *pyHr, PyObject *pySkip);
PyObject *zb_clear_faults();

%init %{
    // This module's wrapped pointers have an "append" of their own.
    qel_chain::GuardAppendMethod(swigobject_methods);
    // Load now so that a missing library fails the import, not a later call.
    zb::GetAllocatorLibrary(nullptr);
%}

%pythoncode %{
_load_problem = _load_error()
if _load_problem is not None:
    raise ImportError("zubuffer: " + _load_problem)
del _load_problem

BUFFER_ALLOCATE_TYPE_BYTE = 0
BUFFER_ALLOCATE_TYPE_CHUNK = 1
BUFFER_ALLOCATE_TYPE_PLANAR = 2
E_OUTOFMEMORY = -2147024882


def allocate(width, height, bpp, alloc_type=BUFFER_ALLOCATE_TYPE_BYTE, file_mapped=False):
    """A new zero-filled buffer holding one reference, or None when the
    allocator refuses the request."""
    return _allocate(width, height, bpp, alloc_type, file_mapped)


def from_bytes(data, width, height, bpp, alloc_type=BUFFER_ALLOCATE_TYPE_BYTE, file_mapped=False):
    """A new buffer holding `data`: packed interleaved rows of width * bpp
    bytes, top row first, whatever the allocation type (PLANAR buffers are
    split into their B, G, R[, A] planes)."""
    return _from_bytes(data, width, height, bpp, alloc_type, file_mapped, "from_bytes")


def to_bytes(buf):
    """The buffer's pixels as packed interleaved rows, whatever its type."""
    return _to_bytes(buf)


def write(buf, data):
    """Overwrites every pixel from packed interleaved rows."""
    return _write(buf, data)


def plane_bytes(buf, index):
    """One plane of a PLANAR buffer, as stored."""
    return _plane_bytes(buf, index)


def info(buf):
    """dict(width, height, bpp, alloc_type, file_mapped, attribute1,
    attribute2, refcount, lock_count)."""
    return _info(buf, "info")


def set_attributes(buf, attribute1, attribute2):
    return _set_attributes(buf, attribute1, attribute2)


def add_ref(buf):
    """Adds a reference; returns the new count."""
    return _add_ref(buf)


def release(buf):
    """Drops a reference; returns the new count (0: the buffer is gone)."""
    return _release(buf)


def live_buffers():
    """Image buffers alive in the process, whoever made them."""
    return _live_buffers()


def byte_array(data):
    """A "byte *" holding a malloc'd copy of data."""
    return _byte_array(data)


def BYTE_array(data):
    """A "BYTE *" holding a malloc'd copy of data."""
    return _BYTE_array(data)


def read_byte_array(ptr, size):
    """`size` bytes from a "byte *" or "BYTE *"; the caller vouches that
    they are there."""
    return _read_byte_array(ptr, size)


def free_byte_array(ptr):
    """Frees a "byte *" or "BYTE *" with free(); None does nothing."""
    return _free_byte_array(ptr)


def fail_next(operation, count=1, hr=E_OUTOFMEMORY, skip=0):
    """Makes `count` calls of an allocator operation fail, after letting the
    next `skip` calls of it pass (so a method's second lock or allocation
    can fail on its own):
    "allocateImageBuffer", "allocateFileMappingBuffer", "allocateGifBuffer"
    and "copyBufferData" return `hr` (hr=0: success reported, no buffer
    given, nothing copied); "lock" returns false with a null data pointer;
    "lock_no_data" returns true with a null data pointer."""
    return _fail_next(operation, count, hr, skip)


def clear_faults():
    return _clear_faults()


# 16-bit channels are little-endian words.
_NUMPY_FORMATS = {
    1: ("u1", None),
    2: ("<u2", None),
    3: ("u1", 3),
    4: ("u1", 4),
    6: ("<u2", 3),
    8: ("<u2", 4),
}


def to_numpy(buf):
    """The pixels as a new (h, w) or (h, w, c) uint8/uint16 array."""
    import numpy

    shape = _info(buf, "to_numpy")
    if shape["bpp"] not in _NUMPY_FORMATS:
        raise ValueError("to_numpy: no array form for bpp %d" % shape["bpp"])
    dtype, channels = _NUMPY_FORMATS[shape["bpp"]]
    dims = (shape["height"], shape["width"]) + ((channels,) if channels else ())
    array = numpy.empty(dims, dtype=dtype)
    _read_into(buf, array)
    return array


def from_numpy(array, alloc_type=BUFFER_ALLOCATE_TYPE_BYTE):
    """A new buffer from a (h, w) or (h, w, c) uint8/uint16 array, c 1, 3
    or 4: bpp is itemsize * c."""
    import numpy

    if array is None:
        raise ValueError("from_numpy: array is None, expected a uint8 or uint16 numpy array")
    if not isinstance(array, numpy.ndarray):
        raise TypeError("from_numpy: expected a numpy array, got %s" % type(array).__name__)
    if array.dtype.kind != "u" or array.dtype.itemsize not in (1, 2):
        raise TypeError("from_numpy: expected a uint8 or uint16 array, got %s" % array.dtype)
    if array.ndim == 2:
        channels = 1
    elif array.ndim == 3 and array.shape[2] in (1, 3, 4):
        channels = array.shape[2]
    else:
        raise ValueError("from_numpy: expected shape (h, w) or (h, w, c) with c 1, 3 or 4, got %s"
                         % (array.shape,))
    itemsize = array.dtype.itemsize
    packed = numpy.ascontiguousarray(array, dtype="u1" if itemsize == 1 else "<u2")
    height, width = array.shape[0], array.shape[1]
    return _from_bytes(packed, width, height, itemsize * channels, alloc_type, False, "from_numpy")
%}
