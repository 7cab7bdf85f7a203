/*
 * Crypto toolkit: opaque algorithm objects driven by TK_ calls.
 *
 * An object is created empty, given one info type (which algorithm, with
 * which parameters), initialised, fed by update calls, finished and
 * destroyed. Every call answers an unsigned code: 0 for success, TK_E_* for
 * failures. Objects are not thread-safe; separate objects may be used on
 * separate threads at once.
 */
#ifndef HOSTSEAL_TOOLKIT_H
#define HOSTSEAL_TOOLKIT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    TK_OK = 0,
    TK_E_INFO_SET = 512,          /* info set on an object that already holds info */
    TK_E_BAD_PARAM = 513,         /* bad info parameter */
    TK_E_NOT_INIT = 514,          /* update or final before init */
    TK_E_NO_HANDLER = 515,        /* no info set, so no algorithm */
    TK_E_ALG_OBJ = 516,           /* invalid algorithm object */
    TK_E_HANDLER_KIND = 517,      /* the object's algorithm is of the other kind */
    TK_E_ALLOC = 518,             /* out of memory */
    TK_E_FAILED = 520,            /* unspecified failure */
    TK_E_INPUT = 524,             /* null or empty input, input changed, check failed */
    TK_E_INPUT_LEN = 525,         /* input of the wrong length */
    TK_E_KEY_OBJ = 530,           /* invalid key object */
    TK_E_INFO_TYPE = 531,         /* the info-type function failed */
    TK_E_NOT_SUPPORTED = 535,     /* info type absent, or operation not supported */
    TK_E_OUTPUT_LEN = 536,        /* output capacity too small */
    TK_E_RANDOM_NOT_INIT = 538,   /* random object used before random init */
    TK_E_RANDOM_OBJ = 539,        /* invalid or null random object */
    TK_E_MAKE_INFO = 541,         /* info cannot be made on request */
    TK_E_INPUT_COUNT = 543,       /* wrong number of inputs at final */
    TK_E_OUTPUT_COUNT = 544,      /* too few or too many outputs */
    TK_E_NO_METHOD = 545,         /* no method in the chooser fits */
    TK_E_NULL_OUTPUT_LEN = 548,   /* null output-length pointer */
};

typedef struct TK_ALGORITHM_OBJ TK_ALGORITHM_OBJ;
typedef struct TK_KEY_OBJ TK_KEY_OBJ;
typedef struct TK_INFO_TYPE TK_INFO_TYPE;
typedef struct TK_ALGORITHM_METHOD TK_ALGORITHM_METHOD;

/* Null-terminated list of methods that may implement an algorithm. */
typedef const TK_ALGORITHM_METHOD *const TK_CHOOSER;

/* Optional cancellation callback; nothing here passes or calls one. */
typedef struct TK_SURRENDER_CTX TK_SURRENDER_CTX;

/* Stores the address of its constant descriptor into *descriptor; answers 0. */
typedef unsigned (*TK_INFO_TYPE_FN)(const TK_INFO_TYPE **descriptor);

/* Parameter: const uint32_t *threshold, 2..255. */
unsigned AI_BSSecretSharing(const TK_INFO_TYPE **descriptor);
/* Parameter: none (null). */
unsigned AI_MD5Random(const TK_INFO_TYPE **descriptor);

extern const TK_INFO_TYPE AIT_BSSecretSharing;
extern const TK_INFO_TYPE AIT_MD5Random;

/* The MD5 random generator method, for choosers. */
extern const TK_ALGORITHM_METHOD AM_MD5_RANDOM;

/* *object becomes a new empty object, or null with 518. */
unsigned TK_CreateAlgorithmObject(TK_ALGORITHM_OBJ **object);
/* Releases everything the object owns (zeroed); *object becomes null.
 * A null or already destroyed reference is left alone. */
unsigned TK_DestroyAlgorithmObject(TK_ALGORITHM_OBJ **object);

unsigned TK_SetAlgorithmInfo(TK_ALGORITHM_OBJ *object, TK_INFO_TYPE_FN infoType,
                             const void *param);
unsigned TK_AlgorithmSetInfo(TK_ALGORITHM_OBJ *object, const TK_INFO_TYPE *descriptor,
                             const void *param);

unsigned TK_EncryptInit(TK_ALGORITHM_OBJ *object, TK_KEY_OBJ *key, TK_CHOOSER *chooser,
                        TK_SURRENDER_CTX *surrender);
unsigned TK_DecryptInit(TK_ALGORITHM_OBJ *object, TK_KEY_OBJ *key, TK_CHOOSER *chooser,
                        TK_SURRENDER_CTX *surrender);
unsigned TK_EncryptUpdate(TK_ALGORITHM_OBJ *object, unsigned char *output,
                          uint32_t *outputLen, uint32_t maxOutputLen,
                          const unsigned char *input, uint32_t inputLen,
                          TK_ALGORITHM_OBJ *random, TK_SURRENDER_CTX *surrender);
unsigned TK_DecryptUpdate(TK_ALGORITHM_OBJ *object, unsigned char *output,
                          uint32_t *outputLen, uint32_t maxOutputLen,
                          const unsigned char *input, uint32_t inputLen,
                          TK_ALGORITHM_OBJ *random, TK_SURRENDER_CTX *surrender);
unsigned TK_EncryptFinal(TK_ALGORITHM_OBJ *object, unsigned char *output,
                         uint32_t *outputLen, uint32_t maxOutputLen,
                         TK_ALGORITHM_OBJ *random, TK_SURRENDER_CTX *surrender);
unsigned TK_DecryptFinal(TK_ALGORITHM_OBJ *object, unsigned char *output,
                         uint32_t *outputLen, uint32_t maxOutputLen,
                         TK_ALGORITHM_OBJ *random, TK_SURRENDER_CTX *surrender);

unsigned TK_RandomInit(TK_ALGORITHM_OBJ *object, TK_CHOOSER *chooser,
                       TK_SURRENDER_CTX *surrender);
unsigned TK_RandomUpdate(TK_ALGORITHM_OBJ *object, const unsigned char *bytes,
                         uint32_t length, TK_SURRENDER_CTX *surrender);
unsigned TK_GenerateRandomBytes(TK_ALGORITHM_OBJ *object, unsigned char *output,
                                uint32_t length, TK_SURRENDER_CTX *surrender);

#ifdef __cplusplus
}
#endif

#endif
