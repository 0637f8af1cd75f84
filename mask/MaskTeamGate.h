// Which OpenMP team the row loops of the mask subsystem ask for.
//
// A worker woken for a loop helps only if it gets a core at once. On a busy
// machine it may wait several milliseconds for one, and a loop cannot end
// before every thread of its team has arrived, so a scan that takes 0.2 ms
// on one thread would take 10 ms or more on two. Each loop therefore notes
// how late its last thread arrived; a late arrival closes the gate and the
// loops run on the calling thread alone until it opens again, after a pause
// that doubles (up to a limit) while arrivals stay late and falls back to the
// first length once a team arrives on time. The state is process-wide and
// advisory: racing updates only move a pause by one step.
#pragma once

#include <omp.h>

#include <algorithm>
#include <atomic>
#include <cstddef>

namespace qel {
namespace maskteam {

constexpr double kLateSeconds = 0.0005; // an idle core wakes a sleeping worker in well under this
constexpr double kFirstPause = 0.05;
constexpr double kLongestPause = 1.6;

struct GateState {
    std::atomic<double> dOpenAt{0.0};
    std::atomic<double> dPause{kFirstPause};
};

inline GateState &Gate()
{
    static GateState s_state;
    return s_state;
}

// Threads for the next loop worth splitting, at time dNow (omp_get_wtime).
inline int TeamSize(double dNow, int nMaxThreads)
{
    return dNow < Gate().dOpenAt.load(std::memory_order_relaxed) ? 1 : std::max(1, nMaxThreads);
}

// What a loop on nTeam threads that ended at dNow learnt: its last thread
// arrived dLatest seconds after the loop started.
inline void Record(int nTeam, double dLatest, double dNow)
{
    if (nTeam <= 1)
        return;
    GateState &gate = Gate();
    if (dLatest > kLateSeconds) {
        const double dPause = gate.dPause.load(std::memory_order_relaxed);
        gate.dOpenAt.store(dNow + dPause, std::memory_order_relaxed);
        gate.dPause.store(std::min(dPause * 2, kLongestPause), std::memory_order_relaxed);
    } else {
        gate.dPause.store(kFirstPause, std::memory_order_relaxed);
    }
}

// One loop's team: its size, chosen at construction (the calling thread
// alone when bSplit is false), and the arrival of each of its threads,
// reported to the gate when the loop is over.
class CGatedTeam {
public:
    explicit CGatedTeam(bool bSplit)
        : m_dStart(omp_get_wtime()), m_nTeam(bSplit ? TeamSize(m_dStart, omp_get_max_threads()) : 1)
    {
    }
    ~CGatedTeam() { Record(m_nTeam, m_dLatest.load(std::memory_order_relaxed), omp_get_wtime()); }
    CGatedTeam(const CGatedTeam &) = delete;
    CGatedTeam &operator=(const CGatedTeam &) = delete;

    int size() const { return m_nTeam; }

    // Called by every thread of the team as it enters the loop.
    void Arrive()
    {
        const double dLate = omp_get_wtime() - m_dStart;
        double dSeen = m_dLatest.load(std::memory_order_relaxed);
        while (dLate > dSeen && !m_dLatest.compare_exchange_weak(dSeen, dLate, std::memory_order_relaxed)) {
        }
    }

private:
    const double m_dStart;
    const int m_nTeam;
    std::atomic<double> m_dLatest{0.0};
};

// Rows [0, nRows) in bands of about 1 MiB of cbRowTouched-byte rows, each
// band claimed whole by a free thread of the gated team.
template <class RowFn>
void ForEachRowBandGated(int nRows, std::size_t cbRowTouched, RowFn &&fnRow)
{
    if (nRows <= 0)
        return;
    constexpr std::size_t kBandBytes = 1u << 20;
    const std::size_t cbRow = cbRowTouched == 0 ? 1 : cbRowTouched;
    const int nBandRows = static_cast<int>(std::min<std::size_t>(cbRow >= kBandBytes ? 1 : kBandBytes / cbRow,
                                                                 static_cast<std::size_t>(nRows)));
    const int nBands = (nRows - 1) / nBandRows + 1;
    CGatedTeam team(nBands > 1);
#pragma omp parallel num_threads(team.size())
    {
        team.Arrive();
#pragma omp for schedule(dynamic, 1)
        for (int nBand = 0; nBand < nBands; ++nBand) {
            const int yEnd = std::min(nRows, (nBand + 1) * nBandRows);
            for (int y = nBand * nBandRows; y < yEnd; ++y)
                fnRow(y);
        }
    }
}

} // namespace maskteam
} // namespace qel
