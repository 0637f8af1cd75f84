// The kernels' image descriptor: processing rectangles, three-byte pixels
// and refused formats, which the module never hands them.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "TraceLog.h"
#include "lut/LutTable.h"

namespace {

int g_nFailures = 0;

void Check(bool bOk, const char *pszWhat)
{
    if (!bOk) {
        std::printf("FAILED: %s\n", pszWhat);
        ++g_nFailures;
    }
}

typedef HRESULT (*PFN_Kernel)(tagLutImage, const tagLutBase &);

HRESULT Run1D(tagLutImage image, const tagLutBase &lut)
{
    return Lut1D_Linear_normal(image, static_cast<const tagLut1D &>(lut));
}

HRESULT Run3D(tagLutImage image, const tagLutBase &lut)
{
    return Lut3D_Linear_normal(image, static_cast<const tagLut3D &>(lut));
}

HRESULT RunSimd(tagLutImage image, const tagLutBase &lut)
{
    return Lut3D_Linear_SIMD(image, static_cast<const tagLut3D &>(lut));
}


void Fill(tagLutBase &lut, int nSize, unsigned uSalt)
{
    lut.nSize = nSize;
    const UINT nCount = lut.nType == 0 ? 3u * nSize : 3u * nSize * nSize * nSize;
    lut.AllocateData(nCount);
    std::srand(uSalt);
    for (UINT i = 0; i < nCount; ++i)
        lut.pData[i] = static_cast<float>(std::rand()) / RAND_MAX;
    lut.fMin[1] = 0.125f;
    lut.fMax[2] = 0.75f;
}

std::vector<BYTE> Pixels(int nWidth, int nHeight, int nChannels)
{
    std::vector<BYTE> v(static_cast<size_t>(nWidth) * nHeight * nChannels);
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = static_cast<BYTE>(i * 37 + 11);
    return v;
}

tagLutImage Describe(std::vector<BYTE> &pixels, int nWidth, int nHeight, UINT nFormat, int nChannels)
{
    tagLutImage image;
    image.pBits = pixels.data();
    image.nWidth = nWidth;
    image.nHeight = nHeight;
    image.nPitch = nWidth * nChannels;
    image.nFormat = nFormat;
    return image;
}

void CheckKernel(const char *pszName, PFN_Kernel pfn, const tagLutBase &lut)
{
    std::printf("%s\n", pszName);
    // A rectangle processes exactly its pixels: (1, 1, 3, 2) is (1, 1) and (2, 1).
    std::vector<BYTE> whole = Pixels(4, 3, 4), part = Pixels(4, 3, 4), before = Pixels(4, 3, 4);
    Check(pfn(Describe(whole, 4, 3, LUT_IMAGE_FORMAT_BGRA32, 4), lut) == S_OK, "whole image");
    tagLutImage image = Describe(part, 4, 3, LUT_IMAGE_FORMAT_BGRA32, 4);
    image.rcProcess = {1, 1, 3, 2};
    Check(pfn(image, lut) == S_OK, "rectangle");
    for (int i = 0; i < 12; ++i) {
        const bool bInside = i == 5 || i == 6;
        Check(std::memcmp(&part[4 * i], bInside ? &whole[4 * i] : &before[4 * i], 4) == 0, "rectangle pixels");
    }
    // A rectangle reaching past the image stops at its edges.
    std::vector<BYTE> clipped = Pixels(4, 3, 4);
    image = Describe(clipped, 4, 3, LUT_IMAGE_FORMAT_BGRA32, 4);
    image.rcProcess = {-5, -1, 40, 30};
    Check(pfn(image, lut) == S_OK && clipped == whole, "clipped rectangle");
    // Three-byte pixels take the same values as the colour bytes of four-byte ones.
    std::vector<BYTE> bgr(4 * 3 * 3);
    for (int i = 0; i < 12; ++i)
        std::memcpy(&bgr[3 * i], &before[4 * i], 3);
    Check(pfn(Describe(bgr, 4, 3, LUT_IMAGE_FORMAT_BGR24, 3), lut) == S_OK, "three-byte pixels");
    for (int i = 0; i < 12; ++i)
        Check(std::memcmp(&bgr[3 * i], &whole[4 * i], 3) == 0, "three-byte values");
    // Refusals leave the pixels alone.
    std::vector<BYTE> refused = Pixels(4, 3, 4);
    Check(pfn(Describe(refused, 4, 3, 1, 4), lut) == E_INVALIDARG && refused == before, "format 1");
    image = Describe(refused, 4, 3, LUT_IMAGE_FORMAT_BGRA32, 4);
    image.pBits = nullptr;
    Check(pfn(image, lut) == E_INVALIDARG, "no pixels");
}

} // namespace

int main()
{
    setenv("QEL_DUMPMSG", "1", 1);
    qel::TraceReadSwitch();
    tagLut1D lut1D;
    Fill(lut1D, 7, 1);
    tagLut3D lut3D;
    Fill(lut3D, 5, 2);
    CheckKernel("Lut1D_Linear_normal", Run1D, lut1D);
    CheckKernel("Lut3D_Linear_normal", Run3D, lut3D);
    CheckKernel("Lut3D_Linear_SIMD", RunSimd, lut3D);

    // A table outside the limits is refused by the kernel itself.
    tagLut3D shortLut;
    Fill(shortLut, 3, 3);
    shortLut.nSize = 4;
    std::vector<BYTE> pixels = Pixels(4, 3, 4), before = pixels;
    Check(Lut3D_Linear_SIMD(Describe(pixels, 4, 3, LUT_IMAGE_FORMAT_BGRA32, 4), shortLut) == E_INVALIDARG &&
              pixels == before, "short table");
    // Storage is 16-byte aligned and replaced, not grown.
    lut1D.AllocateData(5);
    Check(lut1D.nCount == 5 && reinterpret_cast<uintptr_t>(lut1D.pData) % 16 == 0, "aligned storage");
    lut1D.AllocateData(0);
    Check(lut1D.nCount == 0 && lut1D.pData == nullptr, "emptied storage");
    return g_nFailures == 0 ? 0 : 1;
}
