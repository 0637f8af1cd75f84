// CopyToClipboard with buffers larger than a DIB block can describe: no
// allocator makes them, so they are stood in for by a buffer that only
// reports its size. Each must be refused before the clipboard is opened,
// with its lock paired by an unlock.
#include <cstdio>
#include <cstdlib>

#include <Python.h>

#include "PyQelBufferUtility.h"

// No interpreter runs here: the lock helper finds no thread state and
// leaves the (absent) interpreter lock alone.
extern "C" {
PyThreadState *PyGILState_GetThisThreadState(void) { return nullptr; }
int PyGILState_Check(void) { return 0; }
PyThreadState *PyEval_SaveThread(void) { return nullptr; }
void PyEval_RestoreThread(PyThreadState *) {}
void QelClipboardTest_Counters(long long *pllOut);
}

class CSizeOnlyBuffer : public CQELImageBuffer {
public:
    CSizeOnlyBuffer(UINT unWidth, UINT unHeight, UINT unBytesPerPixel)
        : m_unWidth(unWidth), m_unHeight(unHeight), m_unBytesPerPixel(unBytesPerPixel)
    {
    }
    long addRef() override { return 1; }
    long release() override { return 1; }
    bool lock(BYTE **ppData, UINT *pWidth, UINT *pHeight) override
    {
        ++m_nLocks;
        *ppData = m_aPixels;
        *pWidth = m_unWidth;
        *pHeight = m_unHeight;
        return true;
    }
    HRESULT unlock() override
    {
        ++m_nUnlocks;
        return S_OK;
    }
    UINT getWidth() override { return m_unWidth; }
    UINT getHeight() override { return m_unHeight; }
    UINT getBytesPerPixel() override { return m_unBytesPerPixel; }
    void setAttribute1(UINT64) override {}
    void setAttribute2(UINT64) override {}

    int m_nLocks = 0;
    int m_nUnlocks = 0;

private:
    UINT m_unWidth, m_unHeight, m_unBytesPerPixel;
    BYTE m_aPixels[16] = {};
};

int main()
{
    unsetenv("DISPLAY");
    PyQelBufferUtility utility;
    HWND hwnd = reinterpret_cast<HWND>(&utility);
    struct {
        UINT unWidth, unHeight, unBytesPerPixel;
        const char *pszWhy;
    } aCases[] = {
        {65536, 65536, 4, "16 GiB"},
        {32768, 32768, 4, "exactly 4 GiB"},
        {1, 0x40000000, 3, "3 GiB of pixels, 4 GiB once rows are padded to 4 bytes"},
        {0xFFFFFFFFu, 0xFFFFFFFFu, 4, "the largest sizes a lock can report"},
    };
    int nFailures = 0;
    for (const auto &c : aCases) {
        long long allBefore[5], allAfter[5];
        QelClipboardTest_Counters(allBefore);
        CSizeOnlyBuffer buffer(c.unWidth, c.unHeight, c.unBytesPerPixel);
        const BOOL bResult = utility.CopyToClipboard(hwnd, &buffer);
        QelClipboardTest_Counters(allAfter);
        if (bResult != FALSE || buffer.m_nLocks != 1 || buffer.m_nUnlocks != 1 || allAfter[0] != allBefore[0]) {
            std::printf("%s: result %d, locks %d, unlocks %d, opens %lld\n", c.pszWhy, bResult, buffer.m_nLocks,
                        buffer.m_nUnlocks, allAfter[0] - allBefore[0]);
            ++nFailures;
        }
    }
    return nFailures == 0 ? 0 : 1;
}
