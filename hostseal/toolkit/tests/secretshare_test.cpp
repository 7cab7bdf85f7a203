// __split / __join end to end, and the sharing handler's own failures.
#include "bsshare.h"
#include "secretshare.h"
#include "tk_internal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

struct Freed {
    void operator()(unsigned char *p) const { free(p); }
};
using Buffer = std::unique_ptr<unsigned char, Freed>;

Bytes testSecret(size_t n, unsigned seed = 1)
{
    std::mt19937 gen(seed);
    Bytes s(n);
    for (auto &b : s)
        b = static_cast<unsigned char>(gen());
    return s;
}

Bytes split(const Bytes &secret, int n, int t)
{
    Buffer shares(__split(secret.data(), int(secret.size()), n, t));
    if (!shares)
        return {};
    return Bytes(shares.get(), shares.get() + size_t(n) * (secret.size() + 1));
}

// Joins the shares at `which` (0-based positions in the split), in that order.
Buffer join(const Bytes &shares, size_t L, const std::vector<int> &which)
{
    Bytes picked;
    for (int q : which)
        picked.insert(picked.end(), shares.begin() + q * (L + 1),
                      shares.begin() + (q + 1) * (L + 1));
    return Buffer(__join(picked.data(), int(L), int(which.size())));
}

bool equals(const Buffer &b, const Bytes &s)
{
    return b && std::equal(s.begin(), s.end(), b.get());
}

TEST(ToolkitSplitJoin, SharesCarryIndicesOneToNInOrder)
{
    const Bytes secret = testSecret(5);
    const Bytes shares = split(secret, 7, 3);
    ASSERT_EQ(shares.size(), 7u * 6);
    for (int q = 0; q < 7; ++q)
        EXPECT_EQ(shares[q * 6 + 5], q + 1);
}

TEST(ToolkitSplitJoin, EveryThresholdSubsetInAnyOrderGivesTheSecret)
{
    const int n = 6, t = 3;
    const Bytes secret = testSecret(33);
    const Bytes shares = split(secret, n, t);
    ASSERT_FALSE(shares.empty());
    std::mt19937 gen(7);
    for (int mask = 0; mask < (1 << n); ++mask) {
        std::vector<int> which;
        for (int q = 0; q < n; ++q)
            if (mask & (1 << q))
                which.push_back(q);
        if (int(which.size()) < t)
            continue;
        std::shuffle(which.begin(), which.end(), gen);
        EXPECT_TRUE(equals(join(shares, secret.size(), which), secret)) << "mask " << mask;
    }
}

TEST(ToolkitSplitJoin, LargestThresholdRoundTrips)
{
    const Bytes secret = testSecret(17, 3);
    const Bytes shares = split(secret, 255, 255);
    ASSERT_FALSE(shares.empty());
    std::vector<int> all(255);
    std::iota(all.rbegin(), all.rend(), 0);
    EXPECT_TRUE(equals(join(shares, secret.size(), all), secret));
}

TEST(ToolkitSplitJoin, FewerThanThresholdSharesGiveOtherBytesWithoutError)
{
    const Bytes secret = testSecret(64);
    const Bytes shares = split(secret, 5, 3);
    Buffer joined = join(shares, secret.size(), {0, 4});
    ASSERT_TRUE(joined);
    EXPECT_FALSE(equals(joined, secret));
}

TEST(ToolkitSplitJoin, RepeatedShareIndexGivesNull)
{
    const Bytes secret = testSecret(8);
    const Bytes shares = split(secret, 4, 2);
    EXPECT_FALSE(join(shares, secret.size(), {1, 1}));
    EXPECT_FALSE(join(shares, secret.size(), {0, 2, 0}));
}

TEST(ToolkitSplitJoin, TwoOfTwoOnZeroByteGivesCoefficientAndItsDouble)
{
    const Bytes secret = {0x00, 0x00, 0x00, 0x00};
    const Bytes s = split(secret, 2, 2);
    ASSERT_EQ(s.size(), 10u);
    EXPECT_EQ(s[4], 1);
    EXPECT_EQ(s[9], 2);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(s[5 + i], GF_Mul(s[i], 2)) << i;
}

TEST(ToolkitSplitJoin, SplitsInTheSameSecondDiffer)
{
    const Bytes secret = testSecret(16);
    EXPECT_NE(split(secret, 3, 2), split(secret, 3, 2));
}

TEST(ToolkitSplitJoin, RefusedArgumentsGiveNull)
{
    const Bytes secret = testSecret(4);
    struct Case {
        const char *what;
        const unsigned char *secret;
        int L, n, t;
    } cases[] = {
        {"threshold 0", secret.data(), 4, 3, 0},
        {"threshold 1", secret.data(), 4, 3, 1},
        {"negative threshold", secret.data(), 4, 3, -2},
        {"threshold 256", secret.data(), 4, 256, 256},
        {"more than 255 shares", secret.data(), 4, 256, 2},
        {"fewer shares than threshold", secret.data(), 4, 2, 3},
        {"empty secret", secret.data(), 0, 3, 2},
        {"negative length", secret.data(), -1, 3, 2},
        {"no secret", nullptr, 4, 3, 2},
        {"no shares", secret.data(), 4, 0, 2},
    };
    for (const Case &c : cases)
        EXPECT_EQ(Buffer(__split(c.secret, c.L, c.n, c.t)), nullptr) << c.what;

    const Bytes shares = split(secret, 3, 2);
    EXPECT_FALSE(Buffer(__join(shares.data(), 4, 1))) << "one share";
    EXPECT_FALSE(Buffer(__join(shares.data(), 4, 0))) << "no shares";
    EXPECT_FALSE(Buffer(__join(shares.data(), 0, 3))) << "empty secret";
    EXPECT_FALSE(Buffer(__join(nullptr, 4, 2))) << "null shares";
}

TEST(ToolkitSplitJoin, ConcurrentCallsDoNotInterfere)
{
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (unsigned k = 0; k < 4; ++k)
        threads.emplace_back([k, &failures] {
            for (unsigned i = 0; i < 50; ++i) {
                const Bytes secret = testSecret(40, k * 1000 + i);
                const Bytes shares = split(secret, 4, 3);
                if (shares.empty() || !equals(join(shares, secret.size(), {3, 0, 2}), secret))
                    failures[k]++;
            }
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}

// The handler driven directly, for failures __split and __join never provoke.
class ToolkitSharingHandler : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(TK_CreateAlgorithmObject(&random_), 0u);
        ASSERT_EQ(TK_SetAlgorithmInfo(random_, AI_MD5Random, nullptr), 0u);
        ASSERT_EQ(TK_RandomInit(random_, kChooser, nullptr), 0u);
        ASSERT_EQ(TK_RandomUpdate(random_, secret_, 4, nullptr), 0u);
        ASSERT_EQ(TK_CreateAlgorithmObject(&obj_), 0u);
        uint32_t t = 2;
        ASSERT_EQ(TK_SetAlgorithmInfo(obj_, AI_BSSecretSharing, &t), 0u);
    }
    void TearDown() override
    {
        TK_DestroyAlgorithmObject(&obj_);
        TK_DestroyAlgorithmObject(&random_);
    }
    unsigned splitOne(const unsigned char *in, uint32_t inLen, uint32_t cap = 5)
    {
        return TK_EncryptUpdate(obj_, out_, &outLen_, cap, in, inLen, random_, nullptr);
    }
    unsigned joinOne(const unsigned char *share, uint32_t len)
    {
        return TK_DecryptUpdate(obj_, nullptr, &outLen_, 0, share, len, nullptr, nullptr);
    }

    static constexpr TK_CHOOSER kChooser[] = {&AM_MD5_RANDOM, nullptr};
    TK_ALGORITHM_OBJ *random_ = nullptr;
    TK_ALGORITHM_OBJ *obj_ = nullptr;
    unsigned char secret_[4] = {9, 8, 7, 6};
    unsigned char out_[16] = {};
    uint32_t outLen_ = 99;
};

TEST_F(ToolkitSharingHandler, SplitUpdateRefusesChangedOrEmptyInputAndSmallOutput)
{
    ASSERT_EQ(TK_EncryptInit(obj_, nullptr, nullptr, nullptr), 0u);
    EXPECT_EQ(splitOne(nullptr, 4), 524u);
    EXPECT_EQ(splitOne(secret_, 0), 524u);
    EXPECT_EQ(TK_EncryptUpdate(obj_, out_, nullptr, 5, secret_, 4, random_, nullptr), 548u);
    EXPECT_EQ(splitOne(secret_, 4, 4), 536u);
    EXPECT_EQ(outLen_, 5u);
    ASSERT_EQ(splitOne(secret_, 4), 0u);
    unsigned char copy[4] = {9, 8, 7, 6};
    EXPECT_EQ(splitOne(copy, 4), 524u);
    EXPECT_EQ(splitOne(secret_, 3), 524u);
    EXPECT_EQ(TK_EncryptUpdate(obj_, nullptr, &outLen_, 5, secret_, 4, random_, nullptr), 536u);
}

TEST_F(ToolkitSharingHandler, SplitFinalNeedsThresholdManySharesAndOutputLength)
{
    ASSERT_EQ(TK_EncryptInit(obj_, nullptr, nullptr, nullptr), 0u);
    EXPECT_EQ(TK_EncryptFinal(obj_, nullptr, &outLen_, 0, nullptr, nullptr), 544u);
    ASSERT_EQ(splitOne(secret_, 4), 0u);
    EXPECT_EQ(TK_EncryptFinal(obj_, nullptr, &outLen_, 0, nullptr, nullptr), 544u);
    ASSERT_EQ(splitOne(secret_, 4), 0u);
    EXPECT_EQ(TK_EncryptFinal(obj_, nullptr, nullptr, 0, nullptr, nullptr), 548u);
    EXPECT_EQ(TK_EncryptFinal(obj_, nullptr, &outLen_, 0, nullptr, nullptr), 0u);
    EXPECT_EQ(outLen_, 0u);
}

TEST_F(ToolkitSharingHandler, SplitStopsAfterShare255)
{
    ASSERT_EQ(TK_EncryptInit(obj_, nullptr, nullptr, nullptr), 0u);
    for (int q = 1; q <= 255; ++q)
        ASSERT_EQ(splitOne(secret_, 4), 0u) << q;
    EXPECT_EQ(splitOne(secret_, 4), 544u);
    EXPECT_EQ(out_[4], 255);
}

TEST_F(ToolkitSharingHandler, JoinChecksShareLengthsCountAndCapacity)
{
    const unsigned char a[] = {1, 2, 3, 1}, b[] = {4, 5, 6, 2}, c[] = {7, 8, 9, 9, 3};
    ASSERT_EQ(TK_DecryptInit(obj_, nullptr, nullptr, nullptr), 0u);
    EXPECT_EQ(TK_DecryptUpdate(obj_, nullptr, nullptr, 0, a, 4, nullptr, nullptr), 548u);
    EXPECT_EQ(joinOne(nullptr, 4), 524u);
    EXPECT_EQ(joinOne(a, 0), 524u);
    ASSERT_EQ(joinOne(a, 4), 0u);
    EXPECT_EQ(outLen_, 0u);
    EXPECT_EQ(TK_DecryptFinal(obj_, out_, &outLen_, 3, nullptr, nullptr), 543u);
    EXPECT_EQ(joinOne(c, 5), 525u);
    ASSERT_EQ(joinOne(b, 4), 0u);
    EXPECT_EQ(joinOne(c, 5), 0u) << "shares beyond the threshold are ignored";
    EXPECT_EQ(TK_DecryptFinal(obj_, out_, nullptr, 3, nullptr, nullptr), 548u);
    EXPECT_EQ(TK_DecryptFinal(obj_, out_, &outLen_, 2, nullptr, nullptr), 536u);
    EXPECT_EQ(outLen_, 3u);
    EXPECT_EQ(TK_DecryptFinal(obj_, out_, &outLen_, 3, nullptr, nullptr), 0u);
    // Line through (1, a) and (2, b) at 0: a*2/(1+2) + b*1/(1+2).
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(out_[i], GF_Div(GF_Mul(a[i], 2), 3) ^ GF_Div(b[i], 3)) << i;
}

TEST_F(ToolkitSharingHandler, JoinOfRepeatedIndexFailsTheCheck)
{
    const unsigned char a[] = {1, 2, 7}, b[] = {4, 5, 7};
    ASSERT_EQ(TK_DecryptInit(obj_, nullptr, nullptr, nullptr), 0u);
    ASSERT_EQ(joinOne(a, 3), 0u);
    ASSERT_EQ(joinOne(b, 3), 0u);
    EXPECT_EQ(TK_DecryptFinal(obj_, out_, &outLen_, 2, nullptr, nullptr), 524u);
}

TEST_F(ToolkitSharingHandler, GetBlockLengthIsNotSupported)
{
    uint32_t len = 0;
    TK_HANDLER *h = obj_->handler;
    EXPECT_EQ(static_cast<const AH_ENCRYPT_DECRYPT_OPS *>(h->ops)->getBlockLen(h, &len), 535u);
}

} // namespace
