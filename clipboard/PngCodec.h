// PNG images for the X11 clipboard: the served DIB as a PNG, and a PNG
// offered by another program as a top-down DIB block.
#pragma once

#include <cstddef>
#include <vector>

#include "DibFormat.h"
#include "QelTypes.h"

namespace qel {
namespace clip {

// Encodes the rows of a 24- or 32-bit DIB block (as the paste reads it) as
// an RGB or RGBA PNG, alpha kept. False when the block is not such a DIB or
// encoding fails.
bool EncodeDibAsPng(const BYTE *pDib, std::size_t cbDib, std::vector<BYTE> *pPng);

// Decodes a PNG into a DIB block: a 40-byte header with negative height
// (top-down) followed by 32-bit BGRA rows when the image has alpha (its own
// or a transparency chunk), else 24-bit BGR rows padded to 4 bytes.
// Palette, grey, sub-byte and 16-bit images are expanded to 8-bit channels
// (16-bit samples keep their high byte). False on a damaged or oversized
// image.
bool DecodePngAsDib(const BYTE *pPng, std::size_t cbPng, std::vector<BYTE> *pDib);

} // namespace clip
} // namespace qel
