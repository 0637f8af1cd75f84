// Utility object lifecycle: allocator connection and the per-thread
// last-error code.
#include "PyQelBufferUtility.h"

#include <cstdlib>
#include <dlfcn.h>
#include <new>
#include <string>

#include "AllocatorPath.h"
#include "Records.h"
#include "TraceLog.h"

namespace {

// The record is made on a thread's first recorded failure. The owner frees
// it when the thread ends, so threads that never call Close do not leak.
struct CThreadErrorRecord {
    TLSErrorCode *pRecord = nullptr;
    ~CThreadErrorRecord() { delete pRecord; }
};
thread_local CThreadErrorRecord t_errorRecord;

std::string AllocatorLibraryPath()
{
    const char *pszOverride = std::getenv("QEL_BUFFER_ALLOCATOR");
    if (pszOverride != nullptr && pszOverride[0] != '\0')
        return pszOverride;
    static const int s_nAnchor = 0;
    return qel::DefaultAllocatorLibraryPath(&s_nAnchor);
}

} // namespace

PyQelBufferUtility::PyQelBufferUtility()
{
    qel::TraceReadSwitch();
    QEL_TRACE_ENTRY("PyQelBufferUtility::PyQelBufferUtility");

    HRESULT hr = S_OK;
    // The library is never unloaded: buffers it made may outlive this object.
    m_hAllocatorModule = dlopen(AllocatorLibraryPath().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_hAllocatorModule == nullptr) {
        QEL_TRACE("load Buffer Allocator dll fail");
        hr = E_FAIL;
    } else {
        auto pfnCreate = reinterpret_cast<PFN_CreateZuBufferAllocator>(
            dlsym(m_hAllocatorModule, ZU_CREATE_ALLOCATOR_EXPORT));
        if (pfnCreate == nullptr) {
            QEL_TRACE("get CREATEZUBUFFERALLOCATOR fail");
            hr = E_FAIL;
        } else {
            m_pBufferAllocator = pfnCreate();
            if (m_pBufferAllocator == nullptr) {
                QEL_TRACE("Create Buffer Allocator instance fail");
                hr = E_FAIL;
            }
        }
    }
    QEL_TRACE(" [Constructor]m_pBufferAllocator, HR = %x", hr);
    QEL_TRACE_END("PyQelBufferUtility::PyQelBufferUtility");
}

PyQelBufferUtility::~PyQelBufferUtility()
{
    QEL_TRACE_ENTRY("PyQelBufferUtility::~PyQelBufferUtility");
    Uninitialize();
    QEL_TRACE_END("PyQelBufferUtility::~PyQelBufferUtility");
}

HRESULT PyQelBufferUtility::Uninitialize()
{
    QEL_TRACE_ENTRY("PyQelBufferUtility::Uninitialize");
    if (m_hAllocatorModule != nullptr) {
        if (m_pBufferAllocator != nullptr) {
            auto pfnDelete = reinterpret_cast<PFN_DeleteZuBufferAllocator>(
                dlsym(m_hAllocatorModule, ZU_DELETE_ALLOCATOR_EXPORT));
            // Without the export the allocator is kept and stays usable.
            if (pfnDelete != nullptr) {
                pfnDelete(m_pBufferAllocator);
                m_pBufferAllocator = nullptr;
            }
        }
        QEL_TRACE("free BufferAllocator");
        m_hAllocatorModule = nullptr;
    }
    QEL_TRACE_END("PyQelBufferUtility::Uninitialize");
    return S_OK;
}

HRESULT PyQelBufferUtility::Open() { return OpenThread(); }
HRESULT PyQelBufferUtility::Close() { return CloseThread(); }
HRESULT PyQelBufferUtility::GetLastErrorHr() { return LastErrorOfThread(); }

HRESULT PyQelBufferUtility::OpenThread() { return S_OK; }

HRESULT PyQelBufferUtility::CloseThread()
{
    delete t_errorRecord.pRecord;
    t_errorRecord.pRecord = nullptr;
    return S_OK;
}

HRESULT PyQelBufferUtility::LastErrorOfThread()
{
    const TLSErrorCode *pTlsErrCode = t_errorRecord.pRecord;
    return pTlsErrCode != nullptr ? pTlsErrCode->hr : S_OK;
}

HRESULT PyQelBufferUtility::m_fnSetLastErrorHr(HRESULT hr)
{
    TLSErrorCode *pTlsErrCode = t_errorRecord.pRecord;
    if (pTlsErrCode == nullptr) {
        pTlsErrCode = new (std::nothrow) TLSErrorCode{0};
        if (pTlsErrCode == nullptr) {
            QEL_TRACE_NULL("PyQelBufferUtility::m_fnSetLastErrorHr", "pTlsErrCode");
            return E_POINTER;
        }
        t_errorRecord.pRecord = pTlsErrCode;
    }
    pTlsErrCode->hr = hr;
    return S_OK;
}
