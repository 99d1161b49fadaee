// The local configuration file beside the host executable ("\kx4local.conf", JSON
// with comments). Its one setting, "debug" -> "kx4grd", switches the diagnostic log
// file on.
#pragma once

#include <string>

#include "platform/um.h"

constexpr char kLocalConfFileName[] = "\\kx4local.conf";
constexpr char kDiagLogFileName[] = "\\kxlgrd.log";
constexpr ULONG kLocalConfParseError = 17;

class CLocalConf {
public:
    // Reads "<moduleDirectory>\kx4local.conf" (moduleDirectory: ANSI, without a
    // trailing backslash) and switches file logging on when it asks for it.
    // configPath receives the file's path. Returns 0, or 17 when the file is not JSON.
    static ULONG GetConfig(const std::string& moduleDirectory, std::string& configPath);

    // The value of "debug" -> "kx4grd" in a parsed document (exposed for tests and
    // the fuzz target): 0 unless the root is an object, "debug" an object and
    // "kx4grd" an integral number or a decimal string; out-of-range values saturate.
    static int DebugSetting(const std::string& document, bool* parsed);

    // A decimal integer at the start of text: optional leading blanks and sign, then
    // digits; saturates at the int range. Anything else reads as 0.
    static int ParseDecimal(const std::string& text);
};
