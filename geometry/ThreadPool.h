// The module's own worker pool for panorama re-projection: one instance,
// built when the module is loaded, whose threads are created on demand up to
// the processor count and kept for later calls. Jobs waiting for a worker
// are served last in, first out.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

#include "QelTypes.h"

namespace qel {

// A job's result when the pool was torn down before the job ran or while
// its caller waited.
constexpr HRESULT kJobCancelled = (HRESULT)0x8FFFFFFFu;

typedef HRESULT (*PFN_ThreadJob)(void *);

class CThreadPool {
public:
    explicit CThreadPool(unsigned int unMaxWorkers);
    // Cancels what has not started, lets running jobs finish, joins every
    // worker.
    ~CThreadPool();
    CThreadPool(const CThreadPool &) = delete;
    CThreadPool &operator=(const CThreadPool &) = delete;

    // Queues a job; false (and nothing queued) when no record could be made
    // or when no worker exists and none could be started, in which case the
    // caller runs the work itself.
    bool SubmitJob(PFN_ThreadJob pfnJob, void *pArg, int nPriority, UINT *pId);
    // Blocks until the job is done; returns its result, kJobCancelled when
    // the pool went away, S_FALSE for an id that is not known (any more).
    HRESULT WaitForJob(UINT unId);

    unsigned int MaxWorkers() const { return m_unMaxWorkers; }
    unsigned int WorkerCount();

    // fork() keeps only the calling thread: the pool's lock is held across
    // it, and the child forgets the workers it no longer has (their records
    // are left behind, never touched again) and starts new ones on demand.
    void PrepareFork();
    void ParentAfterFork();
    void ChildAfterFork();

private:
    struct ThreadJob {
        UINT unId = 0;
        bool bDone = false; // the done event
        std::condition_variable cvDone;
        HRESULT hrResult = S_OK;
        PFN_ThreadJob pfnJob = nullptr;
        void *pArg = nullptr;
        int nPriority = 0;
        ThreadJob *pNext = nullptr;
    };
    struct WorkerThread {
        CThreadPool *pPool = nullptr;
        std::thread thread;
        bool bWake = false; // the wake event
        std::condition_variable cvWake;
        ThreadJob *pJob = nullptr;
        WorkerThread *pNext = nullptr;
    };

    static void WorkerThreadProc(WorkerThread *pWorker);
    void Hand(WorkerThread *pWorker, ThreadJob *pJob);
    template <class Node>
    static bool Unlink(Node **ppHead, Node *pNode);
    static ThreadJob *Find(ThreadJob *pHead, UINT unId);

    std::mutex m_lock;
    bool m_bShutdown = false;
    WorkerThread *m_pIdle = nullptr;
    WorkerThread *m_pBusy = nullptr;
    ThreadJob *m_pRunning = nullptr;
    ThreadJob *m_pPending = nullptr;
    UINT m_unNextJobId = 0;
    unsigned int m_unWorkerCount = 0;
    unsigned int m_unMaxWorkers;
    // Callers inside WaitForJob; teardown frees no job while one is there.
    unsigned int m_unWaiters = 0;
    std::condition_variable m_cvNoWaiters;
};

// The module-wide pool.
CThreadPool &ReconstructPool();

} // namespace qel
