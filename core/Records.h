// Plain records published to Python with an accessor pair per field.
#pragma once

#include "QelTypes.h"

struct TLSErrorCode {
    HRESULT hr;
};

struct ZuPixelInfo {
    WORD nAlpha;
    WORD nRed;
    WORD nGreen;
    WORD nBlue;
};

// Parameters of one slice of a panorama re-projection.
struct ReconstructData {
    BYTE *pSrcBuffer;
    unsigned int unSrcWidth;
    unsigned int unSrcHeight;
    unsigned int unSrcStride;
    BYTE *pDstBuffer;
    unsigned int unDstWidth;
    unsigned int unDstHeight;
    unsigned int unDstStride;
    int nStartX;
    int nEndX;
    int nStartY;
    int nEndY;
    float fRollAngle;
    float fYawAngle;
    float fPitchAngle;
    float fYOffset;
    BOOL bHasSSE2;
};
