// Logging of the service through log4cxx, and the operating system's
// description of error codes.
//
// Until SetupLogging has succeeded there is no logger: every log call then
// returns at once and formats nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "format.h"

namespace authrelay {

// A log level; values outside 0..4 are trace.
using LogLevel = int;
constexpr LogLevel kLogFatal = 0;
constexpr LogLevel kLogError = 1;
constexpr LogLevel kLogWarning = 2;
constexpr LogLevel kLogInfo = 3;
constexpr LogLevel kLogDebug = 4;
constexpr LogLevel kLogTrace = 5;

// Longest logged text in UTF-16 units; longer output is cut to this length.
constexpr size_t kLogTextUnits = 255;

// Reads the log4cxx property file at configPath now and whenever it changes
// (looked at every watchDelayMs; 0 means log4cxx's default of 60 s), and
// makes the logger named loggerName the service's logger. Returns false,
// leaving no logger, when either step fails. A later call replaces the
// watched file.
bool SetupLogging(const char16_t *configPath, const char16_t *loggerName, long watchDelayMs = 0);
// Drops the logger: logging stops.
void ResetLogging();

// True when a logger is set and enabled for level.
bool IsLogEnabled(LogLevel level);
// Hands an already formatted text to the logger.
void WriteLog(const char *file, int line, LogLevel level, const char16_t *text, size_t units);

// Logs format (see format.h) with its arguments at level, from the source
// unit file (such as "src/c/io") and line.
template <typename... A>
void LogMessage(const char *file, int line, LogLevel level, const char16_t *format, const A &...args)
{
    if (!IsLogEnabled(level))
        return;
    char16_t text[kLogTextUnits + 1];
    size_t units = Format(text, sizeof text / sizeof text[0], format, args...);
    WriteLog(file, line, level, text, units);
}

// Logs the system's description of code: "text:description(0x%08x)", or
// "description(0x%08x)" when text is null. "Unknown error" stands in for a
// code the system cannot describe.
void LogSystemError(LogLevel level, uint32_t code, const char *file, int line, const char16_t *text);

// The system's description of an error code on one line, or empty when it
// has none.
std::u16string SystemErrorText(uint32_t code);

// Removes carriage returns and line feeds, and trailing blanks left by them.
void StripLineBreaks(std::u16string &text);

} // namespace authrelay

// Logs from the current source unit: needs `kLogUnit` (the unit's path) in scope.
#define AR_LOG(level, ...) ::authrelay::LogMessage(kLogUnit, __LINE__, (level), __VA_ARGS__)
#define AR_LOG_SYSTEM(level, code, text) \
    ::authrelay::LogSystemError((level), (code), kLogUnit, __LINE__, (text))
