// Conversions between the host's drive-letter paths and the NT device paths the
// driver matches (\Device\HarddiskVolume3\...), and a display form for paths on
// network redirectors.
#pragma once

#include <cstddef>

#include "platform/um.h"

constexpr size_t kMaxPathTextChars = 1023;  // longest converted text; results are cut there

// "C:\data" -> "\Device\HarddiskVolume3\data" (the drive's first DOS-device target,
// then the argument from its third character). Fails without a target for the first
// two characters, and for an argument shorter than two characters. The result is
// cut to 1023 characters and to the buffer.
bool DriveToNtPath(LPCWSTR drivePath, WCHAR* ntPath, size_t ntPathChars);

// "\Device\HarddiskVolume3\data" -> "C:\data": the first drive, in the order the
// system lists them, whose DOS-device target is a prefix of the path ending at a
// backslash or at the path's end. Fails when no drive matches.
bool NtToDrivePath(LPCWSTR ntPath, WCHAR* drivePath, size_t drivePathChars);

// Display form of an NT path: \Device\Mup\srv\s -> \\srv\s,
// \Device\LanmanRedirector\;Z:0000000000012345\srv\s -> \\srv\s, \??\C:\x -> C:\x,
// \??\UNC\srv\s -> \\srv\s; a path that matches no known prefix is kept. An empty
// or null argument gives an empty result.
void NtToUncPath(LPCWSTR ntPath, WCHAR* uncPath, size_t uncPathChars);
