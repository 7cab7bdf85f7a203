// Algorithm objects, the info cache and the TK_ calls that drive handlers.
#include "tk_internal.h"

namespace {

const AH_ENCRYPT_DECRYPT_OPS *edOps(const TK_ALGORITHM_OBJ *o)
{
    return static_cast<const AH_ENCRYPT_DECRYPT_OPS *>(o->handler->ops);
}

const AH_RANDOM_OPS *randomOps(const TK_ALGORITHM_OBJ *o)
{
    return static_cast<const AH_RANDOM_OPS *>(o->handler->ops);
}

void destroyHandler(TK_ALGORITHM_OBJ *o)
{
    if (o->handler == nullptr)
        return;
    // The destroy op behind the kind wipes the whole handler, whose size
    // only its info type knows; the memory is released here.
    o->handler->kind(o->handler);
    T_free(o->handler);
    o->handler = nullptr;
}

// Shared checks of encrypt/decrypt update and final, in their fixed order.
unsigned checkCipherCall(const TK_ALGORITHM_OBJ *o, const TK_ALGORITHM_OBJ *random)
{
    if (!AlgorithmWrapCheck(o))
        return TK_E_ALG_OBJ;
    unsigned rc = RandomAlgorithmCheck(random);
    if (rc != 0)
        return rc;
    return TK_AlgorithmCheckTypeAndInitFlag(o, AHEncryptDecryptKind);
}

unsigned checkCipherInit(TK_ALGORITHM_OBJ *o, const TK_KEY_OBJ *key)
{
    if (!AlgorithmWrapCheck(o))
        return TK_E_ALG_OBJ;
    if (key != nullptr && !KeyWrapCheck(key))
        return TK_E_KEY_OBJ;
    unsigned rc = TK_AlgorithmCheckType(o, AHEncryptDecryptKind);
    if (rc != 0)
        return rc;
    o->handler->device = nullptr;
    return 0;
}

// Update and generate of a random object: 539, 515, 517, then 538 in place of 514.
unsigned checkRandomCall(const TK_ALGORITHM_OBJ *o)
{
    if (!AlgorithmWrapCheck(o))
        return TK_E_RANDOM_OBJ;
    unsigned rc = TK_AlgorithmCheckTypeAndInitFlag(o, AHRandomKind);
    return rc == TK_E_NOT_INIT ? unsigned(TK_E_RANDOM_NOT_INIT) : rc;
}

} // namespace

extern "C" {

// The two kind entry points are distinct functions; their addresses tell the
// kinds apart, and calling one runs the handler's destroy op.
void AHEncryptDecryptKind(TK_HANDLER *handler)
{
    static_cast<const AH_ENCRYPT_DECRYPT_OPS *>(handler->ops)->destroy(handler);
}

void AHRandomKind(TK_HANDLER *handler)
{
    static_cast<const AH_RANDOM_OPS *>(handler->ops)->destroy(handler);
}

void AHEncryptDecryptConstructor(TK_HANDLER *handler, TK_ALGORITHM_OBJ *owner,
                                 const AH_ENCRYPT_DECRYPT_OPS *ops)
{
    handler->kind = AHEncryptDecryptKind;
    handler->extError = &owner->extError;
    handler->device = nullptr;
    handler->ops = ops;
}

void AHRandomConstructor(TK_HANDLER *handler, TK_ALGORITHM_OBJ *owner,
                         const AH_RANDOM_OPS *ops)
{
    handler->kind = AHRandomKind;
    handler->extError = &owner->extError;
    handler->device = nullptr;
    handler->ops = ops;
}

unsigned TK_InfoTypeMakeInfoDefault(const TK_INFO_TYPE *, TK_ALGORITHM_OBJ *, void **info)
{
    if (info != nullptr)
        *info = nullptr;
    return TK_E_MAKE_INFO;
}

void TK_InfoCacheConstructor(TK_INFO_CACHE *cache)
{
    TK_MemoryPoolConstructor(&cache->pool);
    cache->pairs = nullptr;
    cache->count = 0;
}

unsigned TK_InfoCacheAddInfo(TK_INFO_CACHE *cache, const TK_INFO_TYPE *type, void *info)
{
    void *block = cache->pairs;
    unsigned rc = TK_MemoryPoolRealloc(&cache->pool, &block,
                                       (cache->count + 1) * static_cast<uint32_t>(sizeof(TK_INFO_PAIR)));
    if (rc != 0)
        return rc;
    cache->pairs = static_cast<TK_INFO_PAIR *>(block);
    cache->pairs[cache->count].type = type;
    cache->pairs[cache->count].info = info;
    cache->count++;
    return 0;
}

unsigned TK_InfoCacheFindInfo(const TK_INFO_CACHE *cache, const TK_INFO_TYPE *type,
                              void **info)
{
    for (uint32_t i = 0; cache->pairs != nullptr && i < cache->count; ++i) {
        if (cache->pairs[i].type == type) {
            *info = cache->pairs[i].info;
            return 0;
        }
    }
    return TK_E_NOT_SUPPORTED;
}

void TK_InfoCacheReset(TK_INFO_CACHE *cache)
{
    TK_MemoryPoolReset(&cache->pool);
    cache->pairs = nullptr;
    cache->count = 0;
}

void TK_InfoCacheDestructor(TK_INFO_CACHE *cache)
{
    TK_MemoryPoolDestructor(&cache->pool);
    cache->pairs = nullptr;
    cache->count = 0;
}

int AlgorithmWrapCheck(const TK_ALGORITHM_OBJ *object)
{
    return object != nullptr && object->self == object &&
           object->mark - TK_ALG_OBJ_MARK < 0x1000000u;
}

int KeyWrapCheck(const TK_KEY_OBJ *key)
{
    if (key == nullptr)
        return 1;
    return key->self == key && ((key->mark >> 24) & 0xFFu) == (TK_KEY_OBJ_MARK >> 24);
}

unsigned RandomAlgorithmCheck(const TK_ALGORITHM_OBJ *random)
{
    if (random == nullptr || AlgorithmWrapCheck(random))
        return 0;
    return TK_E_RANDOM_OBJ;
}

unsigned TK_AlgorithmCheckType(const TK_ALGORITHM_OBJ *object, TK_HANDLER_KIND kind)
{
    if (object->handler == nullptr)
        return TK_E_NO_HANDLER;
    if (object->handler->kind != kind)
        return TK_E_HANDLER_KIND;
    return 0;
}

unsigned TK_AlgorithmCheckTypeAndInitFlag(const TK_ALGORITHM_OBJ *object,
                                          TK_HANDLER_KIND kind)
{
    unsigned rc = TK_AlgorithmCheckType(object, kind);
    if (rc != 0)
        return rc;
    return (object->flags & TK_ALG_FLAG_INITIALISED) ? 0 : TK_E_NOT_INIT;
}

unsigned TK_CreateAlgorithmObject(TK_ALGORITHM_OBJ **object)
{
    if (object == nullptr)
        return TK_E_ALG_OBJ;
    auto *o = static_cast<TK_ALGORITHM_OBJ *>(T_malloc(sizeof(TK_ALGORITHM_OBJ)));
    *object = o;
    if (o == nullptr)
        return TK_E_ALLOC;
    TK_InfoCacheConstructor(&o->infoCache);
    o->extError.code = 0;
    ResizeContextConstructor(&o->extError.message, nullptr);
    o->handler = nullptr;
    o->flags = 0;
    o->mark = TK_ALG_OBJ_MARK;
    o->self = o;
    return 0;
}

unsigned TK_DestroyAlgorithmObject(TK_ALGORITHM_OBJ **object)
{
    if (object == nullptr)
        return 0;
    TK_ALGORITHM_OBJ *o = *object;
    *object = nullptr;
    if (!AlgorithmWrapCheck(o))
        return 0;
    o->self = nullptr;
    ResizeContextDestructor(&o->extError.message);
    destroyHandler(o);
    TK_InfoCacheDestructor(&o->infoCache);
    T_memset(o, 0, sizeof(*o));
    T_free(o);
    return 0;
}

unsigned TK_SetAlgorithmInfo(TK_ALGORITHM_OBJ *object, TK_INFO_TYPE_FN infoType,
                             const void *param)
{
    if (!AlgorithmWrapCheck(object))
        return TK_E_ALG_OBJ;
    const TK_INFO_TYPE *descriptor = nullptr;
    if (infoType == nullptr || infoType(&descriptor) != 0 || descriptor == nullptr)
        return TK_E_INFO_TYPE;
    return TK_AlgorithmSetInfo(object, descriptor, param);
}

unsigned TK_AlgorithmSetInfo(TK_ALGORITHM_OBJ *object, const TK_INFO_TYPE *descriptor,
                             const void *param)
{
    if (!AlgorithmWrapCheck(object))
        return TK_E_ALG_OBJ;
    if (descriptor == nullptr || descriptor->addInfo == nullptr)
        return TK_E_INFO_TYPE;
    if (object->infoCache.count != 0 || object->handler != nullptr)
        return TK_E_INFO_SET;
    unsigned rc = descriptor->addInfo(descriptor, object, param);
    if (rc != 0)
        return rc;
    if (descriptor->newHandler != nullptr) {
        object->handler = descriptor->newHandler(descriptor, object);
        if (object->handler == nullptr)
            return TK_E_ALLOC;
    }
    return 0;
}

unsigned TK_EncryptInit(TK_ALGORITHM_OBJ *object, TK_KEY_OBJ *key, TK_CHOOSER *chooser,
                        TK_SURRENDER_CTX *surrender)
{
    unsigned rc = checkCipherInit(object, key);
    if (rc == 0)
        rc = edOps(object)->encryptInit(object->handler, key, chooser, surrender);
    if (rc == 0)
        object->flags |= TK_ALG_FLAG_INITIALISED;
    return rc;
}

unsigned TK_DecryptInit(TK_ALGORITHM_OBJ *object, TK_KEY_OBJ *key, TK_CHOOSER *chooser,
                        TK_SURRENDER_CTX *surrender)
{
    unsigned rc = checkCipherInit(object, key);
    if (rc == 0)
        rc = edOps(object)->decryptInit(object->handler, key, chooser, surrender);
    if (rc == 0)
        object->flags |= TK_ALG_FLAG_INITIALISED;
    return rc;
}

unsigned TK_EncryptUpdate(TK_ALGORITHM_OBJ *object, unsigned char *output,
                          uint32_t *outputLen, uint32_t maxOutputLen,
                          const unsigned char *input, uint32_t inputLen,
                          TK_ALGORITHM_OBJ *random, TK_SURRENDER_CTX *surrender)
{
    unsigned rc = checkCipherCall(object, random);
    if (rc != 0)
        return rc;
    return edOps(object)->encryptUpdate(object->handler, output, outputLen, maxOutputLen,
                                        input, inputLen, random, surrender);
}

unsigned TK_DecryptUpdate(TK_ALGORITHM_OBJ *object, unsigned char *output,
                          uint32_t *outputLen, uint32_t maxOutputLen,
                          const unsigned char *input, uint32_t inputLen,
                          TK_ALGORITHM_OBJ *random, TK_SURRENDER_CTX *surrender)
{
    unsigned rc = checkCipherCall(object, random);
    if (rc != 0)
        return rc;
    return edOps(object)->decryptUpdate(object->handler, output, outputLen, maxOutputLen,
                                        input, inputLen, random, surrender);
}

unsigned TK_EncryptFinal(TK_ALGORITHM_OBJ *object, unsigned char *output,
                         uint32_t *outputLen, uint32_t maxOutputLen,
                         TK_ALGORITHM_OBJ *random, TK_SURRENDER_CTX *surrender)
{
    unsigned rc = checkCipherCall(object, random);
    if (rc != 0)
        return rc;
    return edOps(object)->encryptFinal(object->handler, output, outputLen, maxOutputLen,
                                       random, surrender);
}

unsigned TK_DecryptFinal(TK_ALGORITHM_OBJ *object, unsigned char *output,
                         uint32_t *outputLen, uint32_t maxOutputLen,
                         TK_ALGORITHM_OBJ *random, TK_SURRENDER_CTX *surrender)
{
    unsigned rc = checkCipherCall(object, random);
    if (rc != 0)
        return rc;
    return edOps(object)->decryptFinal(object->handler, output, outputLen, maxOutputLen,
                                       random, surrender);
}

unsigned TK_RandomInit(TK_ALGORITHM_OBJ *object, TK_CHOOSER *chooser,
                       TK_SURRENDER_CTX *surrender)
{
    if (!AlgorithmWrapCheck(object))
        return TK_E_RANDOM_OBJ;
    unsigned rc = TK_AlgorithmCheckType(object, AHRandomKind);
    if (rc == 0)
        rc = randomOps(object)->init(object->handler, chooser, surrender);
    if (rc == 0)
        object->flags |= TK_ALG_FLAG_INITIALISED;
    return rc;
}

unsigned TK_RandomUpdate(TK_ALGORITHM_OBJ *object, const unsigned char *bytes,
                         uint32_t length, TK_SURRENDER_CTX *surrender)
{
    unsigned rc = checkRandomCall(object);
    if (rc != 0)
        return rc;
    return randomOps(object)->update(object->handler, bytes, length, surrender);
}

unsigned TK_GenerateRandomBytes(TK_ALGORITHM_OBJ *object, unsigned char *output,
                                uint32_t length, TK_SURRENDER_CTX *surrender)
{
    return TK_AlgorithmGenerateRandomBytes(object, output, length, surrender);
}

unsigned TK_AlgorithmGenerateRandomBytes(TK_ALGORITHM_OBJ *random, unsigned char *output,
                                         uint32_t length, TK_SURRENDER_CTX *surrender)
{
    unsigned rc = checkRandomCall(random);
    if (rc != 0)
        return rc;
    return randomOps(random)->generate(random->handler, output, length, surrender);
}

} // extern "C"
