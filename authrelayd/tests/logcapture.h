// Test fixture: real log4cxx output through a property file the test writes.
//
// A process writes its property file once and keeps it to the end (the
// logging setup watches it); each capture only empties the log files.
#pragma once

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "log.h"
#include "process.h"
#include "text.h"

namespace authrelay_test {

inline std::u16string U16(const std::string &s)
{
    return authrelay::Utf8ToUtf16(s.data(), s.size());
}

// Loggers of the property file: "authrelay" writes "level|message" lines at
// every level, "authrelay-info" the same from info up, and "authrelay-where"
// "file|line|message" lines.
class LogCapture {
public:
    explicit LogCapture(const std::string &logger = "authrelay") : logger_(logger)
    {
        const std::string &config = ConfigPath();
        for (const char *name : {"authrelay", "authrelay-info", "authrelay-where"})
            std::ofstream(LogPathOf(name), std::ios::trunc);
        configured_ = authrelay::SetupLogging(U16(config).c_str(), U16(logger).c_str());
    }
    ~LogCapture() { authrelay::ResetLogging(); }

    bool configured() const { return configured_; }
    std::string logPath() const { return LogPathOf(logger_); }

    // Every line written so far, without line ends.
    std::vector<std::string> Lines() const
    {
        std::ifstream in(logPath());
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }
    std::string Text() const
    {
        std::ifstream in(logPath());
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    bool Contains(const std::string &needle) const { return Text().find(needle) != std::string::npos; }

private:
    static testsupport::ScratchFolder &Folder()
    {
        static testsupport::ScratchFolder folder;
        return folder;
    }
    static std::string LogPathOf(const std::string &logger) { return Folder() / (logger + ".log"); }
    static const std::string &ConfigPath()
    {
        static const std::string path = [] {
            std::string p = Folder() / "log.properties";
            std::ofstream out(p);
            out << "log4j.rootLogger=OFF\n";
            const struct {
                const char *logger, *threshold, *pattern;
            } loggers[] = {{"authrelay", "TRACE", "%p|%m%n"},
                           {"authrelay-info", "INFO", "%p|%m%n"},
                           {"authrelay-where", "TRACE", "%F|%L|%m%n"}};
            int n = 0;
            for (const auto &l : loggers) {
                std::string name = "A" + std::to_string(n++);
                std::string a = "log4j.appender." + name;
                out << "log4j.logger." << l.logger << "=" << l.threshold << ", " << name << "\n"
                    << "log4j.additivity." << l.logger << "=false\n"
                    << a << "=org.apache.log4j.FileAppender\n"
                    << a << ".File=" << LogPathOf(l.logger) << "\n"
                    << a << ".Append=true\n"
                    << a << ".Encoding=UTF-8\n"
                    << a << ".layout=org.apache.log4j.PatternLayout\n"
                    << a << ".layout.ConversionPattern=" << l.pattern << "\n";
            }
            return p;
        }();
        return path;
    }

    std::string logger_;
    bool configured_ = false;
};

} // namespace authrelay_test
