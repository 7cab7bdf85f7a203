/*
 * Toolkit internals: object layout, handlers, memory pool, info cache,
 * resize context and the platform wrappers. Only toolkit units and their
 * tests include this.
 */
#ifndef HOSTSEAL_TK_INTERNAL_H
#define HOSTSEAL_TK_INTERNAL_H

#include "toolkit.h"

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- platform wrappers (lengths are unsigned 32-bit) ---- */

/* At least 1 byte, so a zero length never answers null on success. */
void *T_malloc(uint32_t size);
/* Null block: as T_malloc. On failure the old block is freed and null answered. */
void *T_realloc(void *block, uint32_t size);
void T_free(void *block);
/* Nothing for length 0. The store is never elided, so it also serves to wipe
 * memory just before it is freed. */
void T_memset(void *block, int value, uint32_t length);
void T_memcpy(void *dest, const void *src, uint32_t length);

/* ---- memory pool: blocks owned by an object, wiped on release ---- */

typedef void (*TK_RELEASE_FN)(void *block);

typedef struct TK_MEMORY_POOL_ENTRY {
    void *block;
    uint32_t length;
    TK_RELEASE_FN release; /* null: wipe `length` bytes, then free */
} TK_MEMORY_POOL_ENTRY;

typedef struct TK_MEMORY_POOL {
    uint32_t count;
    uint32_t capacity;
    TK_MEMORY_POOL_ENTRY *entries;
} TK_MEMORY_POOL;

enum { TK_MEMORY_POOL_GROWTH = 10 };

void TK_MemoryPoolConstructor(TK_MEMORY_POOL *pool);
/* Records block; if that fails (518) the block is released as a recorded one would be. */
unsigned TK_MemoryPoolAdoptData(TK_MEMORY_POOL *pool, void *block, uint32_t length,
                                TK_RELEASE_FN release);
unsigned TK_MemoryPoolAlloc(TK_MEMORY_POOL *pool, void **block, uint32_t length);
unsigned TK_MemoryPoolAllocAndCopy(TK_MEMORY_POOL *pool, void **block, const void *src,
                                   uint32_t length);
/* Index of the entry that records block, or -1. */
int TK_MemoryPoolFindAllocedObject(const TK_MEMORY_POOL *pool, const void *block);
/* Resizes the recorded *block (contents kept up to the shorter length, old
 * block wiped), or records a new block when *block is null. A non-null block
 * the pool does not hold is refused with 513. */
unsigned TK_MemoryPoolRealloc(TK_MEMORY_POOL *pool, void **block, uint32_t length);
/* Releases one recorded block; unrecorded blocks are left alone. */
void TK_MemoryPoolFree(TK_MEMORY_POOL *pool, void *block);
void TK_MemoryPoolReset(TK_MEMORY_POOL *pool);
void TK_MemoryPoolDestructor(TK_MEMORY_POOL *pool);

/* ---- resize context: one buffer, wiped before every resize and release ---- */

typedef void (*TK_RESIZE_HOOK)(void *oldBuffer, uint32_t oldLength);

typedef struct TK_RESIZE_CONTEXT {
    unsigned char *buffer;
    uint32_t length;
    TK_RESIZE_HOOK hook; /* optional, called with the old buffer first */
} TK_RESIZE_CONTEXT;

void ResizeContextConstructor(TK_RESIZE_CONTEXT *ctx, TK_RESIZE_HOOK hook);
/* Same length keeps the contents; another length gives a fresh buffer whose
 * contents are unspecified (518 leaves the context empty). */
unsigned ResizeContextMakeNewContext(TK_RESIZE_CONTEXT *ctx, uint32_t length);
void ResizeContextDestructor(TK_RESIZE_CONTEXT *ctx);

/* ---- info cache ---- */

typedef struct TK_INFO_PAIR {
    const TK_INFO_TYPE *type;
    void *info;
} TK_INFO_PAIR;

typedef struct TK_INFO_CACHE {
    TK_MEMORY_POOL pool;
    TK_INFO_PAIR *pairs; /* a block of the pool */
    uint32_t count;
} TK_INFO_CACHE;

void TK_InfoCacheConstructor(TK_INFO_CACHE *cache);
unsigned TK_InfoCacheAddInfo(TK_INFO_CACHE *cache, const TK_INFO_TYPE *type, void *info);
/* 535 when the type is absent. Types are compared by descriptor address. */
unsigned TK_InfoCacheFindInfo(const TK_INFO_CACHE *cache, const TK_INFO_TYPE *type,
                              void **info);
void TK_InfoCacheReset(TK_INFO_CACHE *cache);
void TK_InfoCacheDestructor(TK_INFO_CACHE *cache);

/* ---- handlers ---- */

typedef struct TK_EXT_ERROR {
    uint32_t code;
    TK_RESIZE_CONTEXT message;
} TK_EXT_ERROR;

typedef struct TK_HANDLER TK_HANDLER;

/* A handler's kind is one of two entry points; calling it destroys the
 * handler's contents (not its memory). */
typedef void (*TK_HANDLER_KIND)(TK_HANDLER *handler);

struct TK_HANDLER {
    TK_HANDLER_KIND kind;
    TK_EXT_ERROR *extError;
    void *device; /* always null here */
    const void *ops; /* AH_ENCRYPT_DECRYPT_OPS or AH_RANDOM_OPS */
};

typedef struct AH_ENCRYPT_DECRYPT_OPS {
    void (*destroy)(TK_HANDLER *h);
    unsigned (*getBlockLen)(TK_HANDLER *h, uint32_t *blockLen);
    unsigned (*encryptInit)(TK_HANDLER *h, TK_KEY_OBJ *key, TK_CHOOSER *chooser,
                            TK_SURRENDER_CTX *surrender);
    unsigned (*decryptInit)(TK_HANDLER *h, TK_KEY_OBJ *key, TK_CHOOSER *chooser,
                            TK_SURRENDER_CTX *surrender);
    unsigned (*encryptUpdate)(TK_HANDLER *h, unsigned char *out, uint32_t *outLen,
                              uint32_t maxOut, const unsigned char *in, uint32_t inLen,
                              TK_ALGORITHM_OBJ *random, TK_SURRENDER_CTX *surrender);
    unsigned (*decryptUpdate)(TK_HANDLER *h, unsigned char *out, uint32_t *outLen,
                              uint32_t maxOut, const unsigned char *in, uint32_t inLen,
                              TK_ALGORITHM_OBJ *random, TK_SURRENDER_CTX *surrender);
    unsigned (*encryptFinal)(TK_HANDLER *h, unsigned char *out, uint32_t *outLen,
                             uint32_t maxOut, TK_ALGORITHM_OBJ *random,
                             TK_SURRENDER_CTX *surrender);
    unsigned (*decryptFinal)(TK_HANDLER *h, unsigned char *out, uint32_t *outLen,
                             uint32_t maxOut, TK_ALGORITHM_OBJ *random,
                             TK_SURRENDER_CTX *surrender);
} AH_ENCRYPT_DECRYPT_OPS;

typedef struct AH_RANDOM_OPS {
    void (*destroy)(TK_HANDLER *h);
    unsigned (*init)(TK_HANDLER *h, TK_CHOOSER *chooser, TK_SURRENDER_CTX *surrender);
    unsigned (*update)(TK_HANDLER *h, const unsigned char *bytes, uint32_t length,
                       TK_SURRENDER_CTX *surrender);
    unsigned (*generate)(TK_HANDLER *h, unsigned char *out, uint32_t length,
                         TK_SURRENDER_CTX *surrender);
    unsigned (*selfTest)(TK_HANDLER *h, TK_SURRENDER_CTX *surrender);
} AH_RANDOM_OPS;

void AHEncryptDecryptKind(TK_HANDLER *handler);
void AHRandomKind(TK_HANDLER *handler);

void AHEncryptDecryptConstructor(TK_HANDLER *handler, TK_ALGORITHM_OBJ *owner,
                                 const AH_ENCRYPT_DECRYPT_OPS *ops);
void AHRandomConstructor(TK_HANDLER *handler, TK_ALGORITHM_OBJ *owner,
                         const AH_RANDOM_OPS *ops);

/* ---- info-type descriptors ---- */

struct TK_INFO_TYPE {
    /* Validates param, keeps a copy in the object's pool, adds it to the cache. */
    unsigned (*addInfo)(const TK_INFO_TYPE *type, TK_ALGORITHM_OBJ *object, const void *param);
    /* Builds the handler from the cached info; null when none could be built. */
    TK_HANDLER *(*newHandler)(const TK_INFO_TYPE *type, TK_ALGORITHM_OBJ *object);
    unsigned (*makeInfo)(const TK_INFO_TYPE *type, TK_ALGORITHM_OBJ *object, void **info);
};

/* The default make-info entry: 541. */
unsigned TK_InfoTypeMakeInfoDefault(const TK_INFO_TYPE *type, TK_ALGORITHM_OBJ *object,
                                    void **info);

/* ---- algorithm and key objects ---- */

enum {
    TK_ALG_OBJ_MARK = 0x14000000u,
    TK_KEY_OBJ_MARK = 0x15000000u,
    TK_ALG_FLAG_INITIALISED = 0x1u
};

struct TK_ALGORITHM_OBJ {
    TK_INFO_CACHE infoCache;
    TK_EXT_ERROR extError;
    TK_HANDLER *handler;
    uint32_t flags;
    uint32_t mark;
    TK_ALGORITHM_OBJ *self;
};

/* Only the parts the validity check reads; no key types are built here. */
struct TK_KEY_OBJ {
    uint32_t mark;
    TK_KEY_OBJ *self;
};

int AlgorithmWrapCheck(const TK_ALGORITHM_OBJ *object);
int KeyWrapCheck(const TK_KEY_OBJ *key);
/* 0 for null, 539 for an invalid object. */
unsigned RandomAlgorithmCheck(const TK_ALGORITHM_OBJ *random);

/* 515 without a handler, 517 for a handler of another kind. */
unsigned TK_AlgorithmCheckType(const TK_ALGORITHM_OBJ *object, TK_HANDLER_KIND kind);
/* As TK_AlgorithmCheckType, then 514 when the object was never initialised. */
unsigned TK_AlgorithmCheckTypeAndInitFlag(const TK_ALGORITHM_OBJ *object,
                                          TK_HANDLER_KIND kind);
/* The generate step for a handler that draws from a random object: the
 * object must be a valid, initialised random object (539, 515, 517, 538). */
unsigned TK_AlgorithmGenerateRandomBytes(TK_ALGORITHM_OBJ *random, unsigned char *output,
                                         uint32_t length, TK_SURRENDER_CTX *surrender);

/* ---- methods and the chooser ---- */

typedef struct A_RANDOM_METHOD_TABLE {
    uint32_t contextSize;
    int (*init)(void *ctx);
    int (*update)(void *ctx, const unsigned char *bytes, uint32_t length);
    int (*generate)(void *ctx, unsigned char *out, uint32_t length);
    int (*selfTest)(void *ctx);  /* optional */
    int (*prepare)(void *ctx);   /* optional; runs on the fresh context before init */
} A_RANDOM_METHOD_TABLE;

struct TK_ALGORITHM_METHOD {
    const TK_INFO_TYPE *infoType;
    uint32_t keyInfoFlag;          /* 0 for random methods */
    const void *keyInfoType;       /* null for random methods */
    const void *methodTable;       /* A_RANDOM_METHOD_TABLE for random methods */
};

/* Maps a method's code to a toolkit code (0 stays 0, unknown codes 520). */
unsigned ConvertAlgaeError(int methodCode);

/* Picks the first fitting method of chooser for type, sizes ctx for it and
 * runs its init. *method is the chosen one. 545 when none fits. */
unsigned AlgaChoiceChoose(TK_CHOOSER *chooser, const TK_INFO_TYPE *type,
                          TK_RESIZE_CONTEXT *ctx, const TK_ALGORITHM_METHOD **method);

#ifdef __cplusplus
}
#endif

#endif
