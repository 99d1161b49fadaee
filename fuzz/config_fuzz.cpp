// libFuzzer target: the control library's configuration reader over arbitrary
// documents. Nothing may escape it, and the decimal strings it reads must agree
// with strtoll held to the int range.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ctrl/local_conf.h"

namespace {

int Reference(const std::string& text) {
    const long long v = std::strtoll(text.c_str(), nullptr, 10);
    return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    bool parsed = true;
    const int setting = CLocalConf::DebugSetting(text, &parsed);
    if (!parsed && setting != 0) {
        __builtin_trap();  // a document that does not parse reads as 0
    }

    if (CLocalConf::ParseDecimal(text) != Reference(text)) {
        __builtin_trap();
    }

    // The same text as the string value of the setting reads as its decimal value.
    std::string escaped;
    for (char c : text) {
        if (c == '"' || c == '\\') {
            escaped += '\\';
            escaped += c;
        } else if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) {
            return 0;  // keep to plain printable text for the round trip
        } else {
            escaped += c;
        }
    }
    const int fromString = CLocalConf::DebugSetting("{\"debug\": {\"kx4grd\": \"" + escaped + "\"}}", &parsed);
    if (!parsed || fromString != Reference(text)) {
        __builtin_trap();
    }
    return 0;
}
