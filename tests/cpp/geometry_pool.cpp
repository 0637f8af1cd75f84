// The re-projection pool: LIFO, workers on demand, unknown ids, teardown; every slicing equals one slice.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "geometry/ReconstructKernels.h"
#include "geometry/ThreadPool.h"

using qel::CThreadPool;

static int g_nFailures = 0;
#define CHECK(cond) \
    do { if (!(cond)) { std::printf("%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); ++g_nFailures; } } while (0)

namespace {

std::atomic<bool> g_bGate{false};
std::atomic<bool> g_bBlockerDone{false};

HRESULT Blocker(void *)
{
    while (!g_bGate.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return g_bBlockerDone.store(true), 7;
}

struct tagRecorder { std::mutex lock; std::vector<int> order; };
struct tagTag { tagRecorder *pRec; int n; };

HRESULT Record(void *pArg)
{
    tagTag *p = static_cast<tagTag *>(pArg);
    std::lock_guard<std::mutex> g(p->pRec->lock);
    return p->pRec->order.push_back(p->n), p->n;
}

void Lifo()
{
    g_bGate = false;
    CThreadPool pool(1);
    UINT idBlock, ids[3];
    CHECK(pool.SubmitJob(Blocker, nullptr, 0, &idBlock));
    tagRecorder rec;
    tagTag tags[3] = {{&rec, 1}, {&rec, 2}, {&rec, 3}};
    for (int i = 0; i < 3; ++i)
        CHECK(pool.SubmitJob(Record, &tags[i], 0, &ids[i]));
    g_bGate = true;
    CHECK(pool.WaitForJob(idBlock) == 7);
    for (int i = 0; i < 3; ++i)
        CHECK(pool.WaitForJob(ids[i]) == i + 1);
    CHECK((rec.order == std::vector<int>{3, 2, 1}));
    // Ids count up from 0; a freed id is no longer known.
    CHECK(idBlock == 0 && ids[2] == 3);
    CHECK(pool.WaitForJob(ids[0]) == S_FALSE);
    CHECK(pool.WaitForJob(12345) == S_FALSE);
    CHECK(pool.WorkerCount() == 1);
}

void WorkersOnDemand()
{
    CThreadPool pool(3);
    CHECK(pool.WorkerCount() == 0);
    tagRecorder rec;
    tagTag tag = {&rec, 5};
    for (int i = 0; i < 4; ++i) {
        UINT id;
        CHECK(pool.SubmitJob(Record, &tag, 0, &id));
        CHECK(pool.WaitForJob(id) == 5);
    }
    CHECK(pool.WorkerCount() == 1); // the idle worker is reused
    g_bGate = false;
    UINT ids[5];
    for (int i = 0; i < 5; ++i)
        CHECK(pool.SubmitJob(Blocker, nullptr, 0, &ids[i]));
    CHECK(pool.WorkerCount() == 3); // never more than the maximum
    g_bGate = true;
    for (int i = 0; i < 5; ++i)
        CHECK(pool.WaitForJob(ids[i]) == 7);
}

void TeardownCancelsWaitingJobs()
{
    g_bGate = false;
    g_bBlockerDone = false;
    std::unique_ptr<CThreadPool> pPool(new CThreadPool(1));
    UINT idBlock, idPending;
    tagRecorder rec;
    tagTag tag = {&rec, 9};
    CHECK(pPool->SubmitJob(Blocker, nullptr, 0, &idBlock));
    CHECK(pPool->SubmitJob(Record, &tag, 0, &idPending));
    std::atomic<HRESULT> hrWaiter{0};
    CThreadPool *pRaw = pPool.get();
    std::thread waiter([&] { hrWaiter = pRaw->WaitForJob(idPending); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::atomic<bool> bDestroyed{false};
    std::thread destroyer([&] { pPool.reset(); bDestroyed = true; });
    waiter.join(); // woken by the teardown while the blocker still runs
    CHECK(hrWaiter == qel::kJobCancelled);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    CHECK(!bDestroyed); // the running job is not abandoned
    g_bGate = true;
    destroyer.join();
    CHECK(g_bBlockerDone);
    CHECK(rec.order.empty()); // the cancelled job never ran
}

std::vector<BYTE> Panorama(int w, int h, unsigned salt)
{
    std::vector<BYTE> v((size_t)w * h * 4);
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = (BYTE)((i * 2654435761u + salt) >> 7);
    return v;
}

std::vector<BYTE> OneSlice(const std::vector<BYTE> &src, int w, int h, float fRoll, float fYaw, float fPitch)
{
    std::vector<BYTE> dst(src.size(), 0xCD);
    ReconstructData d;
    std::memset(&d, 0, sizeof(d));
    d.pSrcBuffer = const_cast<BYTE *>(src.data()), d.pDstBuffer = dst.data();
    d.unSrcWidth = d.unDstWidth = d.nEndX = w;
    d.unSrcHeight = d.unDstHeight = d.nEndY = h;
    d.unSrcStride = d.unDstStride = w * 4;
    d.fRollAngle = fRoll, d.fYawAngle = fYaw, d.fPitchAngle = fPitch, d.bHasSSE2 = 1;
    ReconstructSlice(&d);
    return dst;
}

void Slicing()
{
    ReconstructSlice(nullptr); // does nothing
    for (unsigned nWorkers : {1u, 3u, 8u}) {
        CThreadPool pool(nWorkers);
        for (int h : {1, 2, 7, 8, 10, 17}) {
            const int w = 24;
            const std::vector<BYTE> src = Panorama(w, h, h);
            const std::vector<BYTE> want = OneSlice(src, w, h, -10.0f, -30.0f, -20.0f);
            std::vector<BYTE> got(src.size(), 0xCD);
            CHECK(qel::ReconstructPanoramaOn(pool, const_cast<BYTE *>(src.data()), w, h, w * 4, -10.0f, -30.0f,
                                             -20.0f, 0.0f, got.data(), w, h, w * 4) == 0);
            if (got != want)
                std::printf("workers %u height %d differs\n", nWorkers, h), ++g_nFailures;
        }
    }
}

void CopyShortcut()
{
    CThreadPool pool(2);
    const int w = 5, h = 3;
    const std::vector<BYTE> src = Panorama(w, h, 1);
    // Equal steps: one block; different steps: rows of the smaller step.
    std::vector<BYTE> dst(src.size(), 0);
    qel::ReconstructPanoramaOn(pool, const_cast<BYTE *>(src.data()), w, h, w * 4, 1e-8f, -1e-8f, 0.0f, 0.0f,
                               dst.data(), w, h, w * 4);
    CHECK(dst == src);
    std::vector<BYTE> wide((size_t)h * (w * 4 + 8), 0xEE);
    qel::ReconstructPanoramaOn(pool, const_cast<BYTE *>(src.data()), w, h, w * 4, 0.0f, 0.0f, 0.0f, 0.0f,
                               wide.data(), w, h, w * 4 + 8);
    for (int y = 0; y < h; ++y) {
        CHECK(std::memcmp(&wide[(size_t)y * (w * 4 + 8)], &src[(size_t)y * w * 4], w * 4) == 0);
        CHECK(wide[(size_t)y * (w * 4 + 8) + w * 4] == 0xEE);
    }
    CHECK(pool.WorkerCount() == 0); // a copy never wakes the pool
}

} // namespace

int main()
{
    Lifo();
    WorkersOnDemand();
    TeardownCancelsWaitingJobs();
    Slicing();
    CopyShortcut();
    std::printf("%d failures\n", g_nFailures);
    return g_nFailures != 0;
}
