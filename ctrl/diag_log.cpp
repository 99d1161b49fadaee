#include "ctrl/diag_log.h"

#include <log4cpp/Category.hh>
#include <log4cpp/PatternLayout.hh>
#include <log4cpp/Priority.hh>
#include <log4cpp/RollingFileAppender.hh>

#include <cstdio>
#include <exception>
#include <new>
#include <vector>

namespace {

std::atomic<uint32_t> g_testMaxFileSize{0};

}  // namespace

DiagLogger::DiagLogger() : category_(log4cpp::Category::getInstance(kDiagCategoryName)) {}

// Built in static storage and never destroyed: a thread still logging while the
// process exits finds it intact, and unloading the library leaves no allocation.
DiagLogger& DiagLogger::Instance() {
    alignas(DiagLogger) static unsigned char storage[sizeof(DiagLogger)];
    static DiagLogger* const logger = new (storage) DiagLogger();
    return *logger;
}

namespace {
// The logger exists from the moment the library is loaded.
struct CreateAtLoad {
    CreateAtLoad() { DiagLogger::Instance(); }
} g_createAtLoad;
}  // namespace

void DiagLogger::SwitchOn(const std::string& logFilePath) {
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        logFilePath_ = logFilePath;
        enabled_ = true;
        const uint32_t testSize = g_testMaxFileSize.load();
        maxFileSize_ = testSize != 0 ? testSize : kDiagMaxFileSize;

        std::printf("log_name_(%s) debug_type(%d) show_debug(%d) logfilesize(%u)\n", logFilePath_.c_str(), 2,
                    enabled_ ? 1 : 0, static_cast<unsigned>(maxFileSize_));
        std::fflush(stdout);

        if (hasAppender_) {
            return;
        }
        const size_t slash = logFilePath_.find_last_of('\\');
        if (slash == std::string::npos) {
            logDirectory_.clear();
            logFileName_ = logFilePath_;
        } else {
            logDirectory_ = logFilePath_.substr(0, slash);
            logFileName_ = logFilePath_.substr(slash + 1);
        }

        // The library's own files reach the disk through the platform's path mapping
        // (the path itself on Windows).
        const std::string hostPath = KxHostFilePath(logFilePath_);
        auto* appender = new log4cpp::RollingFileAppender(kDiagAppenderName, hostPath, maxFileSize_,
                                                          kDiagMaxBackups, true, 0644);
        auto* layout = new log4cpp::PatternLayout();
        try {
            layout->setConversionPattern(kDiagPattern);
        } catch (...) {
            delete layout;
            delete appender;
            return;
        }
        appender->setLayout(layout);
        category_.setPriority(kDiagPriority);
        category_.addAppender(appender);
        hasAppender_ = true;
    } catch (...) {
        // Logging never fails its callers.
    }
}

void DiagLogger::WriteW(int priority, const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    WriteVW(priority, format, args);
    va_end(args);
}

void DiagLogger::WriteVW(int priority, const WCHAR* format, va_list args) {
    if (!enabled_ || format == nullptr) {
        return;
    }
    try {
        WriteLineW(priority, format, args);
    } catch (...) {
        // Logging never fails its callers.
    }
}

void DiagLogger::WriteLineW(int priority, const WCHAR* format, va_list args) {
    // Buffers of this call only: exports and the library's threads log at once.
    WCHAR line[kDiagLineChars];
    line[0] = 0;
    // Output that does not fit is cut; the last character stays the terminator.
    if (_vsnwprintf(line, kDiagLineChars - 1, format, args) < 0 && line[0] == 0) {
        line[0] = 0;
    }
    line[kDiagLineChars - 1] = 0;

    // Two bytes per character: a double-byte code page needs them.
    char ansi[kDiagLineChars * 2];
    const int bytes = WideCharToMultiByte(CP_ACP, 0, line, -1, ansi, static_cast<int>(sizeof ansi), nullptr,
                                          nullptr);
    if (bytes <= 0) {
        ansi[0] = 0;
    }
    ansi[sizeof ansi - 1] = 0;
    // The text goes in as a string: it may hold '%' (file names do).
    category_.log(priority, std::string(ansi));
}

void DiagLogger::WriteA(int priority, const char* format, ...) {
    va_list args;
    va_start(args, format);
    WriteVA(priority, format, args);
    va_end(args);
}

void DiagLogger::WriteVA(int priority, const char* format, va_list args) {
    if (!enabled_ || format == nullptr) {
        return;
    }
    try {
        va_list measure;
        va_copy(measure, args);
        const int needed = std::vsnprintf(nullptr, 0, format, measure);
        va_end(measure);
        if (needed < 0) {
            return;
        }
        std::vector<char> text(static_cast<size_t>(needed) + 1, 0);
        std::vsnprintf(text.data(), text.size(), format, args);
        category_.log(priority, std::string(text.data()));
    } catch (...) {
    }
}

bool DiagLogger::FileLoggingOn() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return hasAppender_;
}

std::string DiagLogger::LogFilePath() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return logFilePath_;
}

std::string DiagLogger::LogDirectory() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return logDirectory_;
}

std::string DiagLogger::LogFileName() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return logFileName_;
}

void DiagLogger::SetMaxFileSizeForTesting(uint32_t bytes) { g_testMaxFileSize = bytes; }

void DiagLogger::ResetForTesting() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (log4cpp::Appender* appender = category_.getAppender(kDiagAppenderName)) {
        category_.removeAppender(appender);
    }
    category_.setPriority(log4cpp::Priority::NOTSET);
    logFilePath_.clear();
    logDirectory_.clear();
    logFileName_.clear();
    maxFileSize_ = 0;
    hasAppender_ = false;
    enabled_ = true;
}
