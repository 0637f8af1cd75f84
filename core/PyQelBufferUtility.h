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

    CQELImageBuffer *Reconstruct(CQELImageBuffer *pSrcImageBuffer, float fYaw, float YRoll, float Pitch);

    CQELImageBuffer *ReduceAlphaChannel(CQELImageBuffer *pSrcImageBuffer);
    HRESULT ApplyAlphaByBuffer(CQELImageBuffer *pDstImageBuffer, CQELImageBuffer *pSrcImageBuffer);
    CQELImageBuffer *ImagePixelConvert(CQELImageBuffer *pSrcImageBuffer, PIXEL_CONVERT_MODE nMode,
                                       bool bInplace = true);
    CQELImageBuffer *ImagePixelConvertByMask(CQELImageBuffer *pSrcImageBuffer, CQELImageBuffer *pMaskBuffer,
                                             PIXEL_CONVERT_MODE nMode, bool bInplace = true);
    CQELImageBuffer *ClearBGRByAlphaChannel(CQELImageBuffer *pSrcImageBuffer, int nThreshold = 0);
    CQELImageBuffer *ImageBufferToMask(CQELImageBuffer *pSrcImageBuffer, bool bFromColor = false);
    CQELImageBuffer *MaskToImageBuffer(CQELImageBuffer *pSrcMaskBuffer, bool bToColor = false);

    CQELImageBuffer *Rotate(CQELImageBuffer *pSrcImageBuffer, int nDstWidth, int nDstHeight, float fAngle);
    CQELImageBuffer *Mirror(CQELImageBuffer *pSrcImageBuffer, int nFlipState);

    CQELImageBuffer *GetROI(CQELImageBuffer *pSrcImageBuffer, int nLeft, int nTop, int nWidth, int nHeight);
    CQELImageBuffer *CreateBufferFromRawData(byte *pSrcData, int nWidth, int nHeight, int nBytePerPixel);
    HRESULT RevealAlphaChannel(CQELImageBuffer *pSrcImageBuffer);

    CQELImageBuffer *BlendIgnoreAlphaChannel(CQELImageBuffer *pFirstBuffer, CQELImageBuffer *pSecondBuffer,
                                             float fRatio);

    HRESULT SwapRBChannel(CQELImageBuffer *pSrcImageBuffer);

    HRESULT ComposeWithBuffer(CQELImageBuffer *pDstBuffer, CQELImageBuffer *pSrcBuffer, int nX, int nY, float fAlpha,
                              int nDstOrientation, bool bReplaceAlpha = false);
    HRESULT ComposeWithBuffer(CQELImageBuffer *pDstBuffer, CQELImageBuffer *pSrcBuffer, int nX, int nY, int nW, int nH,
                              float fAlpha, int nDstOrientation, bool bReplaceAlpha = false);
    HRESULT ComposeWithSetting(CQELImageBuffer *pDstBuffer, PyObject *pPyoROI, int nMargin, int nThickness,
                               DWORD dwColor, float fAlpha, int nShadowDist, int nDstOrientation, int nBarOrFrame = 0,
                               int nHorV = 0, bool bReplaceAlpha = false);

    HRESULT ClearBuffer(CQELImageBuffer *pDstBuffer, int const x, int const y, UINT const width, UINT const height,
                        DWORD const color);
    HRESULT SetBufferColor(CQELImageBuffer *pDstBuffer, int nAlpha, int nRed, int nGreen, int nBlue,
                           PyObject *pPyoROI = NULL);
    HRESULT CopyBuffer(CQELImageBuffer *pDstBuffer, CQELImageBuffer *pSrcBuffer, int const x, int const y,
                       UINT const width, UINT const height);
    HRESULT CopyImageBuffer(CQELImageBuffer *pDstBuffer, CQELImageBuffer *pSrcBuffer, bool bCopyTo = true);

    HRESULT UpdateImageBuffer(CQELImageBuffer *pDstBuffer, CQELImageBuffer *pSrcBuffer, PyObject *pPyoDstROI,
                              PyObject *pPyoSrcROI);

    CQELImageBuffer *DuplicateImageBuffer(CQELImageBuffer *pSrcBuffer);
    HRESULT UpdateAlphaChannelByMask(CQELImageBuffer *pDstBuffer, CQELImageBuffer *pMaskBuffer, int nStartX,
                                     int nStartY, bool bInverse = false);
    HRESULT UpdateColorChannelByMask(CQELImageBuffer *pDstBuffer, CQELImageBuffer *pMaskBuffer, int nStartX,
                                     int nStartY, bool bInverse = false);
    PyObject *GetBoundBox(CQELImageBuffer *pDstBuffer, bool bCheckColor = false, bool bGreater = true);
    PyObject *GetUVMapBoundBox(CQELImageBuffer *pUVBuffer);

    CQELImageBuffer *GetMaskWithBoundary(int nWidth, int nHeight, PyObject *pLstBoundary, bool bInvert = false,
                                         CQELImageBuffer *pIgnoreMask = NULL);
    HRESULT MaskOperation(CQELImageBuffer *pDstMaskBuffer, CQELImageBuffer *pRefMaskBuffer, int nOperationType);
    HRESULT MaskValueMapping(CQELImageBuffer *pDstMaskBuffer, PyObject *pyTupMap_256);

    PyObject *GetPixelInfo(CQELImageBuffer *pSrcImageBuffer, int nX, int nY, unsigned int const nGridCount = 1);
    BOOL HitTest(CQELImageBuffer *pSrcImageBuffer, int nX, int nY);

    BOOL CopyToClipboard(HWND hwnd, CQELImageBuffer *pSrcBuffer);
    CQELImageBuffer *PasteFromClipboard(HWND hwnd);

    BOOL ApplyLUTOnBuffer(CQELImageBuffer *pSrcImageBuffer, PyObject *pyLutData);

    CQELImageBuffer *GetMaskFromDepthBuffer(CQELImageBuffer *pDepthBuffer, int nDepth, bool bFocusLine = false,
                                            bool bInvert = true);
    int m_fnGetScaledDepth(CQELImageBuffer *pDepthBuffer, int nRawDepth);
    int GetDepthFromDepthBufferByPos(CQELImageBuffer *pDepthBuffer, int nX, int nY);
    int GetDepthFromDepthBufferByRefBuffer(CQELImageBuffer *pDepthBuffer, CQELImageBuffer *pRefBuffer);

    PyObject *GetBoundingBoxCenterPos(CQELImageBuffer *pSrcBuffer);

    HRESULT SetTransparentAreaRGBByBuffer(CQELImageBuffer *pDstMaskBuffer, CQELImageBuffer *pRefMaskBuffer);

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
    HRESULT m_fnRotateUseIPP(CQELImageBuffer *&pSrcImageBuffer, CQELImageBuffer *&pDstImageBuffer, int nDstWidth,
                             int nDstHeight, double dAngle);
    HRESULT m_fnRotateWithChunk(CQELImageBuffer *&pSrcImageBuffer, CQELImageBuffer *&pDstImageBuffer, int nDstWidth,
                                int nDstHeight, double dAngle);

    // internal helpers of compose
    UINT64 m_fnColorConverter(const BYTE *pSrcData, int nDstBytesPerPixel, int nSrcBytesPerPixel);
    // Blends one colour into nCount consecutive pixels (the bars' runs); one pixel by default.
    void m_fnBlend(BYTE *pDstData, UINT64 qwColor, double dAlpha, int nDstBytesPerPixel, bool bReplaceAlpha,
                   int nCount = 1);
    void m_fnBarBlend(BYTE **pDstData, int nX, int nY, int nWidth, int nHeight, int nDstWidth, int nDstHeight,
                      UINT64 qwColor, double dAlpha, int nDstOrientation, int nDstBytesPerPixel, bool bReplaceAlpha);
    HRESULT m_fnComposeWithBuffer(CQELImageBuffer *pDstBuffer, CQELImageBuffer *pSrcBuffer, int nX, int nY, int nW,
                                  int nH, bool bSourceSize, float fAlpha, int nDstOrientation, bool bReplaceAlpha);

    // internal helpers of mask

    // internal helpers of depth

    // internal helpers of lut

    // internal helpers of clipboard

    ZuBufferAllocator *m_pBufferAllocator = nullptr;
    void *m_hAllocatorModule = nullptr;
};
