// Secret-sharing handler (encrypt = split, decrypt = join) and the plain
// __split / __join entry points.
#include "bsshare.h"
#include "secretshare.h"
#include "tk_internal.h"
#include "tk_osrandom.h"

#include <stdlib.h>
#include <time.h>

namespace {

struct AH_BSSecretSharing {
    TK_HANDLER base;
    uint32_t threshold;
    uint32_t count;               // shares produced or collected since init/final
    const unsigned char *secret;  // remembered at the first split update
    uint32_t secretLen;
    uint32_t shareLen;            // L+1
    TK_RESIZE_CONTEXT buffer;     // coefficients (split) or collected shares (join)
    A_BSSHARE_SPLIT_CTX split;
};

AH_BSSecretSharing *self(TK_HANDLER *h)
{
    return reinterpret_cast<AH_BSSecretSharing *>(h);
}

void AH_BSSecretSharingDestructor(TK_HANDLER *h)
{
    AH_BSSecretSharing *s = self(h);
    ResizeContextDestructor(&s->buffer);
    T_memset(s, 0, sizeof(*s));
}

unsigned AH_BSSecretSharingGetBlockLen(TK_HANDLER *, uint32_t *)
{
    return TK_E_NOT_SUPPORTED;
}

unsigned AH_BSSecretSharingInit(TK_HANDLER *h, TK_KEY_OBJ *, TK_CHOOSER *, TK_SURRENDER_CTX *)
{
    self(h)->count = 0;
    return 0;
}

// First share of a split: draw all coefficients once.
unsigned startSplit(AH_BSSecretSharing *s, const unsigned char *in, uint32_t inLen,
                    TK_ALGORITHM_OBJ *random, TK_SURRENDER_CTX *surrender)
{
    uint64_t coefLen = uint64_t(inLen) * (s->threshold - 1);
    if (coefLen > UINT32_MAX || inLen == UINT32_MAX)
        return TK_E_ALLOC;
    unsigned rc = ResizeContextMakeNewContext(&s->buffer, static_cast<uint32_t>(coefLen));
    if (rc != 0)
        return rc;
    rc = TK_AlgorithmGenerateRandomBytes(random, s->buffer.buffer, s->buffer.length, surrender);
    if (rc != 0)
        return rc;
    if (A_BSShareSplitInit(&s->split, s->threshold, s->buffer.buffer) != 0)
        return TK_E_FAILED;
    s->secret = in;
    s->secretLen = inLen;
    s->shareLen = inLen + 1;
    return 0;
}

unsigned AH_BSSecretSharingEncryptUpdate(TK_HANDLER *h, unsigned char *out, uint32_t *outLen,
                                         uint32_t maxOut, const unsigned char *in,
                                         uint32_t inLen, TK_ALGORITHM_OBJ *random,
                                         TK_SURRENDER_CTX *surrender)
{
    AH_BSSecretSharing *s = self(h);
    if (outLen == nullptr)
        return TK_E_NULL_OUTPUT_LEN;
    if (s->count == 0) {
        if (in == nullptr || inLen == 0)
            return TK_E_INPUT;
        unsigned rc = startSplit(s, in, inLen, random, surrender);
        if (rc != 0)
            return rc;
    }
    if (in != s->secret || inLen != s->secretLen)
        return TK_E_INPUT;
    *outLen = s->shareLen;
    if (maxOut < s->shareLen || out == nullptr)
        return TK_E_OUTPUT_LEN;
    int rc = A_BSShareSplitUpdate(&s->split, out, in, inLen);
    if (rc == A_BSSHARE_E_INDEX)
        return TK_E_OUTPUT_COUNT;
    if (rc != 0)
        return TK_E_FAILED;
    s->count++;
    return 0;
}

unsigned AH_BSSecretSharingEncryptFinal(TK_HANDLER *h, unsigned char *, uint32_t *outLen,
                                        uint32_t, TK_ALGORITHM_OBJ *, TK_SURRENDER_CTX *)
{
    AH_BSSecretSharing *s = self(h);
    if (outLen == nullptr)
        return TK_E_NULL_OUTPUT_LEN;
    *outLen = 0;
    if (s->count == 0 || s->count < s->threshold)
        return TK_E_OUTPUT_COUNT;
    s->count = 0;
    return 0;
}

unsigned AH_BSSecretSharingDecryptUpdate(TK_HANDLER *h, unsigned char *, uint32_t *outLen,
                                         uint32_t, const unsigned char *in, uint32_t inLen,
                                         TK_ALGORITHM_OBJ *, TK_SURRENDER_CTX *)
{
    AH_BSSecretSharing *s = self(h);
    if (outLen == nullptr)
        return TK_E_NULL_OUTPUT_LEN;
    *outLen = 0;
    if (in == nullptr || inLen == 0)
        return TK_E_INPUT;
    if (s->count == 0) {
        uint64_t size = uint64_t(inLen) * s->threshold;
        if (size > UINT32_MAX)
            return TK_E_ALLOC;
        unsigned rc = ResizeContextMakeNewContext(&s->buffer, static_cast<uint32_t>(size));
        if (rc != 0)
            return rc;
        s->shareLen = inLen;
    }
    if (s->count >= s->threshold)
        return 0;
    if (inLen != s->shareLen)
        return TK_E_INPUT_LEN;
    T_memcpy(s->buffer.buffer + s->count * s->shareLen, in, inLen);
    s->count++;
    return 0;
}

unsigned AH_BSSecretSharingDecryptFinal(TK_HANDLER *h, unsigned char *out, uint32_t *outLen,
                                        uint32_t maxOut, TK_ALGORITHM_OBJ *, TK_SURRENDER_CTX *)
{
    AH_BSSecretSharing *s = self(h);
    if (s->count != s->threshold)
        return TK_E_INPUT_COUNT;
    if (outLen == nullptr)
        return TK_E_NULL_OUTPUT_LEN;
    *outLen = s->shareLen - 1;
    if (maxOut < s->shareLen - 1 || (out == nullptr && s->shareLen > 1))
        return TK_E_OUTPUT_LEN;
    if (A_BSShareJoinShares(out, s->count, s->shareLen, s->buffer.buffer) != 0)
        return TK_E_INPUT;
    s->count = 0;
    return 0;
}

const AH_ENCRYPT_DECRYPT_OPS kSecretSharingOps = {
    AH_BSSecretSharingDestructor,
    AH_BSSecretSharingGetBlockLen,
    AH_BSSecretSharingInit,
    AH_BSSecretSharingInit,
    AH_BSSecretSharingEncryptUpdate,
    AH_BSSecretSharingDecryptUpdate,
    AH_BSSecretSharingEncryptFinal,
    AH_BSSecretSharingDecryptFinal,
};

unsigned addInfo(const TK_INFO_TYPE *type, TK_ALGORITHM_OBJ *object, const void *param)
{
    if (param == nullptr)
        return TK_E_BAD_PARAM;
    uint32_t t = *static_cast<const uint32_t *>(param);
    if (t < 2 || t > 255)
        return TK_E_BAD_PARAM;
    void *copy = nullptr;
    unsigned rc = TK_MemoryPoolAllocAndCopy(&object->infoCache.pool, &copy, &t, sizeof(t));
    if (rc != 0)
        return rc;
    rc = TK_InfoCacheAddInfo(&object->infoCache, type, copy);
    if (rc != 0)
        TK_MemoryPoolFree(&object->infoCache.pool, copy);
    return rc;
}

TK_HANDLER *AH_BSSecretSharingConstructor(const TK_INFO_TYPE *type, TK_ALGORITHM_OBJ *object)
{
    void *info = nullptr;
    if (TK_InfoCacheFindInfo(&object->infoCache, type, &info) != 0)
        return nullptr;
    auto *s = static_cast<AH_BSSecretSharing *>(T_malloc(sizeof(AH_BSSecretSharing)));
    if (s == nullptr)
        return nullptr;
    T_memset(s, 0, sizeof(*s));
    AHEncryptDecryptConstructor(&s->base, object, &kSecretSharingOps);
    s->threshold = *static_cast<const uint32_t *>(info);
    ResizeContextConstructor(&s->buffer, nullptr);
    return &s->base;
}

// Owns one algorithm object for the duration of a call.
struct AlgorithmObject {
    TK_ALGORITHM_OBJ *obj = nullptr;
    AlgorithmObject() = default;
    AlgorithmObject(const AlgorithmObject &) = delete;
    AlgorithmObject &operator=(const AlgorithmObject &) = delete;
    ~AlgorithmObject() { TK_DestroyAlgorithmObject(&obj); }
};

// Result buffer handed to the caller only on success; wiped otherwise.
struct Result {
    unsigned char *data;
    size_t size;
    explicit Result(size_t n) : data(static_cast<unsigned char *>(malloc(n))), size(n) {}
    Result(const Result &) = delete;
    Result &operator=(const Result &) = delete;
    ~Result()
    {
        if (data == nullptr)
            return;
        for (size_t done = 0; done < size;) {
            size_t part = size - done < UINT32_MAX ? size - done : UINT32_MAX;
            T_memset(data + done, 0, static_cast<uint32_t>(part));
            done += part;
        }
        free(data);
    }
    unsigned char *release()
    {
        unsigned char *p = data;
        data = nullptr;
        return p;
    }
};

// Seed: the time in seconds (8 bytes, little-endian) followed by bytes from
// the OS random source, all in one update. The time alone would make every
// split of one second identical and its coefficients guessable.
enum { SEED_TIME_LEN = 8, SEED_OS_LEN = 32, SEED_LEN = SEED_TIME_LEN + SEED_OS_LEN };

unsigned seedRandom(TK_ALGORITHM_OBJ *random)
{
    unsigned char seed[SEED_LEN];
    uint64_t now = static_cast<uint64_t>(static_cast<int64_t>(time(nullptr)));
    for (unsigned i = 0; i < SEED_TIME_LEN; ++i)
        seed[i] = static_cast<unsigned char>(now >> (8 * i));
    unsigned rc = TK_E_FAILED;
    if (T_OSRandomBytes(seed + SEED_TIME_LEN, SEED_OS_LEN) == 0)
        rc = TK_RandomUpdate(random, seed, SEED_LEN, nullptr);
    T_memset(seed, 0, sizeof(seed));
    return rc;
}

} // namespace

extern "C" {

const TK_INFO_TYPE AIT_BSSecretSharing = {
    addInfo, AH_BSSecretSharingConstructor, TK_InfoTypeMakeInfoDefault,
};

unsigned AI_BSSecretSharing(const TK_INFO_TYPE **descriptor)
{
    *descriptor = &AIT_BSSecretSharing;
    return 0;
}

unsigned char *__split(const unsigned char *secret, int L, int n, int t)
{
    if (secret == nullptr || L <= 0 || n <= 0 || n > 255 || t <= 0)
        return nullptr;
    const uint32_t shareLen = static_cast<uint32_t>(L) + 1;
    if (static_cast<size_t>(n) > SIZE_MAX / shareLen)
        return nullptr;
    Result result(static_cast<size_t>(n) * shareLen);
    if (result.data == nullptr)
        return nullptr;

    static TK_CHOOSER chooser[] = {&AM_MD5_RANDOM, nullptr};
    AlgorithmObject random;
    if (TK_CreateAlgorithmObject(&random.obj) != 0 ||
        TK_SetAlgorithmInfo(random.obj, AI_MD5Random, nullptr) != 0 ||
        TK_RandomInit(random.obj, chooser, nullptr) != 0 || seedRandom(random.obj) != 0)
        return nullptr;

    const uint32_t threshold = static_cast<uint32_t>(t);
    AlgorithmObject sharing;
    if (TK_CreateAlgorithmObject(&sharing.obj) != 0 ||
        TK_SetAlgorithmInfo(sharing.obj, AI_BSSecretSharing, &threshold) != 0 ||
        TK_EncryptInit(sharing.obj, nullptr, nullptr, nullptr) != 0)
        return nullptr;
    for (int q = 0; q < n; ++q) {
        uint32_t outLen = 0;
        if (TK_EncryptUpdate(sharing.obj, result.data + size_t(q) * shareLen, &outLen, shareLen,
                             secret, static_cast<uint32_t>(L), random.obj, nullptr) != 0)
            return nullptr;
    }
    uint32_t outLen = 0;
    if (TK_EncryptFinal(sharing.obj, nullptr, &outLen, 0, nullptr, nullptr) != 0)
        return nullptr;
    return result.release();
}

unsigned char *__join(const unsigned char *shares, int L, int n)
{
    if (shares == nullptr || L <= 0 || n <= 0 || n > 255)
        return nullptr;
    const uint32_t shareLen = static_cast<uint32_t>(L) + 1;
    Result result(static_cast<size_t>(L));
    if (result.data == nullptr)
        return nullptr;

    const uint32_t threshold = static_cast<uint32_t>(n);
    AlgorithmObject sharing;
    if (TK_CreateAlgorithmObject(&sharing.obj) != 0 ||
        TK_SetAlgorithmInfo(sharing.obj, AI_BSSecretSharing, &threshold) != 0 ||
        TK_DecryptInit(sharing.obj, nullptr, nullptr, nullptr) != 0)
        return nullptr;
    for (int q = 0; q < n; ++q) {
        uint32_t outLen = 0;
        if (TK_DecryptUpdate(sharing.obj, nullptr, &outLen, 0, shares + size_t(q) * shareLen,
                             shareLen, nullptr, nullptr) != 0)
            return nullptr;
    }
    uint32_t outLen = 0;
    if (TK_DecryptFinal(sharing.obj, result.data, &outLen, static_cast<uint32_t>(L), nullptr,
                        nullptr) != 0)
        return nullptr;
    return result.release();
}

} // extern "C"
