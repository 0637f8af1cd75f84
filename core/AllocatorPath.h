#pragma once

#include <string>

namespace qel {

// "<directory of the module containing pAnchor>/Kernel/Photo/libZuBufferAllocator.so":
// the allocator library is installed beside the extension modules.
std::string DefaultAllocatorLibraryPath(const void *pAnchor);

} // namespace qel
