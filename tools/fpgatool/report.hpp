// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <nlohmann/json.hpp>

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

/**
 * @file report.hpp
 * @brief What a verb found, independent of how it is shown.
 *
 * Every verb builds one Report: named fields, tables and hex dumps whose
 * values carry their kind (a hexadecimal register value, a bit mask, bytes,
 * a block set, text read from the hardware...). The two formatters below turn
 * any Report into the tool's text grammar or its JSON document, so the
 * presentation rules live in one place and every verb follows them.
 */
namespace fpgatool
{

/** A number shown as "0x" and @c digits hexadecimal digits in text. */
struct Hex
{
    std::uint64_t value;
    int digits;
};

/** A set of bits: text "0x<digits> [2 8]", JSON {"mask": "0x...",
 *  "bits": [2, 8]}. */
struct BitMask
{
    std::uint64_t value;
    int digits;
};

/** Register bytes: text "0x03 0xa7", JSON [3, 167]. */
struct Bytes
{
    std::vector<std::uint8_t> values;
};

/** Block numbers: text "0-8,12" ("none" when empty), JSON [0, 1, ...]. */
struct BlockSet
{
    std::bitset<64> blocks;
};

/** Text as the hardware reported it: always double-quoted in text. */
struct Quoted
{
    std::string text;
};

/** One value; null shows as "-" in text. */
using Value = std::variant<std::nullptr_t, bool, std::int64_t, std::string,
                           Quoted, Hex, BitMask, Bytes, BlockSet>;

/** A named value. */
struct Field
{
    Field(std::string key, Value value, bool inText = true,
          std::optional<std::string> label = std::nullopt) :
        key(std::move(key)),
        value(std::move(value)), inText(inText), label(std::move(label))
    {}

    std::string key;
    Value value;
    /** Whether the field shows in text at all (it always does in JSON). */
    bool inText;
    /** Text label; unset: derived from the key ("chipId" -> "chip id");
     *  empty: the value stands alone on its line. */
    std::optional<std::string> label;
};

/** A column of a Table. */
struct Column
{
    std::string key;
    std::string heading;
};

/** Rows of values under named columns. */
struct Table
{
    std::string key;
    std::vector<Column> columns;
    std::vector<std::vector<Value>> rows;
};

/** One row of a HexDump: a block's 16 register bytes, or none when the
 *  read failed. */
struct HexRow
{
    std::size_t block;
    std::optional<std::vector<std::uint8_t>> bytes;
};

/** Whole blocks as a table of 16 bytes a row, in the habit of i2cdump. */
struct HexDump
{
    std::string key;
    std::vector<HexRow> rows;
};

using Item = std::variant<Field, Table, HexDump>;

/** Everything one verb reports, in order. */
struct Report
{
    std::vector<Item> items;

    Report& add(Field field);
    Report& add(Table table);
    Report& add(HexDump dump);
};

/** Version of the JSON document; raised when a key changes meaning or goes
 *  away (adding keys keeps it). */
inline constexpr int schemaVersion = 1;

/** The text form of a value. */
std::string toText(const Value& value);

/** The text form of a report; every line ends in "\n". */
std::string toText(const Report& report);

/** The JSON form of a value. */
nlohmann::ordered_json toJson(const Value& value);

/** The report's members, to be merged into a document. */
nlohmann::ordered_json toJson(const Report& report);

/** A JSON document laid out for people as well as scripts: two spaces of
 *  indentation a level, and arrays of plain values on one line
 *  ("bytes": [3, 167, 33]). */
std::string formatJson(const nlohmann::ordered_json& document);

/** Block numbers as ranges, e.g. "0-8,12"; "none" for an empty set. */
std::string blockRanges(const std::bitset<64>& blocks);

} // namespace fpgatool
