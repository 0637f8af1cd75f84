// Colour look-up tables: the table objects a script's description becomes,
// the image descriptor the kernels take, and the kernels themselves.
#pragma once

#include <cstddef>
#include <cstdint>

#include "QelTypes.h"

// One table per ApplyLUTOnBuffer call; destroyed through a base pointer.
class tagLutBase {
public:
    virtual ~tagLutBase() {}
    // Replaces the data storage with count floats (contents not kept).
    virtual void AllocateData(UINT count) { (void)count; }

    UINT nType = 0;  // 0 = 1D, 1 = 3D
    int nSize = 0;   // entries (1D) or grid points per axis (3D)
    UINT nCount = 0; // floats held in pData
    float fMin[3] = {0.0f, 0.0f, 0.0f};
    float fMax[3] = {1.0f, 1.0f, 1.0f};
    // 16-byte aligned, owned; null when nCount is 0. The storage holds one
    // zero float past the nCount values, so a four-float fetch of the last
    // entry stays inside it.
    float *pData = nullptr;

protected:
    tagLutBase() = default;
    tagLutBase(const tagLutBase &) = delete;
    tagLutBase &operator=(const tagLutBase &) = delete;
    void FreeData();
    void ReplaceData(UINT count);
};

class tagLut1D : public tagLutBase {
public:
    tagLut1D() { nType = 0; }
    ~tagLut1D() override { FreeData(); }
    void AllocateData(UINT count) override { ReplaceData(count); }
};

class tagLut3D : public tagLutBase {
public:
    tagLut3D() { nType = 1; }
    ~tagLut3D() override { FreeData(); }
    void AllocateData(UINT count) override { ReplaceData(count); }
};

// Pixels the kernels work on, in place.
struct tagRect {
    int left;
    int top;
    int right; // exclusive
    int bottom; // exclusive
};

enum LUT_IMAGE_FORMAT : UINT {
    LUT_IMAGE_FORMAT_BGR24 = 0,
    LUT_IMAGE_FORMAT_BGRA32 = 2,
};

struct tagLutImage {
    BYTE *pBits = nullptr; // first byte of the first row
    UINT nWidth = 0;
    UINT nHeight = 0;
    int nPitch = 0;        // bytes from one row to the next
    UINT nFormat = 0;      // LUT_IMAGE_FORMAT_*
    tagRect rcProcess = {0, 0, 0, 0}; // all zero: the whole image
    // When set, row y starts at ppRows[y] and nPitch is not used: buffers
    // whose rows are reached only through a stride table.
    BYTE *const *ppRows = nullptr;
};

// The largest tables the kernels take. Grid points are addressed with
// 32-bit float offsets (3 * N^3 must stay below 2^31), and a 1D grid index
// must survive the trip through float exactly (N - 1 < 2^24).
constexpr int kLut3DMaxSize = 894;
constexpr int kLut1DMaxSize = 1 << 24;

// Why a table cannot be applied, or nullptr when it can: N below 1 or above
// the kind's maximum, fewer floats than 3N (1D) or 3N^3 (3D), or an axis
// whose domain is empty (fMax == fMin). szReason holds the explanation.
const char *LutLimitsViolation(const tagLutBase &lut, char *szReason, std::size_t cchReason);

// S_OK after processing; E_INVALIDARG for no pixels, an unknown format or a
// table outside the limits above (nothing is touched then).
HRESULT Lut1D_Linear_normal(tagLutImage image, const tagLut1D &lut);
HRESULT Lut3D_Linear_normal(tagLutImage image, const tagLut3D &lut);
HRESULT Lut3D_Linear_SIMD(tagLutImage image, const tagLut3D &lut);
