#include "SSELevel.h"

#include <cpuid.h>
#include <cstdlib>

namespace qel {

int ProcessorSSELevel()
{
    // CPUID does not change while the process runs.
    static const int s_nLevel = [] {
        unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
        if (__get_cpuid_max(0, nullptr) < 1 || !__get_cpuid(1, &eax, &ebx, &ecx, &edx))
            return 0;
        if (!(edx & (1u << 25)))
            return 0;
        if (!(edx & (1u << 26)))
            return 1;
        if (!(ecx & (1u << 0)))
            return 2;
        if (!(ecx & (1u << 9)))
            return 3;
        if (!(ecx & (1u << 19)))
            return 4;
        if (!(ecx & (1u << 20)))
            return 5;
        return 6;
    }();
    return s_nLevel;
}

} // namespace qel

int GetSSELevel()
{
    const int nLevel = qel::ProcessorSSELevel();
    const char *pszForced = std::getenv("QEL_SSE_LEVEL");
    if (pszForced != nullptr && pszForced[0] >= '0' && pszForced[0] <= '6' && pszForced[1] == '\0') {
        const int nForced = pszForced[0] - '0';
        return nForced < nLevel ? nForced : nLevel;
    }
    return nLevel;
}
