// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

/**
 * @file field_reader.hpp
 * @brief Reading one value of a board file, and saying where it is wrong.
 *
 * Every reader takes the JSON value and its field path
 * ("nodes.fpga-r1.registers[2].offset") and throws BoardError naming that
 * path. The board file, a change and a scenario step read their values with
 * these same functions, so a value gets the same message wherever it is
 * written.
 */
namespace fpga_sim
{

/** @brief A board description that cannot be used. */
class BoardError : public std::runtime_error
{
  public:
    BoardError(const std::string& path, const std::string& problem);

    /** @brief Where the problem is: a field path, or "line L, column C"
     *         for text that is no JSON at all; empty for the whole file. */
    const std::string& path() const
    {
        return where;
    }

    /** @brief What is wrong there. */
    const std::string& problem() const
    {
        return what_;
    }

  private:
    std::string where;
    std::string what_;
};

/**
 * @brief @p text fit to print on one line: valid UTF-8 as is, control bytes
 *        and bytes that start no UTF-8 character written \xNN.
 */
std::string printable(std::string_view text);

/** @brief Throw BoardError(@p path, @p problem). */
[[noreturn]] void bad(const std::string& path, const std::string& problem);

/** @brief "path.key", or "key" at the top. */
std::string field(const std::string& path, std::string_view key);

/** @brief "path[index]". */
std::string element(const std::string& path, std::size_t index);

/** @brief "0x" and the hex digits of @p value. */
std::string hex(std::uint64_t value);

/** @brief Refuse the keys of @p object that are not in @p known. */
void onlyKeys(const nlohmann::json& object, const std::string& path,
              std::initializer_list<const char*> known);

/** @brief "unknown field (known: a, b, c)". */
std::string unknownField(std::initializer_list<const char*> known);

const nlohmann::json& object(const nlohmann::json& value,
                             const std::string& path);
/** @brief An integer @p low-@p high: a JSON integer, or a number with no
 *         fraction ("1.0", "1e2"), as JSON Schema counts integers. */
std::int64_t integerIn(const nlohmann::json& value, const std::string& path,
                       std::int64_t low, std::int64_t high);
/** @brief integerIn() of an unsigned range; @p high at most 2^63 - 1. */
std::uint64_t unsignedIn(const nlohmann::json& value, const std::string& path,
                         std::uint64_t low, std::uint64_t high);
/** @brief A user or group id, 0-4294967294 (-1 means "no change" to
 *         chown). */
std::uint32_t id(const nlohmann::json& value, const std::string& path);
/** @brief Permission bits in octal digits, as chmod takes them: "0660". */
unsigned modeFromJson(const nlohmann::json& value, const std::string& path);
std::string modeText(unsigned mode);
bool boolean(const nlohmann::json& value, const std::string& path);
std::string string(const nlohmann::json& value, const std::string& path);

/** @brief Bytes written as two-digit hex numbers, spaces optional between
 *         them. */
std::vector<std::uint8_t> hexBytes(const std::string& text,
                                   const std::string& path);

/** @brief Bytes as two-digit hex numbers separated by spaces. */
std::string hexText(std::string_view bytes);

/** @brief Whether @p text is well-formed UTF-8 (no overlong forms,
 *         surrogates or code points past U+10FFFF). */
bool isUtf8(std::string_view text);

/** @brief A table of the names a value has in board files. */
template <typename Value>
using Names = std::initializer_list<std::pair<const char*, Value>>;

/** @brief The value @p v names in @p table. */
template <typename Value>
Value named(Names<Value> table, const nlohmann::json& v,
            const std::string& path)
{
    const std::string name = string(v, path);
    std::string list;
    for (const auto& [key, value] : table)
    {
        if (name == key)
        {
            return value;
        }
        list += list.empty() ? "" : ", ";
        list += key;
    }
    bad(path, "\"" + name + "\" is not one of " + list);
}

/** @brief The name of @p value in @p table. */
template <typename Value>
const char* nameOf(Names<Value> table, Value value)
{
    for (const auto& [key, v] : table)
    {
        if (v == value)
        {
            return key;
        }
    }
    return "";
}

} // namespace fpga_sim
