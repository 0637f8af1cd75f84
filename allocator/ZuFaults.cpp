#include "ZuFaults.h"

#include <cstdint>
#include <cstring>

namespace zu {

namespace {

// Calls to let pass (high 32 bits) and failures still to give (low 32 bits)
// share one word, so a racing thread can never take a failure that a pass
// still stands before.
struct FaultSlot {
    std::atomic<std::uint64_t> qwArmed{0};
    std::atomic<HRESULT> hr{E_OUTOFMEMORY};
};

constexpr std::uint64_t Pack(std::uint32_t unSkip, std::uint32_t unCount)
{
    return ((std::uint64_t)unSkip << 32) | unCount;
}

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

void ArmFault(FaultOp op, int nSkip, int nCount, HRESULT hr)
{
    // The code goes in first so that a thread which claims one of the new
    // failures sees it. A count of 0 disarms, skip and all.
    const std::uint32_t unCount = nCount < 0 ? 0 : (std::uint32_t)nCount;
    const std::uint32_t unSkip = (nSkip < 0 || unCount == 0) ? 0 : (std::uint32_t)nSkip;
    g_aFaults[op].hr.store(hr, std::memory_order_relaxed);
    g_aFaults[op].qwArmed.store(Pack(unSkip, unCount), std::memory_order_release);
}

void ClearFaults()
{
    for (FaultSlot &slot : g_aFaults)
        slot.qwArmed.store(0, std::memory_order_release);
}

bool TakeFault(FaultOp op, HRESULT *pHr)
{
    FaultSlot &slot = g_aFaults[op];
    std::uint64_t qw = slot.qwArmed.load(std::memory_order_relaxed);
    while ((std::uint32_t)qw != 0) {
        const std::uint32_t unSkip = (std::uint32_t)(qw >> 32), unCount = (std::uint32_t)qw;
        const bool bFail = unSkip == 0;
        const std::uint64_t qwNext = bFail ? Pack(0, unCount - 1) : Pack(unSkip - 1, unCount);
        // Claim exactly one pass or failure even when several threads race.
        if (slot.qwArmed.compare_exchange_weak(qw, qwNext, std::memory_order_acquire, std::memory_order_relaxed)) {
            if (bFail)
                *pHr = slot.hr.load(std::memory_order_relaxed);
            return bFail;
        }
    }
    return false;
}

} // namespace zu
