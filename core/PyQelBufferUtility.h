// The one object through which Python reaches every image operation.
// Declaration order is the order of the module's method table: new methods
// go in at their table position, never at the end.
#pragma once

#include <Python.h>

#include "QelTypes.h"
#include "ZuBufferInterface.h"

enum PIXEL_CONVERT_MODE {
    PIXEL_CONVERT_NOACT = 0,
    PIXEL_CONVERT_ALPHA_REVEAL = 1,
    PIXEL_CONVERT_ALPHA_REPLACE = 2,
    PIXEL_CONVERT_ALPHA_COLOR = 3,
    PIXEL_CONVERT_INVERT_COLOR = 4,
    PIXEL_CONVERT_INVERT_COLOR_BY_MASK = 5,
};

enum MASK_OPERATION_TYPE {
    MASK_OPERATION_TYPE_INTERSECTION = 1,
    MASK_OPERATION_TYPE_DIFFERENCE = 2,
};

class PyQelBufferUtility {
public:
    PyQelBufferUtility();
    virtual ~PyQelBufferUtility();

    HRESULT Uninitialize();
    HRESULT Open();
    HRESULT Close();
    HRESULT GetLastErrorHr();
    CQELGifBuffer *GetGifBuffer();
    CQELImageBuffer *GetEmptyBuffer(int nWidth, int nHeight, int nBPP, bool onmemory = true);
    CQELImageBuffer *ConvertImageBufferColorDepth(CQELImageBuffer *pSrcImageBuffer, int nWidth, int nHeight,
                                                  int srcBPP, int dstBPP);
    CQELImageBuffer *ConvertBufferFromBGRtoBGRA_FromPyObject(PyObject *pySrcObj, int nWidth, int nHeight,
                                                             int nStride);
    CQELImageBuffer *ConvertImageBufferAllocateType(CQELImageBuffer *pSrcImageBuffer,
                                                    int nType = BUFFER_ALLOCATE_TYPE_BYTE, bool onMem = true);
    CQELImageBuffer *ConvertImageBufferToMask(CQELImageBuffer *pSrcImageBuffer, int nWidth, int nHeight, int srcBPP,
                                              int dstBPP);

    // table position: Reconstruct (geometry)

    CQELImageBuffer *ReduceAlphaChannel(CQELImageBuffer *pSrcImageBuffer);
    HRESULT ApplyAlphaByBuffer(CQELImageBuffer *pDstImageBuffer, CQELImageBuffer *pSrcImageBuffer);
    CQELImageBuffer *ImagePixelConvert(CQELImageBuffer *pSrcImageBuffer, PIXEL_CONVERT_MODE nMode,
                                       bool bInplace = true);
    CQELImageBuffer *ImagePixelConvertByMask(CQELImageBuffer *pSrcImageBuffer, CQELImageBuffer *pMaskBuffer,
                                             PIXEL_CONVERT_MODE nMode, bool bInplace = true);
    CQELImageBuffer *ClearBGRByAlphaChannel(CQELImageBuffer *pSrcImageBuffer, int nThreshold = 0);
    CQELImageBuffer *ImageBufferToMask(CQELImageBuffer *pSrcImageBuffer, bool bFromColor = false);
    CQELImageBuffer *MaskToImageBuffer(CQELImageBuffer *pSrcMaskBuffer, bool bToColor = false);

    // table positions: Rotate, Mirror (geometry)

    CQELImageBuffer *GetROI(CQELImageBuffer *pSrcImageBuffer, int nLeft, int nTop, int nWidth, int nHeight);
    CQELImageBuffer *CreateBufferFromRawData(byte *pSrcData, int nWidth, int nHeight, int nBytePerPixel);
    HRESULT RevealAlphaChannel(CQELImageBuffer *pSrcImageBuffer);

    // table position: BlendIgnoreAlphaChannel (compose)

    HRESULT SwapRBChannel(CQELImageBuffer *pSrcImageBuffer);

    // table positions: ComposeWithBuffer (two forms), ComposeWithSetting (compose)

    HRESULT ClearBuffer(CQELImageBuffer *pDstBuffer, int const x, int const y, UINT const width, UINT const height,
                        DWORD const color);
    HRESULT SetBufferColor(CQELImageBuffer *pDstBuffer, int nAlpha, int nRed, int nGreen, int nBlue,
                           PyObject *pPyoROI = NULL);
    HRESULT CopyBuffer(CQELImageBuffer *pDstBuffer, CQELImageBuffer *pSrcBuffer, int const x, int const y,
                       UINT const width, UINT const height);
    HRESULT CopyImageBuffer(CQELImageBuffer *pDstBuffer, CQELImageBuffer *pSrcBuffer, bool bCopyTo = true);

    // table position: UpdateImageBuffer (compose)

    CQELImageBuffer *DuplicateImageBuffer(CQELImageBuffer *pSrcBuffer);
    // table positions: UpdateAlphaChannelByMask, UpdateColorChannelByMask, GetBoundBox, GetUVMapBoundBox (mask)

    // table positions: GetMaskWithBoundary, MaskOperation, MaskValueMapping (mask)

    // table positions: GetPixelInfo, HitTest (mask)

    BOOL CopyToClipboard(HWND hwnd, CQELImageBuffer *pSrcBuffer);
    CQELImageBuffer *PasteFromClipboard(HWND hwnd);

    // table position: ApplyLUTOnBuffer (lut)

    // table positions: GetMaskFromDepthBuffer, m_fnGetScaledDepth, GetDepthFromDepthBufferByPos,
    // GetDepthFromDepthBufferByRefBuffer (depth)

    // table position: GetBoundingBoxCenterPos (mask)

    // table position: SetTransparentAreaRGBByBuffer (mask)

    void ReleaseByteArray(byte *buffer);
    byte *InverseByteArrayOrder(byte *buffer, int w, int h);

#ifndef SWIG
    // Object-free forms of Open, Close and GetLastErrorHr: the bindings call
    // these so that None may stand in for the object.
    static HRESULT OpenThread();
    static HRESULT CloseThread();
    static HRESULT LastErrorOfThread();
#endif

private:
    HRESULT m_fnSetLastErrorHr(HRESULT hr);

    // internal helpers of geometry

    // internal helpers of compose

    // internal helpers of mask

    // internal helpers of depth

    // internal helpers of lut

    // internal helpers of clipboard

    ZuBufferAllocator *m_pBufferAllocator = nullptr;
    void *m_hAllocatorModule = nullptr;
};
