// Logging for a build without log4cxx: there is never a logger.
#include "log.h"

namespace authrelay {

bool SetupLogging(const char16_t *, const char16_t *, long) { return false; }
void ResetLogging() {}
bool IsLogEnabled(LogLevel) { return false; }
void WriteLog(const char *, int, LogLevel, const char16_t *, size_t) {}

} // namespace authrelay
