// WCHAR string routines of the kernel and of its C library, the Rtl counted-string
// routines, case mapping, and the UTF-8 <-> UTF-16 conversions used across the
// simulated machine.
//
// WCHAR is char16_t here, so the host C library's wcs* functions (32-bit wchar_t)
// cannot serve; these overloads take their place. A NULL string pointer where
// Windows would dereference it raises an access violation through the SEH seam,
// which is what a kernel __try/__except around the call would observe.

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/km.h"
#include "winsim/detail/internal.h"

namespace {

// Simple (one-to-one) case mapping of the BMP, as runs of code points that map by
// a constant delta; stride 2 covers the alternating upper/lower pairs of the
// Latin Extended, Greek and Cyrillic blocks. Characters outside ASCII never fold
// into ASCII (U+0131 dotless i, U+017F long s, U+212A Kelvin sign...): the Windows
// upcase table keeps them apart so that a foreign name never equals an ASCII one.
struct CaseRun {
    uint16_t first;
    uint16_t last;
    uint8_t stride;
    int32_t delta;
};

constexpr CaseRun kUpcase[] = {
    {0x0061, 0x007A, 1, -32}, {0x00B5, 0x00B5, 1, 743}, {0x00E0, 0x00F6, 1, -32}, {0x00F8, 0x00FE, 1, -32},
    {0x00FF, 0x00FF, 1, 121}, {0x0101, 0x012F, 2, -1}, {0x0133, 0x0137, 2, -1}, {0x013A, 0x0148, 2, -1},
    {0x014B, 0x0177, 2, -1}, {0x017A, 0x017E, 2, -1}, {0x0180, 0x0180, 1, 195}, {0x0183, 0x0185, 2, -1},
    {0x0188, 0x0188, 1, -1}, {0x018C, 0x018C, 1, -1}, {0x0192, 0x0192, 1, -1}, {0x0195, 0x0195, 1, 97},
    {0x0199, 0x0199, 1, -1}, {0x019A, 0x019A, 1, 163}, {0x019E, 0x019E, 1, 130}, {0x01A1, 0x01A5, 2, -1},
    {0x01A8, 0x01A8, 1, -1}, {0x01AD, 0x01AD, 1, -1}, {0x01B0, 0x01B0, 1, -1}, {0x01B4, 0x01B6, 2, -1},
    {0x01B9, 0x01B9, 1, -1}, {0x01BD, 0x01BD, 1, -1}, {0x01BF, 0x01BF, 1, 56}, {0x01C5, 0x01C5, 1, -1},
    {0x01C6, 0x01C6, 1, -2}, {0x01C8, 0x01C8, 1, -1}, {0x01C9, 0x01C9, 1, -2}, {0x01CB, 0x01CB, 1, -1},
    {0x01CC, 0x01CC, 1, -2}, {0x01CE, 0x01DC, 2, -1}, {0x01DD, 0x01DD, 1, -79}, {0x01DF, 0x01EF, 2, -1},
    {0x01F2, 0x01F2, 1, -1}, {0x01F3, 0x01F3, 1, -2}, {0x01F5, 0x01F5, 1, -1}, {0x01F9, 0x021F, 2, -1},
    {0x0223, 0x0233, 2, -1}, {0x023C, 0x023C, 1, -1}, {0x023F, 0x0240, 1, 10815}, {0x0242, 0x0242, 1, -1},
    {0x0247, 0x024F, 2, -1}, {0x0250, 0x0250, 1, 10783}, {0x0251, 0x0251, 1, 10780},
    {0x0252, 0x0252, 1, 10782}, {0x0253, 0x0253, 1, -210}, {0x0254, 0x0254, 1, -206},
    {0x0256, 0x0257, 1, -205}, {0x0259, 0x0259, 1, -202}, {0x025B, 0x025B, 1, -203},
    {0x025C, 0x025C, 1, 42319}, {0x0260, 0x0260, 1, -205}, {0x0261, 0x0261, 1, 42315},
    {0x0263, 0x0263, 1, -207}, {0x0265, 0x0265, 1, 42280}, {0x0266, 0x0266, 1, 42308},
    {0x0268, 0x0268, 1, -209}, {0x0269, 0x0269, 1, -211}, {0x026A, 0x026A, 1, 42308},
    {0x026B, 0x026B, 1, 10743}, {0x026C, 0x026C, 1, 42305}, {0x026F, 0x026F, 1, -211},
    {0x0271, 0x0271, 1, 10749}, {0x0272, 0x0272, 1, -213}, {0x0275, 0x0275, 1, -214},
    {0x027D, 0x027D, 1, 10727}, {0x0280, 0x0280, 1, -218}, {0x0282, 0x0282, 1, 42307},
    {0x0283, 0x0283, 1, -218}, {0x0287, 0x0287, 1, 42282}, {0x0288, 0x0288, 1, -218},
    {0x0289, 0x0289, 1, -69}, {0x028A, 0x028B, 1, -217}, {0x028C, 0x028C, 1, -71}, {0x0292, 0x0292, 1, -219},
    {0x029D, 0x029D, 1, 42261}, {0x029E, 0x029E, 1, 42258}, {0x0345, 0x0345, 1, 84}, {0x0371, 0x0373, 2, -1},
    {0x0377, 0x0377, 1, -1}, {0x037B, 0x037D, 1, 130}, {0x03AC, 0x03AC, 1, -38}, {0x03AD, 0x03AF, 1, -37},
    {0x03B1, 0x03C1, 1, -32}, {0x03C2, 0x03C2, 1, -31}, {0x03C3, 0x03CB, 1, -32}, {0x03CC, 0x03CC, 1, -64},
    {0x03CD, 0x03CE, 1, -63}, {0x03D0, 0x03D0, 1, -62}, {0x03D1, 0x03D1, 1, -57}, {0x03D5, 0x03D5, 1, -47},
    {0x03D6, 0x03D6, 1, -54}, {0x03D7, 0x03D7, 1, -8}, {0x03D9, 0x03EF, 2, -1}, {0x03F0, 0x03F0, 1, -86},
    {0x03F1, 0x03F1, 1, -80}, {0x03F2, 0x03F2, 1, 7}, {0x03F3, 0x03F3, 1, -116}, {0x03F5, 0x03F5, 1, -96},
    {0x03F8, 0x03F8, 1, -1}, {0x03FB, 0x03FB, 1, -1}, {0x0430, 0x044F, 1, -32}, {0x0450, 0x045F, 1, -80},
    {0x0461, 0x0481, 2, -1}, {0x048B, 0x04BF, 2, -1}, {0x04C2, 0x04CE, 2, -1}, {0x04CF, 0x04CF, 1, -15},
    {0x04D1, 0x052F, 2, -1}, {0x0561, 0x0586, 1, -48}, {0x10D0, 0x10FA, 1, 3008}, {0x10FD, 0x10FF, 1, 3008},
    {0x13F8, 0x13FD, 1, -8}, {0x1C80, 0x1C80, 1, -6254}, {0x1C81, 0x1C81, 1, -6253},
    {0x1C82, 0x1C82, 1, -6244}, {0x1C83, 0x1C84, 1, -6242}, {0x1C85, 0x1C85, 1, -6243},
    {0x1C86, 0x1C86, 1, -6236}, {0x1C87, 0x1C87, 1, -6181}, {0x1C88, 0x1C88, 1, 35266},
    {0x1D79, 0x1D79, 1, 35332}, {0x1D7D, 0x1D7D, 1, 3814}, {0x1D8E, 0x1D8E, 1, 35384},
    {0x1E01, 0x1E95, 2, -1}, {0x1E9B, 0x1E9B, 1, -59}, {0x1EA1, 0x1EFF, 2, -1}, {0x1F00, 0x1F07, 1, 8},
    {0x1F10, 0x1F15, 1, 8}, {0x1F20, 0x1F27, 1, 8}, {0x1F30, 0x1F37, 1, 8}, {0x1F40, 0x1F45, 1, 8},
    {0x1F51, 0x1F57, 2, 8}, {0x1F60, 0x1F67, 1, 8}, {0x1F70, 0x1F71, 1, 74}, {0x1F72, 0x1F75, 1, 86},
    {0x1F76, 0x1F77, 1, 100}, {0x1F78, 0x1F79, 1, 128}, {0x1F7A, 0x1F7B, 1, 112}, {0x1F7C, 0x1F7D, 1, 126},
    {0x1FB0, 0x1FB1, 1, 8}, {0x1FBE, 0x1FBE, 1, -7205}, {0x1FD0, 0x1FD1, 1, 8}, {0x1FE0, 0x1FE1, 1, 8},
    {0x1FE5, 0x1FE5, 1, 7}, {0x214E, 0x214E, 1, -28}, {0x2170, 0x217F, 1, -16}, {0x2184, 0x2184, 1, -1},
    {0x24D0, 0x24E9, 1, -26}, {0x2C30, 0x2C5F, 1, -48}, {0x2C61, 0x2C61, 1, -1}, {0x2C65, 0x2C65, 1, -10795},
    {0x2C66, 0x2C66, 1, -10792}, {0x2C68, 0x2C6C, 2, -1}, {0x2C73, 0x2C73, 1, -1}, {0x2C76, 0x2C76, 1, -1},
    {0x2C81, 0x2CE3, 2, -1}, {0x2CEC, 0x2CEE, 2, -1}, {0x2CF3, 0x2CF3, 1, -1}, {0x2D00, 0x2D25, 1, -7264},
    {0x2D27, 0x2D27, 1, -7264}, {0x2D2D, 0x2D2D, 1, -7264}, {0xA641, 0xA66D, 2, -1}, {0xA681, 0xA69B, 2, -1},
    {0xA723, 0xA72F, 2, -1}, {0xA733, 0xA76F, 2, -1}, {0xA77A, 0xA77C, 2, -1}, {0xA77F, 0xA787, 2, -1},
    {0xA78C, 0xA78C, 1, -1}, {0xA791, 0xA793, 2, -1}, {0xA794, 0xA794, 1, 48}, {0xA797, 0xA7A9, 2, -1},
    {0xA7B5, 0xA7C3, 2, -1}, {0xA7C8, 0xA7CA, 2, -1}, {0xA7D1, 0xA7D1, 1, -1}, {0xA7D7, 0xA7D9, 2, -1},
    {0xA7F6, 0xA7F6, 1, -1}, {0xAB53, 0xAB53, 1, -928}, {0xAB70, 0xABBF, 1, -38864}, {0xFF41, 0xFF5A, 1, -32},
};
constexpr CaseRun kDowncase[] = {
    {0x0041, 0x005A, 1, 32}, {0x00C0, 0x00D6, 1, 32}, {0x00D8, 0x00DE, 1, 32}, {0x0100, 0x012E, 2, 1},
    {0x0132, 0x0136, 2, 1}, {0x0139, 0x0147, 2, 1}, {0x014A, 0x0176, 2, 1}, {0x0178, 0x0178, 1, -121},
    {0x0179, 0x017D, 2, 1}, {0x0181, 0x0181, 1, 210}, {0x0182, 0x0184, 2, 1}, {0x0186, 0x0186, 1, 206},
    {0x0187, 0x0187, 1, 1}, {0x0189, 0x018A, 1, 205}, {0x018B, 0x018B, 1, 1}, {0x018E, 0x018E, 1, 79},
    {0x018F, 0x018F, 1, 202}, {0x0190, 0x0190, 1, 203}, {0x0191, 0x0191, 1, 1}, {0x0193, 0x0193, 1, 205},
    {0x0194, 0x0194, 1, 207}, {0x0196, 0x0196, 1, 211}, {0x0197, 0x0197, 1, 209}, {0x0198, 0x0198, 1, 1},
    {0x019C, 0x019C, 1, 211}, {0x019D, 0x019D, 1, 213}, {0x019F, 0x019F, 1, 214}, {0x01A0, 0x01A4, 2, 1},
    {0x01A6, 0x01A6, 1, 218}, {0x01A7, 0x01A7, 1, 1}, {0x01A9, 0x01A9, 1, 218}, {0x01AC, 0x01AC, 1, 1},
    {0x01AE, 0x01AE, 1, 218}, {0x01AF, 0x01AF, 1, 1}, {0x01B1, 0x01B2, 1, 217}, {0x01B3, 0x01B5, 2, 1},
    {0x01B7, 0x01B7, 1, 219}, {0x01B8, 0x01B8, 1, 1}, {0x01BC, 0x01BC, 1, 1}, {0x01C4, 0x01C4, 1, 2},
    {0x01C5, 0x01C5, 1, 1}, {0x01C7, 0x01C7, 1, 2}, {0x01C8, 0x01C8, 1, 1}, {0x01CA, 0x01CA, 1, 2},
    {0x01CB, 0x01DB, 2, 1}, {0x01DE, 0x01EE, 2, 1}, {0x01F1, 0x01F1, 1, 2}, {0x01F2, 0x01F4, 2, 1},
    {0x01F6, 0x01F6, 1, -97}, {0x01F7, 0x01F7, 1, -56}, {0x01F8, 0x021E, 2, 1}, {0x0220, 0x0220, 1, -130},
    {0x0222, 0x0232, 2, 1}, {0x023A, 0x023A, 1, 10795}, {0x023B, 0x023B, 1, 1}, {0x023D, 0x023D, 1, -163},
    {0x023E, 0x023E, 1, 10792}, {0x0241, 0x0241, 1, 1}, {0x0243, 0x0243, 1, -195}, {0x0244, 0x0244, 1, 69},
    {0x0245, 0x0245, 1, 71}, {0x0246, 0x024E, 2, 1}, {0x0370, 0x0372, 2, 1}, {0x0376, 0x0376, 1, 1},
    {0x037F, 0x037F, 1, 116}, {0x0386, 0x0386, 1, 38}, {0x0388, 0x038A, 1, 37}, {0x038C, 0x038C, 1, 64},
    {0x038E, 0x038F, 1, 63}, {0x0391, 0x03A1, 1, 32}, {0x03A3, 0x03AB, 1, 32}, {0x03CF, 0x03CF, 1, 8},
    {0x03D8, 0x03EE, 2, 1}, {0x03F4, 0x03F4, 1, -60}, {0x03F7, 0x03F7, 1, 1}, {0x03F9, 0x03F9, 1, -7},
    {0x03FA, 0x03FA, 1, 1}, {0x03FD, 0x03FF, 1, -130}, {0x0400, 0x040F, 1, 80}, {0x0410, 0x042F, 1, 32},
    {0x0460, 0x0480, 2, 1}, {0x048A, 0x04BE, 2, 1}, {0x04C0, 0x04C0, 1, 15}, {0x04C1, 0x04CD, 2, 1},
    {0x04D0, 0x052E, 2, 1}, {0x0531, 0x0556, 1, 48}, {0x10A0, 0x10C5, 1, 7264}, {0x10C7, 0x10C7, 1, 7264},
    {0x10CD, 0x10CD, 1, 7264}, {0x13A0, 0x13EF, 1, 38864}, {0x13F0, 0x13F5, 1, 8}, {0x1C90, 0x1CBA, 1, -3008},
    {0x1CBD, 0x1CBF, 1, -3008}, {0x1E00, 0x1E94, 2, 1}, {0x1E9E, 0x1E9E, 1, -7615}, {0x1EA0, 0x1EFE, 2, 1},
    {0x1F08, 0x1F0F, 1, -8}, {0x1F18, 0x1F1D, 1, -8}, {0x1F28, 0x1F2F, 1, -8}, {0x1F38, 0x1F3F, 1, -8},
    {0x1F48, 0x1F4D, 1, -8}, {0x1F59, 0x1F5F, 2, -8}, {0x1F68, 0x1F6F, 1, -8}, {0x1F88, 0x1F8F, 1, -8},
    {0x1F98, 0x1F9F, 1, -8}, {0x1FA8, 0x1FAF, 1, -8}, {0x1FB8, 0x1FB9, 1, -8}, {0x1FBA, 0x1FBB, 1, -74},
    {0x1FBC, 0x1FBC, 1, -9}, {0x1FC8, 0x1FCB, 1, -86}, {0x1FCC, 0x1FCC, 1, -9}, {0x1FD8, 0x1FD9, 1, -8},
    {0x1FDA, 0x1FDB, 1, -100}, {0x1FE8, 0x1FE9, 1, -8}, {0x1FEA, 0x1FEB, 1, -112}, {0x1FEC, 0x1FEC, 1, -7},
    {0x1FF8, 0x1FF9, 1, -128}, {0x1FFA, 0x1FFB, 1, -126}, {0x1FFC, 0x1FFC, 1, -9}, {0x2126, 0x2126, 1, -7517},
    {0x212B, 0x212B, 1, -8262}, {0x2132, 0x2132, 1, 28}, {0x2160, 0x216F, 1, 16}, {0x2183, 0x2183, 1, 1},
    {0x24B6, 0x24CF, 1, 26}, {0x2C00, 0x2C2F, 1, 48}, {0x2C60, 0x2C60, 1, 1}, {0x2C62, 0x2C62, 1, -10743},
    {0x2C63, 0x2C63, 1, -3814}, {0x2C64, 0x2C64, 1, -10727}, {0x2C67, 0x2C6B, 2, 1},
    {0x2C6D, 0x2C6D, 1, -10780}, {0x2C6E, 0x2C6E, 1, -10749}, {0x2C6F, 0x2C6F, 1, -10783},
    {0x2C70, 0x2C70, 1, -10782}, {0x2C72, 0x2C72, 1, 1}, {0x2C75, 0x2C75, 1, 1}, {0x2C7E, 0x2C7F, 1, -10815},
    {0x2C80, 0x2CE2, 2, 1}, {0x2CEB, 0x2CED, 2, 1}, {0x2CF2, 0x2CF2, 1, 1}, {0xA640, 0xA66C, 2, 1},
    {0xA680, 0xA69A, 2, 1}, {0xA722, 0xA72E, 2, 1}, {0xA732, 0xA76E, 2, 1}, {0xA779, 0xA77B, 2, 1},
    {0xA77D, 0xA77D, 1, -35332}, {0xA77E, 0xA786, 2, 1}, {0xA78B, 0xA78B, 1, 1}, {0xA78D, 0xA78D, 1, -42280},
    {0xA790, 0xA792, 2, 1}, {0xA796, 0xA7A8, 2, 1}, {0xA7AA, 0xA7AA, 1, -42308}, {0xA7AB, 0xA7AB, 1, -42319},
    {0xA7AC, 0xA7AC, 1, -42315}, {0xA7AD, 0xA7AD, 1, -42305}, {0xA7AE, 0xA7AE, 1, -42308},
    {0xA7B0, 0xA7B0, 1, -42258}, {0xA7B1, 0xA7B1, 1, -42282}, {0xA7B2, 0xA7B2, 1, -42261},
    {0xA7B3, 0xA7B3, 1, 928}, {0xA7B4, 0xA7C2, 2, 1}, {0xA7C4, 0xA7C4, 1, -48}, {0xA7C5, 0xA7C5, 1, -42307},
    {0xA7C6, 0xA7C6, 1, -35384}, {0xA7C7, 0xA7C9, 2, 1}, {0xA7D0, 0xA7D0, 1, 1}, {0xA7D6, 0xA7D8, 2, 1},
    {0xA7F5, 0xA7F5, 1, 1}, {0xFF21, 0xFF3A, 1, 32},
};

template <size_t N>
WCHAR MapCase(const CaseRun (&runs)[N], WCHAR c) {
    // Last run whose first code point is <= c; runs are sorted and disjoint.
    size_t lo = 0, hi = N;
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        if (runs[mid].first <= c)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (lo == 0)
        return c;
    const CaseRun& r = runs[lo - 1];
    if (c > r.last || (c - r.first) % r.stride != 0)
        return c;
    return static_cast<WCHAR>(static_cast<int32_t>(c) + r.delta);
}

// The kernel's C library runs in the "C" locale: its case-insensitive wcs*
// compares fold ASCII letters only, and they fold to lower case (so '_' sorts
// after letters, as with _wcsicmp on Windows).
inline WCHAR AsciiLower(WCHAR c) { return (c >= u'A' && c <= u'Z') ? static_cast<WCHAR>(c + 32) : c; }

inline void RequirePointer(const void* p) {
    if (p == nullptr)
        winsim::detail::RaiseAccessViolation();
}

inline void RequireString(PCUNICODE_STRING s) {
    RequirePointer(s);
    if (s->Length != 0)
        RequirePointer(s->Buffer);
}

// Decodes one well-formed UTF-8 sequence at s[0..n); returns its length, or 0 when
// the bytes there are not well-formed UTF-8 (overlong forms, encoded surrogates and
// code points above U+10FFFF included).
size_t DecodeUtf8(const unsigned char* s, size_t n, char32_t* cp) {
    unsigned char b = s[0];
    if (b < 0x80) {
        *cp = b;
        return 1;
    }
    size_t len;
    unsigned char lo = 0x80, hi = 0xBF;
    char32_t value;
    if (b >= 0xC2 && b <= 0xDF) {
        len = 2;
        value = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3;
        value = b & 0x0F;
        if (b == 0xE0) lo = 0xA0;
        if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4;
        value = b & 0x07;
        if (b == 0xF0) lo = 0x90;
        if (b == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (n < len)
        return 0;
    for (size_t i = 1; i < len; ++i) {
        unsigned char c = s[i];
        if (c < (i == 1 ? lo : 0x80) || c > (i == 1 ? hi : 0xBF))
            return 0;
        value = (value << 6) | (c & 0x3F);
    }
    *cp = value;
    return len;
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace

// ---------------------------------------------------------------- C library (WCHAR)

size_t wcslen(const WCHAR* s) {
    RequirePointer(s);
    const WCHAR* p = s;
    while (*p)
        ++p;
    return static_cast<size_t>(p - s);
}

size_t wcsnlen(const WCHAR* s, size_t max) {
    if (max == 0)
        return 0;
    RequirePointer(s);
    size_t n = 0;
    while (n < max && s[n])
        ++n;
    return n;
}

int wcscmp(const WCHAR* a, const WCHAR* b) {
    RequirePointer(a);
    RequirePointer(b);
    while (*a && *a == *b) {
        ++a;
        ++b;
    }
    return static_cast<int>(*a) - static_cast<int>(*b);
}

int wcsncmp(const WCHAR* a, const WCHAR* b, size_t n) {
    if (n == 0)
        return 0;
    RequirePointer(a);
    RequirePointer(b);
    for (; n > 0; --n, ++a, ++b) {
        if (*a != *b)
            return static_cast<int>(*a) - static_cast<int>(*b);
        if (*a == 0)
            break;
    }
    return 0;
}

int _wcsicmp(const WCHAR* a, const WCHAR* b) {
    RequirePointer(a);
    RequirePointer(b);
    for (;; ++a, ++b) {
        WCHAR ca = AsciiLower(*a), cb = AsciiLower(*b);
        if (ca != cb || ca == 0)
            return static_cast<int>(ca) - static_cast<int>(cb);
    }
}

int _wcsnicmp(const WCHAR* a, const WCHAR* b, size_t n) {
    if (n == 0)
        return 0;
    RequirePointer(a);
    RequirePointer(b);
    for (; n > 0; --n, ++a, ++b) {
        WCHAR ca = AsciiLower(*a), cb = AsciiLower(*b);
        if (ca != cb)
            return static_cast<int>(ca) - static_cast<int>(cb);
        if (ca == 0)
            break;
    }
    return 0;
}

const WCHAR* wcsstr(const WCHAR* s, const WCHAR* sub) {
    RequirePointer(s);
    RequirePointer(sub);
    if (*sub == 0)
        return s;
    for (; *s; ++s) {
        const WCHAR* a = s;
        const WCHAR* b = sub;
        while (*a && *a == *b) {
            ++a;
            ++b;
        }
        if (*b == 0)
            return s;
        if (*a == 0)
            return nullptr;  // the rest of s is shorter than sub
    }
    return nullptr;
}

WCHAR* wcsstr(WCHAR* s, const WCHAR* sub) {
    return const_cast<WCHAR*>(wcsstr(static_cast<const WCHAR*>(s), sub));
}

// As in C, the terminator is part of the string: searching for 0 finds it.
const WCHAR* wcsrchr(const WCHAR* s, WCHAR c) {
    RequirePointer(s);
    const WCHAR* found = nullptr;
    for (;; ++s) {
        if (*s == c)
            found = s;
        if (*s == 0)
            return found;
    }
}

WCHAR* wcsrchr(WCHAR* s, WCHAR c) { return const_cast<WCHAR*>(wcsrchr(static_cast<const WCHAR*>(s), c)); }

const WCHAR* wcschr(const WCHAR* s, WCHAR c) {
    RequirePointer(s);
    for (;; ++s) {
        if (*s == c)
            return s;
        if (*s == 0)
            return nullptr;
    }
}

WCHAR* wcschr(WCHAR* s, WCHAR c) { return const_cast<WCHAR*>(wcschr(static_cast<const WCHAR*>(s), c)); }

// C semantics: no terminator when src has n or more units; zero fill when shorter.
WCHAR* wcsncpy(WCHAR* dst, const WCHAR* src, size_t n) {
    if (n == 0)
        return dst;
    RequirePointer(dst);
    RequirePointer(src);
    size_t i = 0;
    for (; i < n && src[i]; ++i)
        dst[i] = src[i];
    for (; i < n; ++i)
        dst[i] = 0;
    return dst;
}

// ---------------------------------------------------------------- Rtl strings

void RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source) {
    RequirePointer(destination);
    if (source == nullptr) {
        destination->Length = 0;
        destination->MaximumLength = 0;
        destination->Buffer = nullptr;
        return;
    }
    // A counted string holds at most 0xFFFC bytes of text (0xFFFE with the
    // terminator); longer sources are cut there, as Windows does.
    constexpr size_t kMaxLength = 0xFFFC;
    size_t bytes = wcslen(source) * sizeof(WCHAR);
    if (bytes > kMaxLength)
        bytes = kMaxLength;
    destination->Length = static_cast<USHORT>(bytes);
    destination->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    destination->Buffer = const_cast<PWSTR>(source);
}

void RtlCopyUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source) {
    RequirePointer(destination);
    if (source == nullptr) {
        destination->Length = 0;
        return;
    }
    RequireString(source);
    USHORT n = source->Length < destination->MaximumLength ? source->Length : destination->MaximumLength;
    if (n != 0) {
        RequirePointer(destination->Buffer);
        __builtin_memmove(destination->Buffer, source->Buffer, n);
    }
    destination->Length = n;
    // Terminate when a whole WCHAR still fits after the text.
    if (static_cast<size_t>(n) + sizeof(WCHAR) <= destination->MaximumLength)
        destination->Buffer[n / sizeof(WCHAR)] = 0;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive) {
    RequireString(a);
    RequireString(b);
    size_t na = a->Length / sizeof(WCHAR), nb = b->Length / sizeof(WCHAR);
    size_t n = na < nb ? na : nb;
    for (size_t i = 0; i < n; ++i) {
        WCHAR ca = a->Buffer[i], cb = b->Buffer[i];
        if (ca != cb && caseInsensitive) {
            ca = RtlUpcaseUnicodeChar(ca);
            cb = RtlUpcaseUnicodeChar(cb);
        }
        if (ca != cb)
            return static_cast<LONG>(ca) - static_cast<LONG>(cb);
    }
    // Equal up to the shorter one: the difference of the lengths in bytes.
    return static_cast<LONG>(a->Length) - static_cast<LONG>(b->Length);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive) {
    RequireString(a);
    RequireString(b);
    if (a->Length != b->Length)
        return FALSE;
    size_t n = a->Length / sizeof(WCHAR);
    for (size_t i = 0; i < n; ++i) {
        WCHAR ca = a->Buffer[i], cb = b->Buffer[i];
        if (ca == cb)
            continue;
        if (!caseInsensitive || RtlUpcaseUnicodeChar(ca) != RtlUpcaseUnicodeChar(cb))
            return FALSE;
    }
    return TRUE;
}

BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING prefix, PCUNICODE_STRING s, BOOLEAN caseInsensitive) {
    RequireString(prefix);
    RequireString(s);
    if (prefix->Length > s->Length)
        return FALSE;
    size_t n = prefix->Length / sizeof(WCHAR);
    for (size_t i = 0; i < n; ++i) {
        WCHAR ca = prefix->Buffer[i], cb = s->Buffer[i];
        if (ca == cb)
            continue;
        if (!caseInsensitive || RtlUpcaseUnicodeChar(ca) != RtlUpcaseUnicodeChar(cb))
            return FALSE;
    }
    return TRUE;
}

WCHAR RtlUpcaseUnicodeChar(WCHAR c) {
    if (c < 0x80)
        return (c >= u'a' && c <= u'z') ? static_cast<WCHAR>(c - 32) : c;
    return MapCase(kUpcase, c);
}

WCHAR RtlDowncaseUnicodeChar(WCHAR c) {
    if (c < 0x80)
        return (c >= u'A' && c <= u'Z') ? static_cast<WCHAR>(c + 32) : c;
    return MapCase(kDowncase, c);
}

// Upper case in the machine's ANSI code page, Windows-1252.
CHAR RtlUpperChar(CHAR c) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u >= 'a' && u <= 'z')
        return static_cast<CHAR>(u - 32);
    if (u < 0x80)
        return c;
    switch (u) {
        case 0x9A: return static_cast<CHAR>(0x8A);  // s caron
        case 0x9C: return static_cast<CHAR>(0x8C);  // oe ligature
        case 0x9E: return static_cast<CHAR>(0x8E);  // z caron
        case 0xFF: return static_cast<CHAR>(0x9F);  // y diaeresis
        case 0xF7: return c;                        // division sign
        default: break;
    }
    if (u >= 0xE0 && u <= 0xFE)
        return static_cast<CHAR>(u - 0x20);
    return c;
}

SIZE_T RtlCompareMemory(const void* a, const void* b, SIZE_T length) {
    if (length == 0)
        return 0;
    RequirePointer(a);
    RequirePointer(b);
    const unsigned char* pa = static_cast<const unsigned char*>(a);
    const unsigned char* pb = static_cast<const unsigned char*>(b);
    SIZE_T i = 0;
    while (i < length && pa[i] == pb[i])
        ++i;
    return i;
}

// ---------------------------------------------------------------- conversions

namespace winsim::detail {

std::string ToUtf8(const WCHAR* s, size_t units) {
    std::string out;
    out.reserve(units);
    for (size_t i = 0; i < units; ++i) {
        char32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;  // a surrogate without its partner
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::string ToUtf8(const std::u16string& s) { return ToUtf8(s.data(), s.size()); }

// Well-formed UTF-8 sequences decode as such; any other byte is taken as the
// Latin-1 character of the same value, so that text in a single-byte code page
// survives instead of turning into replacement characters.
std::u16string FromUtf8(const std::string& s) {
    std::u16string out;
    out.reserve(s.size());
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
    size_t n = s.size();
    for (size_t i = 0; i < n;) {
        char32_t cp;
        size_t len = DecodeUtf8(p + i, n - i, &cp);
        if (len == 0) {
            out.push_back(static_cast<char16_t>(p[i]));
            ++i;
            continue;
        }
        i += len;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

bool EqualsNoCase(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i] && RtlUpcaseUnicodeChar(a[i]) != RtlUpcaseUnicodeChar(b[i]))
            return false;
    }
    return true;
}

}  // namespace winsim::detail
