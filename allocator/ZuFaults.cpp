#include "ZuFaults.h"

#include <cstring>

namespace zu {

namespace {

struct FaultSlot {
    std::atomic<int> nRemaining{0};
    std::atomic<HRESULT> hr{E_OUTOFMEMORY};
};

FaultSlot g_aFaults[FAULT_OP_COUNT];

const char *const g_apszFaultNames[FAULT_OP_COUNT] = {
    "allocateImageBuffer",
    "allocateFileMappingBuffer",
    "allocateGifBuffer",
    "copyBufferData",
    "lock",
    "lock_no_data",
};

} // namespace

int FaultOpFromName(const char *pszName)
{
    if (pszName == nullptr)
        return -1;
    for (int i = 0; i < FAULT_OP_COUNT; ++i) {
        if (std::strcmp(pszName, g_apszFaultNames[i]) == 0)
            return i;
    }
    return -1;
}

void ArmFault(FaultOp op, int nCount, HRESULT hr)
{
    // The code goes in first so that a thread which claims one of the new
    // failures sees it.
    g_aFaults[op].hr.store(hr, std::memory_order_relaxed);
    g_aFaults[op].nRemaining.store(nCount < 0 ? 0 : nCount, std::memory_order_release);
}

void ClearFaults()
{
    for (FaultSlot &slot : g_aFaults)
        slot.nRemaining.store(0, std::memory_order_release);
}

bool TakeFault(FaultOp op, HRESULT *pHr)
{
    FaultSlot &slot = g_aFaults[op];
    int n = slot.nRemaining.load(std::memory_order_relaxed);
    while (n > 0) {
        // Claim exactly one failure even when several threads race for it.
        if (slot.nRemaining.compare_exchange_weak(n, n - 1, std::memory_order_acquire,
                                                  std::memory_order_relaxed)) {
            *pHr = slot.hr.load(std::memory_order_relaxed);
            return true;
        }
    }
    return false;
}

} // namespace zu
