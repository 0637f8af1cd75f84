// Process-wide fault injection. Each operation has a countdown of calls to
// fail; an unarmed operation costs one relaxed atomic load.
#pragma once

#include <atomic>

#include "QelTypes.h"

namespace zu {

enum FaultOp {
    FAULT_ALLOCATE_IMAGE = 0,
    FAULT_ALLOCATE_FILE_MAPPING,
    FAULT_ALLOCATE_GIF,
    FAULT_COPY_BUFFER_DATA,
    FAULT_LOCK,
    FAULT_LOCK_NO_DATA,
    FAULT_OP_COUNT
};

// Index of a named operation, or -1 when the name is unknown.
int FaultOpFromName(const char *pszName);

// After nSkip calls of op pass, the next nCount fail with hr.
void ArmFault(FaultOp op, int nSkip, int nCount, HRESULT hr);
void ClearFaults();

// Consumes one armed failure of op. True when this call must fail; *pHr
// then holds the code to report.
bool TakeFault(FaultOp op, HRESULT *pHr);

} // namespace zu
