// Test hooks of the buffer allocator library: fault injection, a count of
// live image buffers and a look inside one buffer. The companion module
// zubuffer and the test suites reach them with dlsym; the editor itself
// never calls them.
#pragma once

#include "ZuBufferInterface.h"

// The hooks are exported from a library built with hidden visibility.
#define ZU_TEST_HOOK_API __attribute__((visibility("default")))

extern "C" {

// What the library knows about one of its image buffers.
struct ZuTestBufferInfo {
    UINT unWidth;
    UINT unHeight;
    UINT unBytesPerPixel;
    int nAllocateType;
    int bFileMapped;          // 1 when the pixels live in a file mapping
    long nRefCount;
    long nLockCount;
    UINT64 qwAttribute1;
    UINT64 qwAttribute2;
};

// Makes the next nCount calls of one operation fail, process-wide.
// Operations: "allocateImageBuffer", "allocateFileMappingBuffer",
// "allocateGifBuffer", "copyBufferData" (they return hrFail; with a
// non-negative hrFail they report it but produce no buffer and copy nothing),
// "lock" (returns false, null data, no lock counted, width and height
// written as 0) and "lock_no_data" (returns true with null data, the lock
// is counted and must be unlocked; width and height are the buffer's).
// nCount 0 disarms the operation. Returns S_OK, or E_INVALIDARG for an
// unknown name or a negative count, E_POINTER for a null name.
ZU_TEST_HOOK_API HRESULT ZuTest_FailNext(const char *pszOperation, int nCount, HRESULT hrFail);

// ZuTest_FailNext after letting nSkip calls of the operation pass first, so
// that a method's second lock or allocation can fail on its own. A negative
// nSkip is E_INVALIDARG.
ZU_TEST_HOOK_API HRESULT ZuTest_FailNextAfter(const char *pszOperation, int nSkip, int nCount, HRESULT hrFail);

// Disarms every operation.
ZU_TEST_HOOK_API void ZuTest_ClearFaults(void);

// Image buffers made by this library and not yet destroyed.
ZU_TEST_HOOK_API long ZuTest_LiveImageBuffers(void);

// 1 when pBuffer is an image buffer of this library that is still alive.
ZU_TEST_HOOK_API int ZuTest_IsLiveImageBuffer(const CQELImageBuffer *pBuffer);

// Fills *pInfo for a live buffer of this library. E_POINTER for a null
// pInfo, E_INVALIDARG when pBuffer is not a live buffer of this library.
ZU_TEST_HOOK_API HRESULT ZuTest_GetImageBufferInfo(const CQELImageBuffer *pBuffer, ZuTestBufferInfo *pInfo);

typedef HRESULT (*PFN_ZuTest_FailNext)(const char *, int, HRESULT);
typedef HRESULT (*PFN_ZuTest_FailNextAfter)(const char *, int, int, HRESULT);
typedef void (*PFN_ZuTest_ClearFaults)(void);
typedef long (*PFN_ZuTest_LiveImageBuffers)(void);
typedef int (*PFN_ZuTest_IsLiveImageBuffer)(const CQELImageBuffer *);
typedef HRESULT (*PFN_ZuTest_GetImageBufferInfo)(const CQELImageBuffer *, ZuTestBufferInfo *);

} // extern "C"

#define ZU_TEST_FAIL_NEXT_EXPORT "ZuTest_FailNext"
#define ZU_TEST_FAIL_NEXT_AFTER_EXPORT "ZuTest_FailNextAfter"
#define ZU_TEST_CLEAR_FAULTS_EXPORT "ZuTest_ClearFaults"
#define ZU_TEST_LIVE_IMAGE_BUFFERS_EXPORT "ZuTest_LiveImageBuffers"
#define ZU_TEST_IS_LIVE_IMAGE_BUFFER_EXPORT "ZuTest_IsLiveImageBuffer"
#define ZU_TEST_GET_IMAGE_BUFFER_INFO_EXPORT "ZuTest_GetImageBufferInfo"
