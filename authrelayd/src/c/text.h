// Owned text and byte buffers for names and tokens.
//
// Both overwrite their memory with zeros before they release or replace it:
// they carry user names, principals and security tokens.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace authrelay {

// Overwrites n bytes at p with zeros in a way the compiler may not drop.
void SecureZero(void *p, size_t n);

// UTF-16 to UTF-8 and back. Ill-formed input (a lone surrogate, a bad UTF-8
// sequence) becomes U+FFFD, as the Windows code page conversions do.
std::string Utf16ToUtf8(const char16_t *text, size_t units);
std::u16string Utf8ToUtf16(const char *bytes, size_t count);

// Text held in two forms: NUL-terminated UTF-16 and NUL-terminated UTF-8.
// An empty String owns no buffers and all its lengths are 0; its readers then
// return an empty literal text. Allocation failure throws kFailOutOfMemory.
class String {
public:
    String() = default;
    explicit String(const char16_t *text); // null gives an empty String
    String(const String &other);
    String(String &&other) noexcept;
    String &operator=(const String &other);
    String &operator=(String &&other) noexcept;
    virtual ~String();

    // Copies text (null or "" clears) and derives the UTF-8 form.
    void Set(const char16_t *text);
    // Takes ownership of a NUL-terminated wide buffer without copying it.
    void Adopt(std::unique_ptr<char16_t[]> text);
    // Copies count UTF-8 bytes (no terminator needed) and derives the wide form.
    void SetUtf8(const char *bytes, size_t count);
    void Clear();

    bool IsEmpty() const { return length_ == 0; }
    const char16_t *GetWide() const { return wide_ ? wide_.get() : u""; }
    uint32_t GetLength() const { return length_; }             // UTF-16 units
    uint32_t GetByteLength() const { return length_ * 2; }     // bytes of the wide form
    const char *GetUtf8() const { return utf8_ ? utf8_.get() : ""; }
    uint32_t GetUtf8Length() const { return utf8Length_; }     // bytes

private:
    void SetBoth(const char16_t *wide, size_t units, const char *utf8, size_t bytes);

    std::unique_ptr<char16_t[]> wide_;
    uint32_t length_ = 0;
    std::unique_ptr<char[]> utf8_;
    uint32_t utf8Length_ = 0;
};

// Owned bytes. Allocation failure throws kFailOutOfMemory.
class Blob {
public:
    Blob() = default;
    Blob(const Blob &other);
    Blob &operator=(const Blob &other);
    virtual ~Blob();
    virtual uint32_t Size() const { return size_; }

    // Replaces the contents with a copy of size bytes at data (0 clears).
    void Set(uint32_t size, const void *data);
    void Clear() { Set(0, nullptr); }
    const uint8_t *Data() const { return data_.get(); }
    bool IsEmpty() const { return size_ == 0; }

private:
    std::unique_ptr<uint8_t[]> data_;
    uint32_t size_ = 0;
};

} // namespace authrelay
