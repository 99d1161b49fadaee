#include "ctrl/paths.h"

#include <string>

namespace {

using Traits = std::char_traits<WCHAR>;

constexpr DWORD kDosDeviceChars = 1024;
constexpr DWORD kDriveStringChars = 2048;
constexpr DWORD kDriveTargetChars = 2048;

// Copies count characters of src behind out[at], cut to 1023 characters in all and
// to the buffer; always terminates. Returns the new length.
size_t Append(WCHAR* out, size_t outChars, size_t at, const WCHAR* src, size_t count) {
    size_t limit = outChars - 1;
    if (limit > kMaxPathTextChars) {
        limit = kMaxPathTextChars;
    }
    size_t i = 0;
    while (i < count && at < limit) {
        out[at++] = src[i++];
    }
    out[at] = 0;
    return at;
}

WCHAR FoldAscii(WCHAR c) { return (c >= WSTR('A') && c <= WSTR('Z')) ? static_cast<WCHAR>(c - WSTR('A') + WSTR('a')) : c; }

// Case-insensitive (ASCII letters) comparison of the first n characters; a shorter
// text does not match.
bool StartsWithNoCase(const WCHAR* text, size_t textLength, const WCHAR* prefix, size_t n) {
    if (textLength < n) {
        return false;
    }
    for (size_t i = 0; i < n; ++i) {
        if (FoldAscii(text[i]) != FoldAscii(prefix[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool DriveToNtPath(LPCWSTR drivePath, WCHAR* ntPath, size_t ntPathChars) {
    if (ntPath == nullptr || ntPathChars == 0) {
        return false;
    }
    ntPath[0] = 0;
    if (drivePath == nullptr) {
        return false;
    }
    const size_t length = Traits::length(drivePath);
    if (length < 2) {
        return false;  // no drive to ask about
    }
    const WCHAR drive[3] = {drivePath[0], drivePath[1], 0};
    WCHAR target[kDosDeviceChars];
    if (QueryDosDeviceW(drive, target, kDosDeviceChars) == 0) {
        return false;
    }
    target[kDosDeviceChars - 1] = 0;
    // The first of the NUL-separated target names.
    const size_t at = Append(ntPath, ntPathChars, 0, target, Traits::length(target));
    Append(ntPath, ntPathChars, at, drivePath + 2, length - 2);
    return true;
}

bool NtToDrivePath(LPCWSTR ntPath, WCHAR* drivePath, size_t drivePathChars) {
    if (drivePath == nullptr || drivePathChars == 0) {
        return false;
    }
    drivePath[0] = 0;
    if (ntPath == nullptr) {
        return false;
    }
    WCHAR drives[kDriveStringChars];
    const DWORD listed = GetLogicalDriveStringsW(kDriveStringChars, drives);
    if (listed == 0 || listed >= kDriveStringChars) {
        return false;
    }
    drives[kDriveStringChars - 1] = 0;
    const size_t ntLength = Traits::length(ntPath);
    for (const WCHAR* drive = drives; drive < drives + listed && *drive != 0; drive += Traits::length(drive) + 1) {
        Sleep(1);
        if (Traits::length(drive) < 2) {
            continue;
        }
        const WCHAR name[3] = {drive[0], drive[1], 0};
        WCHAR target[kDriveTargetChars];
        if (QueryDosDeviceW(name, target, kDriveTargetChars) == 0) {
            continue;
        }
        target[kDriveTargetChars - 1] = 0;
        const size_t targetLength = Traits::length(target);
        if (targetLength == 0 || targetLength > ntLength || Traits::compare(ntPath, target, targetLength) != 0) {
            continue;
        }
        // The device name must end where a path component ends: \Device\HarddiskVolume1
        // is not a prefix of \Device\HarddiskVolume10\a.txt.
        if (ntPath[targetLength] != WSTR('\\') && ntPath[targetLength] != 0) {
            continue;
        }
        const size_t at = Append(drivePath, drivePathChars, 0, name, 2);
        Append(drivePath, drivePathChars, at, ntPath + targetLength, ntLength - targetLength);
        return true;
    }
    return false;
}

void NtToUncPath(LPCWSTR ntPath, WCHAR* uncPath, size_t uncPathChars) {
    if (uncPath == nullptr || uncPathChars == 0) {
        return;
    }
    uncPath[0] = 0;
    if (ntPath == nullptr || ntPath[0] == 0) {
        return;
    }
    struct Row {
        const WCHAR* prefix;
        size_t compareLength;
        size_t keepFrom;
        bool leadBackslashes;
    };
    // The first row that matches decides. "\Device\Mup" comes before the remote
    // desktop row, so that row never matches; it stays for the display order.
    static const Row kRows[] = {
        {WSTR("\\Device\\LanmanRedirector"), 24, 25, true},
        {WSTR("\\Device\\Mup\\;LanmanRedirector"), 29, 30, true},
        {WSTR("\\??\\unc\\"), 8, 8, true},
        {WSTR("\\??\\"), 4, 4, false},
        {WSTR("\\Device\\Mup"), 11, 12, true},
        {WSTR("\\Device\\Mup\\;RdpDr\\;:1"), 21, 22, false},
    };
    const size_t length = Traits::length(ntPath);
    for (const Row& row : kRows) {
        if (!StartsWithNoCase(ntPath, length, row.prefix, row.compareLength)) {
            continue;
        }
        if (length < row.keepFrom) {
            return;  // nothing where the kept text would begin
        }
        const WCHAR* kept = ntPath + row.keepFrom;
        size_t keptLength = length - row.keepFrom;
        if (row.compareLength >= 24) {
            // Drop the component naming the redirected drive (;Z:0000000000012345).
            const WCHAR* slash = Traits::find(kept, keptLength, WSTR('\\'));
            if (slash == nullptr || slash + 1 == kept + keptLength) {
                return;
            }
            keptLength -= static_cast<size_t>(slash + 1 - kept);
            kept = slash + 1;
        }
        size_t at = 0;
        if (row.leadBackslashes) {
            at = Append(uncPath, uncPathChars, 0, WSTR("\\\\"), 2);
        }
        Append(uncPath, uncPathChars, at, kept, keptLength);
        return;
    }
    Append(uncPath, uncPathChars, 0, ntPath, length);
}
