// Rows of a locked BYTE or CHUNK buffer, reached through its stride table,
// with the knowledge of when they form one packed block (so a kernel can
// run over the whole image in one call instead of row by row).
#pragma once

#include <cstddef>

#include "ZuBufferInterface.h"

namespace qel {

class CByteRows {
public:
    // False when the buffer has no stride table (PLANAR, or a buffer that
    // lost it): such rows cannot be reached.
    bool Attach(CQELImageBuffer *pBuffer, UINT unWidth, UINT unHeight, UINT unBytesPerPixel)
    {
        m_ppRows = pBuffer->m_ppStrideTable;
        m_cbRow = static_cast<std::size_t>(unWidth) * unBytesPerPixel;
        m_nRows = static_cast<int>(unHeight);
        if (m_ppRows == nullptr || pBuffer->m_nAllocateType == BUFFER_ALLOCATE_TYPE_PLANAR)
            return false;
        m_bPacked = pBuffer->m_nAllocateType == BUFFER_ALLOCATE_TYPE_BYTE && m_nRows > 0 &&
                    m_ppRows[m_nRows - 1] == m_ppRows[0] + (m_nRows - 1) * m_cbRow;
        return true;
    }

    BYTE *Row(int y) const { return m_ppRows[y]; }
    std::size_t RowBytes() const { return m_cbRow; }
    int Rows() const { return m_nRows; }
    bool Packed() const { return m_bPacked; }

private:
    BYTE *const *m_ppRows = nullptr;
    std::size_t m_cbRow = 0;
    int m_nRows = 0;
    bool m_bPacked = false;
};

// Runs fnSpan(pA, pB, cb) over the bytes of two row sets of one shape: once
// over the whole image when both are packed blocks, else row by row.
template <class SpanFn>
inline void ForEachSpan2(const CByteRows &a, const CByteRows &b, SpanFn &&fnSpan)
{
    if (a.Packed() && b.Packed()) {
        fnSpan(a.Row(0), b.Row(0), a.RowBytes() * static_cast<std::size_t>(a.Rows()));
        return;
    }
    for (int y = 0; y < a.Rows(); ++y)
        fnSpan(a.Row(y), b.Row(y), a.RowBytes());
}

} // namespace qel
