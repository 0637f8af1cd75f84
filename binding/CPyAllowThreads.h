// Scoped release of the Python interpreter lock around pixel work.
// Releases only when the calling thread holds the lock, so nesting is
// harmless; gives the lock back on every return path.
#pragma once

#include <Python.h>

class CPyAllowThreads {
public:
    CPyAllowThreads()
    {
        if (PyGILState_GetThisThreadState() != nullptr && PyGILState_Check())
            m_pSaved = PyEval_SaveThread();
    }
    ~CPyAllowThreads()
    {
        if (m_pSaved != nullptr)
            PyEval_RestoreThread(m_pSaved);
    }
    CPyAllowThreads(const CPyAllowThreads &) = delete;
    CPyAllowThreads &operator=(const CPyAllowThreads &) = delete;

private:
    PyThreadState *m_pSaved = nullptr;
};

// Scoped hold of the interpreter lock for code that may run without it
// (building Python results after a CPyAllowThreads stretch).
class CPyEnsureGIL {
public:
    CPyEnsureGIL() : m_state(PyGILState_Ensure()) {}
    ~CPyEnsureGIL() { PyGILState_Release(m_state); }
    CPyEnsureGIL(const CPyEnsureGIL &) = delete;
    CPyEnsureGIL &operator=(const CPyEnsureGIL &) = delete;

private:
    PyGILState_STATE m_state;
};
