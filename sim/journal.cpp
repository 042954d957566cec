// SPDX-License-Identifier: Apache-2.0
#include "journal.hpp"

#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace fpga_sim
{

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

nlohmann::json journalEntryToJson(const JournalEntry& entry)
{
    nlohmann::json json = nlohmann::json::object();
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
            *it = nlohmann::json::array({*it, value});
        }
    }
    return json;
}

JournalEntry journalEntryFromJson(const nlohmann::json& json)
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
