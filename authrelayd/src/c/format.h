// The service's one text formatter: printf-style wide formats that give the
// same output on Windows and Linux.
//
// Format conventions (those of the Windows wide printf family, so the same
// format text means the same thing on both platforms):
//   %s %ls %ws   a wide (UTF-16) text        %S %hs   a narrow (UTF-8) text
//   %c           a UTF-16 unit                %C       a narrow character
//   %d %i %u %x %X %o   integers; no size prefix and `l` are 32 bits (as
//                long is on Windows), `h` 16, `hh` 8, `ll`/`I64` 64, `I`,
//                `z`, `t`, `j` pointer-sized
//   %p           a pointer, upper-case hex digits padded to its full width
//   flags - + space # 0, width and precision (also `*`), %% a percent sign.
// Arguments carry their types: a text argument is read as the text it is,
// whichever of %s and %S names it, and a precision counts its units (bytes
// for a narrow text). A missing or non-integer argument for an integer
// conversion prints "(?)"; a null text prints "(null)". Nothing is ever read
// beyond an argument's own text (up to its terminator or precision).
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace authrelay {

struct FormatArg {
    enum class Kind : uint8_t { Signed, Unsigned, Narrow, Wide16, WideW, Pointer };
    Kind kind;
    union {
        int64_t s;
        uint64_t u;
        const char *narrow;
        const char16_t *wide;
        const wchar_t *wwide;
        const void *ptr;
    };

    template <typename T, std::enable_if_t<std::is_integral_v<T> || std::is_enum_v<T>, int> = 0>
    FormatArg(T v)
    {
        using U = std::conditional_t<std::is_enum_v<T>, std::underlying_type<T>, std::common_type<T>>;
        using V = typename U::type;
        if constexpr (std::is_signed_v<V>) {
            kind = Kind::Signed;
            s = static_cast<int64_t>(v);
        } else {
            kind = Kind::Unsigned;
            u = static_cast<uint64_t>(v);
        }
    }
    FormatArg(const char *v) : kind(Kind::Narrow), narrow(v) {}
    FormatArg(const unsigned char *v) : kind(Kind::Narrow), narrow(reinterpret_cast<const char *>(v)) {}
    FormatArg(const char16_t *v) : kind(Kind::Wide16), wide(v) {}
    FormatArg(const wchar_t *v) : kind(Kind::WideW), wwide(v) {}
    FormatArg(const void *v) : kind(Kind::Pointer), ptr(v) {}
    FormatArg(std::nullptr_t) : kind(Kind::Pointer), ptr(nullptr) {}
};

// Formats into out (capacity units, capacity >= 1), truncating so that the
// result and its terminator fit. Returns the units written, terminator
// excluded.
size_t FormatText(char16_t *out, size_t capacity, const char16_t *format, const FormatArg *args,
                  size_t count);

template <typename... A>
size_t Format(char16_t *out, size_t capacity, const char16_t *format, const A &...args)
{
    const FormatArg list[sizeof...(A) + 1] = {FormatArg(args)..., FormatArg(0)};
    return FormatText(out, capacity, format, list, sizeof...(A));
}

} // namespace authrelay
