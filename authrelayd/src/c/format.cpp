#include "format.h"

#include <cwchar>

#include "text.h"

namespace authrelay {

namespace {

// Bounded output: everything past the capacity is dropped.
class Sink {
public:
    Sink(char16_t *out, size_t capacity) : out_(out), limit_(capacity - 1) {}
    void Put(char16_t c)
    {
        if (used_ < limit_)
            out_[used_++] = c;
    }
    void Repeat(char16_t c, size_t n)
    {
        while (n-- && used_ < limit_)
            out_[used_++] = c;
    }
    void Text(const char16_t *s)
    {
        while (*s)
            Put(*s++);
    }
    size_t Finish()
    {
        out_[used_] = 0;
        return used_;
    }

private:
    char16_t *out_;
    size_t limit_;
    size_t used_ = 0;
};

struct Field {
    bool left = false, plus = false, space = false, alt = false, zero = false;
    long width = -1;
    long precision = -1;
    int bits = 32; // size of the integer argument
};

constexpr int kPointerBits = static_cast<int>(sizeof(void *) * 8);

void Pad(Sink &sink, const Field &field, size_t length, bool before)
{
    if (field.width > 0 && static_cast<size_t>(field.width) > length && field.left != before)
        sink.Repeat(u' ', static_cast<size_t>(field.width) - length);
}

// Length of a text argument within the precision, never reading past it.
template <typename C> size_t BoundedLength(const C *s, long precision)
{
    size_t n = 0;
    while ((precision < 0 || n < static_cast<size_t>(precision)) && s[n])
        ++n;
    return n;
}

void PutText(Sink &sink, const Field &field, const FormatArg *arg)
{
    std::u16string converted;
    const char16_t *units = nullptr;
    size_t length = 0;
    if (!arg || arg->kind == FormatArg::Kind::Signed || arg->kind == FormatArg::Kind::Unsigned) {
        converted = u"(?)";
    } else if (!arg->ptr) {
        converted = u"(null)";
    } else if (arg->kind == FormatArg::Kind::Pointer) {
        converted = u"(?)";
    } else if (arg->kind == FormatArg::Kind::Wide16) {
        units = arg->wide;
        length = BoundedLength(arg->wide, field.precision);
    } else if (arg->kind == FormatArg::Kind::Narrow) {
        converted = Utf8ToUtf16(arg->narrow, BoundedLength(arg->narrow, field.precision));
    } else {
        // wchar_t: UTF-16 on Windows, UTF-32 elsewhere.
        size_t n = BoundedLength(arg->wwide, field.precision);
        for (size_t i = 0; i < n; ++i) {
            uint32_t c = static_cast<uint32_t>(arg->wwide[i]);
            if (sizeof(wchar_t) == 2 || c < 0x10000) {
                converted += static_cast<char16_t>(c);
            } else if (c <= 0x10FFFF) {
                c -= 0x10000;
                converted += static_cast<char16_t>(0xD800 | (c >> 10));
                converted += static_cast<char16_t>(0xDC00 | (c & 0x3FF));
            } else {
                converted += static_cast<char16_t>(0xFFFD);
            }
        }
    }
    if (!units) {
        units = converted.c_str();
        length = converted.size();
    }
    Pad(sink, field, length, true);
    for (size_t i = 0; i < length; ++i)
        sink.Put(units[i]);
    Pad(sink, field, length, false);
}

void PutInteger(Sink &sink, Field field, char16_t conv, const FormatArg *arg)
{
    if (!arg || (arg->kind != FormatArg::Kind::Signed && arg->kind != FormatArg::Kind::Unsigned &&
                 arg->kind != FormatArg::Kind::Pointer)) {
        field.precision = -1;
        PutText(sink, field, nullptr);
        return;
    }
    uint64_t raw = arg->u;
    if (arg->kind == FormatArg::Kind::Pointer)
        raw = reinterpret_cast<uintptr_t>(arg->ptr);
    const uint64_t mask = field.bits >= 64 ? ~0ull : ((1ull << field.bits) - 1);
    bool negative = false;
    uint64_t magnitude = raw & mask;
    if (conv == u'd' || conv == u'i') {
        // Sign-extend from the argument's width.
        if (field.bits < 64 && (magnitude >> (field.bits - 1)) & 1)
            magnitude |= ~mask;
        int64_t value = static_cast<int64_t>(magnitude);
        negative = value < 0;
        magnitude = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    }
    unsigned base = 10;
    const char16_t *digits = u"0123456789abcdef";
    if (conv == u'x' || conv == u'X' || conv == u'p')
        base = 16;
    else if (conv == u'o')
        base = 8;
    if (conv == u'X' || conv == u'p')
        digits = u"0123456789ABCDEF";

    char16_t body[32];
    size_t n = 0;
    for (uint64_t v = magnitude; v; v /= base)
        body[n++] = digits[v % base];
    size_t precision = field.precision < 0 ? 1 : static_cast<size_t>(field.precision);
    if (conv == u'p')
        precision = static_cast<size_t>(kPointerBits / 4);
    size_t zeros = precision > n ? precision - n : 0;

    char16_t prefix[3] = {0, 0, 0};
    if (negative)
        prefix[0] = u'-';
    else if ((conv == u'd' || conv == u'i') && field.plus)
        prefix[0] = u'+';
    else if ((conv == u'd' || conv == u'i') && field.space)
        prefix[0] = u' ';
    else if (field.alt && magnitude && (conv == u'x' || conv == u'X')) {
        prefix[0] = u'0';
        prefix[1] = conv;
    } else if (field.alt && conv == u'o' && zeros == 0)
        zeros = 1;
    size_t prefixLength = prefix[0] ? (prefix[1] ? 2 : 1) : 0;
    size_t total = prefixLength + zeros + n;
    // The 0 flag pads with zeros after the sign, unless a precision is given.
    if (field.zero && !field.left && field.precision < 0 && field.width > 0 &&
        static_cast<size_t>(field.width) > total) {
        zeros += static_cast<size_t>(field.width) - total;
        total = static_cast<size_t>(field.width);
    }
    Pad(sink, field, total, true);
    for (size_t i = 0; i < prefixLength; ++i)
        sink.Put(prefix[i]);
    sink.Repeat(u'0', zeros);
    while (n)
        sink.Put(body[--n]);
    Pad(sink, field, total, false);
}

void PutChar(Sink &sink, const Field &field, const FormatArg *arg)
{
    if (!arg || (arg->kind != FormatArg::Kind::Signed && arg->kind != FormatArg::Kind::Unsigned)) {
        PutText(sink, field, nullptr);
        return;
    }
    Pad(sink, field, 1, true);
    sink.Put(static_cast<char16_t>(arg->u));
    Pad(sink, field, 1, false);
}

long DecimalAt(const char16_t *&p)
{
    long v = 0;
    while (*p >= u'0' && *p <= u'9') {
        if (v < 100000)
            v = v * 10 + (*p - u'0');
        ++p;
    }
    return v;
}

} // namespace

size_t FormatText(char16_t *out, size_t capacity, const char16_t *format, const FormatArg *args,
                  size_t count)
{
    Sink sink(out, capacity);
    if (!format)
        return sink.Finish();
    size_t next = 0;
    auto take = [&]() -> const FormatArg * { return next < count ? &args[next++] : nullptr; };
    auto takeNumber = [&]() -> long {
        const FormatArg *a = take();
        if (!a || (a->kind != FormatArg::Kind::Signed && a->kind != FormatArg::Kind::Unsigned))
            return -1;
        return static_cast<long>(static_cast<int32_t>(a->u));
    };

    for (const char16_t *p = format; *p; ++p) {
        if (*p != u'%') {
            sink.Put(*p);
            continue;
        }
        const char16_t *start = p++;
        Field field;
        for (;; ++p) {
            if (*p == u'-')
                field.left = true;
            else if (*p == u'+')
                field.plus = true;
            else if (*p == u' ')
                field.space = true;
            else if (*p == u'#')
                field.alt = true;
            else if (*p == u'0')
                field.zero = true;
            else
                break;
        }
        if (*p == u'*') {
            ++p;
            field.width = takeNumber();
            if (field.width < 0) {
                field.left = true;
                field.width = -field.width;
            }
        } else if (*p >= u'1' && *p <= u'9') {
            field.width = DecimalAt(p);
        }
        if (*p == u'.') {
            ++p;
            if (*p == u'*') {
                ++p;
                field.precision = takeNumber();
            } else {
                field.precision = DecimalAt(p);
            }
        }
        // Size prefixes; a narrow/wide text prefix overrides %s and %S alike.
        if (p[0] == u'h' && p[1] == u'h') {
            field.bits = 8, p += 2;
        } else if (p[0] == u'h') {
            field.bits = 16, ++p;
        } else if (p[0] == u'l' && p[1] == u'l') {
            field.bits = 64, p += 2;
        } else if (p[0] == u'l' || p[0] == u'w') {
            ++p;
        } else if (p[0] == u'I' && p[1] == u'6' && p[2] == u'4') {
            field.bits = 64, p += 3;
        } else if (p[0] == u'I' && p[1] == u'3' && p[2] == u'2') {
            p += 3;
        } else if (p[0] == u'I' || p[0] == u'z' || p[0] == u't' || p[0] == u'j') {
            field.bits = p[0] == u'j' ? 64 : kPointerBits;
            ++p;
        }
        switch (*p) {
        case u'd':
        case u'i':
        case u'u':
        case u'x':
        case u'X':
        case u'o':
            PutInteger(sink, field, *p, take());
            break;
        case u'p':
            field.bits = kPointerBits;
            PutInteger(sink, field, u'p', take());
            break;
        case u's':
        case u'S':
            PutText(sink, field, take());
            break;
        case u'c':
        case u'C':
            PutChar(sink, field, take());
            break;
        case u'%':
            sink.Put(u'%');
            break;
        default:
            // Not a conversion: show it as written.
            for (const char16_t *q = start; q < p; ++q)
                sink.Put(*q);
            if (!*p)
                return sink.Finish();
            sink.Put(*p);
            break;
        }
    }
    return sink.Finish();
}

} // namespace authrelay
