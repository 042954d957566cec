// SPDX-License-Identifier: Apache-2.0
#pragma once

// Structured journal logging with phosphor-logging's call shape:
//
//     lg2::error("Invalid block:{BLOCK}\n", "BLOCK", block);
//
// On a BMC build phosphor-logging provides lg2 itself. Elsewhere this header
// supplies a small layer with the same call shape for what the library uses
// (error level, integer, bool and string fields) that writes the same journal
// entry lg2 writes: MESSAGE with every {KEY} replaced, LOG2_FMTMSG, PRIORITY,
// CODE_FILE, CODE_LINE, CODE_FUNC and one field per named value.
//
// logAt() logs with a source location handed down by the caller, for checks
// that several functions share but that must name the function that detects
// the failure.

#include "config.h"

#include <source_location>
#include <utility>

#if LIBFPGA_HAVE_LG2

#include <phosphor-logging/lg2.hpp>

#else

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace lg2
{
namespace details
{

/** One named field of an entry, its value already formatted. */
struct Field
{
    std::string_view key;
    std::string value;
};

/** Format a value the way lg2 does: integers in decimal, bool as
 *  "True"/"False", strings verbatim. */
inline std::string formatValue(bool value)
{
    return value ? "True" : "False";
}

template <std::integral T>
requires(!std::same_as<T, bool> && !std::same_as<T, char>) std::string
    formatValue(T value)
{
    return std::to_string(value);
}

template <typename T>
requires std::is_enum_v<T> std::string formatValue(T value)
{
    return std::to_string(static_cast<std::underlying_type_t<T>>(value));
}

inline std::string formatValue(std::string_view value)
{
    return std::string(value);
}

// Without this a string literal would convert to bool before string_view.
inline std::string formatValue(const char* value)
{
    return value;
}

/** Send one entry at @p priority to the journal, and echo it to stderr where
 *  lg2 does. */
void sendEntry(int priority, const std::source_location& where,
               std::string_view format, const Field* fields, std::size_t count);

template <typename... Ts>
struct Fields;

template <>
struct Fields<>
{
    static void collect(Field*) {}
};

template <typename K, typename V, typename... Rest>
struct Fields<K, V, Rest...>
{
    static void collect(Field* out, K&& key, V&& value, Rest&&... rest)
    {
        *out =
            Field{std::string_view(key), formatValue(std::forward<V>(value))};
        Fields<Rest...>::collect(out + 1, std::forward<Rest>(rest)...);
    }
};

template <typename... Ts>
void log(int priority, const std::source_location& where,
         std::string_view format, Ts&&... ts)
{
    static_assert(sizeof...(Ts) % 2 == 0, "fields come as key, value pairs");
    Field fields[sizeof...(Ts) / 2 + 1];
    Fields<Ts...>::collect(fields, std::forward<Ts>(ts)...);
    sendEntry(priority, where, format, fields, sizeof...(Ts) / 2);
}

} // namespace details

/** Log one error-level entry; the source location is the caller's. */
template <typename... Ts>
struct error
{
    explicit error(
        std::string_view format, Ts&&... ts,
        const std::source_location& where = std::source_location::current())
    {
        details::log(3, where, format, std::forward<Ts>(ts)...);
    }
};

template <typename... Ts>
explicit error(std::string_view, Ts&&...) -> error<Ts...>;

} // namespace lg2

#endif // LIBFPGA_HAVE_LG2

namespace tavrin_fpga
{

/** Log an error-level entry with the source location @p where instead of the
 *  caller's own. */
template <typename... Ts>
void logAt(const std::source_location& where, const char* format, Ts&&... ts)
{
    lg2::error<Ts...>(format, std::forward<Ts>(ts)..., where);
}

} // namespace tavrin_fpga
