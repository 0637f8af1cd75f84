#include "TraceLog.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace qel {

std::atomic<bool> g_bTraceOn{false};

namespace {

constexpr size_t kPrefixChars = 30;
constexpr size_t kMessageChars = 1024;

char g_szPrefixA[kPrefixChars + 1] = "";
wchar_t g_szPrefixW[kPrefixChars + 1] = L"";

// The whole line goes out in one write so that lines from concurrent
// threads never interleave.
void EmitLine(const char *pszLine, size_t cb)
{
    while (cb > 0) {
        ssize_t n = ::write(STDERR_FILENO, pszLine, cb);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        pszLine += n;
        cb -= (size_t)n;
    }
}

bool ParseDumpMsg(const char *psz, unsigned *pValue)
{
    errno = 0;
    char *pEnd = nullptr;
    const bool bHex = psz[0] == '0' && (psz[1] == 'x' || psz[1] == 'X');
    unsigned long long v = std::strtoull(bHex ? psz + 2 : psz, &pEnd, bHex ? 16 : 10);
    if (errno != 0 || pEnd == psz || *pEnd != '\0' || v > UINT_MAX || psz[0] == '-')
        return false;
    *pValue = (unsigned)v;
    return true;
}

} // namespace

void TraceReadSwitch()
{
    const char *pszValue = std::getenv("QEL_DUMPMSG");
    if (pszValue == nullptr)
        return; // no setting at all: keep what an earlier construction chose
    unsigned dwValue = 0; // an unreadable value reads as 0
    ParseDumpMsg(pszValue, &dwValue);
    g_bTraceOn.store(dwValue > 0, std::memory_order_relaxed);
    std::snprintf(g_szPrefixA, sizeof g_szPrefixA, "[%s]", "PyQelBufferUtility");
    std::swprintf(g_szPrefixW, kPrefixChars + 1, L"[%s]", "PyQelBufferUtility");
}

void TraceWriteA(const char *pszFormat, ...)
{
    if (!g_bTraceOn.load(std::memory_order_relaxed))
        return;
    char szText[kMessageChars] = {};
    va_list args;
    va_start(args, pszFormat);
    std::vsnprintf(szText, kMessageChars, pszFormat, args); // cut at 1023 characters
    va_end(args);
    char szLine[kPrefixChars + kMessageChars + 2];
    int cb = std::snprintf(szLine, sizeof szLine, "%s%s\n", g_szPrefixA, szText);
    if (cb > 0)
        EmitLine(szLine, (size_t)cb);
}

void TraceWriteW(const wchar_t *pszFormat, ...)
{
    if (!g_bTraceOn.load(std::memory_order_relaxed))
        return;
    wchar_t szText[kMessageChars] = {};
    va_list args;
    va_start(args, pszFormat);
    std::vswprintf(szText, kMessageChars, pszFormat, args);
    va_end(args);
    wchar_t szLineW[kPrefixChars + kMessageChars + 2];
    int cch = std::swprintf(szLineW, sizeof szLineW / sizeof szLineW[0], L"%ls%ls\n", g_szPrefixW, szText);
    if (cch <= 0)
        return;
    // Standard error carries bytes: each wide character becomes its UTF-8 form.
    char szLine[(kPrefixChars + kMessageChars + 2) * 4];
    size_t cb = 0;
    for (int i = 0; i < cch; ++i) {
        unsigned c = (unsigned)szLineW[i];
        if (c < 0x80) {
            szLine[cb++] = (char)c;
        } else if (c < 0x800) {
            szLine[cb++] = (char)(0xC0 | (c >> 6));
            szLine[cb++] = (char)(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            szLine[cb++] = (char)(0xE0 | (c >> 12));
            szLine[cb++] = (char)(0x80 | ((c >> 6) & 0x3F));
            szLine[cb++] = (char)(0x80 | (c & 0x3F));
        } else {
            szLine[cb++] = (char)(0xF0 | (c >> 18));
            szLine[cb++] = (char)(0x80 | ((c >> 12) & 0x3F));
            szLine[cb++] = (char)(0x80 | ((c >> 6) & 0x3F));
            szLine[cb++] = (char)(0x80 | (c & 0x3F));
        }
    }
    EmitLine(szLine, cb);
}

} // namespace qel
