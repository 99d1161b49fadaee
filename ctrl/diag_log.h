// The library's diagnostic log: one process-wide logger on log4cpp. Nothing reaches
// a file until the local configuration switches file logging on; then lines go to a
// rolling file beside the host executable.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/um.h"

namespace log4cpp {
class Category;
}

constexpr int kDiagPriority = 700;                 // log4cpp's DEBUG
constexpr uint32_t kDiagMaxFileSize = 41943040;    // 40 MiB before the file rolls
constexpr unsigned kDiagMaxBackups = 5;            // older files kept
constexpr size_t kDiagLineChars = 1024;            // one formatted line, terminator included
constexpr char kDiagCategoryName[] = "kxlgrd";
constexpr char kDiagAppenderName[] = "default";
constexpr char kDiagPattern[] = "%d %c::%p %m\n";

class DiagLogger {
public:
    // The one logger of the process; it exists from library load.
    static DiagLogger& Instance();

    // Switches file logging on with this (Windows) log file path. The first call
    // creates the rolling file appender; later calls keep it.
    void SwitchOn(const std::string& logFilePath);

    // Wide printf with Windows semantics ("%s" in a wide format takes a wide string).
    void WriteW(int priority, const WCHAR* format, ...);
    void WriteVW(int priority, const WCHAR* format, va_list args);
    // Narrow printf.
    void WriteA(int priority, const char* format, ...);
    void WriteVA(int priority, const char* format, va_list args);

    bool FileLoggingOn() const;
    std::string LogFilePath() const;
    std::string LogDirectory() const;
    std::string LogFileName() const;

    // ---- test-only controls: never called by the library itself.
    // The size at which the next appender created rolls its file (0 = the normal 40 MiB).
    static void SetMaxFileSizeForTesting(uint32_t bytes);
    // Removes the file appender and forgets the path, as at library load.
    void ResetForTesting();

    DiagLogger(const DiagLogger&) = delete;
    DiagLogger& operator=(const DiagLogger&) = delete;

private:
    DiagLogger();
    void WriteLineW(int priority, const WCHAR* format, va_list args);

    log4cpp::Category& category_;
    mutable std::mutex mutex_;  // serialises switching on and the settings it writes
    std::string logFilePath_;
    std::string logDirectory_;
    std::string logFileName_;
    std::atomic<bool> enabled_{true};
    bool hasAppender_ = false;
    uint32_t maxFileSize_ = 0;
};

#define KX_LOGW(fmt, ...) DiagLogger::Instance().WriteW(kDiagPriority, fmt, ##__VA_ARGS__)
#define KX_LOGA(fmt, ...) DiagLogger::Instance().WriteA(kDiagPriority, fmt, ##__VA_ARGS__)
