#include "text.h"

#include <cstring>
#include <new>

#include "failure.h"

namespace authrelay {

void SecureZero(void *p, size_t n)
{
    volatile unsigned char *v = static_cast<volatile unsigned char *>(p);
    while (n--)
        *v++ = 0;
}

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string &out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

void AppendUtf16(std::u16string &out, char32_t c)
{
    if (c < 0x10000) {
        out += static_cast<char16_t>(c);
    } else {
        c -= 0x10000;
        out += static_cast<char16_t>(0xD800 | (c >> 10));
        out += static_cast<char16_t>(0xDC00 | (c & 0x3FF));
    }
}

template <typename T> std::unique_ptr<T[]> Allocate(size_t count)
{
    std::unique_ptr<T[]> p(new (std::nothrow) T[count]);
    if (!p)
        ThrowFailure(kFailOutOfMemory);
    return p;
}

// Zeroes and frees a buffer of count elements.
template <typename T> void Wipe(std::unique_ptr<T[]> &p, size_t count)
{
    if (p)
        SecureZero(p.get(), count * sizeof(T));
    p.reset();
}

} // namespace

std::string Utf16ToUtf8(const char16_t *text, size_t units)
{
    // Reserved for the longest result so that no partial copy of the text is
    // left behind in a freed block when the string grows.
    std::string out;
    out.reserve(units * 3);
    for (size_t i = 0; i < units; ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = kReplacement;
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::u16string Utf8ToUtf16(const char *bytes, size_t count)
{
    std::u16string out;
    out.reserve(count);  // never more units than bytes
    const unsigned char *s = reinterpret_cast<const unsigned char *>(bytes);
    size_t i = 0;
    while (i < count) {
        unsigned char b = s[i];
        size_t need;
        char32_t c;
        char32_t min;
        if (b < 0x80) {
            out += static_cast<char16_t>(b);
            ++i;
            continue;
        } else if (b >= 0xC2 && b <= 0xDF) {
            need = 1, c = b & 0x1F, min = 0x80;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2, c = b & 0x0F, min = 0x800;
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3, c = b & 0x07, min = 0x10000;
        } else {
            out += static_cast<char16_t>(kReplacement);
            ++i;
            continue;
        }
        size_t j = 1;
        for (; j <= need && i + j < count && (s[i + j] & 0xC0) == 0x80; ++j)
            c = (c << 6) | (s[i + j] & 0x3F);
        if (j <= need || c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            // A broken sequence: one replacement for its lead and valid continuations.
            out += static_cast<char16_t>(kReplacement);
            i += j;
            continue;
        }
        AppendUtf16(out, c);
        i += j;
    }
    return out;
}

String::String(const char16_t *text)
{
    Set(text);
}

String::String(const String &other)
{
    SetBoth(other.wide_.get(), other.length_, other.utf8_.get(), other.utf8Length_);
}

String::String(String &&other) noexcept
    : wide_(std::move(other.wide_)), length_(other.length_), utf8_(std::move(other.utf8_)),
      utf8Length_(other.utf8Length_)
{
    other.length_ = other.utf8Length_ = 0;
}

String &String::operator=(const String &other)
{
    if (this != &other)
        SetBoth(other.wide_.get(), other.length_, other.utf8_.get(), other.utf8Length_);
    return *this;
}

String &String::operator=(String &&other) noexcept
{
    if (this != &other) {
        Clear();
        wide_ = std::move(other.wide_);
        utf8_ = std::move(other.utf8_);
        length_ = other.length_;
        utf8Length_ = other.utf8Length_;
        other.length_ = other.utf8Length_ = 0;
    }
    return *this;
}

String::~String()
{
    Clear();
}

void String::Clear()
{
    Wipe(wide_, length_ + 1);
    Wipe(utf8_, utf8Length_ + 1);
    length_ = utf8Length_ = 0;
}

void String::SetBoth(const char16_t *wide, size_t units, const char *utf8, size_t bytes)
{
    if (units == 0) {
        Clear();
        return;
    }
    auto w = Allocate<char16_t>(units + 1);
    auto u = Allocate<char>(bytes + 1);
    memcpy(w.get(), wide, units * sizeof(char16_t));
    w[units] = 0;
    memcpy(u.get(), utf8, bytes);
    u[bytes] = 0;
    Clear();
    wide_ = std::move(w);
    utf8_ = std::move(u);
    length_ = static_cast<uint32_t>(units);
    utf8Length_ = static_cast<uint32_t>(bytes);
}

void String::Set(const char16_t *text)
{
    size_t units = 0;
    if (text)
        while (text[units])
            ++units;
    std::string utf8 = Utf16ToUtf8(text, units);
    SetBoth(text, units, utf8.data(), utf8.size());
    SecureZero(utf8.data(), utf8.size());
}

void String::Adopt(std::unique_ptr<char16_t[]> text)
{
    size_t units = 0;
    if (text)
        while (text[units])
            ++units;
    if (units == 0) {
        Wipe(text, 1);
        Clear();
        return;
    }
    std::string utf8 = Utf16ToUtf8(text.get(), units);
    auto u = Allocate<char>(utf8.size() + 1);
    memcpy(u.get(), utf8.data(), utf8.size() + 1);
    Clear();
    wide_ = std::move(text);
    length_ = static_cast<uint32_t>(units);
    utf8_ = std::move(u);
    utf8Length_ = static_cast<uint32_t>(utf8.size());
    SecureZero(utf8.data(), utf8.size());
}

void String::SetUtf8(const char *bytes, size_t count)
{
    if (!bytes)
        count = 0;
    std::u16string wide = Utf8ToUtf16(bytes, count);
    SetBoth(wide.data(), wide.size(), bytes, count);
    SecureZero(wide.data(), wide.size() * sizeof(char16_t));
}

Blob::Blob(const Blob &other)
{
    Set(other.size_, other.data_.get());
}

Blob &Blob::operator=(const Blob &other)
{
    if (this != &other)
        Set(other.size_, other.data_.get());
    return *this;
}

Blob::~Blob()
{
    Wipe(data_, size_);
}

void Blob::Set(uint32_t size, const void *data)
{
    std::unique_ptr<uint8_t[]> copy;
    if (size > 0 && data) {
        copy = Allocate<uint8_t>(size);
        memcpy(copy.get(), data, size);
    } else {
        size = 0;
    }
    Wipe(data_, size_);
    data_ = std::move(copy);
    size_ = size;
}

} // namespace authrelay
