// libpng reports errors by longjmp. The functions that call setjmp keep
// every value that must survive a jump in the job structure their caller
// owns, and hold no object with a destructor of their own.
#include <csetjmp>
#include <cstring>
#include <new>

#include <png.h>

#include "PngCodec.h"

namespace qel {
namespace clip {

namespace {

void SilentError(png_structp pPng, png_const_charp)
{
    png_longjmp(pPng, 1);
}

void SilentWarning(png_structp, png_const_charp) {}

// ---- encoding ----------------------------------------------------------------

struct tagEncodeJob {
    const BYTE *pDib = nullptr;
    tagDibRows rows;
    std::vector<png_bytep> rowPointers;
    std::vector<BYTE> *pOut = nullptr;
    bool bOutOfMemory = false;
};

void WriteToVector(png_structp pPng, png_bytep pData, png_size_t cb)
{
    tagEncodeJob *pJob = static_cast<tagEncodeJob *>(png_get_io_ptr(pPng));
    try {
        pJob->pOut->insert(pJob->pOut->end(), pData, pData + cb);
    } catch (const std::bad_alloc &) {
        pJob->bOutOfMemory = true;
    }
    // Jumping out of a handler would leave the exception half-caught.
    if (pJob->bOutOfMemory)
        png_error(pPng, "out of memory");
}

void FlushNothing(png_structp) {}

bool RunEncode(png_structp pPng, png_infop pInfo, tagEncodeJob *pJob)
{
    if (setjmp(png_jmpbuf(pPng)))
        return false;
    png_set_write_fn(pPng, pJob, WriteToVector, FlushNothing);
    const int nColorType = pJob->rows.nBytesPerPixel == 4 ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB;
    png_set_IHDR(pPng, pInfo, (png_uint_32)pJob->rows.nWidth, (png_uint_32)pJob->rows.nHeight, 8, nColorType,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    // A clipboard image is read once, soon: speed matters more than size.
    png_set_compression_level(pPng, 1);
    png_set_filter(pPng, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
    png_write_info(pPng, pInfo);
    png_set_bgr(pPng);
    png_write_image(pPng, pJob->rowPointers.data());
    png_write_end(pPng, nullptr);
    return true;
}

// ---- decoding ----------------------------------------------------------------

struct tagDecodeJob {
    const BYTE *pPng = nullptr;
    std::size_t cbPng = 0;
    std::size_t cbRead = 0;
    std::vector<BYTE> *pDib = nullptr;
    std::vector<png_bytep> rowPointers;
};

void ReadFromMemory(png_structp pPng, png_bytep pData, png_size_t cb)
{
    tagDecodeJob *pJob = static_cast<tagDecodeJob *>(png_get_io_ptr(pPng));
    if (cb > pJob->cbPng - pJob->cbRead)
        png_error(pPng, "truncated image");
    std::memcpy(pData, pJob->pPng + pJob->cbRead, cb);
    pJob->cbRead += cb;
}

// The largest image a DIB block may carry (the buffers it becomes are
// smaller still).
const unsigned long long kMaxDibBits = 0x7FFFFFFFull;

bool RunDecode(png_structp pPng, png_infop pInfo, tagDecodeJob *pJob)
{
    if (setjmp(png_jmpbuf(pPng)))
        return false;
    png_set_read_fn(pPng, pJob, ReadFromMemory);
    png_read_info(pPng, pInfo);
    const png_uint_32 unWidth = png_get_image_width(pPng, pInfo);
    const png_uint_32 unHeight = png_get_image_height(pPng, pInfo);
    const int nColorType = png_get_color_type(pPng, pInfo);
    const int nBitDepth = png_get_bit_depth(pPng, pInfo);

    if (nColorType == PNG_COLOR_TYPE_PALETTE)
        png_set_palette_to_rgb(pPng);
    if ((nColorType & PNG_COLOR_MASK_COLOR) == 0 && nBitDepth < 8)
        png_set_expand_gray_1_2_4_to_8(pPng);
    if (png_get_valid(pPng, pInfo, PNG_INFO_tRNS))
        png_set_tRNS_to_alpha(pPng);
    if (nBitDepth == 16)
        png_set_strip_16(pPng);
    if ((nColorType & PNG_COLOR_MASK_COLOR) == 0)
        png_set_gray_to_rgb(pPng);
    png_set_bgr(pPng);
    png_set_interlace_handling(pPng);
    png_read_update_info(pPng, pInfo);

    const int nChannels = png_get_channels(pPng, pInfo);
    if ((nChannels != 3 && nChannels != 4) || unWidth == 0 || unHeight == 0 || unWidth > 0x7FFFFFFFu ||
        unHeight > 0x7FFFFFFFu)
        return false;
    const unsigned long long ullStride = ((unsigned long long)unWidth * nChannels + 3) & ~3ull;
    if (ullStride * unHeight > kMaxDibBits || png_get_rowbytes(pPng, pInfo) > ullStride)
        return false;

    const std::size_t cbImage = (std::size_t)(ullStride * unHeight);
    try {
        pJob->pDib->assign(kInfoHeaderSize + cbImage, 0);
        pJob->rowPointers.resize(unHeight);
    } catch (const std::bad_alloc &) {
        return false;
    }
    tagBITMAPINFOHEADER header = MakeCopyHeader(unWidth, unHeight, (UINT)nChannels, (UINT)cbImage, kDibPelsPerMeter);
    header.biHeight = -(int)unHeight;
    StoreInfoHeader(pJob->pDib->data(), header);
    for (png_uint_32 y = 0; y < unHeight; ++y)
        pJob->rowPointers[y] = pJob->pDib->data() + kInfoHeaderSize + (std::size_t)y * ullStride;
    png_read_image(pPng, pJob->rowPointers.data());
    return true;
}

} // namespace

bool EncodeDibAsPng(const BYTE *pDib, std::size_t cbDib, std::vector<BYTE> *pPng)
{
    tagEncodeJob job;
    if (!ReadDibHeader(pDib, cbDib, &job.rows) || (job.rows.nBytesPerPixel != 3 && job.rows.nBytesPerPixel != 4) ||
        !DibRowsInside(job.rows, cbDib))
        return false;
    job.pDib = pDib;
    job.pOut = pPng;
    pPng->clear();
    try {
        job.rowPointers.resize((std::size_t)job.rows.nHeight);
    } catch (const std::bad_alloc &) {
        return false;
    }
    for (int y = 0; y < job.rows.nHeight; ++y)
        job.rowPointers[y] = const_cast<png_bytep>(job.rows.Row(pDib, y));

    png_structp pWrite = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, SilentError, SilentWarning);
    if (pWrite == nullptr)
        return false;
    png_infop pInfo = png_create_info_struct(pWrite);
    const bool bDone = pInfo != nullptr && RunEncode(pWrite, pInfo, &job);
    png_destroy_write_struct(&pWrite, &pInfo);
    if (!bDone)
        pPng->clear();
    return bDone;
}

bool DecodePngAsDib(const BYTE *pPng, std::size_t cbPng, std::vector<BYTE> *pDib)
{
    if (pPng == nullptr || cbPng < 8 || png_sig_cmp(pPng, 0, 8) != 0)
        return false;
    tagDecodeJob job;
    job.pPng = pPng;
    job.cbPng = cbPng;
    job.pDib = pDib;
    png_structp pRead = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, SilentError, SilentWarning);
    if (pRead == nullptr)
        return false;
    png_infop pInfo = png_create_info_struct(pRead);
    const bool bDone = pInfo != nullptr && RunDecode(pRead, pInfo, &job);
    png_destroy_read_struct(&pRead, &pInfo, nullptr);
    if (!bDone)
        pDib->clear();
    return bDone;
}

} // namespace clip
} // namespace qel
