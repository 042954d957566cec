// SPDX-License-Identifier: Apache-2.0
#include "field_reader.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <tuple>

namespace fpga_sim
{

using nlohmann::json;

namespace
{

/** The length of the printable character @p text starts with; 0 for a
 *  control byte or a byte that starts no UTF-8 character. */
std::size_t charLength(std::string_view text)
{
    const auto at = [&](std::size_t i) -> unsigned {
        return i < text.size() ? static_cast<unsigned char>(text[i]) : 0;
    };
    const unsigned lead = at(0);
    if (lead < 0x80)
    {
        return lead >= 0x20 && lead != 0x7F ? 1 : 0;
    }
    // Lead bytes: their length and the second byte's range, which keeps
    // out overlong forms, surrogates and code points past U+10FFFF.
    struct Lead
    {
        unsigned from, to;
        std::size_t length;
        unsigned low, high;
    };
    static constexpr Lead leads[] = {
        {0xC2, 0xDF, 2, 0x80, 0xBF}, {0xE0, 0xE0, 3, 0xA0, 0xBF},
        {0xE1, 0xEC, 3, 0x80, 0xBF}, {0xED, 0xED, 3, 0x80, 0x9F},
        {0xEE, 0xEF, 3, 0x80, 0xBF}, {0xF0, 0xF0, 4, 0x90, 0xBF},
        {0xF1, 0xF3, 4, 0x80, 0xBF}, {0xF4, 0xF4, 4, 0x80, 0x8F}};
    for (const Lead& l : leads)
    {
        if (lead < l.from || lead > l.to)
        {
            continue;
        }
        bool valid = at(1) >= l.low && at(1) <= l.high;
        for (std::size_t i = 2; i < l.length; ++i)
        {
            valid = valid && at(i) >= 0x80 && at(i) <= 0xBF;
        }
        return valid ? l.length : 0;
    }
    return 0;
}

} // namespace

std::string printable(std::string_view text)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();)
    {
        const std::size_t length = charLength(text.substr(i));
        if (length > 0)
        {
            out.append(text.substr(i, length));
            i += length;
            continue;
        }
        const auto byte = static_cast<unsigned char>(text[i++]);
        out += {'\\', 'x', digits[byte >> 4], digits[byte & 0xF]};
    }
    return out;
}

BoardError::BoardError(const std::string& path, const std::string& problem) :
    std::runtime_error(
        path.empty() ? printable(problem) : printable(path + ": " + problem)),
    where(printable(path)), what_(printable(problem))
{}

void bad(const std::string& path, const std::string& problem)
{
    throw BoardError(path, problem);
}

std::string field(const std::string& path, std::string_view key)
{
    return path.empty() ? std::string(key) : path + "." + std::string(key);
}

std::string hex(std::uint64_t value)
{
    std::ostringstream out;
    out << "0x" << std::hex << value;
    return out.str();
}

std::string element(const std::string& path, std::size_t index)
{
    return path + "[" + std::to_string(index) + "]";
}

std::string unknownField(std::initializer_list<const char*> known)
{
    std::string list;
    for (const char* k : known)
    {
        list += list.empty() ? "" : ", ";
        list += k;
    }
    return "unknown field (known: " + list + ")";
}

void onlyKeys(const json& object, const std::string& path,
              std::initializer_list<const char*> known)
{
    for (const auto& [key, value] : object.items())
    {
        if (std::none_of(known.begin(), known.end(),
                         [&](const char* k) { return key == k; }))
        {
            bad(field(path, key), unknownField(known));
        }
    }
}

const json& object(const json& value, const std::string& path)
{
    if (!value.is_object())
    {
        bad(path, "expected an object");
    }
    return value;
}

std::int64_t integerIn(const json& value, const std::string& path,
                       std::int64_t low, std::int64_t high)
{
    // A number with no fraction is the integer it is, however written
    // ("1.0", "1e2"), as JSON Schema counts integers.
    const double number = value.is_number() ? value.get<double>() : 0.5;
    if (!value.is_number() || number != std::trunc(number))
    {
        bad(path, std::string("expected ") + (low < 0 ? "an" : "an unsigned") +
                      " integer, got " + value.dump());
    }
    // Compared as written: no double holds 2^63 - 1, and the parser keeps
    // a number from 2^63 on as unsigned.
    bool in = number >= static_cast<double>(low) &&
              number < static_cast<double>(high) + 1;
    if (value.is_number_unsigned())
    {
        const auto u = value.get<std::uint64_t>();
        in = high >= 0 && u <= static_cast<std::uint64_t>(high) &&
             (low <= 0 || u >= static_cast<std::uint64_t>(low));
    }
    else if (value.is_number_integer())
    {
        in = value.get<std::int64_t>() >= low &&
             value.get<std::int64_t>() <= high;
    }
    if (!in)
    {
        bad(path, value.dump() + " is out of range " + std::to_string(low) +
                      (low < 0 ? " to " : "-") + std::to_string(high));
    }
    return value.is_number_float() ? static_cast<std::int64_t>(number)
                                   : value.get<std::int64_t>();
}

std::uint64_t unsignedIn(const json& value, const std::string& path,
                         std::uint64_t low, std::uint64_t high)
{
    return static_cast<std::uint64_t>(
        integerIn(value, path, static_cast<std::int64_t>(low),
                  static_cast<std::int64_t>(high)));
}

std::uint32_t id(const json& value, const std::string& path)
{
    return static_cast<std::uint32_t>(unsignedIn(value, path, 0, 0xFFFFFFFE));
}

unsigned modeFromJson(const json& value, const std::string& path)
{
    const std::string text =
        value.is_string() ? value.get<std::string>() : value.dump();
    const bool octal = !text.empty() && text.size() <= 4 &&
                       text.find_first_not_of("01234567") == std::string::npos;
    const bool fits = octal && std::stoul(text, nullptr, 8) <= 0777;
    if (fits && !value.is_string())
    {
        // 644 is a decimal number; chmod reads its digits as octal.
        bad(path, "permission bits are a string of octal digits: write \"" +
                      std::string(4 - text.size(), '0') + text +
                      "\", not the number " + text);
    }
    if (!fits || !value.is_string())
    {
        bad(path, "expected permission bits in octal digits, such as "
                  "\"0660\" (0-0777), got " +
                      value.dump());
    }
    return static_cast<unsigned>(std::stoul(text, nullptr, 8));
}

std::string modeText(unsigned mode)
{
    char text[8];
    std::snprintf(text, sizeof(text), "%04o", mode);
    return text;
}

bool boolean(const json& value, const std::string& path)
{
    if (!value.is_boolean())
    {
        bad(path, "expected true or false, got " + value.dump());
    }
    return value.get<bool>();
}

std::string string(const json& value, const std::string& path)
{
    if (!value.is_string())
    {
        bad(path, "expected a string, got " + value.dump());
    }
    return value.get<std::string>();
}

std::vector<std::uint8_t> hexBytes(const std::string& text,
                                   const std::string& path)
{
    std::vector<std::uint8_t> bytes;
    const auto nibble = [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0
                   ? c - '0'
                   : (std::tolower(static_cast<unsigned char>(c)) - 'a') + 10;
    };
    bytes.reserve(text.size() / 2);
    bool half = false;
    for (char c : text)
    {
        if (std::isspace(static_cast<unsigned char>(c)) != 0)
        {
            if (half)
            {
                bad(path, "hex bytes are two digits each: \"" + text + "\"");
            }
            continue;
        }
        if (std::isxdigit(static_cast<unsigned char>(c)) == 0)
        {
            bad(path, "'" + std::string(1, c) + "' is not a hex digit in \"" +
                          text + "\"");
        }
        if (half)
        {
            bytes.back() =
                static_cast<std::uint8_t>(bytes.back() << 4 | nibble(c));
        }
        else
        {
            bytes.push_back(static_cast<std::uint8_t>(nibble(c)));
        }
        half = !half;
    }
    if (half)
    {
        bad(path, "hex bytes are two digits each: \"" + text + "\"");
    }
    return bytes;
}

bool isUtf8(std::string_view text)
{
    for (std::size_t i = 0; i < text.size();)
    {
        const auto lead = static_cast<unsigned char>(text[i]);
        // Continuation bytes and the range of the first of them.
        const auto [count, low, high] =
            lead < 0x80    ? std::tuple{0, 0x80, 0xBF}
            : lead < 0xC2  ? std::tuple{-1, 0, 0}
            : lead < 0xE0  ? std::tuple{1, 0x80, 0xBF}
            : lead == 0xE0 ? std::tuple{2, 0xA0, 0xBF}
            : lead == 0xED ? std::tuple{2, 0x80, 0x9F}
            : lead < 0xF0  ? std::tuple{2, 0x80, 0xBF}
            : lead == 0xF0 ? std::tuple{3, 0x90, 0xBF}
            : lead < 0xF4  ? std::tuple{3, 0x80, 0xBF}
            : lead == 0xF4 ? std::tuple{3, 0x80, 0x8F}
                           : std::tuple{-1, 0, 0};
        if (count < 0 || text.size() - i <= static_cast<std::size_t>(count))
        {
            return false;
        }
        for (int k = 1; k <= count; ++k)
        {
            const auto byte = static_cast<unsigned char>(text[i + k]);
            if (byte < (k == 1 ? low : 0x80) || byte > (k == 1 ? high : 0xBF))
            {
                return false;
            }
        }
        i += 1 + static_cast<std::size_t>(count);
    }
    return true;
}

std::string hexText(std::string_view bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(3 * bytes.size());
    for (const char c : bytes)
    {
        const auto byte = static_cast<unsigned char>(c);
        out += out.empty() ? "" : " ";
        out += digits[byte >> 4];
        out += digits[byte & 0xF];
    }
    return out;
}

} // namespace fpga_sim
