// Diagnostic trace: one prefixed line per message on standard error, only
// while the switch (env QEL_DUMPMSG, read at each utility construction) is on.
#pragma once

#include <atomic>
#include <cstdint>
#include <cwchar>

namespace qel {

extern std::atomic<bool> g_bTraceOn;

// Re-reads QEL_DUMPMSG. Unset: switch and prefixes stay as they were.
void TraceReadSwitch();

void TraceWriteA(const char *pszFormat, ...) __attribute__((format(printf, 1, 2)));
void TraceWriteW(const wchar_t *pszFormat, ...);

} // namespace qel

// The switch is tested before the arguments are evaluated, so a disabled
// trace costs one relaxed load.
#define QEL_TRACE(...)                                                     \
    do {                                                                   \
        if (::qel::g_bTraceOn.load(std::memory_order_relaxed))             \
            ::qel::TraceWriteA(__VA_ARGS__);                               \
    } while (0)

#define QEL_TRACE_W(...)                                                   \
    do {                                                                   \
        if (::qel::g_bTraceOn.load(std::memory_order_relaxed))             \
            ::qel::TraceWriteW(__VA_ARGS__);                               \
    } while (0)

#define QEL_TRACE_ENTRY(name) QEL_TRACE("FUNCTION : %s%s", name, "() entry")
#define QEL_TRACE_END(name) QEL_TRACE("FUNCTION : %s%s", name, "() end")
#define QEL_TRACE_NULL(name, what) QEL_TRACE("[Assert]FUNCTION : %s , Null Pointer : " what, name)

// Addresses are logged as their low 32 bits ("%0x"), as the editor's logs show them.
#define QEL_ADDR32(p) ((unsigned)(std::uintptr_t)(p))
