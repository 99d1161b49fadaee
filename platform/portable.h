// Portable macros shared by driver, library and the simulated machine.
//
// - WSTR("text"): a UTF-16 wide literal of type const WCHAR[]. WCHAR is wchar_t on
//   Windows and char16_t elsewhere, so the same source compiles on both.
// - KX_TRY / KX_EXCEPT / KX_EXCEPTION_CODE(): structured exception handling around
//   reads and writes of caller buffers. On Windows they are __try/__except; in the
//   simulated machine an access fault on a probed or invalid buffer is raised as a
//   C++ exception of type kxseh::SehException, which KX_EXCEPT catches.
#pragma once

#if defined(_WIN32)
#define WSTR_(s) L##s
#else
#define WSTR_(s) u##s
#endif
#define WSTR(s) WSTR_(s)

#if defined(_MSC_VER)
#define KX_TRY __try
#define KX_EXCEPT __except (EXCEPTION_EXECUTE_HANDLER)
#define KX_EXCEPTION_CODE() GetExceptionCode()
#else
namespace kxseh {
// Raised by the simulated machine for an access fault; carries the NTSTATUS
// exception code (STATUS_ACCESS_VIOLATION, STATUS_DATATYPE_MISALIGNMENT...).
struct SehException {
    long Code;
};
}  // namespace kxseh
#define KX_TRY try
#define KX_EXCEPT catch (const ::kxseh::SehException& kx_seh_exception_)
#define KX_EXCEPTION_CODE() ((NTSTATUS)kx_seh_exception_.Code)
#endif

// Number of elements of a fixed array.
#define KX_COUNTOF(a) (sizeof(a) / sizeof((a)[0]))
