#include "ctrl/local_conf.h"

#include <json/json.h>

#include <climits>
#include <cstdio>
#include <exception>
#include <fstream>
#include <istream>
#include <sstream>

#include "ctrl/diag_log.h"

namespace {

constexpr char kGetConfig[] = "CLocalConf::GetConfig";

Json::CharReaderBuilder MakeReaderBuilder() {
    Json::CharReaderBuilder builder;
    // Comments are allowed and kept; the root may be any value.
    builder["allowComments"] = true;
    builder["collectComments"] = true;
    builder["strictRoot"] = false;
    return builder;
}

int Saturate(long long value) {
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

// "debug" -> "kx4grd": an integral number, or a decimal string. Any other root,
// member type or value reads as 0.
int ReadDebug(const Json::Value& root) {
    if (!root.isObject()) {
        return 0;
    }
    const Json::Value* debug = root.find("debug", "debug" + 5);
    if (debug == nullptr || !debug->isObject()) {
        return 0;
    }
    const Json::Value* value = debug->find("kx4grd", "kx4grd" + 6);
    if (value == nullptr) {
        return 0;
    }
    if (value->isInt()) {
        return value->asInt();
    }
    if (value->isInt64()) {
        return Saturate(value->asInt64());
    }
    if (value->isUInt64()) {
        return INT_MAX;
    }
    if (value->isString()) {
        return CLocalConf::ParseDecimal(value->asString());
    }
    return 0;
}

bool ParseDocument(std::istream& in, Json::Value& root) {
    const Json::CharReaderBuilder builder = MakeReaderBuilder();
    std::string errors;
    return Json::parseFromStream(builder, in, &root, &errors);
}

}  // namespace

int CLocalConf::ParseDecimal(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r' ||
                               text[i] == '\v' || text[i] == '\f')) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Accumulated in 64 bits and held at the first value past the int range.
    long long value = 0;
    const long long limit = static_cast<long long>(INT_MAX) + 1;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        if (value < limit) {
            value = value * 10 + (text[i] - '0');
        }
        ++i;
    }
    return Saturate(negative ? -value : value);
}

int CLocalConf::DebugSetting(const std::string& document, bool* parsed) {
    bool ok = false;
    int value = 0;
    try {
        std::istringstream in(document);
        Json::Value root;
        ok = ParseDocument(in, root);
        value = ok ? ReadDebug(root) : 0;
    } catch (...) {
        // The reader throws on documents it refuses outright (nesting too deep).
        ok = false;
        value = 0;
    }
    if (parsed != nullptr) {
        *parsed = ok;
    }
    return value;
}

ULONG CLocalConf::GetConfig(const std::string& moduleDirectory, std::string& configPath) {
    try {
        configPath = moduleDirectory + kLocalConfFileName;
        KX_LOGA("%s :: (%s)", kGetConfig, configPath.c_str());

        std::ifstream in(KxHostFilePath(configPath), std::ios::in | std::ios::binary);
        if (!in.is_open()) {
            KX_LOGA("%s :: policy json file open fail", kGetConfig);
            return 0;
        }

        Json::Value root;
        if (!ParseDocument(in, root)) {
            KX_LOGA("%s :: policy json parser error", kGetConfig);
            return kLocalConfParseError;
        }

        if (ReadDebug(root) != 0) {
            char logPath[MAX_PATH] = {};
            std::snprintf(logPath, sizeof logPath, "%s%s", moduleDirectory.c_str(), kDiagLogFileName);
            DiagLogger::Instance().SwitchOn(logPath);
            KX_LOGA("%s :: logfile_name(%s)", kGetConfig, logPath);
        }
        return 0;
    } catch (int code) {
        KX_LOGA("%s :: (%s} open parser error catch 1 (%d)", kGetConfig, moduleDirectory.c_str(), code);
        return static_cast<ULONG>(code);
    } catch (const std::exception& e) {
        const char* what = e.what();
        KX_LOGA("%s :: (%s} open parser error catch 2 (%s)", kGetConfig, moduleDirectory.c_str(),
                what != nullptr && what[0] != 0 ? what : "Unknown exception");
        return kLocalConfParseError;
    } catch (...) {
        KX_LOGA("%s :: open parser error catch 3", kGetConfig);
        return kLocalConfParseError;
    }
}
