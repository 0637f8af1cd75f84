// The team gate of the mask loops, on a made-up clock: a late team closes it
// for a pause that doubles up to its limit, an on-time team resets the
// pause, loops on one thread teach it nothing; and the gated band loop
// visits every row exactly once whether the gate is open or closed.
#include <cstdio>
#include <vector>

#include "mask/MaskTeamGate.h"

namespace {

int g_nFailures = 0;

void Expect(bool bOk, const char *pszWhat)
{
    if (!bOk) {
        std::printf("failed: %s\n", pszWhat);
        ++g_nFailures;
    }
}

void CheckBands(int nRows, std::size_t cbRow)
{
    std::vector<int> visits(nRows > 0 ? nRows : 0, 0);
    qel::maskteam::ForEachRowBandGated(nRows, cbRow, [&](int y) {
#pragma omp atomic
        ++visits[y];
    });
    for (int v : visits)
        Expect(v == 1, "every row once");
}

} // namespace

int main()
{
    using namespace qel::maskteam;
    Expect(TeamSize(0.0, 2) == 2, "open at first");
    Expect(TeamSize(0.0, 0) == 1, "never fewer than one thread");
    Record(2, 0.0001, 1.0);
    Expect(TeamSize(1.0, 2) == 2, "an on-time team keeps it open");
    Record(1, 0.5, 1.0);
    Expect(TeamSize(1.0, 2) == 2, "a loop on one thread does not close it");
    Record(2, 0.01, 1.0);
    Expect(TeamSize(1.04, 2) == 1 && TeamSize(1.06, 2) == 2, "closed for the first pause");
    Record(2, 0.01, 1.06);
    Expect(TeamSize(1.15, 2) == 1 && TeamSize(1.17, 2) == 2, "then for twice as long");
    double dNow = 2.0;
    for (int i = 0; i < 10; ++i)
        Record(2, 0.01, dNow);
    Expect(TeamSize(dNow + kLongestPause - 0.01, 2) == 1 && TeamSize(dNow + kLongestPause + 0.01, 2) == 2,
           "the pause stops growing at its limit");
    Record(2, 0.0001, 10.0);
    Record(2, 0.01, 10.0);
    Expect(TeamSize(10.04, 2) == 1 && TeamSize(10.06, 2) == 2, "an on-time team resets the pause");

    for (int nRows : {0, 1, 2, 63, 64, 65, 1000, 5000})
        for (std::size_t cbRow : {0u, 1u, 16u, 4096u, 1u << 20, 3u << 20})
            CheckBands(nRows, cbRow);
    Record(2, 0.01, omp_get_wtime()); // closed: the same rows on the calling thread
    CheckBands(5000, 4096);
    return g_nFailures == 0 ? 0 : 1;
}
