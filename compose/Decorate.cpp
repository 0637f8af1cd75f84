// Decorated composition: a bar or a rectangular frame in one colour, each
// with an optional drop shadow, blended into an oriented buffer in place.

#include <algorithm>
#include <climits>

#include "BufferGuards.h"
#include "CPyAllowThreads.h"
#include "ComposeKernels.h"
#include "Orientation.h"
#include "PyQelBufferUtility.h"
#include "RowLoop.h"
#include "TraceLog.h"

namespace {

using namespace qel::compose;

const char kComposeWithSetting[] = "PyQelBufferUtility::ComposeWithSetting";

// Displayed rows per claim where they run down stored columns: each claim
// then blends runs of this many pixels along the stored rows it crosses.
constexpr int kAcrossBandRows = 64;

// A rectangle in displayed coordinates, worked out in 64 bits so that
// margins, thicknesses and offsets near the ends of the int range cannot
// wrap. Every displayed pixel that lands in a stored image lies well within
// +-2^30 (buffers hold under 2^31 bytes), so cutting a rectangle to that box
// before it goes to the int-based bar blend drops only pixels that would be
// clipped anyway.
struct tagRect {
    long long x, y, w, h;
};

constexpr long long kReach = 1ll << 30;

tagRect CutToReach(tagRect rc)
{
    if (rc.w <= 0 || rc.h <= 0)
        return {0, 0, 0, 0};
    const long long x0 = std::max(rc.x, -kReach), x1 = std::min(rc.x + rc.w, kReach);
    const long long y0 = std::max(rc.y, -kReach), y1 = std::min(rc.y + rc.h, kReach);
    if (x0 >= x1 || y0 >= y1)
        return {0, 0, 0, 0};
    return {x0, y0, x1 - x0, y1 - y0};
}

// Reads the region tuple. Only a tuple of exactly five items is used; one
// that does not parse as four ints and a float keeps the values read before
// the bad item, and the parser's error is dropped so the call can go on.
bool ReadRegion(PyObject *pPyoROI, int anRegion[4])
{
    if (pPyoROI == nullptr || pPyoROI == Py_None || !PyTuple_Check(pPyoROI) || PyTuple_GET_SIZE(pPyoROI) != 5)
        return false;
    float fUnused = 0.0f;
    if (!PyArg_ParseTuple(pPyoROI, "iiiif", &anRegion[0], &anRegion[1], &anRegion[2], &anRegion[3], &fUnused))
        PyErr_Clear();
    return true;
}

} // namespace

void PyQelBufferUtility::m_fnBarBlend(BYTE **pDstData, int nX, int nY, int nWidth, int nHeight, int nDstWidth,
                                      int nDstHeight, UINT64 qwColor, double dAlpha, int nDstOrientation,
                                      int nDstBytesPerPixel, bool bReplaceAlpha)
{
    if (pDstData == nullptr) {
        QEL_TRACE("[m_fnBarBlend]pDstData is NULL");
        return;
    }
    if (nWidth < 1 || nHeight < 1 || nDstWidth < 1 || nDstHeight < 1)
        return;
    const tagOrientationMap map = ResolveOrientation(nDstOrientation, nDstWidth, nDstHeight);
    const std::ptrdiff_t nBpp = nDstBytesPerPixel;

    if (!Transposed(map)) {
        // One run along a stored row per displayed row; with one colour its
        // direction does not matter.
        qel::ForEachRowParallel(nHeight, [&](int i) {
            const tagRowRun run =
                ClipRow(map, nX, static_cast<long long>(nY) + i, nWidth, nDstWidth, nDstHeight);
            const int n = run.nEnd - run.nBegin;
            if (n <= 0)
                return;
            const long long llLeft = run.nStep > 0 ? run.llX : run.llX - (n - 1);
            m_fnBlend(pDstData[run.llY] + llLeft * nBpp, qwColor, dAlpha, nDstBytesPerPixel, bReplaceAlpha, n);
        });
        return;
    }

    // Displayed rows run down stored columns: a band of displayed rows is,
    // in every stored row it crosses, one run of the band's height.
    const tagBlockRun block = ClipTransposed(map, nX, nY, nWidth, nHeight, nDstWidth, nDstHeight);
    if (block.Empty())
        return;
    const int nRows = block.nRowEnd - block.nRowBegin;
    const int nBands = (nRows - 1) / kAcrossBandRows + 1;
    qel::ForEachRowParallel(nBands, [&](int nBand) {
        const int i0 = block.nRowBegin + nBand * kAcrossBandRows;
        const int nBandRows = std::min(kAcrossBandRows, block.nRowEnd - i0);
        const long long llX = block.llX + static_cast<long long>(map.nXY) * (i0 - block.nRowBegin);
        const long long llLeft = map.nXY > 0 ? llX : llX - (nBandRows - 1);
        for (int j = block.nColBegin; j < block.nColEnd; ++j) {
            const long long llY = block.llY + static_cast<long long>(map.nYX) * (j - block.nColBegin);
            m_fnBlend(pDstData[llY] + llLeft * nBpp, qwColor, dAlpha, nDstBytesPerPixel, bReplaceAlpha, nBandRows);
        }
    });
}

HRESULT PyQelBufferUtility::ComposeWithSetting(CQELImageBuffer *pDstBuffer, PyObject *pPyoROI, int nMargin,
                                               int nThickness, DWORD dwColor, float fAlpha, int nShadowDist,
                                               int nDstOrientation, int nBarOrFrame, int nHorV, bool bReplaceAlpha)
{
    QEL_TRACE_ENTRY(kComposeWithSetting);
    if (pDstBuffer == nullptr || nThickness == 0 || fAlpha == 0.0f) {
        QEL_TRACE("[ComposeWithSetting]No Need to Composite");
        return E_POINTER;
    }
    int anRegion[4] = {0, 0, 0, 0};
    if (ReadRegion(pPyoROI, anRegion))
        QEL_TRACE("[ComposeWithSetting] Use ROI: %d, %d, %d, %d", anRegion[0], anRegion[1], anRegion[2], anRegion[3]);

    CPyAllowThreads allowThreads;
    CBufferLock lock(pDstBuffer, pDstBuffer->getWidth(), pDstBuffer->getHeight());
    BYTE **ppRows = pDstBuffer->m_ppStrideTable;
    if (lock.data() == nullptr || ppRows == nullptr) {
        QEL_TRACE("[ComposeWithSetting]No Data to Composite");
        return E_POINTER;
    }

    const int nBpp = static_cast<int>(pDstBuffer->getBytesPerPixel());
    const int W = static_cast<int>(std::min(lock.width(), pDstBuffer->getWidth()));
    const int H = static_cast<int>(std::min(lock.height(), pDstBuffer->getHeight()));
    const long long x = anRegion[0], y = anRegion[1];
    const long long EW = anRegion[2] != 0 ? anRegion[2] : W;
    const long long EH = anRegion[3] != 0 ? anRegion[3] : H;
    const bool bTransposed = nDstOrientation >= 5 && nDstOrientation <= 8;
    const long long L = bTransposed ? EH : EW;
    const long long D = bTransposed ? EW : EH;
    const long long m = nMargin, t = nThickness, d = nShadowDist;

    // dwColor is 0xAARRGGBB: its bytes from the lowest are a 4-byte pixel.
    const BYTE abColor[4] = {static_cast<BYTE>(dwColor), static_cast<BYTE>(dwColor >> 8),
                             static_cast<BYTE>(dwColor >> 16), static_cast<BYTE>(dwColor >> 24)};
    const UINT64 qwColor = m_fnColorConverter(abColor, nBpp, 4);
    const UINT64 qwShadow = nBpp == 4 ? 0xFF000000ull : nBpp == 8 ? 0xFF00000000000000ull : 0;
    const double dAlpha = fAlpha;
    const double dShadowAlpha = fAlpha * 0.5f;

    auto blendRect = [&](const tagRect &rc, UINT64 qwRectColor, double dRectAlpha) {
        const tagRect cut = CutToReach(rc);
        m_fnBarBlend(ppRows, static_cast<int>(cut.x), static_cast<int>(cut.y), static_cast<int>(cut.w),
                     static_cast<int>(cut.h), W, H, qwRectColor, dRectAlpha, nDstOrientation, nBpp, bReplaceAlpha);
    };

    if (nBarOrFrame != 0) {
        QEL_TRACE("[ComposeWithSetting]Composite with Bar Start");
        const tagRect bar = nHorV != 0 ? tagRect{x, y + m, L, t} : tagRect{x + m, y, t, D};
        const tagRect shadow = nHorV != 0 ? tagRect{x, y + m + d, L, t} : tagRect{x + m + d, y, t, D};
        if (d != 0)
            blendRect(shadow, qwShadow, dShadowAlpha);
        blendRect(bar, qwColor, dAlpha);
    } else {
        QEL_TRACE("[ComposeWithSetting]Composite with Frame Start");
        const tagRect aSides[4] = {
            {x + m, y + m, L - 2 * m, t},                 // top
            {x + m, y + D - m - t, L - 2 * m, t},         // bottom
            {x + m, y + m + t, t, D - 2 * (m + t)},       // left
            {x + L - m - t, y + m + t, t, D - 2 * (m + t)}, // right
        };
        // Top and bottom share rows when D < 2(m + t), left and right share
        // columns when L < 2(m + t). Then the four sides of a pass run one
        // after the other (a pixel blended twice with the same colour and
        // opacity comes out the same in either order); otherwise they are
        // disjoint and run as four sections at once.
        const bool bDisjoint = D >= 2 * (m + t) && L >= 2 * (m + t);
        auto pass = [&](long long llShift, UINT64 qwPassColor, double dPassAlpha) {
            auto side = [&](int nSide) {
                const tagRect &rc = aSides[nSide];
                blendRect({rc.x + llShift, rc.y + llShift, rc.w, rc.h}, qwPassColor, dPassAlpha);
            };
            if (bDisjoint) {
#pragma omp parallel sections
                {
#pragma omp section
                    side(0);
#pragma omp section
                    side(1);
#pragma omp section
                    side(2);
#pragma omp section
                    side(3);
                }
            } else {
                for (int nSide = 0; nSide < 4; ++nSide)
                    side(nSide);
            }
        };
        if (d != 0)
            pass(d, qwShadow, dShadowAlpha);
        pass(0, qwColor, dAlpha);
    }

    lock.unlock();
    QEL_TRACE_END(kComposeWithSetting);
    return S_OK;
}
