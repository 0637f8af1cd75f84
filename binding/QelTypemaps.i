// How the editor's Windows types cross into Python. The scalar widths follow
// the editor's ABI, not this platform's: DWORD and UINT are 32-bit unsigned,
// WORD 16-bit, HRESULT and BOOL 32-bit signed.

typedef int HRESULT;
typedef int BOOL;
typedef unsigned int UINT;
typedef unsigned int DWORD;
typedef unsigned short WORD;
typedef unsigned char BYTE;
typedef unsigned char uint8;
typedef long LONG;
typedef unsigned long ULONG;
typedef long long LONGLONG;
typedef unsigned long long ULONGLONG;
typedef float FLOAT;
typedef double DOUBLE;
typedef wchar_t WCHAR;
// "byte" is deliberately left unknown to the generator: it stays its own
// wrapped type ("byte *"), distinct from "BYTE *".

%{
namespace qel_binding {
// Entries that may be handed None for their object: destructors and setters
// do nothing with it, and the per-thread error calls never touch the object.
inline bool SelfMayBeNull(const char *pszSymbol)
{
    static const char *const s_apszNames[] = {
        "PyQelBufferUtility_Open", "PyQelBufferUtility_Close", "PyQelBufferUtility_GetLastErrorHr",
    };
    if (std::strncmp(pszSymbol, "delete_", 7) == 0)
        return true;
    size_t cch = std::strlen(pszSymbol);
    if (cch > 4 && std::strcmp(pszSymbol + cch - 4, "_set") == 0)
        return true;
    for (const char *pszName : s_apszNames)
        if (std::strcmp(pszSymbol, pszName) == 0)
            return true;
    return false;
}

// A destructor leaves no pointer to the freed object in the wrapper it was
// handed (nor anywhere along that wrapper's chain): a second delete, or any
// later call through the wrapper, then sees a null object instead of freed
// memory.
inline void ForgetPointer(PyObject *pInput, void *pv)
{
    if (pv == NULL)
        return;
    for (SwigPyObject *p = SWIG_Python_GetSwigThis(pInput); p != NULL; p = (SwigPyObject *)p->next)
        if (p->ptr == pv)
            p->ptr = NULL;
}
} // namespace qel_binding
%}

// A method that works on the object's state must not run on a null object.
// The object is argument 1, so it is refused before any later argument is
// converted.
%typemap(in, noblock=1) SWIGTYPE *self (void *argp = 0, int res = 0) {
  res = SWIG_ConvertPtr($input, &argp, $descriptor, $disown | 0);
  if (!SWIG_IsOK(res)) {
    SWIG_exception_fail(SWIG_ArgError(res), "in method '$symname', argument $argnum of type '$type'");
  }
  $1 = reinterpret_cast<$ltype>(argp);
  if (!$1 && !qel_binding::SelfMayBeNull("$symname")) {
    SWIG_exception_fail(SWIG_TypeError, "in method '$symname', argument $argnum of type '$type'");
  }
  if (($disown | 0) & SWIG_POINTER_DISOWN) {
    qel_binding::ForgetPointer($input, argp);
  }
}

// A window handle is whatever pointer the caller's other modules hand over:
// None, or any wrapped pointer whatever its type; a plain int is refused.
%typemap(in, noblock=1) HWND (void *argp = 0, int res = 0) {
  res = SWIG_ConvertPtr($input, &argp, 0, 0);
  if (!SWIG_IsOK(res)) {
    SWIG_exception_fail(SWIG_ArgError(res), "in method '$symname', argument $argnum of type '$type'");
  }
  $1 = reinterpret_cast<HWND>(argp);
}
%typemap(typecheck, precedence=SWIG_TYPECHECK_POINTER, noblock=1) HWND {
  {
    void *vptr = 0;
    $1 = SWIG_CheckState(SWIG_ConvertPtr($input, &vptr, 0, 0));
  }
}
