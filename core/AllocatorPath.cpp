#include "AllocatorPath.h"

#include <dlfcn.h>

namespace qel {

std::string DefaultAllocatorLibraryPath(const void *pAnchor)
{
    Dl_info info{};
    std::string strDir = ".";
    if (dladdr(pAnchor, &info) != 0 && info.dli_fname != nullptr) {
        std::string strModule = info.dli_fname;
        size_t nSlash = strModule.rfind('/');
        if (nSlash != std::string::npos)
            strDir = strModule.substr(0, nSlash);
    }
    return strDir + "/Kernel/Photo/libZuBufferAllocator.so";
}

} // namespace qel
