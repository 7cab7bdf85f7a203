// MD5 against RFC 1321's suite, and the MD5 random generator's stream.
#include "md5.h"
#include "tk_internal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes md5(const Bytes &data)
{
    A_MD5_CTX ctx;
    A_MD5Init(&ctx);
    A_MD5Update(&ctx, data.data(), static_cast<uint32_t>(data.size()));
    Bytes d(MD5_DIGEST_LEN);
    A_MD5Final(d.data(), &ctx);
    return d;
}

Bytes bytesOf(const std::string &s)
{
    return Bytes(s.begin(), s.end());
}

std::string hex(const Bytes &b)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (unsigned char c : b) {
        s += digits[c >> 4];
        s += digits[c & 15];
    }
    return s;
}

// Big-endian a + b, final carry dropped.
Bytes add(Bytes a, const Bytes &b)
{
    unsigned carry = 0;
    for (size_t i = a.size(); i-- > 0;) {
        unsigned sum = a[i] + b[i] + carry;
        a[i] = static_cast<unsigned char>(sum);
        carry = sum >> 8;
    }
    return a;
}

Bytes one()
{
    Bytes b(16, 0);
    b[15] = 1;
    return b;
}

Bytes concat(const Bytes &a, const Bytes &b)
{
    Bytes r = a;
    r.insert(r.end(), b.begin(), b.end());
    return r;
}

TEST(ToolkitMd5, MatchesRfc1321TestSuite)
{
    struct Case {
        const char *input;
        const char *digest;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"1234567890123456789012345678901234567890123456789012345678901234567890123456"
         "7890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(hex(md5(bytesOf(c.input))), c.digest) << '"' << c.input << '"';
}

TEST(ToolkitMd5, PiecewiseInputGivesTheOneShotDigest)
{
    Bytes data(300);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>(i * 7 + 3);
    const Bytes whole = md5(data);
    // Piece sizes that straddle, fill and skip whole 64-byte blocks.
    for (size_t piece : {1, 7, 55, 56, 63, 64, 65, 129}) {
        A_MD5_CTX ctx;
        A_MD5Init(&ctx);
        for (size_t off = 0; off < data.size(); off += piece)
            A_MD5Update(&ctx, data.data() + off,
                      static_cast<uint32_t>(std::min(piece, data.size() - off)));
        Bytes d(MD5_DIGEST_LEN);
        A_MD5Final(d.data(), &ctx);
        EXPECT_EQ(d, whole) << "piece " << piece;
    }
}

class ToolkitMd5Random : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(TK_CreateAlgorithmObject(&rnd_), 0u);
        ASSERT_EQ(TK_SetAlgorithmInfo(rnd_, AI_MD5Random, nullptr), 0u);
        ASSERT_EQ(TK_RandomInit(rnd_, kChooser, nullptr), 0u);
    }
    void TearDown() override { TK_DestroyAlgorithmObject(&rnd_); }

    void update(const Bytes &b)
    {
        ASSERT_EQ(TK_RandomUpdate(rnd_, b.data(), static_cast<uint32_t>(b.size()), nullptr), 0u);
    }
    Bytes generate(size_t n)
    {
        Bytes out(n);
        EXPECT_EQ(TK_GenerateRandomBytes(rnd_, out.data(), static_cast<uint32_t>(n), nullptr), 0u);
        return out;
    }

    static constexpr TK_CHOOSER kChooser[] = {&AM_MD5_RANDOM, nullptr};
    TK_ALGORITHM_OBJ *rnd_ = nullptr;
};

TEST_F(ToolkitMd5Random, OneUpdateStreamsDigestsOfTheSeedDigestCountingUpByOne)
{
    update(Bytes(8, 0));
    const Bytes s0 = md5(Bytes(8, 0));
    const Bytes out = generate(48);
    EXPECT_EQ(hex(Bytes(out.begin(), out.begin() + 16)), "77a668b1ac44eaea032e73c6e054b36c");
    Bytes expected = md5(s0);
    expected = concat(expected, md5(add(s0, one())));
    expected = concat(expected, md5(add(add(s0, one()), one())));
    EXPECT_EQ(out, expected);
}

TEST_F(ToolkitMd5Random, TwoUpdatesAdvanceByTheDigestOfNothingWithLowBitSet)
{
    update(bytesOf("abc"));
    update(bytesOf("def"));
    const Bytes s = md5(bytesOf("abcdef"));
    Bytes t = md5({});
    t[15] |= 1;
    const Bytes expected = concat(concat(md5(s), md5(add(s, t))), md5(add(add(s, t), t)));
    EXPECT_EQ(generate(48), expected);
}

TEST_F(ToolkitMd5Random, UpdateAfterOutputReseedsFromTheCurrentState)
{
    update(bytesOf("abc"));
    (void)generate(5);
    const Bytes s1 = add(md5(bytesOf("abc")), one()); // state after one block
    update(bytesOf("xyz"));
    // The countdown reached 0 with this second update, so S goes in first.
    const Bytes s2 = md5(concat(s1, bytesOf("xyz")));
    EXPECT_EQ(generate(16), md5(s2));
}

// Any way of cutting a request into pieces yields the same stream.
TEST(ToolkitMd5RandomPieces, PiecewiseRequestsMatchOneRequest)
{
    static constexpr TK_CHOOSER chooser[] = {&AM_MD5_RANDOM, nullptr};
    auto stream = [](const std::vector<uint32_t> &pieces) {
        TK_ALGORITHM_OBJ *r = nullptr;
        EXPECT_EQ(TK_CreateAlgorithmObject(&r), 0u);
        EXPECT_EQ(TK_SetAlgorithmInfo(r, AI_MD5Random, nullptr), 0u);
        EXPECT_EQ(TK_RandomInit(r, chooser, nullptr), 0u);
        const unsigned char seed[8] = {};
        EXPECT_EQ(TK_RandomUpdate(r, seed, 8, nullptr), 0u);
        Bytes all;
        for (uint32_t n : pieces) {
            Bytes part(n);
            EXPECT_EQ(TK_GenerateRandomBytes(r, part.data(), n, nullptr), 0u);
            all.insert(all.end(), part.begin(), part.end());
        }
        TK_DestroyAlgorithmObject(&r);
        return all;
    };
    EXPECT_EQ(stream({10, 22}), stream({32}));
    const std::vector<std::vector<uint32_t>> cuts = {
        {1, 15, 16, 1, 47}, {16, 16, 16, 16, 16}, {0, 80}, {3, 40, 0, 5, 32}, {79, 1}};
    const Bytes whole = stream({80});
    for (const auto &cut : cuts)
        EXPECT_EQ(stream(cut), whole);
}

} // namespace
