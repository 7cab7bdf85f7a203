// Logging through the real log4cxx, configured from a property file.
#include <cerrno>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "log.h"
#include "logcapture.h"

using namespace authrelay;
using authrelay_test::LogCapture;

namespace {

constexpr char kLogUnit[] = "src/c/test";

TEST(AuthrelayLogging, LevelsMapToLog4cxxLevelsAndUnknownLevelsAreTrace)
{
    LogCapture log;
    ASSERT_TRUE(log.configured());
    const struct {
        LogLevel level;
        const char *expected;
    } cases[] = {{0, "FATAL"}, {1, "ERROR"}, {2, "WARN"}, {3, "INFO"},
                 {4, "DEBUG"}, {5, "TRACE"}, {9, "TRACE"}, {-1, "TRACE"}};
    for (const auto &c : cases)
        AR_LOG(c.level, u"level %d", c.level);
    auto lines = log.Lines();
    ASSERT_EQ(lines.size(), std::size(cases));
    for (size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ(lines[i], std::string(cases[i].expected) + "|level " + std::to_string(cases[i].level));
}

TEST(AuthrelayLogging, LineCarriesCallersFileLineAndOneConstantFunctionName)
{
    LogCapture log("authrelay-where");
    ASSERT_TRUE(log.configured());
    LogMessage("src/c/io", 77, kLogInfo, u"from %S", "io");
    LogMessage("src/c/reqmsg", 12, kLogInfo, u"from %S", "reqmsg");
    auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "src/c/io|77|from io");
    EXPECT_EQ(lines[1], "src/c/reqmsg|12|from reqmsg");
}

TEST(AuthrelayLogging, TextLongerThan255UnitsIsCutTo255)
{
    LogCapture log;
    ASSERT_TRUE(log.configured());
    std::u16string longText;
    for (int i = 0; i < 300; ++i)
        longText += static_cast<char16_t>(u'a' + i % 26);
    AR_LOG(kLogInfo, u"%s", longText.c_str());
    // A text of non-ASCII units is cut by units, not by UTF-8 bytes.
    std::u16string accents(300, u'\u00e9');
    AR_LOG(kLogInfo, u"%s", accents.c_str());
    auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 2u);
    std::string expected;
    for (int i = 0; i < 255; ++i)
        expected += static_cast<char>('a' + i % 26);
    EXPECT_EQ(lines[0], "INFO|" + expected);
    std::string accents255;
    for (int i = 0; i < 255; ++i)
        accents255 += "\xc3\xa9";
    EXPECT_EQ(lines[1], "INFO|" + accents255);
}

TEST(AuthrelayLogging, LevelsBelowTheThresholdAreNotWritten)
{
    LogCapture log("authrelay-info");
    ASSERT_TRUE(log.configured());
    EXPECT_FALSE(IsLogEnabled(kLogDebug));
    AR_LOG(kLogDebug, u"hidden");
    AR_LOG(kLogTrace, u"hidden");
    AR_LOG(kLogWarning, u"shown");
    auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "WARN|shown");
}

TEST(AuthrelayLogging, SystemErrorIsLoggedWithTextDescriptionAndCode)
{
    LogCapture log;
    ASSERT_TRUE(log.configured());
    AR_LOG_SYSTEM(kLogWarning, ENOENT, u"open failed");
    AR_LOG_SYSTEM(kLogError, ENOENT, nullptr);
    AR_LOG_SYSTEM(kLogWarning, 0x2746, u"recv failed");
    auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "WARN|open failed:No such file or directory(0x00000002)");
    EXPECT_EQ(lines[1], "ERROR|No such file or directory(0x00000002)");
    EXPECT_EQ(lines[2].rfind("WARN|recv failed:", 0), 0u) << lines[2];
    EXPECT_EQ(lines[2].substr(lines[2].size() - 12), "(0x00002746)");
    EXPECT_GT(lines[2].size(), std::string("WARN|recv failed:(0x00002746)").size());
}

TEST(AuthrelayLogging, DescriptionsAreOneLine)
{
    std::u16string text = u"Access is denied.\r\n";
    StripLineBreaks(text);
    EXPECT_EQ(text, u"Access is denied.");
    std::u16string two = u"first\r\nsecond \r\n";
    StripLineBreaks(two);
    EXPECT_EQ(two, u"firstsecond");
}

// A wide text that runs into an inaccessible page: formatting it would crash.
class UnterminatedText {
public:
    UnterminatedText()
    {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        base_ = mmap(nullptr, page_ * 2, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base_ == MAP_FAILED)
            return;
        mprotect(static_cast<char *>(base_) + page_, page_, PROT_NONE);
        text_ = reinterpret_cast<char16_t *>(static_cast<char *>(base_) + page_) - 8;
        for (int i = 0; i < 8; ++i)
            text_[i] = u'x';
    }
    ~UnterminatedText()
    {
        if (base_ != MAP_FAILED)
            munmap(base_, page_ * 2);
    }
    const char16_t *get() const { return text_; }

private:
    size_t page_ = 0;
    void *base_ = MAP_FAILED;
    char16_t *text_ = nullptr;
};

TEST(AuthrelayLogging, WithoutLoggerNothingIsFormattedOrWritten)
{
    LogCapture log;
    ASSERT_TRUE(log.configured());
    ResetLogging();
    UnterminatedText poison;
    ASSERT_NE(poison.get(), nullptr);
    for (LogLevel level : {0, 1, 2, 3, 4, 5, 9}) {
        EXPECT_FALSE(IsLogEnabled(level));
        AR_LOG(level, u"%s", poison.get());
        AR_LOG_SYSTEM(level, 5, poison.get());
    }
    EXPECT_EQ(log.Text(), "");
}

TEST(AuthrelayLogging, MissingPropertyFileLeavesNoLogger)
{
    testsupport::ScratchFolder folder;
    std::string missing = folder / "absent.properties";
    EXPECT_FALSE(SetupLogging(authrelay_test::U16(missing).c_str(), u"authrelay"));
    EXPECT_FALSE(IsLogEnabled(kLogFatal));
    AR_LOG(kLogFatal, u"goes nowhere");
}

} // namespace
