// The user-mode header set of the Windows compile check: mingw-w64's <windows.h>
// and <fltuser.h>, with the declarations they lack filled in after them, each
// written from Microsoft's documented signature.
#pragma once

#include <windows.h>
#include <fltuser.h>
