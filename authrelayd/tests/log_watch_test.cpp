// The property file is re-read when it changes.
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/time.h>
#include <thread>

#include <gtest/gtest.h>

#include "log.h"
#include "process.h"
#include "text.h"

using namespace authrelay;

namespace {

constexpr char kLogUnit[] = "src/c/test";

void WriteConfig(const std::string &path, const std::string &logPath, const std::string &pattern)
{
    std::ofstream out(path, std::ios::trunc);
    out << "log4j.rootLogger=OFF\n"
        << "log4j.logger.authrelay=TRACE, F\n"
        << "log4j.appender.F=org.apache.log4j.FileAppender\n"
        << "log4j.appender.F.File=" << logPath << "\n"
        << "log4j.appender.F.layout=org.apache.log4j.PatternLayout\n"
        << "log4j.appender.F.layout.ConversionPattern=" << pattern << "\n";
}

std::string Slurp(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(AuthrelayLogWatch, ChangedPropertyFileIsReadAgain)
{
    // Kept to the end of the process: log4cxx watches it until exit.
    static testsupport::ScratchFolder folder;
    const std::string config = folder / "log.properties";
    const std::string logFile = folder / "out.log";
    WriteConfig(config, logFile, "%p|%m%n");
    ASSERT_TRUE(SetupLogging(Utf8ToUtf16(config.data(), config.size()).c_str(), u"authrelay", 50));
    AR_LOG(kLogInfo, u"before");
    ASSERT_EQ(Slurp(logFile), "INFO|before\n");

    WriteConfig(config, logFile, "changed %p %m%n");
    // Dated ahead so that the change is seen even within the same second.
    struct timeval later[2];
    gettimeofday(&later[0], nullptr);
    later[0].tv_sec += 10;
    later[1] = later[0];
    ASSERT_EQ(utimes(config.c_str(), later), 0);

    // Waits, bounded generously, until the watcher has applied the new layout.
    bool seen = false;
    for (int i = 0; i < 600 && !seen; ++i) {
        AR_LOG(kLogInfo, u"probe");
        seen = Slurp(logFile).find("changed INFO probe") != std::string::npos;
        if (!seen)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(seen) << Slurp(logFile);
    ResetLogging();
}

} // namespace
