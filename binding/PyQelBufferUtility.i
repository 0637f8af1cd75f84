// Python face of the utility: the flat method table, its constants and the
// records. Declaration order in the included headers is the table order.
%module PyQelBufferUtility

%feature("autodoc", "1");

%{
#include <cstring>
#include "PyQelBufferUtility.h"
#include "Records.h"
%}

%include "QelTypemaps.i"

// These three work on the calling thread's error record only, so they run
// without touching the object (which may be None).
%feature("action") PyQelBufferUtility::Open "result = (HRESULT)PyQelBufferUtility::OpenThread();"
%feature("action") PyQelBufferUtility::Close "result = (HRESULT)PyQelBufferUtility::CloseThread();"
%feature("action") PyQelBufferUtility::GetLastErrorHr "result = (HRESULT)PyQelBufferUtility::LastErrorOfThread();"

%include "Records.h"
%include "PyQelBufferUtility.h"
