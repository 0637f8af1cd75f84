// The re-projection worker pool. One mutex guards every list and counter;
// each job's done flag and each worker's wake flag has its own condition
// variable on that mutex. Lists are singly linked stacks.
#include "ThreadPool.h"

#include <atomic>
#include <new>
#include <pthread.h>
#include <system_error>
#include <unistd.h>

namespace qel {

CThreadPool::CThreadPool(unsigned int unMaxWorkers) : m_unMaxWorkers(unMaxWorkers == 0 ? 1 : unMaxWorkers) {}

// Takes a job or a worker out of the list at *ppHead; false when it is not
// in it.
template <class Node>
bool CThreadPool::Unlink(Node **ppHead, Node *pNode)
{
    for (Node **pp = ppHead; *pp != nullptr; pp = &(*pp)->pNext) {
        if (*pp == pNode) {
            *pp = pNode->pNext;
            pNode->pNext = nullptr;
            return true;
        }
    }
    return false;
}

CThreadPool::ThreadJob *CThreadPool::Find(ThreadJob *pHead, UINT unId)
{
    for (; pHead != nullptr; pHead = pHead->pNext)
        if (pHead->unId == unId)
            return pHead;
    return nullptr;
}

unsigned int CThreadPool::WorkerCount()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_unWorkerCount;
}

// Under the lock: the worker takes the job and is woken.
void CThreadPool::Hand(WorkerThread *pWorker, ThreadJob *pJob)
{
    pWorker->pJob = pJob;
    pJob->pNext = m_pRunning;
    m_pRunning = pJob;
    pWorker->pNext = m_pBusy;
    m_pBusy = pWorker;
    pWorker->bWake = true;
    pWorker->cvWake.notify_one();
}

bool CThreadPool::SubmitJob(PFN_ThreadJob pfnJob, void *pArg, int nPriority, UINT *pId)
{
    ThreadJob *pJob = new (std::nothrow) ThreadJob;
    if (pJob == nullptr)
        return false;
    pJob->pfnJob = pfnJob;
    pJob->pArg = pArg;
    pJob->nPriority = nPriority;

    std::lock_guard<std::mutex> guard(m_lock);
    if (m_bShutdown) {
        delete pJob;
        return false;
    }
    WorkerThread *pWorker = m_pIdle;
    if (pWorker != nullptr) {
        m_pIdle = pWorker->pNext;
        pWorker->pNext = nullptr;
    } else if (m_unWorkerCount < m_unMaxWorkers) {
        pWorker = new (std::nothrow) WorkerThread;
        if (pWorker != nullptr) {
            pWorker->pPool = this;
            try {
                pWorker->thread = std::thread(WorkerThreadProc, pWorker);
                ++m_unWorkerCount;
            } catch (const std::system_error &) {
                delete pWorker;
                pWorker = nullptr;
            }
        }
        // Without a new worker the job can still wait for a busy one; with
        // no worker at all it would wait for ever.
        if (pWorker == nullptr && m_unWorkerCount == 0) {
            delete pJob;
            return false;
        }
    }
    pJob->unId = m_unNextJobId++;
    *pId = pJob->unId;
    if (pWorker == nullptr) {
        pJob->pNext = m_pPending;
        m_pPending = pJob;
        return true;
    }
    Hand(pWorker, pJob);
    return true;
}

void CThreadPool::WorkerThreadProc(WorkerThread *pWorker)
{
    CThreadPool *pPool = pWorker->pPool;
    std::unique_lock<std::mutex> lock(pPool->m_lock);
    for (;;) {
        pWorker->cvWake.wait(lock, [pWorker] { return pWorker->bWake; });
        pWorker->bWake = false;
        ThreadJob *pJob = pWorker->pJob;
        if (pPool->m_bShutdown) {
            // Handed over but not started: its waiter learns it was cancelled.
            if (pJob != nullptr && !pJob->bDone) {
                pJob->hrResult = kJobCancelled;
                pJob->bDone = true;
                pJob->cvDone.notify_all();
            }
            pWorker->pJob = nullptr;
            return;
        }
        lock.unlock();
        HRESULT hr = E_FAIL;
        if (pJob != nullptr && pJob->pfnJob != nullptr)
            hr = pJob->pfnJob(pJob->pArg);
        lock.lock();

        if (pPool->m_pPending != nullptr && !pPool->m_bShutdown) {
            ThreadJob *pNext = pPool->m_pPending;
            pPool->m_pPending = pNext->pNext;
            pNext->pNext = pPool->m_pRunning;
            pPool->m_pRunning = pNext;
            pWorker->pJob = pNext;
            pWorker->bWake = true; // the next wait returns at once
        } else {
            Unlink(&pPool->m_pBusy, pWorker);
            pWorker->pJob = nullptr;
            pWorker->pNext = pPool->m_pIdle;
            pPool->m_pIdle = pWorker;
            // Teardown wakes idle workers to let them go.
            if (pPool->m_bShutdown)
                pWorker->bWake = true;
        }
        if (pJob != nullptr) {
            pJob->hrResult = hr;
            pJob->bDone = true;
            pJob->cvDone.notify_all();
        }
    }
}

HRESULT CThreadPool::WaitForJob(UINT unId)
{
    std::unique_lock<std::mutex> lock(m_lock);
    ThreadJob *pJob = Find(m_pRunning, unId);
    if (pJob == nullptr)
        pJob = Find(m_pPending, unId);
    if (pJob == nullptr)
        return S_FALSE;
    ++m_unWaiters;
    pJob->cvDone.wait(lock, [pJob] { return pJob->bDone; });
    const HRESULT hr = pJob->hrResult;
    // A cancelled job belongs to the teardown, which frees it once no
    // caller is left waiting.
    if (hr != kJobCancelled && (Unlink(&m_pRunning, pJob) || Unlink(&m_pPending, pJob)))
        delete pJob;
    if (--m_unWaiters == 0)
        m_cvNoWaiters.notify_all();
    return hr;
}

CThreadPool::~CThreadPool()
{
    std::unique_lock<std::mutex> lock(m_lock);
    m_bShutdown = true;
    // Jobs no worker has taken are cancelled; their waiters wake with the
    // cancel value.
    for (ThreadJob *pJob = m_pPending; pJob != nullptr; pJob = pJob->pNext) {
        pJob->hrResult = kJobCancelled;
        pJob->bDone = true;
        pJob->cvDone.notify_all();
    }
    // Idle workers are woken to leave; busy ones leave once their job ends,
    // so no job outlives the pool.
    for (WorkerThread *pWorker = m_pIdle; pWorker != nullptr; pWorker = pWorker->pNext) {
        pWorker->bWake = true;
        pWorker->cvWake.notify_one();
    }
    WorkerThread *apLists[2] = {m_pIdle, m_pBusy};
    lock.unlock();
    // Workers move between the lists while they finish, so join whatever
    // is on either list until both are empty of joinable threads.
    for (;;) {
        WorkerThread *pJoin = nullptr;
        lock.lock();
        apLists[0] = m_pIdle;
        apLists[1] = m_pBusy;
        for (WorkerThread *pHead : apLists)
            for (WorkerThread *p = pHead; p != nullptr && pJoin == nullptr; p = p->pNext)
                if (p->thread.joinable())
                    pJoin = p;
        lock.unlock();
        if (pJoin == nullptr)
            break;
        pJoin->thread.join();
    }
    lock.lock();
    m_cvNoWaiters.wait(lock, [this] { return m_unWaiters == 0; });
    for (ThreadJob **ppList : {&m_pRunning, &m_pPending}) {
        while (*ppList != nullptr) {
            ThreadJob *pJob = *ppList;
            *ppList = pJob->pNext;
            delete pJob;
        }
    }
    for (WorkerThread **ppList : {&m_pIdle, &m_pBusy}) {
        while (*ppList != nullptr) {
            WorkerThread *pWorker = *ppList;
            *ppList = pWorker->pNext;
            delete pWorker;
        }
    }
}

void CThreadPool::PrepareFork() { m_lock.lock(); }

void CThreadPool::ParentAfterFork() { m_lock.unlock(); }

void CThreadPool::ChildAfterFork()
{
    m_pIdle = m_pBusy = nullptr;
    m_pRunning = m_pPending = nullptr;
    m_unWorkerCount = 0;
    m_unWaiters = 0;
    m_lock.unlock();
}

namespace {

unsigned int ProcessorCount()
{
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? (unsigned int)n : 1u;
}

CThreadPool g_reconstructPool(ProcessorCount());

// Cleared when the pool is destroyed, so a fork during exit leaves it alone.
std::atomic<CThreadPool *> g_pForkPool{nullptr};

struct CForkHandlers {
    CForkHandlers()
    {
        g_pForkPool.store(&g_reconstructPool);
        pthread_atfork(
            [] {
                if (CThreadPool *p = g_pForkPool.load())
                    p->PrepareFork();
            },
            [] {
                if (CThreadPool *p = g_pForkPool.load())
                    p->ParentAfterFork();
            },
            [] {
                if (CThreadPool *p = g_pForkPool.load())
                    p->ChildAfterFork();
            });
    }
    // Destroyed before the pool (constructed after it).
    ~CForkHandlers() { g_pForkPool.store(nullptr); }
} g_forkHandlers;

} // namespace

CThreadPool &ReconstructPool() { return g_reconstructPool; }

} // namespace qel
