// SPDX-License-Identifier: Apache-2.0
#include "attribute_kinds.hpp"

#include "base/device_layout.hpp"
#include "field_reader.hpp"

#include <bitset>
#include <charconv>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <regex>

namespace fpga_sim
{

namespace
{

using nlohmann::json;
namespace layout = tavrin_fpga::layout;

const std::regex hexPattern("(0[xX])?[0-9a-fA-F]{1,8}");
const std::regex bitsPattern("[01]{1," + std::to_string(layout::blockCount) +
                             "}");
const std::regex hpmPattern("local|remote[0-9]");

/** A typed attribute kind: reads its JSON form, and recovers it from a text
 *  when the text is in canonical typed form. */
struct AttrKind
{
    std::string expected;
    /** The integers the kind takes, as the text it serves keeps them;
     *  none: no number is one of its values. */
    std::optional<std::pair<std::int64_t, std::int64_t>> integers;
    std::function<std::optional<std::string>(const json&)> toText;
    std::function<std::optional<json>(const std::string&)> fromLine;
};

std::optional<std::string> lineOf(const std::string& text)
{
    if (text.empty() || text.back() != '\n' ||
        text.find('\n') != text.size() - 1)
    {
        return std::nullopt;
    }
    return text.substr(0, text.size() - 1);
}

std::optional<json> matching(const std::string& line, const std::regex& re)
{
    if (std::regex_match(line, re))
    {
        return json(line);
    }
    return std::nullopt;
}

using BlockSet = std::bitset<layout::blockCount>;

json blockList(const BlockSet& set)
{
    json list = json::array();
    for (std::size_t block = 0; block < set.size();)
    {
        if (!set.test(block))
        {
            ++block;
            continue;
        }
        std::size_t last = block;
        while (last + 1 < set.size() && set.test(last + 1))
        {
            ++last;
        }
        if (last - block >= 2)
        {
            list.push_back(std::to_string(block) + "-" + std::to_string(last));
        }
        else
        {
            for (std::size_t b = block; b <= last; ++b)
            {
                list.push_back(b);
            }
        }
        block = last + 1;
    }
    return list;
}

BlockSet blockSet(const json& list, const std::string& path)
{
    static const std::regex range("([0-9]{1,2})-([0-9]{1,2})");
    BlockSet set;
    for (std::size_t i = 0; i < list.size(); ++i)
    {
        const json& entry = list[i];
        const std::string where = element(path, i);
        if (entry.is_string())
        {
            std::smatch m;
            const std::string text = entry.get<std::string>();
            if (!std::regex_match(text, m, range))
            {
                bad(where, "\"" + text +
                               "\" is not a block range like "
                               "\"4-8\"");
            }
            const auto first = std::stoul(m[1]);
            const auto last = std::stoul(m[2]);
            if (first > last)
            {
                bad(where,
                    "range \"" + text + "\" is reversed: write it \"" +
                        std::string(m[2]) + "-" + std::string(m[1]) + "\"");
            }
            if (last > layout::maxBlock)
            {
                bad(where, "range \"" + text + "\" must lie within 0-" +
                               std::to_string(layout::maxBlock));
            }
            for (auto b = first; b <= last; ++b)
            {
                set.set(b);
            }
        }
        else
        {
            set.set(unsignedIn(entry, where, 0, layout::maxBlock));
        }
    }
    return set;
}

std::optional<std::string> detectedText(const json& v)
{
    if (v.is_boolean())
    {
        return v.get<bool>() ? "1\n" : "0\n";
    }
    if (v.is_number_integer())
    {
        return std::to_string(v.get<std::int64_t>()) + "\n";
    }
    return std::nullopt;
}

std::optional<json> detectedLine(const std::string& line)
{
    if (line == "0" || line == "1")
    {
        return json(line == "1");
    }
    // Any integer the text keeps, written as it is served.
    std::int64_t number = 0;
    const char* end = line.data() + line.size();
    if (std::from_chars(line.data(), end, number).ptr == end &&
        std::to_string(number) == line)
    {
        return json(number);
    }
    return std::nullopt;
}

std::optional<std::string> hexNumberText(const json& v)
{
    if (v.is_string() && std::regex_match(v.get<std::string>(), hexPattern))
    {
        return v.get<std::string>() + "\n";
    }
    if (v.is_number_integer())
    {
        return hex(v.get<std::uint64_t>()) + "\n";
    }
    return std::nullopt;
}

std::optional<std::string> firmwareText(const json& v)
{
    if (v.is_string() && v.get<std::string>().find('\n') == std::string::npos)
    {
        return v.get<std::string>() + "\n";
    }
    return std::nullopt;
}

std::optional<std::string> blocksText(const json& v)
{
    if (v.is_array())
    {
        // Validated by blockSet() before this runs.
        return blockSet(v, "").to_string() + "\n";
    }
    if (v.is_string() && std::regex_match(v.get<std::string>(), bitsPattern))
    {
        return v.get<std::string>() + "\n";
    }
    return std::nullopt;
}

std::optional<json> blocksLine(const std::string& line)
{
    if (!std::regex_match(line, bitsPattern))
    {
        return std::nullopt;
    }
    if (line.size() == layout::blockCount)
    {
        return blockList(BlockSet(line));
    }
    return json(line);
}

std::optional<std::string> hpmText(const json& v)
{
    if (v.is_string() && std::regex_match(v.get<std::string>(), hpmPattern))
    {
        return v.get<std::string>() + "\n";
    }
    return std::nullopt;
}

const AttrKind& attrKind(const std::string& name)
{
    static const std::map<std::string, AttrKind> kinds = {
        {"detected",
         {"true, false or an integer",
          std::pair{std::numeric_limits<std::int64_t>::min(),
                    std::numeric_limits<std::int64_t>::max()},
          detectedText, detectedLine}},
        {"chipId",
         {"a hexadecimal string such as \"0x7a\" or an unsigned integer",
          std::pair<std::int64_t, std::int64_t>{0, 0xFFFFFFFF}, hexNumberText,
          [](const std::string& line) { return matching(line, hexPattern); }}},
        {"fwVersion",
         {"a one-line string such as \"3 12\"", std::nullopt, firmwareText,
          [](const std::string& line) -> std::optional<json> {
              return json(line);
          }}},
        {"blocks",
         {"a list of blocks and ranges such as [0, 1, \"4-8\"] or a string "
          "of up to " +
              std::to_string(layout::blockCount) +
              " \"0\"/\"1\" characters, highest block first",
          std::nullopt, blocksText, blocksLine}},
        {"hpmChip",
         {"\"local\" or \"remote0\" to \"remote9\"", std::nullopt, hpmText,
          [](const std::string& line) { return matching(line, hpmPattern); }}},
    };
    return kinds.at(name == "ifaceVer" ? "chipId" : name);
}

} // namespace

std::string attrText(const std::string& kind, const json& value,
                     const std::string& path)
{
    if (value.is_object())
    {
        onlyKeys(value, path, {"raw", "rawHex"});
        if (value.size() != 1)
        {
            bad(path, "expected {\"raw\": TEXT} or {\"rawHex\": \"HEX "
                      "BYTES\"}");
        }
        if (value.contains("raw"))
        {
            return string(value.at("raw"), field(path, "raw"));
        }
        const std::string where = field(path, "rawHex");
        const auto bytes = hexBytes(string(value.at("rawHex"), where), where);
        return {bytes.begin(), bytes.end()};
    }
    if (kind == "blocks" && value.is_array())
    {
        blockSet(value, path);
    }
    const AttrKind& k = attrKind(kind);
    if (value.is_number() && k.integers)
    {
        const auto [low, high] = *k.integers;
        return *k.toText(integerIn(value, path, low, high));
    }
    if (auto text = k.toText(value))
    {
        return *text;
    }
    bad(path, "expected " + k.expected +
                  ", or {\"raw\": TEXT} "
                  "for a malformed attribute; got " +
                  value.dump());
}

json attrJson(const std::string& kind, const std::string& text)
{
    if (auto line = lineOf(text); line && isUtf8(text))
    {
        if (auto typed = attrKind(kind).fromLine(*line))
        {
            // Only when reading it back gives exactly this text.
            if (attrKind(kind).toText(*typed) == text)
            {
                return *typed;
            }
        }
    }
    if (!isUtf8(text))
    {
        return json{{"rawHex", hexText(text)}};
    }
    return json{{"raw", text}};
}

} // namespace fpga_sim
