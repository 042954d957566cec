// SPDX-License-Identifier: Apache-2.0
#pragma once

// Structured journal logging through phosphor-logging's lg2:
//
//     lg2::error("Invalid block:{BLOCK}\n", "BLOCK", block);
//     lg2::error(where, "Invalid block:{BLOCK}\n", "BLOCK", block);
//
// The second form logs with a source location handed down by a caller, for
// checks that several functions share but that must name the function that
// detects the failure.
//
// On a BMC phosphor-logging provides lg2 itself. Elsewhere this header
// supplies a layer of our own with exactly lg2's call forms, levels, flags
// and value types, which writes the entry lg2 writes (MESSAGE with the first
// {KEY} of each field replaced, LOG2_FMTMSG, PRIORITY, CODE_FILE, CODE_LINE,
// CODE_FUNC and one field per named value) and refuses at compile time what
// lg2 refuses: a field name that is not a constant, is empty, starts with
// '_', holds anything but [A-Z0-9_] or is one of the names lg2 writes
// itself; a message that is not a const char*. A call that would not build
// against lg2 then fails every build, not only a BMC's.

#include "config.h"

#if LIBFPGA_HAVE_LG2

#include <phosphor-logging/lg2.hpp>

#else

#include <syslog.h>

#include <algorithm>
#include <array>
#include <bit>
#include <concepts>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <source_location>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace lg2
{

enum class level
{
    emergency = LOG_EMERG,
    alert = LOG_ALERT,
    critical = LOG_CRIT,
    error = LOG_ERR,
    warning = LOG_WARNING,
    notice = LOG_NOTICE,
    info = LOG_INFO,
    debug = LOG_DEBUG,
};

namespace details
{

/** A set of formatting flags, one bit each, combined with '|'. */
template <std::uint64_t Bits>
struct Flags
{
    static constexpr std::uint64_t value = Bits;
};

template <std::uint64_t A, std::uint64_t B>
constexpr Flags<A | B> operator|(Flags<A>, Flags<B>)
{
    return {};
}

} // namespace details

// The flags in lg2's order; bin, dec, hex and the field widths format
// integers, the others name a value's kind.
inline constexpr details::Flags<1U << 0> bin{};
inline constexpr details::Flags<1U << 1> dec{};
inline constexpr details::Flags<1U << 2> field8{};
inline constexpr details::Flags<1U << 3> field16{};
inline constexpr details::Flags<1U << 4> field32{};
inline constexpr details::Flags<1U << 5> field64{};
inline constexpr details::Flags<1U << 6> floating{};
inline constexpr details::Flags<1U << 7> hex{};
inline constexpr details::Flags<1U << 8> signed_val{};
inline constexpr details::Flags<1U << 9> str{};
inline constexpr details::Flags<1U << 10> unsigned_val{};

namespace details
{

inline constexpr std::uint64_t baseFlags = bin.value | dec.value | hex.value;
inline constexpr std::uint64_t widthFlags =
    field8.value | field16.value | field32.value | field64.value;

/**
 * A field name, checked when the call is compiled. The constructor is
 * consteval, so a name that is not a constant expression (for example one
 * forwarded through a function parameter) does not compile either.
 */
struct HeaderStr
{
    std::string_view value;

    template <typename T>
    consteval HeaderStr(const T& name) : value(name)
    {
        if (value.empty())
        {
            reportError("a journal field name may not be empty");
        }
        if (value.front() == '_')
        {
            reportError("a journal field name may not start with '_'");
        }
        if (value.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_") !=
            std::string_view::npos)
        {
            reportError("a journal field name holds only [A-Z0-9_]");
        }
        constexpr std::array<std::string_view, 6> reserved{
            "CODE_FILE",   "CODE_FUNC", "CODE_LINE",
            "LOG2_FMTMSG", "MESSAGE",   "PRIORITY"};
        if (std::ranges::find(reserved, value) != reserved.end())
        {
            reportError("this journal field name is written by lg2 itself");
        }
    }

  private:
    // Not constexpr: reaching it while compiling a name is the error, and
    // the compiler shows the reason passed to it.
    static void reportError(const char* reason);
};

/** A string literal: lg2 checks it as a field name where a name may stand
 *  (and so refuses one in the place of a value). */
template <typename T>
concept LiteralString = std::is_array_v<std::remove_cvref_t<T>> &&
    std::same_as<const char*, std::decay_t<T>>;

template <typename T>
struct HeaderConversion
{
    using type = T;
};

template <LiteralString T>
struct HeaderConversion<T>
{
    using type = const HeaderStr&;
};

template <typename T>
using HeaderConversionT = typename HeaderConversion<T>::type;

template <typename T, typename... Ss>
concept AnyBut = (... && !std::convertible_to<T, Ss>);

template <typename T>
concept StringLike =
    (std::constructible_from<std::string_view, T> ||
     std::same_as<std::filesystem::path, std::decay_t<T>>)&&!std::
        same_as<std::nullptr_t, std::decay_t<T>>;

template <typename T>
concept PointerLike =
    (std::is_pointer_v<std::decay_t<T>> ||
     std::same_as<std::nullptr_t, std::decay_t<T>>)&&!StringLike<T>;

template <typename T>
concept Exception = std::derived_from<std::decay_t<T>, std::exception>;

template <typename T>
concept HasToString = requires(T&& t)
{
    to_string(t);
};

template <typename T>
concept UnsignedInteger = std::unsigned_integral<std::decay_t<T>> &&
    !std::same_as<bool, std::decay_t<T>>;

/** An unsigned value as lg2 prints it for the base and width flags. */
std::string formatUnsigned(std::uint64_t flags, std::uint64_t value);
/** A double as lg2 prints it (std::to_string). */
std::string formatFloating(double value);

/** Which flags lg2 allows with a value of type T. */
template <typename T>
constexpr std::uint64_t allowedFlags()
{
    constexpr std::uint64_t integer = baseFlags | widthFlags;
    if constexpr (std::same_as<bool, T>)
    {
        return str.value;
    }
    else if constexpr (UnsignedInteger<T>)
    {
        return integer | unsigned_val.value;
    }
    else if constexpr (std::signed_integral<T>)
    {
        return integer | signed_val.value;
    }
    else if constexpr (std::floating_point<T>)
    {
        return floating.value;
    }
    else if constexpr (PointerLike<T>)
    {
        return hex.value | unsigned_val.value;
    }
    else
    {
        return str.value;
    }
}

/** The text of one value, as lg2 writes it. */
template <std::uint64_t F, typename V>
std::string formatValue(Flags<F>, const V& value)
{
    using T = std::decay_t<V>;
    static_assert((F & ~allowedFlags<T>()) == 0,
                  "Prohibited flag found for value type.");
    static_assert(std::popcount(F & baseFlags) < 2 &&
                      std::popcount(F & widthFlags) < 2,
                  "Conflicting flags found for value type.");
    if constexpr (std::same_as<bool, T>)
    {
        return value ? "True" : "False";
    }
    else if constexpr (std::signed_integral<T>)
    {
        // Hexadecimal and binary show the bits, as of an unsigned value.
        if constexpr ((F & (hex.value | bin.value)) == 0)
        {
            return std::to_string(static_cast<std::int64_t>(value));
        }
        return formatUnsigned(F, static_cast<std::uint64_t>(value));
    }
    else if constexpr (UnsignedInteger<T>)
    {
        return formatUnsigned(F, static_cast<std::uint64_t>(value));
    }
    else if constexpr (std::floating_point<T>)
    {
        return formatFloating(static_cast<double>(value));
    }
    else if constexpr (StringLike<T>)
    {
        // lg2 hands the value on as a C string: it ends at the first NUL.
        if constexpr (std::same_as<std::filesystem::path, T>)
        {
            return value.c_str();
        }
        else
        {
            const std::string_view text(value);
            return std::string(text.substr(0, text.find('\0')));
        }
    }
    else if constexpr (PointerLike<T>)
    {
        // A pointer is always hexadecimal, as wide as the address space.
        constexpr std::uint64_t width =
            sizeof(void*) == 4 ? field32.value : field64.value;
        return formatUnsigned(hex.value | width,
                              reinterpret_cast<std::uintptr_t>(value));
    }
    else if constexpr (Exception<T>)
    {
        return value.what();
    }
    else if constexpr (HasToString<T>)
    {
        return to_string(value);
    }
    else
    {
        static_assert(!std::same_as<T, T>,
                      "Unsupported type for logging value.");
        return {};
    }
}

/** One named field, its value already in text. */
struct Field
{
    std::string_view name;
    std::string value;
};

/** Send one entry to the journal, and echo it to stderr where lg2 does. */
void sendEntry(level severity, const std::source_location& where,
               const char* format, const std::vector<Field>& fields);

inline void collect(std::vector<Field>&) {}

template <std::uint64_t F, typename V, typename... Rest>
void collect(std::vector<Field>& out, const HeaderStr& name, Flags<F> flags,
             V&& value, Rest&&... rest);

template <typename V, typename... Rest>
void collect(std::vector<Field>& out, const HeaderStr& name, V&& value,
             Rest&&... rest)
{
    collect(out, name, Flags<0>{}, std::forward<V>(value),
            std::forward<Rest>(rest)...);
}

template <std::uint64_t F, typename V, typename... Rest>
void collect(std::vector<Field>& out, const HeaderStr& name, Flags<F> flags,
             V&& value, Rest&&... rest)
{
    static_assert(!std::same_as<HeaderStr, std::decay_t<V>>,
                  "Found header_str as value; suggest using std::string to "
                  "avoid unintended conversion.");
    out.push_back(Field{name.value, formatValue(flags, value)});
    collect(out, std::forward<Rest>(rest)...);
}

} // namespace details

/** One entry at level S: a message, then name and value pairs (a flag may
 *  stand between a name and its value). */
template <level S = level::debug, details::AnyBut<std::source_location>... Ts>
struct log
{
    explicit log(const std::source_location& where, const char* format,
                 details::HeaderConversionT<Ts&&>... ts)
    {
        std::vector<details::Field> fields;
        fields.reserve(sizeof...(Ts) / 2);
        details::collect(fields,
                         std::forward<details::HeaderConversionT<Ts&&>>(ts)...);
        details::sendEntry(S, where, format, fields);
    }

    explicit log(
        const char* format, details::HeaderConversionT<Ts&&>... ts,
        const std::source_location& where = std::source_location::current()) :
        log(where, format,
            std::forward<details::HeaderConversionT<Ts&&>>(ts)...)
    {}

    log() = delete;
};

template <level S = level::debug, typename... Ts>
explicit log(const char*, Ts&&...) -> log<S, Ts...>;

template <level S = level::debug, typename... Ts>
explicit log(const std::source_location&, const char*, Ts&&...)
    -> log<S, Ts...>;

// lg2::error(...) and the other levels: log at that level.
#define LIBFPGA_LG2_LEVEL(name)                                                \
    template <typename... Ts>                                                  \
    struct name : public log<level::name, Ts...>                               \
    {                                                                          \
        using log<level::name, Ts...>::log;                                    \
    };                                                                         \
    template <typename... Ts>                                                  \
    explicit name(const char*, Ts&&...) -> name<Ts...>;                        \
    template <typename... Ts>                                                  \
    explicit name(const std::source_location&, const char*, Ts&&...)           \
        ->name<Ts...>

LIBFPGA_LG2_LEVEL(emergency);
LIBFPGA_LG2_LEVEL(alert);
LIBFPGA_LG2_LEVEL(critical);
LIBFPGA_LG2_LEVEL(error);
LIBFPGA_LG2_LEVEL(warning);
LIBFPGA_LG2_LEVEL(notice);
LIBFPGA_LG2_LEVEL(info);
LIBFPGA_LG2_LEVEL(debug);

#undef LIBFPGA_LG2_LEVEL

} // namespace lg2

#endif // LIBFPGA_HAVE_LG2
