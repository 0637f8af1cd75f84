#include "ZuImageBuffer.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>
#include <unordered_set>

#include <sys/mman.h>
#include <unistd.h>

#include "ZuFaults.h"

namespace zu {

namespace {

// Chunks of a file-mapped CHUNK buffer sit this far apart in the mapping,
// with at least this much unused space after each one, so rows are not
// contiguous across chunks there either.
constexpr std::size_t kChunkAlign = 64;

std::atomic<long> g_nLiveImageBuffers{0};
std::mutex g_mtxRegistry;
std::unordered_set<const CQELImageBuffer *> *g_pRegistry = nullptr;

bool RegisterBuffer(const CQELImageBuffer *pBuffer)
{
    std::lock_guard<std::mutex> guard(g_mtxRegistry);
    try {
        if (g_pRegistry == nullptr)
            g_pRegistry = new std::unordered_set<const CQELImageBuffer *>();
        g_pRegistry->insert(pBuffer);
    } catch (...) {
        return false;
    }
    return true;
}

bool IsValidBytesPerPixel(UINT unBpp)
{
    return unBpp == 1 || unBpp == 2 || unBpp == 3 || unBpp == 4 || unBpp == 6 || unBpp == 8;
}

UINT PlaneCount(UINT unBpp) { return (unBpp == 3 || unBpp == 6) ? 3u : 4u; }
UINT BytesPerChannel(UINT unBpp) { return (unBpp == 6 || unBpp == 8) ? 2u : 1u; }

// Large pixel blocks come straight from the kernel as fresh zero pages and
// ask for 2 MiB pages, so a new full-image buffer costs a few hundred page
// faults instead of tens of thousands. Below 32 MiB the heap wins: the C
// library keeps freed blocks of that size for the next buffer, which then
// costs one clearing pass and no page faults (4 MiB was measured: a 12 MiB
// mask made and released in a loop took 2.7 times as long).
constexpr std::size_t kHugeBlockBytes = 32u << 20;
// CHUNK images from this size on keep their chunks in one block.
constexpr std::size_t kChunkBlockBytes = 4u << 20;
constexpr std::size_t kHugePage = 2u << 20;

BYTE *AllocateZeroedBlock(std::size_t cb, std::size_t *pcbMapped)
{
    *pcbMapped = 0;
    if (cb < kHugeBlockBytes)
        return static_cast<BYTE *>(std::calloc(cb, 1));
    std::size_t cbMap = (cb + kHugePage - 1) / kHugePage * kHugePage + kHugePage;
    void *p = mmap(nullptr, cbMap, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return nullptr;
    // Trim to a 2 MiB-aligned start so every huge page lies inside the block.
    std::uintptr_t uBase = reinterpret_cast<std::uintptr_t>(p);
    std::uintptr_t uAligned = (uBase + kHugePage - 1) / kHugePage * kHugePage;
    std::size_t cbHead = uAligned - uBase;
    if (cbHead != 0)
        munmap(p, cbHead);
    std::size_t cbKeep = cbMap - cbHead;
    madvise(reinterpret_cast<void *>(uAligned), cbKeep, MADV_HUGEPAGE);
    *pcbMapped = cbKeep;
    return reinterpret_cast<BYTE *>(uAligned);
}

std::size_t RoundUp(std::size_t cb, std::size_t cbAlign) { return (cb + cbAlign - 1) / cbAlign * cbAlign; }

std::size_t ChunkRegionBytes(std::size_t cbRow)
{
    return RoundUp(cbRow * kChunkRows, kChunkAlign) + kChunkAlign;
}

} // namespace

HRESULT CZuImageBuffer::Create(UINT unWidth, UINT unHeight, UINT unBytesPerPixel, int nAllocateType,
                               bool bFileMapped, CZuImageBuffer **ppBuffer)
{
    *ppBuffer = nullptr;
    if (unWidth == 0 || unHeight == 0 || !IsValidBytesPerPixel(unBytesPerPixel))
        return E_INVALIDARG;
    if (nAllocateType != BUFFER_ALLOCATE_TYPE_BYTE && nAllocateType != BUFFER_ALLOCATE_TYPE_CHUNK &&
        nAllocateType != BUFFER_ALLOCATE_TYPE_PLANAR)
        return E_INVALIDARG;
    if (nAllocateType == BUFFER_ALLOCATE_TYPE_PLANAR && unBytesPerPixel < 3)
        return E_INVALIDARG;

    std::uint64_t cbPixels = 0;
    if (__builtin_mul_overflow((std::uint64_t)unWidth * unBytesPerPixel, (std::uint64_t)unHeight, &cbPixels))
        return E_OUTOFMEMORY;
    std::uint64_t cbTable = nAllocateType == BUFFER_ALLOCATE_TYPE_PLANAR
                                ? 0
                                : (std::uint64_t)unHeight * sizeof(BYTE *);
    if (cbPixels > kMaxBufferBytes || cbTable > kMaxBufferBytes - cbPixels)
        return E_OUTOFMEMORY;

    CZuImageBuffer *pBuffer =
        new (std::nothrow) CZuImageBuffer(unWidth, unHeight, unBytesPerPixel, nAllocateType);
    if (pBuffer == nullptr)
        return E_OUTOFMEMORY;
    HRESULT hr = bFileMapped ? pBuffer->AllocateMapped() : pBuffer->AllocateInMemory();
    if (SUCCEEDED(hr) && !RegisterBuffer(pBuffer))
        hr = E_OUTOFMEMORY;
    if (FAILED(hr)) {
        delete pBuffer;
        return hr;
    }
    g_nLiveImageBuffers.fetch_add(1, std::memory_order_relaxed);
    *ppBuffer = pBuffer;
    return S_OK;
}

CZuImageBuffer::CZuImageBuffer(UINT unWidth, UINT unHeight, UINT unBytesPerPixel, int nAllocateType)
    : m_unWidth(unWidth), m_unHeight(unHeight), m_unBytesPerPixel(unBytesPerPixel)
{
    m_nAllocateType = nAllocateType;
}

CZuImageBuffer::~CZuImageBuffer()
{
    // Only a buffer that made it into the registry was counted as live.
    bool bCounted = false;
    {
        std::lock_guard<std::mutex> guard(g_mtxRegistry);
        if (g_pRegistry != nullptr)
            bCounted = g_pRegistry->erase(this) != 0;
    }
    if (bCounted)
        g_nLiveImageBuffers.fetch_sub(1, std::memory_order_relaxed);

    if (m_ppChunks != nullptr) {
        for (UINT i = 0; i < m_unChunkCount; ++i)
            std::free(m_ppChunks[i]);
        std::free(m_ppChunks);
    }
    if (m_cbBlockMapped != 0)
        munmap(m_pBlock, m_cbBlockMapped);
    else
        std::free(m_pBlock);
    if (m_pMapping != nullptr)
        munmap(m_pMapping, m_cbMapping);
    std::free(m_ppStrideTable);
}

void CZuImageBuffer::SetPlanes(BYTE *pBase)
{
    std::size_t cbPlane = (std::size_t)m_unWidth * m_unHeight * BytesPerChannel(m_unBytesPerPixel);
    UINT nPlanes = PlaneCount(m_unBytesPerPixel);
    for (UINT i = 0; i < nPlanes; ++i)
        m_apPlanes[i] = pBase + i * cbPlane;
    m_ppPlaneTable = m_apPlanes;
}

HRESULT CZuImageBuffer::AllocateInMemory()
{
    std::size_t cbRow = (std::size_t)m_unWidth * m_unBytesPerPixel;
    std::size_t cbPixels = cbRow * m_unHeight;

    if (m_nAllocateType == BUFFER_ALLOCATE_TYPE_PLANAR) {
        m_pBlock = AllocateZeroedBlock(cbPixels, &m_cbBlockMapped);
        if (m_pBlock == nullptr)
            return E_OUTOFMEMORY;
        SetPlanes(m_pBlock);
        return S_OK;
    }

    m_ppStrideTable = static_cast<BYTE **>(std::malloc(m_unHeight * sizeof(BYTE *)));
    if (m_ppStrideTable == nullptr)
        return E_OUTOFMEMORY;

    if (m_nAllocateType == BUFFER_ALLOCATE_TYPE_BYTE) {
        m_pBlock = AllocateZeroedBlock(cbPixels, &m_cbBlockMapped);
        if (m_pBlock == nullptr)
            return E_OUTOFMEMORY;
        for (UINT y = 0; y < m_unHeight; ++y)
            m_ppStrideTable[y] = m_pBlock + y * cbRow;
        return S_OK;
    }

    UINT nChunks = (m_unHeight + kChunkRows - 1) / kChunkRows;
    const std::size_t cbRegion = ChunkRegionBytes(cbRow);
    if (cbRegion * nChunks >= kChunkBlockBytes) {
        // Large images keep the chunked layout, with a gap after each chunk,
        // inside one block of fresh zero pages: thousands of separately
        // zeroed heap chunks cost a new image more than the work done on it.
        // Small ones keep truly separate chunks, where a sanitizer catches
        // any code that walks past a chunk's last row.
        m_pBlock = AllocateZeroedBlock(cbRegion * nChunks, &m_cbBlockMapped);
        if (m_pBlock == nullptr)
            return E_OUTOFMEMORY;
        for (UINT y = 0; y < m_unHeight; ++y)
            m_ppStrideTable[y] = m_pBlock + (y / kChunkRows) * cbRegion + (y % kChunkRows) * cbRow;
        return S_OK;
    }
    m_ppChunks = static_cast<BYTE **>(std::calloc(nChunks, sizeof(BYTE *)));
    if (m_ppChunks == nullptr)
        return E_OUTOFMEMORY;
    m_unChunkCount = nChunks;
    for (UINT c = 0; c < nChunks; ++c) {
        UINT unFirstRow = c * kChunkRows;
        UINT unRows = m_unHeight - unFirstRow < kChunkRows ? m_unHeight - unFirstRow : kChunkRows;
        m_ppChunks[c] = static_cast<BYTE *>(std::calloc((std::size_t)unRows * cbRow, 1));
        if (m_ppChunks[c] == nullptr)
            return E_OUTOFMEMORY;
        for (UINT r = 0; r < unRows; ++r)
            m_ppStrideTable[unFirstRow + r] = m_ppChunks[c] + r * cbRow;
    }
    return S_OK;
}

HRESULT CZuImageBuffer::MapFile(std::size_t cbMapping)
{
    // The mapping keeps the file alive, so the descriptor is closed at once:
    // live file-mapped buffers then cost no descriptors, and a script may
    // hold far more of them than the open-file limit.
    int fd = memfd_create("ZuBufferAllocator", MFD_CLOEXEC);
    if (fd < 0)
        return E_OUTOFMEMORY;
    void *p = MAP_FAILED;
    if (ftruncate(fd, (off_t)cbMapping) == 0)
        p = mmap(nullptr, cbMapping, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (p == MAP_FAILED)
        return E_OUTOFMEMORY;
    m_pMapping = p;
    m_cbMapping = cbMapping;
    // The handle only has to be non-null and tell mappings apart.
    static std::atomic<std::uintptr_t> s_unNextHandle{1};
    m_hFileMapping = reinterpret_cast<HANDLE>(s_unNextHandle.fetch_add(1, std::memory_order_relaxed));
    return S_OK;
}

HRESULT CZuImageBuffer::AllocateMapped()
{
    std::size_t cbRow = (std::size_t)m_unWidth * m_unBytesPerPixel;
    std::size_t cbPixels = cbRow * m_unHeight;

    if (m_nAllocateType == BUFFER_ALLOCATE_TYPE_PLANAR) {
        HRESULT hr = MapFile(cbPixels);
        if (FAILED(hr))
            return hr;
        SetPlanes(static_cast<BYTE *>(m_pMapping));
        return S_OK;
    }

    m_ppStrideTable = static_cast<BYTE **>(std::malloc(m_unHeight * sizeof(BYTE *)));
    if (m_ppStrideTable == nullptr)
        return E_OUTOFMEMORY;

    if (m_nAllocateType == BUFFER_ALLOCATE_TYPE_BYTE) {
        HRESULT hr = MapFile(cbPixels);
        if (FAILED(hr))
            return hr;
        BYTE *pBase = static_cast<BYTE *>(m_pMapping);
        for (UINT y = 0; y < m_unHeight; ++y)
            m_ppStrideTable[y] = pBase + y * cbRow;
        return S_OK;
    }

    UINT nChunks = (m_unHeight + kChunkRows - 1) / kChunkRows;
    std::size_t cbRegion = ChunkRegionBytes(cbRow);
    HRESULT hr = MapFile(cbRegion * nChunks);
    if (FAILED(hr))
        return hr;
    BYTE *pBase = static_cast<BYTE *>(m_pMapping);
    for (UINT y = 0; y < m_unHeight; ++y)
        m_ppStrideTable[y] = pBase + (y / kChunkRows) * cbRegion + (y % kChunkRows) * cbRow;
    return S_OK;
}

namespace {

// Reference counting shared by both buffer kinds; the caller deletes itself
// when the last reference goes.
long AddRef(std::atomic<long> &nCount)
{
    return nCount.fetch_add(1, std::memory_order_relaxed) + 1;
}

long DropRef(std::atomic<long> &nCount)
{
    return nCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
}

} // namespace

long CZuImageBuffer::addRef() { return AddRef(m_nRefCount); }
long CZuImageBuffer::release()
{
    const long nLeft = DropRef(m_nRefCount);
    if (nLeft == 0)
        delete this;
    return nLeft;
}

bool CZuImageBuffer::lock(BYTE **ppData, UINT *pWidth, UINT *pHeight)
{
    HRESULT hrIgnored = S_OK;
    if (TakeFault(FAULT_LOCK, &hrIgnored)) {
        if (ppData != nullptr)
            *ppData = nullptr;
        if (pWidth != nullptr)
            *pWidth = 0;
        if (pHeight != nullptr)
            *pHeight = 0;
        return false;
    }
    bool bNoData = TakeFault(FAULT_LOCK_NO_DATA, &hrIgnored);
    if (ppData != nullptr) {
        if (bNoData)
            *ppData = nullptr;
        else if (m_nAllocateType == BUFFER_ALLOCATE_TYPE_PLANAR)
            *ppData = m_apPlanes[0];
        else
            *ppData = m_ppStrideTable[0];
    }
    if (pWidth != nullptr)
        *pWidth = m_unWidth;
    if (pHeight != nullptr)
        *pHeight = m_unHeight;
    m_nLockCount.fetch_add(1, std::memory_order_acq_rel);
    return true;
}

HRESULT CZuImageBuffer::unlock()
{
    long n = m_nLockCount.load(std::memory_order_relaxed);
    while (n > 0) {
        if (m_nLockCount.compare_exchange_weak(n, n - 1, std::memory_order_acq_rel,
                                               std::memory_order_relaxed))
            return S_OK;
    }
    return S_FALSE;
}

void CZuImageBuffer::GetInfo(ZuTestBufferInfo *pInfo) const
{
    pInfo->unWidth = m_unWidth;
    pInfo->unHeight = m_unHeight;
    pInfo->unBytesPerPixel = m_unBytesPerPixel;
    pInfo->nAllocateType = m_nAllocateType;
    pInfo->bFileMapped = m_hFileMapping != nullptr ? 1 : 0;
    pInfo->nRefCount = m_nRefCount.load(std::memory_order_relaxed);
    pInfo->nLockCount = m_nLockCount.load(std::memory_order_relaxed);
    pInfo->qwAttribute1 = m_qwAttribute1;
    pInfo->qwAttribute2 = m_qwAttribute2;
}

long CZuGifBuffer::addRef() { return AddRef(m_nRefCount); }
long CZuGifBuffer::release()
{
    const long nLeft = DropRef(m_nRefCount);
    if (nLeft == 0)
        delete this;
    return nLeft;
}

long LiveImageBufferCount()
{
    return g_nLiveImageBuffers.load(std::memory_order_relaxed);
}

bool IsLiveImageBuffer(const CQELImageBuffer *pBuffer)
{
    std::lock_guard<std::mutex> guard(g_mtxRegistry);
    return pBuffer != nullptr && g_pRegistry != nullptr && g_pRegistry->count(pBuffer) != 0;
}

bool GetLiveImageBufferInfo(const CQELImageBuffer *pBuffer, ZuTestBufferInfo *pInfo)
{
    // Holding the registry lock keeps the buffer from being destroyed while
    // it is read.
    std::lock_guard<std::mutex> guard(g_mtxRegistry);
    if (pBuffer == nullptr || g_pRegistry == nullptr || g_pRegistry->count(pBuffer) == 0)
        return false;
    static_cast<const CZuImageBuffer *>(pBuffer)->GetInfo(pInfo);
    return true;
}

} // namespace zu
