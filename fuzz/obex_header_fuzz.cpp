// libFuzzer target: the OBEX put header walk and the connect fields over arbitrary
// packets. libFuzzer hands each input in a heap block of exactly its size, so
// AddressSanitizer reports any read past the packet. Besides memory safety the
// target checks what the walk promises about a name it returns.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "driver/hooks/obex_headers.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "obex_header_fuzz: %s\n", what);
    std::abort();
}

void CheckName(const UCHAR* packet, size_t size, BOOLEAN found, const OBEX_NAME& name) {
    if (!found) {
        for (WCHAR unit : name.Text) {
            if (unit != 0) {
                Fail("no name found but the name buffer is not zero");
            }
        }
        if (name.Units != 0) {
            Fail("no name found but units reported");
        }
        return;
    }
    const size_t offset = name.HeaderOffset;
    const size_t length = name.HeaderLength;
    if (offset < OBEX_PUT_HEADERS_OFFSET || offset + length > size || length <= 5) {
        Fail("name header outside the packet or too short");
    }
    if (packet[offset] != OBEX_HEADER_NAME || ((size_t)packet[offset + 1] << 8 | packet[offset + 2]) != length) {
        Fail("name header offset does not point at a name header of that length");
    }
    size_t bytes = length - 3;
    if (bytes >= OBEX_NAME_BUFFER_BYTES) {
        bytes = OBEX_NAME_MAX_BYTES;
    }
    if (name.Units != bytes / 2 || name.Units >= OBEX_NAME_BUFFER_CHARS) {
        Fail("unit count does not follow the header length");
    }
    for (size_t u = 0; u < name.Units; u++) {
        const WCHAR expected = (WCHAR)(packet[offset + 3 + 2 * u] << 8 | packet[offset + 4 + 2 * u]);
        if (name.Text[u] != expected) {
            Fail("name unit is not the packet's big-endian unit");
        }
    }
    for (size_t u = name.Units; u < OBEX_NAME_BUFFER_CHARS; u++) {
        if (name.Text[u] != 0) {
            Fail("name buffer not zero past the name");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0xFFFFFFFFu) {
        return 0;
    }
    const UCHAR* packet = data;
    const ULONG length = (ULONG)size;

    OBEX_NAME name;
    const BOOLEAN found = ObexFindName(packet, length, &name);
    CheckName(packet, size, found, name);

    OBEX_CONNECT_INFO info;
    const BOOLEAN parsed = ObexParseConnect(packet, length, &info);
    if ((parsed != FALSE) != (size >= OBEX_CONNECT_MIN_LENGTH)) {
        Fail("connect fields parsed against the seven-byte rule");
    }
    if (parsed && (info.Version != packet[3] || info.Flags != packet[4] ||
                   info.MaxPacketSize != (USHORT)(packet[5] << 8 | packet[6]))) {
        Fail("connect fields do not match the packet");
    }
    return 0;
}
