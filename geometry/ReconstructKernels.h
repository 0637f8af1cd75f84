// Panorama re-projection of one slice of destination rows: every destination
// pixel of an equirectangular 360 x 180 panorama is taken back to a
// direction, turned by yaw, pitch and roll, and the source is sampled where
// the turned direction points.
#pragma once

#include "Records.h"

namespace qel {
class CThreadPool;
} // namespace qel

// Computes the rows and columns of one record; a null record does nothing.
void ReconstructSlice(ReconstructData *pData);

// Turns a BGRA panorama (or copies it when every angle is below 1e-7) on
// the module's worker pool, one slice per processor. Returns 0.
int ReconstructPanorama(BYTE *pSrcBuffer, UINT unSrcWidth, UINT unSrcHeight, UINT unSrcStride, float fRoll,
                        float fYaw, float fPitch, float fYOffset, BYTE *pDstBuffer, UINT unDstWidth,
                        UINT unDstHeight, UINT unDstStride);

namespace qel {
// The same on a given pool (tests use pools of other sizes).
int ReconstructPanoramaOn(CThreadPool &pool, BYTE *pSrcBuffer, UINT unSrcWidth, UINT unSrcHeight, UINT unSrcStride,
                          float fRoll, float fYaw, float fPitch, float fYOffset, BYTE *pDstBuffer, UINT unDstWidth,
                          UINT unDstHeight, UINT unDstStride);
} // namespace qel
