// The three kernels that apply a table to the pixels of a locked image:
// checks, trace lines and the row loop around the row kernels.

#include <algorithm>
#include <cstddef>

#include "LutKernels.h"
#include "LutTable.h"
#include "RowLoop.h"
#include "TraceLog.h"

namespace {

using qel::lut::LutAxes;

// Channels per pixel of a format code, 0 for an unknown code.
int ChannelsOf(UINT nFormat)
{
    switch (nFormat) {
    case LUT_IMAGE_FORMAT_BGRA32:
        return 4;
    case LUT_IMAGE_FORMAT_BGR24:
        return 3;
    default:
        return 0;
    }
}

// The common set-up of the kernels. false: refused (E_INVALIDARG), with the
// trace line the reason has. The rectangle is completed (all zero: the
// whole image) and kept inside the image, so no rectangle reaches outside
// the pixels.
bool PrepareImage(const char *pszName, tagLutImage &image, const tagLutBase &lut, int &nChannels)
{
    if (image.pBits == nullptr)
        return false;
    nChannels = ChannelsOf(image.nFormat);
    if (nChannels == 0) {
        QEL_TRACE("%s doesn't support the pixel format = %d", pszName, static_cast<int>(image.nFormat));
        return false;
    }
    char szReason[96];
    if (const char *pszWhy = LutLimitsViolation(lut, szReason, sizeof szReason)) {
        QEL_TRACE("%s refuses the table: %s", pszName, pszWhy);
        return false;
    }
    tagRect &rc = image.rcProcess;
    if (rc.left == 0 && rc.top == 0 && rc.right == 0 && rc.bottom == 0) {
        rc.right = static_cast<int>(std::min<UINT>(image.nWidth, 0x7FFFFFFF));
        rc.bottom = static_cast<int>(std::min<UINT>(image.nHeight, 0x7FFFFFFF));
    }
    rc.left = std::max(rc.left, 0);
    rc.top = std::max(rc.top, 0);
    rc.right = static_cast<int>(std::min<long long>(rc.right, image.nWidth));
    rc.bottom = static_cast<int>(std::min<long long>(rc.bottom, image.nHeight));
    return true;
}

// Below these many pixels the rows run on the calling thread: waking the
// OpenMP team costs more than the work (far more on a busy machine, where a
// sleeping worker waits for a time slice).
constexpr long long kParallelPixels3D = 1 << 14;
constexpr long long kParallelPixels1D = 1 << 18;

// Runs fnRow(first pixel, pixel count) over the rectangle's rows: on the
// OpenMP team from nParallelPixels pixels on, one row per claim, or bands of
// rows (bBands) where the per-row work is too small to claim alone.
template <class RowFn>
void ForEachRectRow(const tagLutImage &image, int nChannels, long long nParallelPixels, bool bBands, RowFn &&fnRow)
{
    const tagRect &rc = image.rcProcess;
    if (rc.left >= rc.right || rc.top >= rc.bottom)
        return;
    const int nPixels = rc.right - rc.left;
    const std::size_t cbSkip = static_cast<std::size_t>(rc.left) * nChannels;
    auto row = [&](int i) {
        const int y = rc.top + i;
        BYTE *pRow = image.ppRows != nullptr ? image.ppRows[y]
                                             : image.pBits + static_cast<std::ptrdiff_t>(y) * image.nPitch;
        fnRow(pRow + cbSkip, nPixels);
    };
    const int nRows = rc.bottom - rc.top;
    if (static_cast<long long>(nPixels) * nRows < nParallelPixels)
        qel::ForEachRow(nRows, row);
    else if (bBands)
        qel::ForEachRowBandParallel(rc.bottom - rc.top, static_cast<std::size_t>(nPixels) * nChannels, row);
    else
        qel::ForEachRowParallel(rc.bottom - rc.top, row);
}

LutAxes AxesOf(const tagLutBase &lut) { return qel::lut::MakeAxes(lut.pData, lut.nSize, lut.fMin, lut.fMax); }

// What every kernel does around its rows: the entry line, the checks, then
// fnRunRows(channels per pixel), then the end line. A refused call has no
// end line.
template <class RunRows>
HRESULT ApplyTraced(const char *pszName, tagLutImage &image, const tagLutBase &lut, RunRows &&fnRunRows)
{
    QEL_TRACE_ENTRY(pszName);
    int nChannels = 0;
    if (!PrepareImage(pszName, image, lut, nChannels))
        return E_INVALIDARG;
    fnRunRows(nChannels);
    QEL_TRACE_END(pszName);
    return S_OK;
}

} // namespace

HRESULT Lut1D_Linear_normal(tagLutImage image, const tagLut1D &lut)
{
    return ApplyTraced("Lut1D_Linear_normal", image, lut, [&](int nChannels) {
        qel::lut::Lut1DMap map;
        qel::lut::BuildLut1DMap(AxesOf(lut), map);
        // A look-up per byte: bands of rows keep the memory traffic streaming.
        if (nChannels == 4)
            ForEachRectRow(image, nChannels, kParallelPixels1D, true,
                           [&](BYTE *pRow, int n) { qel::lut::Lut1DRowBgra(pRow, n, map); });
        else
            ForEachRectRow(image, nChannels, kParallelPixels1D, true,
                           [&](BYTE *pRow, int n) { qel::lut::Lut1DRowBgr(pRow, n, map); });
    });
}

HRESULT Lut3D_Linear_normal(tagLutImage image, const tagLut3D &lut)
{
    return ApplyTraced("Lut3D_Linear_normal", image, lut, [&](int nChannels) {
        const LutAxes axes = AxesOf(lut);
        ForEachRectRow(image, nChannels, kParallelPixels3D, false,
                       [&](BYTE *pRow, int n) { qel::lut::Lut3DRowScalar(pRow, n, nChannels, axes); });
    });
}

HRESULT Lut3D_Linear_SIMD(tagLutImage image, const tagLut3D &lut)
{
    return ApplyTraced("Lut3D_Linear_SIMD", image, lut, [&](int nChannels) {
        const LutAxes axes = AxesOf(lut);
        ForEachRectRow(image, nChannels, kParallelPixels3D, false,
                       [&](BYTE *pRow, int n) { qel::lut::Lut3DRowVector(pRow, n, nChannels, axes); });
    });
}
