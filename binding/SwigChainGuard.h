// Guards the chain of wrapped pointers that a proxy instance's "this" can
// hold. Appending links the new pointer in right after the first one, so a
// pointer that is already in the chain would close it into a ring, and
// every later repr or type lookup along the chain would never end.
//
// Include only inside a SWIG wrapper's own code, where the runtime's
// SwigPyObject and SwigPyObject_append are defined.
#pragma once

namespace qel_chain {

inline bool InChain(PyObject *pHead, PyObject *pObj)
{
    for (SwigPyObject *p = (SwigPyObject *)pHead; p != NULL; p = (SwigPyObject *)p->next)
        if ((PyObject *)p == pObj)
            return true;
    return false;
}

inline PyObject *RefuseRing()
{
    PyErr_SetString(PyExc_ValueError, "Attempt to append a SwigPyObject already in the chain");
    return NULL;
}

// The wrapped pointer's own "append" method, with the ring refused.
inline PyObject *AppendChecked(PyObject *pSelf, PyObject *pNext)
{
    if (SwigPyObject_Check(pNext) && InChain(pSelf, pNext))
        return RefuseRing();
    return SwigPyObject_append(pSelf, pNext);
}

// Points the runtime's "append" method entry at AppendChecked. The type's
// method descriptor reads the entry at each call, so this works before or
// after the type is made ready.
inline void GuardAppendMethod(PyMethodDef *pMethods)
{
    for (PyMethodDef *p = pMethods; p->ml_name != NULL; ++p)
        if (std::strcmp(p->ml_name, "append") == 0)
            p->ml_meth = (PyCFunction)AppendChecked;
}

} // namespace qel_chain
