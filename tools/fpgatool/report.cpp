// SPDX-License-Identifier: Apache-2.0
// The values and reports of the verbs, as text and JSON.

#include "fpgatool.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <thread>

namespace fpgatool
{
namespace
{

std::vector<std::size_t> setBits(std::uint64_t value)
{
    std::vector<std::size_t> bits;
    for (std::size_t bit = 0; bit < 64; ++bit)
    {
        if ((value >> bit) & 1U)
        {
            bits.push_back(bit);
        }
    }
    return bits;
}

std::string decimal(std::size_t value)
{
    return std::to_string(value);
}

/** A driver's text may hold bytes that are not UTF-8: they show as U+FFFD
 *  instead of ending the document with an exception. */
std::string safeDump(const Json& value)
{
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

/** Two spaces of indentation a level, and arrays of plain values on one
 *  line ("bytes": [3, 167, 33]). */
void appendJson(std::string& text, const Json& value, const std::string& indent)
{
    const bool flat = std::ranges::none_of(value, [](const Json& element) {
        return element.is_structured();
    });
    if (!value.is_structured() || value.empty() || (value.is_array() && flat))
    {
        // dump() would separate array elements with "," alone.
        text += value.is_array() ? "[" + joined(value, ", ", safeDump) + "]"
                                 : safeDump(value);
        return;
    }
    const std::string inner = indent + "  ";
    text += value.is_array() ? "[\n" : "{\n";
    for (auto it = value.begin(); it != value.end(); ++it)
    {
        text += (it == value.begin() ? "" : ",\n") + inner;
        text += value.is_object() ? safeDump(Json(it.key())) + ": " : "";
        appendJson(text, *it, inner);
    }
    text += "\n" + indent + (value.is_array() ? "]" : "}");
}

} // namespace

void printDocument(std::ostream& out, const Json& document, bool compact)
{
    std::string text;
    if (compact && !document.is_null())
    {
        text = safeDump(document);
    }
    else if (!document.is_null())
    {
        appendJson(text, document, "");
    }
    out << text << (document.is_null() ? "" : "\n") << std::flush;
    if (!out)
    {
        // errno is the failed write's: nothing has run since.
        throw Failure("output", "cannot write the output: " +
                                    std::string(std::strerror(errno)));
    }
}

std::string utcTime(bool millis)
{
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t whole = system_clock::to_time_t(now);
    std::tm utc{};
    ::gmtime_r(&whole, &utc);
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &utc);
    char fraction[8];
    std::snprintf(
        fraction, sizeof(fraction), ".%03dZ",
        static_cast<int>(
            duration_cast<milliseconds>(now.time_since_epoch()).count() %
            1000));
    return text + std::string(millis ? fraction : "Z");
}

std::string hex(std::uint64_t value, int digits)
{
    char text[24];
    std::snprintf(text, sizeof(text), "0x%0*llx", digits,
                  static_cast<unsigned long long>(value));
    return text;
}

Value none()
{
    return {nullptr, "-"};
}

Value flag(bool value)
{
    return {value, value ? "yes" : "no"};
}

Value plain(std::string_view text)
{
    return {std::string(text), std::string(text)};
}

Value driverText(const std::string& text)
{
    std::string quoted = "\"";
    for (const char c : text)
    {
        const auto byte = static_cast<unsigned char>(c);
        char escaped[8];
        std::snprintf(escaped, sizeof(escaped), "\\x%02x", byte);
        quoted += c == '"' || c == '\\'     ? std::string{'\\', c}
                  : std::isprint(byte) != 0 ? std::string{c}
                                            : std::string(escaped);
    }
    return {text, quoted + "\""};
}

Value hexNumber(std::uint64_t value, int digits)
{
    return {value, hex(value, digits)};
}

Value bitMask(std::uint64_t value, int digits)
{
    const std::vector<std::size_t> bits = setBits(value);
    return {{{"mask", hex(value, digits)}, {"bits", bits}},
            hex(value, digits) + " [" + joined(bits, " ", decimal) + "]"};
}

Value bytes(std::span<const char> buffer)
{
    const std::vector<std::uint8_t> values(buffer.begin(), buffer.end());
    return {values,
            joined(values, " ", [](std::uint8_t b) { return hex(b, 2); })};
}

Value blockSet(const std::bitset<64>& blocks)
{
    std::string ranges;
    for (std::size_t first = 0; first < blocks.size(); ++first)
    {
        std::size_t last = first;
        while (blocks[first] && last + 1 < blocks.size() && blocks[last + 1])
        {
            ++last;
        }
        if (blocks[first])
        {
            ranges += (ranges.empty() ? "" : ",") + decimal(first) +
                      (last > first ? "-" + decimal(last) : "");
        }
        first = last;
    }
    return {setBits(blocks.to_ullong()), ranges.empty() ? "none" : ranges};
}

Report& Report::field(const std::string& key, const Value& value, Shown shown)
{
    members[key] = value.json;
    std::string label;
    for (const char c : key)
    {
        label += std::isupper(static_cast<unsigned char>(c)) != 0
                     ? std::string{' ', static_cast<char>(std::tolower(c))}
                     : std::string{c};
    }
    if (shown != Shown::hidden)
    {
        text += (shown == Shown::labelled ? label + ": " : "") + value.text +
                "\n";
    }
    return *this;
}

Report& Report::table(const std::string& key,
                      const std::vector<Column>& columns,
                      const std::vector<std::vector<Value>>& rows)
{
    std::vector<std::vector<std::string>> lines(1);
    auto& array = members[key] = Json::array();
    for (const Column& column : columns)
    {
        lines[0].push_back(column.heading);
    }
    for (const auto& row : rows)
    {
        auto& object = array.emplace_back(Json::object());
        lines.emplace_back();
        for (std::size_t i = 0; i < row.size(); ++i)
        {
            object[columns.at(i).key] = row[i].json;
            lines.back().push_back(row[i].text);
        }
    }
    text += text.empty() ? "" : "\n";
    for (const auto& line : lines)
    {
        for (std::size_t i = 0; i + 1 < line.size(); ++i)
        {
            std::size_t width = 0;
            for (const auto& other : lines)
            {
                width = std::max(width, other[i].size());
            }
            text += line[i] + std::string(width - line[i].size() + 2, ' ');
        }
        text += line.back() + "\n";
    }
    return *this;
}

Report& Report::dump(const std::string& key, const std::vector<DumpRow>& rows)
{
    auto& array = members[key] = Json::array();
    char cell[8];
    text += (text.empty() ? "" : "\n") + std::string(4, ' ');
    for (std::size_t column = 0; column < layout::registersPerBlock; ++column)
    {
        std::snprintf(cell, sizeof(cell), "%2zx ", column);
        text += cell;
    }
    text += "   0123456789abcdef\n";
    for (const auto& [block, read] : rows)
    {
        array.push_back(
            {{"block", block}, {"bytes", read ? bytes(*read).json : Json()}});
        // i2cdump's picture of a byte: '.' for 0x00 and 0xff, '?' for
        // other unprintable bytes; XX for a byte not read.
        std::snprintf(cell, sizeof(cell), "%2zu: ", block);
        std::string cells = cell;
        std::string ascii;
        for (std::size_t i = 0; i < layout::registersPerBlock; ++i)
        {
            const auto byte = static_cast<std::uint8_t>(read ? (*read)[i] : 0);
            std::snprintf(cell, sizeof(cell), "%02x ", byte);
            cells += read ? cell : "XX ";
            ascii += !read                          ? 'X'
                     : byte == 0x00 || byte == 0xff ? '.'
                     : std::isprint(byte) != 0      ? static_cast<char>(byte)
                                                    : '?';
        }
        text += cells + "   " + ascii + "\n";
    }
    return *this;
}

void printError(const std::string& message)
{
    std::cout.flush();
    std::cerr << "fpgatool: " << message << '\n';
}

Samples printSamples(const std::string& command,
                     const std::function<Report()>& verb, const Args& how,
                     std::ostream& out)
{
    // With --repeat and --json, a compact document a sample, a line each
    // (JSON Lines), flushed as the sample is taken: samples taken before an
    // interruption or a failure are out.
    const bool jsonLines = how.json && how.repeat > 1;
    bool wentPast = false;
    for (std::size_t sample = 0; sample < how.repeat; ++sample)
    {
        std::this_thread::sleep_for(
            std::chrono::duration<double>(sample > 0 ? how.interval : 0));
        Json document = {{"schemaVersion", schemaVersion},
                         {"command", command}};
        if (jsonLines)
        {
            document["sample"] = sample;
        }
        Report report;
        try
        {
            report = verb();
        }
        catch (const Failure& failure)
        {
            printError(failure.what());
            document["error"] = failure.toJson();
            printDocument(out, how.json ? document : Json(), jsonLines);
            return {exitFailure, false};
        }
        document.update(report.members);
        for (const Failure& problem : report.problems)
        {
            printError(problem.what());
            document["errors"].push_back(problem.toJson());
        }
        wentPast = wentPast || !report.problems.empty();
        // Samples of more than one line are set apart by a blank line.
        const std::string& text = report.text;
        const bool apart = sample > 0 && text.find('\n') + 1 < text.size();
        out << (how.json || !apart ? "" : "\n") << (how.json ? "" : text);
        printDocument(out, how.json ? document : Json(), jsonLines);
    }
    return {wentPast ? exitFailure : exitOk, true};
}

} // namespace fpgatool
