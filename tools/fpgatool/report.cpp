// SPDX-License-Identifier: Apache-2.0
#include "report.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <type_traits>

namespace fpgatool
{
namespace
{

/** Bytes of a block, the width of a HexDump row. */
constexpr std::size_t rowSize = 16;

std::string hex(std::uint64_t value, int digits)
{
    char text[24];
    std::snprintf(text, sizeof(text), "0x%0*llx", digits,
                  static_cast<unsigned long long>(value));
    return text;
}

std::vector<int> setBits(std::uint64_t value)
{
    std::vector<int> bits;
    for (int bit = 0; bit < 64; ++bit)
    {
        if ((value >> bit) & 1U)
        {
            bits.push_back(bit);
        }
    }
    return bits;
}

std::string quote(const std::string& text)
{
    std::string quoted = "\"";
    for (char c : text)
    {
        if (c == '"' || c == '\\')
        {
            quoted += '\\';
            quoted += c;
        }
        else if (std::isprint(static_cast<unsigned char>(c)) != 0)
        {
            quoted += c;
        }
        else
        {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\x%02x",
                          static_cast<unsigned char>(c));
            quoted += escaped;
        }
    }
    return quoted + "\"";
}

/** "chipId" -> "chip id". */
std::string labelOf(const std::string& key)
{
    std::string label;
    for (char c : key)
    {
        if (std::isupper(static_cast<unsigned char>(c)) != 0)
        {
            label += ' ';
            label += static_cast<char>(std::tolower(c));
        }
        else
        {
            label += c;
        }
    }
    return label;
}

std::string fieldText(const Field& field)
{
    if (!field.inText)
    {
        return "";
    }
    const std::string label = field.label.value_or(labelOf(field.key));
    const std::string value = toText(field.value);
    return (label.empty() ? value : label + ": " + value) + "\n";
}

/** Columns separated by two spaces and padded to the widest cell; the last
 *  column is not padded. */
std::string tableText(const Table& table)
{
    std::vector<std::vector<std::string>> cells;
    std::vector<std::string> heading;
    for (const Column& column : table.columns)
    {
        heading.push_back(column.heading);
    }
    cells.push_back(std::move(heading));
    for (const auto& row : table.rows)
    {
        std::vector<std::string> line;
        for (const Value& value : row)
        {
            line.push_back(toText(value));
        }
        cells.push_back(std::move(line));
    }

    std::vector<std::size_t> widths(table.columns.size(), 0);
    for (const auto& line : cells)
    {
        for (std::size_t i = 0; i < line.size() && i < widths.size(); ++i)
        {
            widths[i] = std::max(widths[i], line[i].size());
        }
    }

    std::string text;
    for (const auto& line : cells)
    {
        for (std::size_t i = 0; i < line.size(); ++i)
        {
            text += line[i];
            if (i + 1 < line.size())
            {
                text += std::string(widths[i] - line[i].size() + 2, ' ');
            }
        }
        text += '\n';
    }
    return text;
}

/** i2cdump's picture of a byte: '.' for 0x00 and 0xff, '?' for other
 *  unprintable bytes, the character itself otherwise. */
char asciiOf(std::uint8_t byte)
{
    if (byte == 0x00 || byte == 0xff)
    {
        return '.';
    }
    return (byte < 0x20 || byte >= 0x7f) ? '?' : static_cast<char>(byte);
}

std::string hexDumpText(const HexDump& dump)
{
    std::string text = "    ";
    for (std::size_t column = 0; column < rowSize; ++column)
    {
        char heading[4];
        std::snprintf(heading, sizeof(heading), "%2zx ", column);
        text += heading;
    }
    text += "   0123456789abcdef\n";
    for (const HexRow& row : dump.rows)
    {
        char label[8];
        std::snprintf(label, sizeof(label), "%2zu: ", row.block);
        std::string bytes;
        std::string ascii;
        for (std::size_t i = 0; i < rowSize; ++i)
        {
            if (!row.bytes || i >= row.bytes->size())
            {
                bytes += "XX ";
                ascii += 'X';
                continue;
            }
            char cell[4];
            std::snprintf(cell, sizeof(cell), "%02x ", (*row.bytes)[i]);
            bytes += cell;
            ascii += asciiOf((*row.bytes)[i]);
        }
        text += label + bytes + "   " + ascii + "\n";
    }
    return text;
}

bool isFlat(const nlohmann::ordered_json& array)
{
    return std::none_of(array.begin(), array.end(), [](const auto& element) {
        return element.is_structured();
    });
}

void appendJson(std::string& text, const nlohmann::ordered_json& value,
                const std::string& indent)
{
    if (!value.is_structured() || value.empty() ||
        (value.is_array() && isFlat(value)))
    {
        // One line; dump() separates array elements with "," alone.
        if (!value.is_array())
        {
            text += value.dump();
            return;
        }
        text += '[';
        for (std::size_t i = 0; i < value.size(); ++i)
        {
            text += (i == 0 ? "" : ", ") + value[i].dump();
        }
        text += ']';
        return;
    }
    const std::string inner = indent + "  ";
    text += value.is_array() ? "[\n" : "{\n";
    bool first = true;
    for (auto it = value.begin(); it != value.end(); ++it)
    {
        text += (first ? "" : ",\n") + inner;
        first = false;
        if (value.is_object())
        {
            text += nlohmann::ordered_json(it.key()).dump() + ": ";
        }
        appendJson(text, *it, inner);
    }
    text += "\n" + indent + (value.is_array() ? "]" : "}");
}

} // namespace

std::string formatJson(const nlohmann::ordered_json& document)
{
    std::string text;
    appendJson(text, document, "");
    return text + "\n";
}

Report& Report::add(Field field)
{
    items.emplace_back(std::move(field));
    return *this;
}

Report& Report::add(Table table)
{
    items.emplace_back(std::move(table));
    return *this;
}

Report& Report::add(HexDump dump)
{
    items.emplace_back(std::move(dump));
    return *this;
}

std::string blockRanges(const std::bitset<64>& blocks)
{
    std::string text;
    for (std::size_t block = 0; block < blocks.size(); ++block)
    {
        if (!blocks[block])
        {
            continue;
        }
        std::size_t last = block;
        while (last + 1 < blocks.size() && blocks[last + 1])
        {
            ++last;
        }
        if (!text.empty())
        {
            text += ',';
        }
        text += std::to_string(block);
        if (last > block)
        {
            text += '-' + std::to_string(last);
        }
        block = last;
    }
    return text.empty() ? "none" : text;
}

std::string toText(const Value& value)
{
    return std::visit(
        [](const auto& v) -> std::string {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::nullptr_t>)
            {
                return "-";
            }
            else if constexpr (std::is_same_v<T, bool>)
            {
                return v ? "yes" : "no";
            }
            else if constexpr (std::is_same_v<T, std::int64_t>)
            {
                return std::to_string(v);
            }
            else if constexpr (std::is_same_v<T, std::string>)
            {
                return v;
            }
            else if constexpr (std::is_same_v<T, Quoted>)
            {
                return quote(v.text);
            }
            else if constexpr (std::is_same_v<T, Hex>)
            {
                return hex(v.value, v.digits);
            }
            else if constexpr (std::is_same_v<T, BitMask>)
            {
                std::string bits;
                for (int bit : setBits(v.value))
                {
                    bits += (bits.empty() ? "" : " ") + std::to_string(bit);
                }
                return hex(v.value, v.digits) + " [" + bits + "]";
            }
            else if constexpr (std::is_same_v<T, Bytes>)
            {
                std::string text;
                for (std::uint8_t byte : v.values)
                {
                    text += (text.empty() ? "" : " ") + hex(byte, 2);
                }
                return text;
            }
            else
            {
                return blockRanges(v.blocks);
            }
        },
        value);
}

nlohmann::ordered_json toJson(const Value& value)
{
    return std::visit(
        [](const auto& v) -> nlohmann::ordered_json {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, Quoted>)
            {
                return v.text;
            }
            else if constexpr (std::is_same_v<T, Hex>)
            {
                return v.value;
            }
            else if constexpr (std::is_same_v<T, BitMask>)
            {
                return {{"mask", hex(v.value, v.digits)},
                        {"bits", setBits(v.value)}};
            }
            else if constexpr (std::is_same_v<T, Bytes>)
            {
                return v.values;
            }
            else if constexpr (std::is_same_v<T, BlockSet>)
            {
                auto blocks = nlohmann::ordered_json::array();
                for (std::size_t block = 0; block < v.blocks.size(); ++block)
                {
                    if (v.blocks[block])
                    {
                        blocks.push_back(block);
                    }
                }
                return blocks;
            }
            else
            {
                return v;
            }
        },
        value);
}

std::string toText(const Report& report)
{
    // A table or dump that follows other lines is set off by a blank line.
    std::string text;
    for (const Item& item : report.items)
    {
        if (const auto* field = std::get_if<Field>(&item))
        {
            text += fieldText(*field);
            continue;
        }
        if (!text.empty())
        {
            text += '\n';
        }
        if (const auto* table = std::get_if<Table>(&item))
        {
            text += tableText(*table);
        }
        else
        {
            text += hexDumpText(std::get<HexDump>(item));
        }
    }
    return text;
}

nlohmann::ordered_json toJson(const Report& report)
{
    auto members = nlohmann::ordered_json::object();
    for (const Item& item : report.items)
    {
        if (const auto* field = std::get_if<Field>(&item))
        {
            members[field->key] = toJson(field->value);
        }
        else if (const auto* table = std::get_if<Table>(&item))
        {
            auto rows = nlohmann::ordered_json::array();
            for (const auto& row : table->rows)
            {
                auto object = nlohmann::ordered_json::object();
                for (std::size_t i = 0; i < row.size(); ++i)
                {
                    object[table->columns.at(i).key] = toJson(row[i]);
                }
                rows.push_back(std::move(object));
            }
            members[table->key] = std::move(rows);
        }
        else
        {
            const auto& dump = std::get<HexDump>(item);
            auto rows = nlohmann::ordered_json::array();
            for (const HexRow& row : dump.rows)
            {
                rows.push_back(
                    {{"block", row.block},
                     {"bytes", row.bytes ? nlohmann::ordered_json(*row.bytes)
                                         : nlohmann::ordered_json()}});
            }
            members[dump.key] = std::move(rows);
        }
    }
    return members;
}

} // namespace fpgatool
