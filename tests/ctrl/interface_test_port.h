// A stand-in for the driver's side of "\kx4grd" on the simulated machine: a tiny
// minifilter loaded by the test whose port records every message it receives, byte
// for byte, and answers with a status the test chooses. The library's messages are
// checked at their wire offsets against what it recorded.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace ctrltest {

struct PortMessage {
    std::vector<uint8_t> bytes;    // the input buffer as received
    uint32_t outputLength = 0;     // size of the reply buffer offered
    bool hasOutput = false;        // whether a reply buffer was offered

    uint64_t U64(size_t offset) const {
        uint64_t v = 0;
        std::memcpy(&v, &bytes.at(offset + 7) - 7, 8);
        return v;
    }
    uint32_t U32(size_t offset) const {
        uint32_t v = 0;
        std::memcpy(&v, &bytes.at(offset + 3) - 3, 4);
        return v;
    }
    // UTF-16 text at offset, up to its terminator (at most maxChars characters).
    std::u16string Wide(size_t offset, size_t maxChars) const;
    // ANSI text at offset, up to its terminator (at most maxBytes).
    std::string Ansi(size_t offset, size_t maxBytes) const;
    // Every byte in [from, to) is zero.
    bool ZeroFrom(size_t from, size_t to) const;
    uint64_t command() const { return U64(8); }
};

// Registers the test port's image and loads it as service "kxtestport"; its port
// is named "\kx4grd". Returns the load status.
long LoadTestPort();
// Unloads it (closing the port and its connections). Returns the unload status.
long UnloadTestPort();
bool TestPortLoaded();

// Messages received since the last call, oldest first.
std::vector<PortMessage> TakePortMessages();
size_t PortMessageCount();
// The status every later message is answered with (0 = success).
void SetPortReplyStatus(long status);
// Connections currently open to the port.
size_t PortConnections();

}  // namespace ctrltest
