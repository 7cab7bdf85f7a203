// The log4cxx side of logging.
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include <log4cxx/file.h>
#include <log4cxx/helpers/messagebuffer.h>
#include <log4cxx/helpers/pool.h>
#include <log4cxx/level.h>
#include <log4cxx/logger.h>
#include <log4cxx/propertyconfigurator.h>
#include <log4cxx/spi/location/locationinfo.h>

#include "log.h"

namespace authrelay {

namespace {

log4cxx::LoggerPtr g_logger;

// Every log line names LogMessage as its function, whoever called it.
constexpr char kLogFunction[] =
    "void authrelay::LogMessage(const char *, int, LogLevel, const char16_t *, ...)";

log4cxx::LevelPtr MapLevel(LogLevel level)
{
    switch (level) {
    case kLogFatal:
        return log4cxx::Level::getFatal();
    case kLogError:
        return log4cxx::Level::getError();
    case kLogWarning:
        return log4cxx::Level::getWarn();
    case kLogInfo:
        return log4cxx::Level::getInfo();
    case kLogDebug:
        return log4cxx::Level::getDebug();
    default:
        return log4cxx::Level::getTrace();
    }
}

// wchar_t is UTF-16 on Windows and UTF-32 elsewhere.
std::wstring ToWide(const char16_t *text, size_t units)
{
    std::wstring out;
    out.reserve(units);
    for (size_t i = 0; i < units; ++i) {
        char32_t c = text[i];
        if (sizeof(wchar_t) == 4 && c >= 0xD800 && c <= 0xDBFF && i + 1 < units &&
            text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        out += static_cast<wchar_t>(c);
    }
    return out;
}

const char *BaseName(const char *path)
{
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// Re-reads the property file when its modification time changes. log4cxx's
// own watcher (configureAndWatch) cannot be used: in log4cxx 1.0 it hangs or
// crashes at process exit when it wakes during static teardown, and cannot be
// replaced safely. This one is stopped and joined before log4cxx goes.
class ConfigWatcher {
public:
    ~ConfigWatcher() { Stop(); }

    // read: the modification time of the version just read.
    void Watch(const log4cxx::File &file, long delayMs, log4cxx::log4cxx_time_t read)
    {
        Stop();
        std::lock_guard<std::mutex> g(lock_);
        stop_ = false;
        thread_ = std::thread([this, file, delayMs, read] { Run(file, delayMs, read); });
    }

    void Stop()
    {
        {
            std::lock_guard<std::mutex> g(lock_);
            stop_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }

private:
    // seen: the modification time of the version already read.
    void Run(log4cxx::File file, long delayMs, log4cxx::log4cxx_time_t seen)
    {
        log4cxx::helpers::Pool pool;
        std::unique_lock<std::mutex> held(lock_);
        while (!wake_.wait_for(held, std::chrono::milliseconds(delayMs), [this] { return stop_; })) {
            log4cxx::log4cxx_time_t now = file.lastModified(pool);
            if (now == seen || !file.exists(pool))
                continue;
            seen = now;
            held.unlock();
            try {
                log4cxx::PropertyConfigurator::configure(file);
            } catch (...) {
                // A broken file keeps the configuration it replaced.
            }
            held.lock();
        }
    }

    std::mutex lock_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

// log4cxx's own default delay between two looks at the file.
constexpr long kDefaultWatchDelayMs = 60000;

} // namespace

bool SetupLogging(const char16_t *configPath, const char16_t *loggerName, long watchDelayMs)
{
    g_logger = nullptr;
    if (!configPath || !loggerName)
        return false;
    size_t pathUnits = std::char_traits<char16_t>::length(configPath);
    size_t nameUnits = std::char_traits<char16_t>::length(loggerName);
    try {
        log4cxx::File file(ToWide(configPath, pathUnits));
        log4cxx::helpers::Pool pool;
        if (!file.exists(pool))
            return false;
        // Made after log4cxx's statics, so stopped before they go.
        static ConfigWatcher watcher;
        watcher.Stop();
        // Taken before reading, so a change made meanwhile is read again.
        log4cxx::log4cxx_time_t read = file.lastModified(pool);
        if (log4cxx::PropertyConfigurator::configure(file) !=
            log4cxx::spi::ConfigurationStatus::Configured)
            return false;
        watcher.Watch(file, watchDelayMs > 0 ? watchDelayMs : kDefaultWatchDelayMs, read);
        g_logger = log4cxx::Logger::getLogger(ToWide(loggerName, nameUnits));
    } catch (...) {
        g_logger = nullptr;
        return false;
    }
    return g_logger != nullptr;
}

void ResetLogging()
{
    g_logger = nullptr;
}

bool IsLogEnabled(LogLevel level)
{
    return g_logger && g_logger->isEnabledFor(MapLevel(level));
}

void WriteLog(const char *file, int line, LogLevel level, const char16_t *text, size_t units)
{
    if (!g_logger)
        return;
    try {
        log4cxx::helpers::MessageBuffer buffer;
        const std::wstring &message = buffer.str(buffer << ToWide(text, units));
        g_logger->forcedLog(MapLevel(level), message,
                            log4cxx::spi::LocationInfo(file, BaseName(file), kLogFunction, line));
    } catch (...) {
        // A failing appender must not turn a log call into a failure.
    }
}

} // namespace authrelay
