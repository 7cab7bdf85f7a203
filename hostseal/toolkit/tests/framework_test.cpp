// Algorithm objects: check order and codes, chooser walk, pool, resize context.
#include "tk_internal.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace {

constexpr TK_CHOOSER kMd5Chooser[] = {&AM_MD5_RANDOM, nullptr};
constexpr TK_CHOOSER kEmptyChooser[] = {nullptr};

unsigned failingInfoType(const TK_INFO_TYPE **descriptor)
{
    *descriptor = nullptr;
    return 1;
}

// One of every kind of object the calls can meet, fresh for every case.
struct Objects {
    TK_ALGORITHM_OBJ *empty = nullptr;
    TK_ALGORITHM_OBJ *sharing = nullptr;     // info set, not initialised
    TK_ALGORITHM_OBJ *sharingInit = nullptr; // encrypt-initialised
    TK_ALGORITHM_OBJ *random = nullptr;      // info set, not initialised
    TK_ALGORITHM_OBJ *randomInit = nullptr;  // random-initialised and seeded
    TK_ALGORITHM_OBJ bogusStorage{};         // never constructed: invalid
    TK_ALGORITHM_OBJ *bogus = &bogusStorage;
    TK_KEY_OBJ badKey{0x15000000u, nullptr};
    TK_KEY_OBJ goodKey{0x15000000u, &goodKey};
    uint32_t threshold = 2;
    unsigned char secret[4] = {1, 2, 3, 4};
    unsigned char out[16] = {};
    uint32_t outLen = 0;

    Objects()
    {
        for (TK_ALGORITHM_OBJ **o : {&empty, &sharing, &sharingInit, &random, &randomInit})
            EXPECT_EQ(TK_CreateAlgorithmObject(o), 0u);
        EXPECT_EQ(TK_SetAlgorithmInfo(sharing, AI_BSSecretSharing, &threshold), 0u);
        EXPECT_EQ(TK_SetAlgorithmInfo(sharingInit, AI_BSSecretSharing, &threshold), 0u);
        EXPECT_EQ(TK_EncryptInit(sharingInit, nullptr, nullptr, nullptr), 0u);
        EXPECT_EQ(TK_SetAlgorithmInfo(random, AI_MD5Random, nullptr), 0u);
        EXPECT_EQ(TK_SetAlgorithmInfo(randomInit, AI_MD5Random, nullptr), 0u);
        EXPECT_EQ(TK_RandomInit(randomInit, kMd5Chooser, nullptr), 0u);
        EXPECT_EQ(TK_RandomUpdate(randomInit, secret, 4, nullptr), 0u);
    }
    ~Objects()
    {
        for (TK_ALGORITHM_OBJ **o : {&empty, &sharing, &sharingInit, &random, &randomInit})
            TK_DestroyAlgorithmObject(o);
    }
    unsigned encUpdate(TK_ALGORITHM_OBJ *o, TK_ALGORITHM_OBJ *rnd)
    {
        return TK_EncryptUpdate(o, out, &outLen, sizeof(out), secret, 4, rnd, nullptr);
    }
};

struct CheckCase {
    const char *name;
    std::function<unsigned(Objects &)> call;
    unsigned expected;
};

void PrintTo(const CheckCase &c, std::ostream *os)
{
    *os << c.name;
}

class ToolkitCheckOrder : public ::testing::TestWithParam<CheckCase> {};

TEST_P(ToolkitCheckOrder, AnswersTheFirstFailingCheck)
{
    Objects o;
    EXPECT_EQ(GetParam().call(o), GetParam().expected);
}

const CheckCase kCheckCases[] = {
    // Init state.
    {"EncryptUpdateBeforeInit", [](Objects &o) { return o.encUpdate(o.sharing, o.randomInit); }, 514},
    {"EncryptFinalBeforeInit",
     [](Objects &o) { return TK_EncryptFinal(o.sharing, nullptr, &o.outLen, 0, nullptr, nullptr); }, 514},
    {"DecryptUpdateBeforeInit",
     [](Objects &o) { return TK_DecryptUpdate(o.sharing, nullptr, &o.outLen, 0, o.secret, 4, nullptr, nullptr); }, 514},
    {"RandomUpdateBeforeRandomInit",
     [](Objects &o) { return TK_RandomUpdate(o.random, o.secret, 4, nullptr); }, 538},
    {"GenerateBeforeRandomInit",
     [](Objects &o) { return TK_GenerateRandomBytes(o.random, o.out, 4, nullptr); }, 538},
    // Object validity comes first.
    {"EncryptInitInvalidObject", [](Objects &o) { return TK_EncryptInit(o.bogus, &o.badKey, nullptr, nullptr); }, 516},
    {"EncryptUpdateInvalidObjectBeforeRandomCheck", [](Objects &o) { return o.encUpdate(o.bogus, o.bogus); }, 516},
    {"SetInfoInvalidObject", [](Objects &o) { return TK_SetAlgorithmInfo(o.bogus, AI_MD5Random, nullptr); }, 516},
    {"RandomInitInvalidObject", [](Objects &o) { return TK_RandomInit(o.bogus, kMd5Chooser, nullptr); }, 539},
    {"RandomUpdateInvalidObject", [](Objects &o) { return TK_RandomUpdate(o.bogus, o.secret, 4, nullptr); }, 539},
    {"GenerateNullObject", [](Objects &) { unsigned char b[1]; return TK_GenerateRandomBytes(nullptr, b, 1, nullptr); }, 539},
    // Argument objects before the handler checks.
    {"InvalidRandomBeforeInitCheck", [](Objects &o) { return o.encUpdate(o.sharing, o.bogus); }, 539},
    {"InvalidKeyBeforeHandlerCheck", [](Objects &o) { return TK_EncryptInit(o.empty, &o.badKey, nullptr, nullptr); }, 530},
    {"ValidKeyAccepted", [](Objects &o) { return TK_EncryptInit(o.sharing, &o.goodKey, nullptr, nullptr); }, 0},
    // Handler presence and kind.
    {"EncryptInitNoInfo", [](Objects &o) { return TK_EncryptInit(o.empty, nullptr, nullptr, nullptr); }, 515},
    {"DecryptInitNoInfo", [](Objects &o) { return TK_DecryptInit(o.empty, nullptr, nullptr, nullptr); }, 515},
    {"RandomInitNoInfo", [](Objects &o) { return TK_RandomInit(o.empty, kMd5Chooser, nullptr); }, 515},
    {"EncryptInitOnRandomObject", [](Objects &o) { return TK_EncryptInit(o.random, nullptr, nullptr, nullptr); }, 517},
    {"RandomInitOnSharingObject", [](Objects &o) { return TK_RandomInit(o.sharing, kMd5Chooser, nullptr); }, 517},
    {"GenerateFromSharingObject", [](Objects &o) { return TK_GenerateRandomBytes(o.sharingInit, o.out, 1, nullptr); }, 517},
    {"EncryptUpdateOnRandomObject", [](Objects &o) { return o.encUpdate(o.randomInit, nullptr); }, 517},
    // Chooser.
    {"ChooserWithoutMd5Method", [](Objects &o) { return TK_RandomInit(o.random, kEmptyChooser, nullptr); }, 545},
    {"NullChooser", [](Objects &o) { return TK_RandomInit(o.random, nullptr, nullptr); }, 545},
    // Info.
    {"SecondInfoRefused", [](Objects &o) { return TK_SetAlgorithmInfo(o.sharing, AI_BSSecretSharing, &o.threshold); }, 512},
    {"OtherSecondInfoRefused", [](Objects &o) { return TK_SetAlgorithmInfo(o.random, AI_BSSecretSharing, &o.threshold); }, 512},
    {"InfoTypeFunctionFails", [](Objects &o) { return TK_SetAlgorithmInfo(o.empty, failingInfoType, nullptr); }, 531},
    {"NullInfoTypeFunction", [](Objects &o) { return TK_SetAlgorithmInfo(o.empty, nullptr, nullptr); }, 531},
    {"MakeInfoNotAvailable",
     [](Objects &o) { void *info; return AIT_BSSecretSharing.makeInfo(&AIT_BSSecretSharing, o.empty, &info); }, 541},
    // A split needs a random object to draw its coefficients from.
    {"SplitWithoutRandomObject", [](Objects &o) { return o.encUpdate(o.sharingInit, nullptr); }, 539},
    {"SplitWithUninitialisedRandomObject", [](Objects &o) { return o.encUpdate(o.sharingInit, o.random); }, 538},
    {"SplitWithRandomObject", [](Objects &o) { return o.encUpdate(o.sharingInit, o.randomInit); }, 0},
};

INSTANTIATE_TEST_SUITE_P(Toolkit, ToolkitCheckOrder, ::testing::ValuesIn(kCheckCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(ToolkitSecretSharingInfo, RefusesThresholdsOutsideTwoTo255AndStaysUsable)
{
    for (uint32_t bad : {0u, 1u, 256u, 0x80000000u}) {
        TK_ALGORITHM_OBJ *o = nullptr;
        ASSERT_EQ(TK_CreateAlgorithmObject(&o), 0u);
        EXPECT_EQ(TK_SetAlgorithmInfo(o, AI_BSSecretSharing, &bad), 513u) << bad;
        EXPECT_EQ(TK_SetAlgorithmInfo(o, AI_BSSecretSharing, nullptr), 513u);
        uint32_t good = 255;
        EXPECT_EQ(TK_SetAlgorithmInfo(o, AI_BSSecretSharing, &good), 0u);
        TK_DestroyAlgorithmObject(&o);
    }
}

TEST(ToolkitDestroy, NullOrClearedReferenceIsLeftNull)
{
    EXPECT_EQ(TK_DestroyAlgorithmObject(nullptr), 0u);
    TK_ALGORITHM_OBJ *o = nullptr;
    EXPECT_EQ(TK_DestroyAlgorithmObject(&o), 0u);
    EXPECT_EQ(o, nullptr);

    ASSERT_EQ(TK_CreateAlgorithmObject(&o), 0u);
    EXPECT_EQ(TK_DestroyAlgorithmObject(&o), 0u);
    EXPECT_EQ(o, nullptr);
    EXPECT_EQ(TK_DestroyAlgorithmObject(&o), 0u);
    EXPECT_EQ(o, nullptr);

    TK_ALGORITHM_OBJ bogus{};
    o = &bogus;
    EXPECT_EQ(TK_DestroyAlgorithmObject(&o), 0u);
    EXPECT_EQ(o, nullptr);
}

TEST(ToolkitConvertAlgaeError, MapsMethodCodesAndDefaultsTo520)
{
    const std::pair<int, unsigned> table[] = {
        {0, 0},     {1, 519},   {3, 521},   {4, 522},   {5, 524},   {6, 525},
        {7, 533},   {9, 535},   {10, 536},  {11, 534},  {12, 528},  {13, 527},
        {15, 513},  {16, 518},  {17, 547},  {18, 523},  {19, 550},  {20, 551},
        {2, 520},   {8, 520},   {14, 520},  {21, 520},  {-1, 520},
    };
    for (const auto &[method, toolkit] : table)
        EXPECT_EQ(ConvertAlgaeError(method), toolkit) << method;
}

// Fake random methods that record which inits ran.
std::vector<int> g_initsRun;
template <int Id, int Code> int fakeInit(void *)
{
    g_initsRun.push_back(Id);
    return Code;
}
int fakeUpdate(void *, const unsigned char *, uint32_t) { return 0; }
int fakeGenerate(void *, unsigned char *, uint32_t) { return 0; }

template <int Id, int Code>
constexpr A_RANDOM_METHOD_TABLE kFakeTable = {8, fakeInit<Id, Code>, fakeUpdate, fakeGenerate,
                                              nullptr, nullptr};

TEST(ToolkitAlgaChoiceChoose, TakesFirstFittingMethodAndSkipsOthers)
{
    const TK_ALGORITHM_METHOD otherType = {&AIT_BSSecretSharing, 0, nullptr, &kFakeTable<1, 0>};
    const TK_ALGORITHM_METHOD keyed = {&AIT_MD5Random, 1, nullptr, &kFakeTable<2, 0>};
    const TK_ALGORITHM_METHOD failsSoftly = {&AIT_MD5Random, 0, nullptr, &kFakeTable<3, 4>};
    const TK_ALGORITHM_METHOD fits = {&AIT_MD5Random, 0, nullptr, &kFakeTable<4, 0>};
    const TK_ALGORITHM_METHOD alsoFits = {&AIT_MD5Random, 0, nullptr, &kFakeTable<5, 0>};
    TK_CHOOSER chooser[] = {&otherType, &keyed, &failsSoftly, &fits, &alsoFits, nullptr};

    TK_RESIZE_CONTEXT ctx;
    ResizeContextConstructor(&ctx, nullptr);
    const TK_ALGORITHM_METHOD *chosen = nullptr;
    g_initsRun.clear();
    EXPECT_EQ(AlgaChoiceChoose(chooser, &AIT_MD5Random, &ctx, &chosen), 0u);
    EXPECT_EQ(chosen, &fits);
    EXPECT_EQ(g_initsRun, (std::vector<int>{3, 4}));
    EXPECT_EQ(ctx.length, 8u);
    ResizeContextDestructor(&ctx);
}

TEST(ToolkitAlgaChoiceChoose, ResourceFailureOfAMethodEndsTheWalk)
{
    for (auto [table, code] : {std::pair{&kFakeTable<1, 16>, 518u}, std::pair{&kFakeTable<1, 1>, 519u},
                               std::pair{&kFakeTable<1, 18>, 523u}}) {
        const TK_ALGORITHM_METHOD failing = {&AIT_MD5Random, 0, nullptr, table};
        const TK_ALGORITHM_METHOD fits = {&AIT_MD5Random, 0, nullptr, &kFakeTable<2, 0>};
        TK_CHOOSER chooser[] = {&failing, &fits, nullptr};
        TK_RESIZE_CONTEXT ctx;
        ResizeContextConstructor(&ctx, nullptr);
        const TK_ALGORITHM_METHOD *chosen = &fits;
        g_initsRun.clear();
        EXPECT_EQ(AlgaChoiceChoose(chooser, &AIT_MD5Random, &ctx, &chosen), code);
        EXPECT_EQ(chosen, nullptr);
        EXPECT_EQ(g_initsRun, (std::vector<int>{1}));
        ResizeContextDestructor(&ctx);
    }
}

std::vector<void *> g_released;
void recordRelease(void *block)
{
    g_released.push_back(block);
    T_free(block);
}

TEST(ToolkitMemoryPool, KeepsEveryBlockAcrossGrowthAndReleasesEachOnce)
{
    TK_MEMORY_POOL pool;
    TK_MemoryPoolConstructor(&pool);
    std::vector<void *> blocks;
    for (unsigned i = 0; i < 25; ++i) {
        void *b = T_malloc(4);
        std::memset(b, int(i), 4);
        ASSERT_EQ(TK_MemoryPoolAdoptData(&pool, b, 4, recordRelease), 0u);
        blocks.push_back(b);
    }
    EXPECT_EQ(pool.count, 25u);
    EXPECT_EQ(pool.capacity, 30u);
    for (unsigned i = 0; i < 25; ++i) {
        int at = TK_MemoryPoolFindAllocedObject(&pool, blocks[i]);
        ASSERT_GE(at, 0);
        EXPECT_EQ(static_cast<unsigned char *>(pool.entries[at].block)[3], i);
    }
    g_released.clear();
    TK_MemoryPoolFree(&pool, blocks[7]);
    EXPECT_EQ(g_released, (std::vector<void *>{blocks[7]}));
    EXPECT_EQ(TK_MemoryPoolFindAllocedObject(&pool, blocks[7]), -1);
    TK_MemoryPoolFree(&pool, blocks[7]); // no longer recorded: left alone
    EXPECT_EQ(g_released.size(), 1u);

    TK_MemoryPoolDestructor(&pool);
    EXPECT_EQ(g_released.size(), 25u);
    EXPECT_EQ(pool.entries, nullptr);
}

TEST(ToolkitMemoryPool, ReallocKeepsContentsAndRefusesForeignBlocks)
{
    TK_MEMORY_POOL pool;
    TK_MemoryPoolConstructor(&pool);
    void *b = nullptr;
    ASSERT_EQ(TK_MemoryPoolRealloc(&pool, &b, 3), 0u);
    std::memcpy(b, "abc", 3);
    ASSERT_EQ(TK_MemoryPoolRealloc(&pool, &b, 100), 0u);
    EXPECT_EQ(std::memcmp(b, "abc", 3), 0);
    ASSERT_EQ(TK_MemoryPoolRealloc(&pool, &b, 2), 0u);
    EXPECT_EQ(std::memcmp(b, "ab", 2), 0);
    EXPECT_EQ(pool.count, 1u);
    EXPECT_EQ(pool.entries[0].length, 2u);

    unsigned char foreign[4];
    void *f = foreign;
    EXPECT_EQ(TK_MemoryPoolRealloc(&pool, &f, 8), 513u);
    EXPECT_EQ(f, static_cast<void *>(foreign));
    TK_MemoryPoolDestructor(&pool);
}

TEST(ToolkitInfoCache, FindsByDescriptorAddressOnly)
{
    TK_INFO_CACHE cache;
    TK_InfoCacheConstructor(&cache);
    void *info = &cache;
    EXPECT_EQ(TK_InfoCacheFindInfo(&cache, &AIT_MD5Random, &info), 535u);
    int a = 1, b = 2;
    ASSERT_EQ(TK_InfoCacheAddInfo(&cache, &AIT_MD5Random, &a), 0u);
    ASSERT_EQ(TK_InfoCacheAddInfo(&cache, &AIT_BSSecretSharing, &b), 0u);
    ASSERT_EQ(TK_InfoCacheFindInfo(&cache, &AIT_BSSecretSharing, &info), 0u);
    EXPECT_EQ(info, &b);
    ASSERT_EQ(TK_InfoCacheFindInfo(&cache, &AIT_MD5Random, &info), 0u);
    EXPECT_EQ(info, &a);
    const TK_INFO_TYPE lookalike = AIT_MD5Random;
    EXPECT_EQ(TK_InfoCacheFindInfo(&cache, &lookalike, &info), 535u);
    TK_InfoCacheReset(&cache);
    EXPECT_EQ(TK_InfoCacheFindInfo(&cache, &AIT_MD5Random, &info), 535u);
    TK_InfoCacheDestructor(&cache);
}

std::vector<std::string> g_hookSaw;
void recordHook(void *old, uint32_t len)
{
    g_hookSaw.emplace_back(static_cast<const char *>(old), len);
}

TEST(ToolkitResizeContext, SameLengthKeepsContentsAndHookSeesOldBufferBeforeEachChange)
{
    TK_RESIZE_CONTEXT ctx;
    ResizeContextConstructor(&ctx, recordHook);
    g_hookSaw.clear();
    ASSERT_EQ(ResizeContextMakeNewContext(&ctx, 3), 0u);
    std::memcpy(ctx.buffer, "xyz", 3);
    ASSERT_EQ(ResizeContextMakeNewContext(&ctx, 3), 0u);
    EXPECT_EQ(std::memcmp(ctx.buffer, "xyz", 3), 0);
    EXPECT_TRUE(g_hookSaw.empty());
    ASSERT_EQ(ResizeContextMakeNewContext(&ctx, 5), 0u);
    EXPECT_EQ(ctx.length, 5u);
    std::memcpy(ctx.buffer, "hello", 5);
    ResizeContextDestructor(&ctx);
    EXPECT_EQ(g_hookSaw, (std::vector<std::string>{"xyz", "hello"}));
    EXPECT_EQ(ctx.buffer, nullptr);
    EXPECT_EQ(ctx.length, 0u);
}

} // namespace
