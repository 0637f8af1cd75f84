// The device-independent bitmap as it crosses the clipboard: the 40-byte
// info header, the file header that turns a DIB into a BMP file, and how a
// reader finds the rows of a DIB it was handed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "QelTypes.h"

namespace qel {
namespace clip {

// Clipboard format numbers of the editor's platform.
const UINT CF_BITMAP = 2;
const UINT CF_DIB = 8;

// Pixels per metre written into the header: the DIB form and, one less,
// the bitmap written when the DIB is refused (the editor's readers tell
// the two apart by it).
const int kDibPelsPerMeter = 2835;
const int kBitmapPelsPerMeter = 2834;

const UINT kInfoHeaderSize = 40;
const UINT kFileHeaderSize = 14;

// Field for field the platform's header; x86-64 is little-endian, so the
// struct is stored and loaded with a plain byte copy.
struct tagBITMAPINFOHEADER {
    UINT biSize;
    int biWidth;
    int biHeight;
    WORD biPlanes;
    WORD biBitCount;
    UINT biCompression;
    UINT biSizeImage;
    int biXPelsPerMeter;
    int biYPelsPerMeter;
    UINT biClrUsed;
    UINT biClrImportant;
};
static_assert(sizeof(tagBITMAPINFOHEADER) == 40, "the info header is 40 bytes");
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "headers are stored as little-endian bytes");

// The description of a bitmap object, as the platform's GetObject fills it.
struct tagBITMAP {
    int bmType;
    int bmWidth;
    int bmHeight;
    int bmWidthBytes;
    WORD bmPlanes;
    WORD bmBitsPixel;
    void *bmBits;
};

inline void StoreInfoHeader(BYTE *pDst, const tagBITMAPINFOHEADER &header)
{
    std::memcpy(pDst, &header, sizeof header);
}

inline tagBITMAPINFOHEADER LoadInfoHeader(const BYTE *pSrc)
{
    tagBITMAPINFOHEADER header;
    std::memcpy(&header, pSrc, sizeof header);
    return header;
}

// Bytes of one stored row for a pixel size the copy writes: 3-byte pixels
// are padded to the 4-byte rows the DIB format requires, 4-byte ones need
// no padding.
inline std::uint64_t DibRowBytes(UINT unWidth, UINT unBytesPerPixel)
{
    return ((std::uint64_t)unWidth * unBytesPerPixel + 3u) & ~(std::uint64_t)3u;
}

// The header the copy writes for a W x H image of b bytes per pixel whose
// pixel block is cbImage bytes.
inline tagBITMAPINFOHEADER MakeCopyHeader(UINT unWidth, UINT unHeight, UINT unBytesPerPixel, UINT cbImage,
                                          int nPelsPerMeter)
{
    tagBITMAPINFOHEADER header;
    header.biSize = kInfoHeaderSize;
    header.biWidth = (int)unWidth;
    header.biHeight = (int)unHeight;
    header.biPlanes = 1;
    header.biBitCount = (WORD)(8u * unBytesPerPixel);
    header.biCompression = 0; // BI_RGB
    header.biSizeImage = cbImage;
    header.biXPelsPerMeter = nPelsPerMeter;
    header.biYPelsPerMeter = nPelsPerMeter;
    header.biClrUsed = 0;
    header.biClrImportant = 0;
    return header;
}

// The 14 bytes before a DIB that make it a BMP file: "BM", the file size,
// two reserved words and the offset of the pixels (right after the info
// header and nothing else, since no colour table is ever written).
inline void StoreFileHeader(BYTE *pDst, std::uint32_t cbFile, std::uint32_t cbInfoHeader)
{
    const std::uint32_t dwOffBits = kFileHeaderSize + cbInfoHeader;
    const std::uint32_t dwReserved = 0;
    pDst[0] = 'B';
    pDst[1] = 'M';
    std::memcpy(pDst + 2, &cbFile, 4);
    std::memcpy(pDst + 6, &dwReserved, 4);
    std::memcpy(pDst + 10, &dwOffBits, 4);
}

// Where the rows of a DIB block are, read the way the paste reads them:
// the sign of biHeight gives the row order, the stride is biSizeImage / H
// (4-byte padded rows when biSizeImage is 0), the bits start biSize bytes
// into the block.
struct tagDibRows {
    int nWidth = 0;
    int nHeight = 0; // |biHeight|
    bool bTopDown = false;
    int nBytesPerPixel = 0;
    long long llStride = 0;
    long long llBitsOffset = 0;

    // Address of image row y (0 = top) in a block starting at pBlock.
    const BYTE *Row(const BYTE *pBlock, int y) const
    {
        const long long llRow = bTopDown ? y : (long long)nHeight - 1 - y;
        return pBlock + llBitsOffset + llRow * llStride;
    }
};

// Reads the header of a block of cbBlock bytes. False when the block is too
// short for the header. Fields are taken as they are: the caller decides
// what it accepts.
inline bool ReadDibHeader(const BYTE *pBlock, std::size_t cbBlock, tagDibRows *pRows)
{
    if (pBlock == nullptr || cbBlock < kInfoHeaderSize)
        return false;
    const tagBITMAPINFOHEADER header = LoadInfoHeader(pBlock);
    pRows->nWidth = header.biWidth;
    pRows->bTopDown = header.biHeight < 0;
    // |INT_MIN| does not fit an int; such a height can never be backed by a block anyway.
    const long long llHeight = header.biHeight < 0 ? -(long long)header.biHeight : header.biHeight;
    pRows->nHeight = llHeight > 0x7FFFFFFF ? 0x7FFFFFFF : (int)llHeight;
    pRows->nBytesPerPixel = header.biBitCount / 8;
    pRows->llBitsOffset = header.biSize;
    if (pRows->nHeight == 0) {
        pRows->llStride = 0;
    } else if (header.biSizeImage != 0) {
        // Signed division, as the platform's readers do it.
        pRows->llStride = (long long)((int)header.biSizeImage / pRows->nHeight);
    } else {
        pRows->llStride = (long long)(((long long)pRows->nWidth * pRows->nBytesPerPixel + 3) & ~3LL);
    }
    return true;
}

// True when every row of nWidth pixels lies inside the block, so the
// readers never step outside data they were handed.
inline bool DibRowsInside(const tagDibRows &rows, std::size_t cbBlock)
{
    if (rows.nWidth <= 0 || rows.nHeight <= 0 || rows.nBytesPerPixel <= 0 || rows.llStride < 0)
        return false;
    const long long llRowBytes = (long long)rows.nWidth * rows.nBytesPerPixel;
    const long long llLast = rows.llBitsOffset + (long long)(rows.nHeight - 1) * rows.llStride + llRowBytes;
    return rows.llBitsOffset >= 0 && llLast <= (long long)cbBlock;
}

} // namespace clip
} // namespace qel
