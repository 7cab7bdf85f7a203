// String, Blob, the formatter and the failure codes.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "failure.h"
#include "format.h"
#include "text.h"

using namespace authrelay;

namespace {

std::string Bytes(const char *p, size_t n) { return std::string(p, n); }

TEST(AuthrelayString, AbcHasBothFormsAndLengths)
{
    String s(u"abc");
    EXPECT_EQ(s.GetLength(), 3u);
    EXPECT_EQ(s.GetByteLength(), 6u);
    EXPECT_EQ(s.GetUtf8Length(), 3u);
    EXPECT_EQ(Bytes(s.GetUtf8(), 4), std::string("abc\0", 4));
    EXPECT_EQ(std::u16string(s.GetWide()), u"abc");
}

TEST(AuthrelayString, NonAsciiAndSurrogatePairsConvertBothWays)
{
    const char16_t wide[] = u"\u00e9t\u00e9 \U0001F600";
    String s(wide);
    EXPECT_EQ(s.GetLength(), 6u);
    EXPECT_EQ(std::string(s.GetUtf8()), "\xc3\xa9t\xc3\xa9 \xf0\x9f\x98\x80");
    String back;
    back.SetUtf8(s.GetUtf8(), s.GetUtf8Length());
    EXPECT_EQ(std::u16string(back.GetWide()), std::u16string(wide));
    EXPECT_EQ(back.GetLength(), 6u);
}

TEST(AuthrelayString, IllFormedInputBecomesReplacementCharacters)
{
    const char16_t lone[] = {u'a', 0xD800, u'b', 0};
    String s(lone);
    EXPECT_EQ(std::string(s.GetUtf8()), "a\xef\xbf\xbd" "b");
    String t;
    t.SetUtf8("x\xff\xc3", 3); // a bad byte, then a sequence cut short
    EXPECT_EQ(std::u16string(t.GetWide()), u"x\uFFFD\uFFFD");
    String overlong;
    overlong.SetUtf8("\xc0\xaf", 2);
    EXPECT_EQ(std::u16string(overlong.GetWide()), u"\uFFFD\uFFFD");
}

TEST(AuthrelayString, SetUtf8CopiesOnlyTheGivenBytes)
{
    String s;
    s.SetUtf8("user@REALMxyz", 10);
    EXPECT_EQ(std::string(s.GetUtf8()), "user@REALM");
    EXPECT_EQ(s.GetUtf8Length(), 10u);
    EXPECT_EQ(std::u16string(s.GetWide()), u"user@REALM");
}

TEST(AuthrelayString, NullAndEmptyTextGiveAnEmptyString)
{
    String fromNull(nullptr);
    EXPECT_TRUE(fromNull.IsEmpty());
    EXPECT_EQ(fromNull.GetUtf8Length(), 0u);
    EXPECT_STREQ(fromNull.GetUtf8(), "");
    String s(u"x");
    s.Set(u"");
    EXPECT_TRUE(s.IsEmpty());
    EXPECT_EQ(s.GetByteLength(), 0u);
}

TEST(AuthrelayString, AdoptTakesTheBufferAndCopiesAreIndependent)
{
    std::unique_ptr<char16_t[]> buffer(new char16_t[4]{u'k', u'e', u'y', 0});
    const char16_t *raw = buffer.get();
    String s;
    s.Adopt(std::move(buffer));
    EXPECT_EQ(s.GetWide(), raw);
    EXPECT_EQ(std::string(s.GetUtf8()), "key");
    String copy(s);
    s.Set(u"other");
    EXPECT_EQ(std::u16string(copy.GetWide()), u"key");
    String moved(std::move(copy));
    EXPECT_EQ(std::string(moved.GetUtf8()), "key");
    EXPECT_TRUE(copy.IsEmpty());
}

TEST(AuthrelayBlob, SetCopiesAndReplaces)
{
    Blob b;
    EXPECT_EQ(b.Size(), 0u);
    uint8_t bytes[] = {1, 2, 3};
    b.Set(3, bytes);
    bytes[0] = 9;
    ASSERT_EQ(b.Size(), 3u);
    EXPECT_EQ(b.Data()[0], 1);
    Blob copy(b);
    b.Set(1, "z");
    EXPECT_EQ(b.Size(), 1u);
    EXPECT_EQ(copy.Size(), 3u);
    EXPECT_EQ(copy.Data()[2], 3);
    b.Clear();
    EXPECT_EQ(b.Size(), 0u);
    EXPECT_EQ(b.Data(), nullptr);
}

TEST(AuthrelayFailureCodes, WindowsErrorsConvertToFailureCodes)
{
    EXPECT_EQ(static_cast<uint32_t>(ConvertWindowsError(5)), 0x80070005u);
    EXPECT_EQ(static_cast<uint32_t>(ConvertWindowsError(0x2746)), 0x80072746u);
    EXPECT_EQ(static_cast<uint32_t>(ConvertWindowsError(0x12345678)), 0x80075678u);
    EXPECT_EQ(ConvertWindowsError(0), 0);
    EXPECT_EQ(ConvertWindowsError(-5), -5);
    EXPECT_EQ(ConvertWindowsError(kFailMalformed), kFailMalformed);
}

TEST(AuthrelayFailureCodes, ThrownAsLongKeepingTheCode)
{
    try {
        ThrowFailure(kFailMalformed);
        FAIL();
    } catch (long code) {
        EXPECT_EQ(static_cast<uint32_t>(FailureFromLong(code)), 0x80040505u);
        EXPECT_LT(code, 0);
    }
}

std::u16string F(size_t capacity, const char16_t *format)
{
    std::u16string out(capacity, u'#');
    out.resize(Format(out.data(), capacity, format));
    return out;
}

template <typename... A> std::u16string F(const char16_t *format, const A &...args)
{
    char16_t out[256];
    size_t n = Format(out, 256, format, args...);
    EXPECT_EQ(out[n], 0);
    return std::u16string(out, n);
}

TEST(AuthrelayFormatter, TextConversionsFollowWindowsWideConventions)
{
    EXPECT_EQ(F(u"%s:%s(0x%08x)", u"recv failed", u"Reset", 0x2746), u"recv failed:Reset(0x00002746)");
    EXPECT_EQ(F(u"value = \"%.*S\"", 3, "abcdef"), u"value = \"abc\"");
    EXPECT_EQ(F(u"%S|%hs|%ls|%ws", "n\xc3\xa9", "h", u"l", u"w"), u"n\u00e9|h|l|w");
    EXPECT_EQ(F(u"%s", L"wide \U0001F600"), u"wide \U0001F600");
    EXPECT_EQ(F(u"[%5s][%-5s][%.2s]", u"ab", u"ab", u"abc"), u"[   ab][ab   ][ab]");
    EXPECT_EQ(F(u"%s %S", static_cast<const char16_t *>(nullptr), static_cast<const char *>(nullptr)),
              u"(null) (null)");
    EXPECT_EQ(F(u"%c%C", u'x', 'y'), u"xy");
}

TEST(AuthrelayFormatter, IntegersHaveWindowsSizes)
{
    const long code = static_cast<long>(kFailMalformed);
    EXPECT_EQ(F(u"0x%0.8X|%08x|%X", code, 0x1fu, 0xabcu), u"0x80040505|0000001f|ABC");
    EXPECT_EQ(F(u"%d %u %i", -5, -1, 42), u"-5 4294967295 42");
    EXPECT_EQ(F(u"%lu %ld", 4294967296ull + 7, -1L), u"7 -1");
    EXPECT_EQ(F(u"%hu %hd %hhu", 70000, 65535, 300), u"4464 -1 44");
    EXPECT_EQ(F(u"%llu %I64d %llx", 18446744073709551615ull, -9000000000ll, 1ull << 40),
              u"18446744073709551615 -9000000000 10000000000");
    EXPECT_EQ(F(u"[%5d][%-5d][%05d][%+d][% d][%.3d]", 42, 42, -42, 7, 7, 5),
              u"[   42][42   ][-0042][+7][ 7][005]");
    EXPECT_EQ(F(u"%#x %#o %o %x", 255, 8, 8, 0), u"0xff 010 10 0");
    EXPECT_EQ(F(u"%zu", sizeof(int)), u"4");
    EXPECT_EQ(F(u"%*d|%-*d|", 4, 1, 3, 2), u"   1|2  |");
}

TEST(AuthrelayFormatter, PointersPercentAndMalformedConversions)
{
    EXPECT_EQ(F(u"%p", reinterpret_cast<const void *>(0xABCDEF)),
              sizeof(void *) == 8 ? u"0000000000ABCDEF" : u"00ABCDEF");
    EXPECT_EQ(F(u"100%%"), u"100%");
    EXPECT_EQ(F(u"%d and %s"), u"(?) and (?)");
    EXPECT_EQ(F(u"%s", 5), u"(?)");
    EXPECT_EQ(F(u"%d", u"text"), u"(?)");
    EXPECT_EQ(F(u"%q %"), u"%q %");
}

TEST(AuthrelayFormatter, OutputIsCutToTheCapacity)
{
    EXPECT_EQ(F(4, u"abcdef"), u"abc");
    EXPECT_EQ(F(1, u"abcdef"), u"");
    char16_t out[6];
    EXPECT_EQ(Format(out, 6, u"%s-%d", u"abc", 12345), 5u);
    EXPECT_EQ(std::u16string(out), u"abc-1");
}

} // namespace
