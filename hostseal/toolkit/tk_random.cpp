// Chooser-driven random handler, method choice and method error mapping.
#include "tk_internal.h"

namespace {

struct AH_Random {
    TK_HANDLER base;
    const TK_INFO_TYPE *infoType;      // the object's info type, matched against methods
    const TK_ALGORITHM_METHOD *method; // null until init succeeds
    TK_RESIZE_CONTEXT context;         // the method's context
};

AH_Random *self(TK_HANDLER *h)
{
    return reinterpret_cast<AH_Random *>(h);
}

const A_RANDOM_METHOD_TABLE *table(const AH_Random *r)
{
    return static_cast<const A_RANDOM_METHOD_TABLE *>(r->method->methodTable);
}

void randomDestroy(TK_HANDLER *h)
{
    AH_Random *r = self(h);
    ResizeContextDestructor(&r->context);
    T_memset(r, 0, sizeof(*r));
}

unsigned randomInit(TK_HANDLER *h, TK_CHOOSER *chooser, TK_SURRENDER_CTX *)
{
    AH_Random *r = self(h);
    r->method = nullptr;
    const TK_ALGORITHM_METHOD *m = nullptr;
    unsigned rc = AlgaChoiceChoose(chooser, r->infoType, &r->context, &m);
    if (rc == 0)
        r->method = m;
    return rc;
}

unsigned randomUpdate(TK_HANDLER *h, const unsigned char *bytes, uint32_t length,
                      TK_SURRENDER_CTX *)
{
    AH_Random *r = self(h);
    if (r->method == nullptr)
        return TK_E_RANDOM_NOT_INIT;
    if (bytes == nullptr && length != 0)
        return TK_E_INPUT;
    return ConvertAlgaeError(table(r)->update(r->context.buffer, bytes, length));
}

unsigned randomGenerate(TK_HANDLER *h, unsigned char *out, uint32_t length,
                        TK_SURRENDER_CTX *)
{
    AH_Random *r = self(h);
    if (r->method == nullptr)
        return TK_E_RANDOM_NOT_INIT;
    if (out == nullptr && length != 0)
        return TK_E_OUTPUT_LEN;
    return ConvertAlgaeError(table(r)->generate(r->context.buffer, out, length));
}

unsigned randomSelfTest(TK_HANDLER *h, TK_SURRENDER_CTX *)
{
    AH_Random *r = self(h);
    if (r->method == nullptr)
        return TK_E_RANDOM_NOT_INIT;
    if (table(r)->selfTest == nullptr)
        return 0;
    return ConvertAlgaeError(table(r)->selfTest(r->context.buffer));
}

const AH_RANDOM_OPS kRandomOps = {
    randomDestroy, randomInit, randomUpdate, randomGenerate, randomSelfTest,
};

unsigned md5RandomAddInfo(const TK_INFO_TYPE *type, TK_ALGORITHM_OBJ *object, const void *)
{
    return TK_InfoCacheAddInfo(&object->infoCache, type, nullptr);
}

TK_HANDLER *md5RandomNewHandler(const TK_INFO_TYPE *type, TK_ALGORITHM_OBJ *object)
{
    auto *r = static_cast<AH_Random *>(T_malloc(sizeof(AH_Random)));
    if (r == nullptr)
        return nullptr;
    AHRandomConstructor(&r->base, object, &kRandomOps);
    r->infoType = type;
    r->method = nullptr;
    ResizeContextConstructor(&r->context, nullptr);
    return &r->base;
}

struct ErrorMapping {
    int method;
    unsigned toolkit;
};

const ErrorMapping kAlgaeErrors[] = {
    {1, 519},  {3, 521},  {4, 522},  {5, 524},  {6, 525},  {7, 533},
    {9, 535},  {10, 536}, {11, 534}, {12, 528}, {13, 527}, {15, 513},
    {16, 518}, {17, 547}, {18, 523}, {19, 550}, {20, 551},
};

} // namespace

extern "C" {

const TK_INFO_TYPE AIT_MD5Random = {
    md5RandomAddInfo, md5RandomNewHandler, TK_InfoTypeMakeInfoDefault,
};

unsigned AI_MD5Random(const TK_INFO_TYPE **descriptor)
{
    *descriptor = &AIT_MD5Random;
    return 0;
}

unsigned ConvertAlgaeError(int methodCode)
{
    if (methodCode == 0)
        return 0;
    for (const ErrorMapping &m : kAlgaeErrors)
        if (m.method == methodCode)
            return m.toolkit;
    return TK_E_FAILED;
}

unsigned AlgaChoiceChoose(TK_CHOOSER *chooser, const TK_INFO_TYPE *type,
                          TK_RESIZE_CONTEXT *ctx, const TK_ALGORITHM_METHOD **method)
{
    *method = nullptr;
    unsigned rc = TK_E_NO_METHOD;
    for (TK_CHOOSER *c = chooser; c != nullptr && *c != nullptr; ++c) {
        const TK_ALGORITHM_METHOD *m = *c;
        if (m->infoType != type || m->keyInfoFlag != 0 || m->methodTable == nullptr)
            continue;
        const auto *t = static_cast<const A_RANDOM_METHOD_TABLE *>(m->methodTable);
        rc = ResizeContextMakeNewContext(ctx, t->contextSize);
        if (rc != 0)
            return rc;
        T_memset(ctx->buffer, 0, ctx->length);
        int code = 0;
        if (t->prepare != nullptr)
            code = t->prepare(ctx->buffer);
        if (code == 0)
            code = t->init(ctx->buffer);
        rc = ConvertAlgaeError(code);
        if (rc == 0) {
            *method = m;
            return 0;
        }
        // Resource failures end the search; any other failure lets a later
        // method try.
        if (rc == TK_E_ALLOC || rc == 519 || rc == 523)
            return rc;
    }
    return rc;
}

} // extern "C"
