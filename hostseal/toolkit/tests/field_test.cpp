// GF(2^8) tables and the share polynomials against independent arithmetic.
#include "bsshare.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Carry-less multiply reduced by 0x11D, one bit at a time.
unsigned char slowMul(unsigned char a, unsigned char b)
{
    unsigned r = 0, x = a;
    for (; b != 0; b >>= 1) {
        if (b & 1)
            r ^= x;
        x <<= 1;
        if (x & 0x100)
            x ^= 0x11D;
    }
    return static_cast<unsigned char>(r);
}

TEST(ToolkitField, KnownProductsAndInverse)
{
    EXPECT_EQ(GF_Mul(0x80, 0x02), 0x1D);
    EXPECT_EQ(GF_INVT[0x02], 0x8E);
    EXPECT_EQ(GF_Mul(0xE5, 0xE5), 0xBB);
    EXPECT_EQ(GF_Div(0x1D, 0x02), 0x80);
    EXPECT_EQ(GF_Div(0x37, 0x00), 0x00);
}

TEST(ToolkitField, TableProductMatchesBitwiseProductForAllPairs)
{
    for (unsigned a = 0; a < 256; ++a)
        for (unsigned b = 0; b < 256; ++b)
            ASSERT_EQ(GF_Mul(a, b), slowMul(a, b)) << a << "*" << b;
}

TEST(ToolkitField, TablesFollowTheirDefinition)
{
    unsigned char p = 1;
    for (unsigned i = 0; i < 510; ++i, p = slowMul(p, 2))
        ASSERT_EQ(GF_ALOGT[i], p) << i;
    EXPECT_EQ(GF_ALOGT[510], 0);
    EXPECT_EQ(GF_ALOGT[511], 0);
    EXPECT_EQ(GF_LOGT[0], 0);
    EXPECT_EQ(GF_INVT[0], 0);
    for (unsigned a = 1; a < 256; ++a) {
        EXPECT_EQ(GF_ALOGT[GF_LOGT[a]], a);
        EXPECT_EQ(slowMul(a, GF_INVT[a]), 1) << a;
    }
}

// Horner evaluation of sum_j c[j] x^j with the bitwise multiply.
unsigned char evalPoly(const std::vector<unsigned char> &c, unsigned char x)
{
    unsigned char y = 0;
    for (size_t j = c.size(); j-- > 0;)
        y = static_cast<unsigned char>(slowMul(y, x) ^ c[j]);
    return y;
}

TEST(ToolkitShareArithmetic, SplitEvaluatesEachBytesPolynomialWithItsCoefficientRun)
{
    const uint32_t t = 4, L = 3;
    const unsigned char secret[L] = {0x00, 0x5A, 0xFF};
    // Byte i uses coefficients[i*(t-1) .. i*(t-1)+t-2] for x^1..x^(t-1).
    const unsigned char coef[L * (t - 1)] = {0x01, 0x02, 0x03, 0x80, 0x00, 0xE5,
                                             0x11, 0x22, 0x33};
    A_BSSHARE_SPLIT_CTX ctx;
    ASSERT_EQ(A_BSShareSplitInit(&ctx, t, coef), 0);
    for (unsigned x = 1; x <= 255; ++x) {
        unsigned char share[L + 1];
        ASSERT_EQ(A_BSShareSplitUpdate(&ctx, share, secret, L), 0);
        ASSERT_EQ(share[L], x);
        for (uint32_t i = 0; i < L; ++i) {
            std::vector<unsigned char> poly = {secret[i]};
            poly.insert(poly.end(), coef + i * (t - 1), coef + (i + 1) * (t - 1));
            ASSERT_EQ(share[i], evalPoly(poly, static_cast<unsigned char>(x)))
                << "x=" << x << " byte " << i;
        }
    }
    unsigned char share[L + 1];
    EXPECT_EQ(A_BSShareSplitUpdate(&ctx, share, secret, L), A_BSSHARE_E_INDEX);
}

TEST(ToolkitShareArithmetic, SplitInitRefusesThresholdOutsideTwoTo255)
{
    A_BSSHARE_SPLIT_CTX ctx;
    const unsigned char coef[1] = {0};
    for (uint32_t t : {0u, 1u, 256u, 0xFFFFFFFFu})
        EXPECT_EQ(A_BSShareSplitInit(&ctx, t, coef), A_BSSHARE_E_THRESHOLD) << t;
    EXPECT_EQ(A_BSShareSplitInit(&ctx, 255, coef), 0);
}

TEST(ToolkitShareArithmetic, JoinInterpolatesHandMadeSharesAtZero)
{
    // y = 0x42 + 0x07 x + 0x99 x^2 at x = 9, 3, 200.
    const std::vector<unsigned char> poly = {0x42, 0x07, 0x99};
    std::vector<unsigned char> shares;
    for (unsigned char x : {9, 3, 200}) {
        shares.push_back(evalPoly(poly, x));
        shares.push_back(x);
    }
    unsigned char out = 0;
    ASSERT_EQ(A_BSShareJoinShares(&out, 3, 2, shares.data()), 0);
    EXPECT_EQ(out, 0x42);
}

TEST(ToolkitShareArithmetic, JoinCheckFailsOnRepeatedIndex)
{
    const unsigned char shares[] = {0x10, 7, 0x20, 9, 0x30, 7};
    unsigned char out = 0;
    EXPECT_EQ(A_BSShareJoinShares(&out, 3, 2, shares), A_BSSHARE_E_JOIN_CHECK);
}

} // namespace
