// The three platform routines the configuration reader's files refer to, for the
// fuzz target alone: it runs without the simulated machine (which clang does not
// build). The parse under test never logs and never opens a file, so reaching any
// of these is itself a finding.
#include <string>

#include "platform/um.h"

std::string KxHostFilePath(const std::string&) { __builtin_trap(); }

int WideCharToMultiByte(UINT, DWORD, LPCWCH, int, LPSTR, int, LPCCH, LPBOOL) { __builtin_trap(); }

int _vsnwprintf(WCHAR*, size_t, const WCHAR*, va_list) { __builtin_trap(); }
