// Whole-image copies through the packed form (rows of width x bytes per
// pixel, top to bottom). Only a BYTE buffer's lock pointer addresses the
// whole image; CHUNK rows are scattered and PLANAR pixels are split into
// planes, so those pass through a packed staging copy.
#pragma once

#include "ZuBufferInterface.h"

namespace qel {

// Merges a PLANAR buffer's planes into one packed block (bToPacked) or
// splits the block into them. E_INVALIDARG unless qwSize is the image.
HRESULT MovePlanes(CQELImageBuffer *pBuffer, BYTE *pPacked, UINT64 qwSize, bool bToPacked);

// Moves a buffer's pixels to (bToPacked) or from one packed block. BYTE and
// CHUNK go through the allocator's copy; planes are merged or split here.
HRESULT MovePacked(ZuBufferAllocator *pAllocator, CQELImageBuffer *pBuffer, BYTE *pPacked, UINT64 qwSize,
                   bool bToPacked);

// Copies every pixel of pFrom into pTo, whose lock handed out pToData.
HRESULT CopyIntoLocked(ZuBufferAllocator *pAllocator, CQELImageBuffer *pFrom, CQELImageBuffer *pTo, BYTE *pToData,
                       UINT64 qwSize);

// Copies every pixel of pFrom, whose lock handed out pFromData, into pTo.
HRESULT CopyFromLocked(ZuBufferAllocator *pAllocator, CQELImageBuffer *pFrom, BYTE *pFromData, CQELImageBuffer *pTo,
                       UINT64 qwSize);

} // namespace qel
