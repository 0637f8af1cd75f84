// Windows-flavoured scalar types and status codes used across the module.
// Widths are fixed to the editor's ABI (LLP64): DWORD and UINT are 32 bits,
// HRESULT is a signed 32-bit value.
#pragma once

#include <cstdint>

typedef int HRESULT;
typedef int BOOL;
typedef unsigned int UINT;
typedef unsigned int DWORD;
typedef unsigned short WORD;
typedef unsigned char BYTE;
typedef unsigned char uint8;
typedef std::uint64_t UINT64;
typedef void *HANDLE;
typedef struct HWND__ *HWND;

#ifndef SWIG
// "byte" is a separate wrapped type for Python, but in C++ it is just a byte.
typedef unsigned char byte;
#endif

#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_FAIL ((HRESULT)0x80004005u)
#define E_POINTER ((HRESULT)0x80004003u)
#define E_INVALIDARG ((HRESULT)0x80070057u)
#define E_OUTOFMEMORY ((HRESULT)0x8007000Eu)

#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif
