// Writes one narrow and one wide message longer than a trace line may be.
#include <cstdlib>
#include <string>

#include "TraceLog.h"

int main()
{
    setenv("QEL_DUMPMSG", "1", 1);
    qel::TraceReadSwitch();
    const std::string strLong(2000, 'n');
    qel::TraceWriteA("%s", strLong.c_str());
    const std::wstring strWide(2000, L'w');
    qel::TraceWriteW(L"%ls", strWide.c_str());
    return 0;
}
