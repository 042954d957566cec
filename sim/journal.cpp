// SPDX-License-Identifier: Apache-2.0
#include "journal.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace fpga_sim
{

namespace
{

constexpr std::string_view whitespace = " \t\n\r";

std::string_view stripEnd(std::string_view text)
{
    const std::size_t end = text.find_last_not_of(whitespace);
    return text.substr(0, end == std::string_view::npos ? 0 : end + 1);
}

/** The number of a "<PRI>" (one to three digits) at the start of @p text,
 *  which then starts past it. */
std::optional<int> takePriority(std::string_view& text)
{
    const std::size_t close = text.find('>');
    if (!text.starts_with('<') || close < 2 || close > 4)
    {
        return std::nullopt;
    }
    int value = 0;
    for (const char c : text.substr(1, close - 1))
    {
        if (c < '0' || c > '9')
        {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    text.remove_prefix(close + 1);
    return value;
}

/** PRIORITY and, but for kern, SYSLOG_FACILITY of a syslog priority. */
JournalEntry priorityFields(int priority)
{
    JournalEntry entry = {{"PRIORITY", std::to_string(priority & 7)}};
    if (priority >> 3 != 0)
    {
        entry.emplace_back("SYSLOG_FACILITY", std::to_string(priority >> 3));
    }
    return entry;
}

/** The length of the RFC 3164 timestamp "Mmm dd hh:mm:ss " at the start of
 *  @p text, or 0: a letter, a space, a space or a digit, ... */
std::size_t timestampLength(std::string_view text)
{
    constexpr std::string_view shape = "aaa _0 _0:_0:_0 ";
    if (text.size() < shape.size())
    {
        return 0;
    }
    for (std::size_t i = 0; i < shape.size(); ++i)
    {
        const char c = text[i];
        const bool digit = c >= '0' && c <= '9';
        const bool fits = shape[i] == 'a'   ? std::isalpha(c) != 0
                          : shape[i] == '0' ? digit
                          : shape[i] == '_' ? digit || c == ' '
                                            : c == shape[i];
        if (!fits)
        {
            return 0;
        }
    }
    return shape.size();
}

/** "IDENTIFIER[PID]: " at the start of @p text (after white space), which
 *  then starts past it and one more white space; nothing unless the first
 *  word ends with ':'. */
std::optional<std::pair<std::string, std::optional<std::string>>>
    takeTag(std::string_view& text)
{
    const std::size_t start =
        std::min(text.find_first_not_of(whitespace), text.size());
    std::string_view word = text.substr(start);
    word = word.substr(0, word.find_first_of(whitespace));
    if (!word.ends_with(':'))
    {
        return std::nullopt;
    }
    std::size_t end = start + word.size();
    word.remove_suffix(1);
    std::optional<std::string> pid;
    const std::size_t open =
        word.ends_with(']') ? word.rfind('[') : std::string_view::npos;
    if (open != std::string_view::npos)
    {
        pid = word.substr(open + 1, word.size() - open - 2);
        word = word.substr(0, open);
    }
    end += end < text.size() &&
           whitespace.find(text[end]) != std::string_view::npos;
    text.remove_prefix(end);
    return std::pair{std::string(word), pid};
}

/** journald's booleans. */
std::optional<bool> parseBoolean(std::string_view text)
{
    static const std::array<std::pair<std::string_view, bool>, 12> words = {
        {{"1", true},
         {"yes", true},
         {"y", true},
         {"true", true},
         {"t", true},
         {"on", true},
         {"0", false},
         {"no", false},
         {"n", false},
         {"false", false},
         {"f", false},
         {"off", false}}};
    for (const auto& [word, value] : words)
    {
        if (text.size() == word.size() &&
            std::equal(text.begin(), text.end(), word.begin(),
                       [](char a, char b) { return std::tolower(a) == b; }))
        {
            return value;
        }
    }
    return std::nullopt;
}

} // namespace

JournalEntry parseJournalDatagram(const std::string& text, std::size_t* at)
{
    JournalEntry entry;
    std::size_t start = 0;
    std::size_t& pos = at != nullptr ? *at : start;
    while (pos < text.size())
    {
        const std::size_t eol = text.find('\n', pos);
        if (eol == std::string::npos)
        {
            throw std::runtime_error("journal field without newline");
        }
        const std::string line = text.substr(pos, eol - pos);
        pos = eol + 1;
        if (line.empty())
        {
            break;
        }
        const std::size_t eq = line.find('=');
        if (eq != std::string::npos)
        {
            entry.emplace_back(line.substr(0, eq), line.substr(eq + 1));
            continue;
        }
        // Binary-safe form: KEY\n, 64-bit little-endian length (as this
        // host's), value, \n.
        std::uint64_t length = 0;
        if (text.size() - pos >= sizeof(length))
        {
            std::memcpy(&length, &text[pos], sizeof(length));
        }
        pos += sizeof(length);
        if (pos >= text.size() || text.size() - pos <= length ||
            text[pos + length] != '\n')
        {
            throw std::runtime_error(
                "journal field " + line + " with a bad length");
        }
        entry.emplace_back(line, text.substr(pos, length));
        pos += length + 1;
    }
    return entry;
}

nlohmann::ordered_json journalEntryToJson(const JournalEntry& entry)
{
    nlohmann::ordered_json json = nlohmann::ordered_json::object();
    for (const auto& [key, value] : entry)
    {
        auto it = json.find(key);
        if (it == json.end())
        {
            json[key] = value;
        }
        else if (it->is_array())
        {
            it->push_back(value);
        }
        else
        {
            *it = nlohmann::ordered_json::array({*it, value});
        }
    }
    return json;
}

JournalEntry journalEntryFromJson(const nlohmann::ordered_json& json)
{
    JournalEntry entry;
    for (const auto& [key, value] : json.items())
    {
        if (value.is_array())
        {
            for (const auto& one : value)
            {
                entry.emplace_back(key, one.get<std::string>());
            }
        }
        else
        {
            entry.emplace_back(key, value.get<std::string>());
        }
    }
    return entry;
}

} // namespace fpga_sim

namespace fpga_sim
{

std::optional<JournalEntry> syslogEntry(std::string_view datagram)
{
    if (datagram.empty())
    {
        return std::nullopt;
    }
    const std::string_view stripped = stripEnd(datagram);
    std::string_view text = stripped.substr(0, stripped.find('\0'));
    const bool whole = text.size() == datagram.size();
    JournalEntry entry = priorityFields(takePriority(text).value_or(14));
    const std::string_view timestamp = text.substr(0, timestampLength(text));
    text.remove_prefix(timestamp.size());
    if (const auto tag = takeTag(text))
    {
        entry.emplace_back("SYSLOG_IDENTIFIER", tag->first);
        if (tag->second)
        {
            entry.emplace_back("SYSLOG_PID", *tag->second);
        }
    }
    if (!timestamp.empty())
    {
        entry.emplace_back("SYSLOG_TIMESTAMP", timestamp);
    }
    if (!whole || timestamp.empty())
    {
        entry.emplace_back("SYSLOG_RAW", datagram);
    }
    entry.emplace_back("MESSAGE", text);
    return entry;
}

bool JournalStream::feed(std::string_view bytes,
                         std::vector<JournalEntry>& entries)
{
    partial.append(bytes);
    std::string_view rest = partial;
    for (;;)
    {
        const std::size_t end = rest.find_first_of(std::string_view("\n\0", 2));
        const bool cut = std::min(end, rest.size()) > lineMax;
        if (end == std::string_view::npos && !cut)
        {
            break;
        }
        const std::size_t size = cut ? lineMax : end;
        const char* lineBreak = cut                 ? "line-max"
                                : rest[end] == '\0' ? "nul"
                                                    : nullptr;
        if (!line(rest.substr(0, size), lineBreak, entries))
        {
            return false;
        }
        rest.remove_prefix(cut ? size : size + 1);
    }
    partial.erase(0, partial.size() - rest.size());
    return true;
}

void JournalStream::end(std::vector<JournalEntry>& entries)
{
    if (!partial.empty())
    {
        line(partial, "eof", entries);
        partial.clear();
    }
}

bool JournalStream::line(std::string_view text, const char* lineBreak,
                         std::vector<JournalEntry>& entries)
{
    if (headerLines < 7)
    {
        return lineBreak == nullptr && headerLine(text);
    }
    text = stripEnd(text);
    int linePriority = priority;
    std::string_view rest = text;
    if (const auto given = takePriority(rest);
        levelPrefix && given && *given <= 7)
    {
        linePriority = (priority & ~7) | *given;
        text = rest;
    }
    if (text.empty())
    {
        return true;
    }
    JournalEntry entry = priorityFields(linePriority);
    if (!identifier.empty())
    {
        entry.emplace_back("SYSLOG_IDENTIFIER", identifier);
    }
    if (lineBreak != nullptr)
    {
        entry.emplace_back("_LINE_BREAK", lineBreak);
    }
    entry.emplace_back("MESSAGE", text);
    entries.push_back(std::move(entry));
    return true;
}

bool JournalStream::headerLine(std::string_view text)
{
    switch (headerLines++)
    {
        case 0:
            identifier = text;
            return true;
        case 1: // the unit: journald's own business
            return true;
        case 2:
            priority = 0;
            for (const char c : text)
            {
                priority = c >= '0' && c <= '9' && priority < 100
                               ? priority * 10 + (c - '0')
                               : 1000;
            }
            return !text.empty() && priority <= 999;
        default: // level prefix, then three forwarding flags
            const auto flag = parseBoolean(text);
            levelPrefix = headerLines == 4 ? flag.value_or(false) : levelPrefix;
            return flag.has_value();
    }
}

} // namespace fpga_sim
