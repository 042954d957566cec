// SPDX-License-Identifier: Apache-2.0
#include "board_json.hpp"

#include "change.hpp"

#include <algorithm>
#include <bitset>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <regex>
#include <set>
#include <sstream>
#include <utility>

namespace fpga_sim
{

using nlohmann::json;

BoardError::BoardError(const std::string& path, const std::string& problem) :
    std::runtime_error(path.empty() ? problem : path + ": " + problem),
    where(path), what_(problem)
{}

std::string errnoName(int error)
{
    const char* name = ::strerrorname_np(error);
    return name != nullptr ? name : std::to_string(error);
}

namespace
{

[[noreturn]] void bad(const std::string& path, const std::string& problem)
{
    throw BoardError(path, problem);
}

std::string hex(std::uint64_t value)
{
    std::ostringstream out;
    out << "0x" << std::hex << value;
    return out.str();
}

std::string field(const std::string& path, const std::string& key)
{
    return path.empty() ? key : path + "." + key;
}

std::string element(const std::string& path, std::size_t index)
{
    return path + "[" + std::to_string(index) + "]";
}

/** Complains about keys of @p object that are not in @p known. */
void onlyKeys(const json& object, const std::string& path,
              std::initializer_list<const char*> known)
{
    for (const auto& [key, value] : object.items())
    {
        if (std::none_of(known.begin(), known.end(),
                         [&](const char* k) { return key == k; }))
        {
            std::string list;
            for (const char* k : known)
            {
                list += list.empty() ? "" : ", ";
                list += k;
            }
            bad(field(path, key), "unknown field (known: " + list + ")");
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

std::uint64_t unsignedIn(const json& value, const std::string& path,
                         std::uint64_t low, std::uint64_t high)
{
    if (!value.is_number_unsigned() &&
        !(value.is_number_integer() && value.get<std::int64_t>() >= 0))
    {
        bad(path, "expected an unsigned integer, got " + value.dump());
    }
    const auto number = value.get<std::uint64_t>();
    if (number < low || number > high)
    {
        bad(path, std::to_string(number) + " is out of range " +
                      std::to_string(low) + "-" + std::to_string(high));
    }
    return number;
}

/** A user or group id; -1 (4294967295) means "no change" to chown. */
std::uint32_t id(const json& value, const std::string& path)
{
    return static_cast<std::uint32_t>(unsignedIn(value, path, 0, 0xFFFFFFFE));
}

/** Permission bits in octal digits, as chmod takes them: "0660". */
unsigned modeFromJson(const json& value, const std::string& path)
{
    const std::string text = value.is_string() ? value.get<std::string>() : "";
    if (text.empty() || text.size() > 4 ||
        text.find_first_not_of("01234567") != std::string::npos ||
        std::stoul(text, nullptr, 8) > 0777)
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

/** Bytes written as two-digit hex numbers, spaces optional between them. */
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

// --- attribute texts ------------------------------------------------------
//
// Every attribute is written either typed (a number, a hex string, a block
// list, ...) or as {"raw": TEXT}, which is used verbatim and is how a board
// file gives a malformed attribute on purpose. Typed values get sysfs's
// trailing newline.

const std::regex hexPattern("(0[xX])?[0-9a-fA-F]{1,8}");
const std::regex bitsPattern("[01]{1," + std::to_string(layout::blockCount) +
                             "}");
const std::regex hpmPattern("local|remote[0-9]");
const std::regex integerPattern("-?[0-9]{1,9}");

/** A typed attribute kind: reads its JSON form, and recovers it from a text
 *  when the text is in canonical typed form. */
struct AttrKind
{
    std::string expected;
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
            if (first > last || last > layout::maxBlock)
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

const AttrKind& attrKind(const std::string& name)
{
    static const AttrKind detected{
        "true, false or an integer",
        [](const json& v) -> std::optional<std::string> {
            if (v.is_boolean())
            {
                return v.get<bool>() ? "1\n" : "0\n";
            }
            if (v.is_number_integer())
            {
                return std::to_string(v.get<std::int64_t>()) + "\n";
            }
            return std::nullopt;
        },
        [](const std::string& line) -> std::optional<json> {
            if (line == "0" || line == "1")
            {
                return json(line == "1");
            }
            if (std::regex_match(line, integerPattern) &&
                std::to_string(std::stol(line)) == line)
            {
                return json(std::stol(line));
            }
            return std::nullopt;
        }};
    static const AttrKind hexNumber{
        "a hexadecimal string such as \"0x7a\" or an unsigned integer",
        [](const json& v) -> std::optional<std::string> {
            if (v.is_string() &&
                std::regex_match(v.get<std::string>(), hexPattern))
            {
                return v.get<std::string>() + "\n";
            }
            if (v.is_number_integer() && v.get<std::int64_t>() >= 0 &&
                v.get<std::int64_t>() <= 0xFFFFFFFF)
            {
                return hex(v.get<std::uint64_t>()) + "\n";
            }
            return std::nullopt;
        },
        [](const std::string& line) { return matching(line, hexPattern); }};
    static const AttrKind firmware{
        "a one-line string such as \"3 12\"",
        [](const json& v) -> std::optional<std::string> {
            if (v.is_string() &&
                v.get<std::string>().find('\n') == std::string::npos)
            {
                return v.get<std::string>() + "\n";
            }
            return std::nullopt;
        },
        [](const std::string& line) -> std::optional<json> {
            return json(line);
        }};
    static const AttrKind blocks{
        "a list of blocks and ranges such as [0, 1, \"4-8\"] or a string of "
        "up to " +
            std::to_string(layout::blockCount) +
            " \"0\"/\"1\" characters, highest block first",
        [](const json& v) -> std::optional<std::string> {
            if (v.is_array())
            {
                // Validated by blockSet() before this runs.
                return blockSet(v, "").to_string() + "\n";
            }
            if (v.is_string() &&
                std::regex_match(v.get<std::string>(), bitsPattern))
            {
                return v.get<std::string>() + "\n";
            }
            return std::nullopt;
        },
        [](const std::string& line) -> std::optional<json> {
            if (!std::regex_match(line, bitsPattern))
            {
                return std::nullopt;
            }
            if (line.size() == layout::blockCount)
            {
                return blockList(BlockSet(line));
            }
            return json(line);
        }};
    static const AttrKind hpm{
        "\"local\" or \"remote0\" to \"remote9\"",
        [](const json& v) -> std::optional<std::string> {
            if (v.is_string() &&
                std::regex_match(v.get<std::string>(), hpmPattern))
            {
                return v.get<std::string>() + "\n";
            }
            return std::nullopt;
        },
        [](const std::string& line) { return matching(line, hpmPattern); }};
    static const std::map<std::string, const AttrKind*> kinds = {
        {"detected", &detected},  {"chipId", &hexNumber},
        {"ifaceVer", &hexNumber}, {"fwVersion", &firmware},
        {"blocks", &blocks},      {"hpmChip", &hpm}};
    return *kinds.at(name);
}

/** Whether @p text is well-formed UTF-8 (no overlong forms, surrogates or
 *  code points past U+10FFFF), which a JSON string can carry. */
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

// --- chips ------------------------------------------------------------------

ChipAttributes chipFromJson(const json& value, const std::string& path)
{
    object(value, path);
    onlyKeys(value, path,
             {"detected", "chipId", "ifaceVer", "fwVersion", "blocks"});
    ChipAttributes chip;
    for (const ChipField& f : chipFields)
    {
        if (value.contains(f.key))
        {
            chip.*f.text = attrText(f.key, value.at(f.key), field(path, f.key));
        }
    }
    return chip;
}

json chipToJson(const ChipAttributes& chip)
{
    json out = json::object();
    for (const ChipField& f : chipFields)
    {
        if (chip.*f.text)
        {
            out[f.key] = attrJson(f.key, *(chip.*f.text));
        }
    }
    return out;
}

/** "local" or "r<index>" (no leading zeros) to a remote index. */
std::optional<std::size_t> remoteIndex(const std::string& key)
{
    static const std::regex pattern("r(0|[1-9][0-9]{0,2})");
    if (!std::regex_match(key, pattern))
    {
        return std::nullopt;
    }
    return std::stoul(key.substr(1));
}

// --- nodes ------------------------------------------------------------------

const std::pair<const char*, NodeFault> nodeFaults[] = {
    {"none", NodeFault::none},         {"missing", NodeFault::missing},
    {"readOnly", NodeFault::readOnly}, {"truncated", NodeFault::truncated},
    {"fifo", NodeFault::fifo},
};

const std::pair<const char*, FaultOps> faultOps[] = {
    {"read", FaultOps::read},
    {"write", FaultOps::write},
    {"both", FaultOps::both},
};

template <typename Value, std::size_t N>
Value named(const std::pair<const char*, Value> (&table)[N], const json& v,
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

template <typename Value, std::size_t N>
const char* nameOf(const std::pair<const char*, Value> (&table)[N], Value value)
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

/** The highest errno value with a name: what a driver returns. */
int lastErrno()
{
    static const int last = [] {
        int error = 511; // 512 and up are the kernel's own; FUSE refuses them
        while (::strerrorname_np(error) == nullptr)
        {
            --error;
        }
        return error;
    }();
    return last;
}

int errnoFromJson(const json& value, const std::string& path)
{
    int error = 0;
    if (value.is_number())
    {
        error = static_cast<int>(unsignedIn(value, path, 1, lastErrno()));
    }
    else
    {
        const std::string name = string(value, path);
        for (int known = 1; known <= lastErrno() && error == 0; ++known)
        {
            const char* knownName = ::strerrorname_np(known);
            error = knownName != nullptr && name == knownName ? known : 0;
        }
        if (error == 0)
        {
            bad(path, "\"" + name + "\" is not an errno name such as \"EIO\"");
        }
    }
    if (::strerrorname_np(error) == nullptr)
    {
        bad(path, std::to_string(error) + " is not an errno a driver returns");
    }
    if (error == EINTR)
    {
        bad(path, "EINTR is refused: callers retry an interrupted transfer, "
                  "so every transfer would retry forever");
    }
    return error;
}

std::vector<std::uint8_t> bytesFromJson(const json& value,
                                        const std::string& path)
{
    std::vector<std::uint8_t> bytes;
    if (value.is_array())
    {
        for (std::size_t i = 0; i < value.size(); ++i)
        {
            bytes.push_back(static_cast<std::uint8_t>(
                unsignedIn(value[i], element(path, i), 0, 255)));
        }
    }
    else if (value.is_string())
    {
        bytes = hexBytes(value.get<std::string>(), path);
    }
    else
    {
        bad(path, "expected a string of hex bytes such as \"03 a7\" or a "
                  "list of numbers, got " +
                      value.dump());
    }
    if (bytes.empty())
    {
        bad(path, "no bytes given");
    }
    return bytes;
}

/** A device node of the board file and the end of its window. */
struct NodeInfo
{
    const layout::Node& device;
    std::uint64_t window;
};

NodeInfo nodeInfo(const std::string& path)
{
    const layout::Node& device = nodeAt(path);
    return {device, layout::window(device.mode)};
}

std::uint64_t registerPosition(const json& entry, const std::string& path,
                               const NodeInfo& info)
{
    if (entry.contains("position"))
    {
        onlyKeys(entry, path, {"position", "bytes"});
        return unsignedIn(entry.at("position"), field(path, "position"), 0,
                          info.window - 1);
    }
    if (info.device.mode == Mode::normal)
    {
        onlyKeys(entry, path, {"block", "offset", "bytes"});
    }
    else
    {
        onlyKeys(entry, path,
                 {"block", "offset", "page", "pageDataOffset", "bytes"});
    }
    for (const char* key : {"block", "offset"})
    {
        if (!entry.contains(key))
        {
            bad(path,
                std::string("missing \"") + key + "\" (or give \"position\")");
        }
    }
    const auto coordinate = [&](const char* key, std::uint64_t max) {
        return entry.contains(key)
                   ? unsignedIn(entry.at(key), field(path, key), 0, max)
                   : 0;
    };
    const auto block = coordinate("block", layout::maxBlock);
    const auto offset = coordinate("offset", layout::maxOffset);
    if (info.device.mode == Mode::normal)
    {
        return normalPosition(block, offset);
    }
    const auto page = coordinate("page", info.device.location == Location::local
                                             ? layout::maxPage
                                             : layout::remotePageMask);
    const auto pageDataOffset =
        coordinate("pageDataOffset", layout::maxPageDataOffset);
    return adiPosition(info.device.location, block, offset, page,
                       pageDataOffset);
}

void registersFromJson(const json& list, const std::string& path,
                       const NodeInfo& info, Node& node)
{
    if (!list.is_array())
    {
        bad(path, "expected a list of register entries");
    }
    // Accepted entries by first position: their end and their index. They
    // never overlap, so the one before a new entry's start and those that
    // start within it are all it can meet.
    std::map<std::uint64_t, std::pair<std::uint64_t, std::size_t>> setBy;
    for (std::size_t i = 0; i < list.size(); ++i)
    {
        const std::string where = element(path, i);
        const json& entry = object(list[i], where);
        if (!entry.contains("bytes"))
        {
            bad(where, "missing \"bytes\"");
        }
        const std::uint64_t start = registerPosition(entry, where, info);
        const auto bytes =
            bytesFromJson(entry.at("bytes"), field(where, "bytes"));
        const std::uint64_t end = start + bytes.size();
        if (end > info.window)
        {
            bad(field(where, "bytes"),
                std::to_string(bytes.size()) + " bytes from position " +
                    hex(start) + " run past the end of the node (" +
                    hex(info.window) + ")");
        }
        auto after = setBy.lower_bound(start);
        if (after != setBy.begin())
        {
            const auto before = std::prev(after);
            if (before->second.first > start)
            {
                bad(where, "position " + hex(start) + " is already set by " +
                               element(path, before->second.second));
            }
        }
        if (after != setBy.end() && after->first < end)
        {
            bad(where, "position " + hex(after->first) + " is already set by " +
                           element(path, after->second.second));
        }
        setBy.emplace_hint(after, start, std::pair{end, i});
        node.bytes.set(start, bytes.data(), bytes.size());
    }
}

Node nodeFromJson(const json& value, const std::string& path,
                  const NodeInfo& info)
{
    object(value, path);
    onlyKeys(value, path,
             {"mode", "owner", "group", "fault", "size", "maxRead", "fail",
              "registers"});
    Node node;
    if (value.contains("mode"))
    {
        node.mode = modeFromJson(value.at("mode"), field(path, "mode"));
    }
    const std::pair<const char*, std::uint32_t Node::*> ids[] = {
        {"owner", &Node::owner}, {"group", &Node::group}};
    for (const auto& [key, member] : ids)
    {
        if (value.contains(key))
        {
            node.*member = id(value.at(key), field(path, key));
        }
    }
    if (value.contains("fault"))
    {
        node.fault = named(nodeFaults, value.at("fault"), field(path, "fault"));
    }
    if (node.fault == NodeFault::truncated)
    {
        if (!value.contains("size"))
        {
            bad(path, "a \"truncated\" node needs a \"size\"");
        }
        node.truncatedSize = unsignedIn(value.at("size"), field(path, "size"),
                                        0, info.window - 1);
    }
    else if (value.contains("size"))
    {
        bad(field(path, "size"), "only a \"truncated\" node has a size");
    }
    if (value.contains("maxRead"))
    {
        node.maxRead =
            unsignedIn(value.at("maxRead"), field(path, "maxRead"), 1, 1 << 20);
    }
    if (value.contains("fail"))
    {
        const json& list = value.at("fail");
        if (!list.is_array())
        {
            bad(field(path, "fail"), "expected a list of failures");
        }
        for (std::size_t i = 0; i < list.size(); ++i)
        {
            const std::string where = element(field(path, "fail"), i);
            const json& entry = object(list[i], where);
            onlyKeys(entry, where, {"errno", "on", "block"});
            if (!entry.contains("errno"))
            {
                bad(where, "missing \"errno\"");
            }
            TransferFault fault;
            fault.error =
                errnoFromJson(entry.at("errno"), field(where, "errno"));
            if (entry.contains("on"))
            {
                fault.ops = named(faultOps, entry.at("on"), field(where, "on"));
            }
            if (entry.contains("block"))
            {
                fault.block =
                    unsignedIn(entry.at("block"), field(where, "block"), 0,
                               layout::maxBlock);
            }
            node.failures.push_back(fault);
        }
    }
    if (value.contains("registers"))
    {
        registersFromJson(value.at("registers"), field(path, "registers"), info,
                          node);
    }
    return node;
}

json registerEntry(const NodeInfo& info, std::uint64_t start)
{
    const auto [block, offset, page, pageDataOffset] =
        layout::coordinates(info.device.mode, start);
    if (info.device.mode == Mode::normal)
    {
        return {{"block", block}, {"offset", offset}};
    }
    if (adiPosition(info.device.location, block, offset, page,
                    pageDataOffset) != start)
    {
        return {{"position", start}};
    }
    return {{"block", block},
            {"offset", offset},
            {"page", page},
            {"pageDataOffset", pageDataOffset}};
}

json nodeToJson(const Node& node, const NodeInfo& info)
{
    json out = json::object();
    if (node.mode != Node{}.mode)
    {
        out["mode"] = modeText(node.mode);
    }
    for (const auto& [key, id] :
         {std::pair{"owner", node.owner}, std::pair{"group", node.group}})
    {
        if (id != 0)
        {
            out[key] = id;
        }
    }
    if (node.fault != NodeFault::none)
    {
        out["fault"] = nameOf(nodeFaults, node.fault);
    }
    if (node.fault == NodeFault::truncated)
    {
        out["size"] = node.truncatedSize;
    }
    if (node.maxRead != 0)
    {
        out["maxRead"] = node.maxRead;
    }
    for (const TransferFault& fault : node.failures)
    {
        json entry = {{"errno", errnoName(fault.error)},
                      {"on", nameOf(faultOps, fault.ops)}};
        if (fault.block)
        {
            entry["block"] = *fault.block;
        }
        out["fail"].push_back(entry);
    }
    // Runs of consecutive bytes; normal-mode runs end at block boundaries so
    // that each entry names one block.
    static const char digits[] = "0123456789abcdef";
    for (const Registers::Run& run : node.bytes.runs())
    {
        for (std::size_t first = 0; first < run.bytes.size();)
        {
            const std::uint64_t start = run.start + first;
            const std::size_t count =
                info.device.mode == Mode::adi
                    ? run.bytes.size() - first
                    : std::min<std::size_t>(
                          run.bytes.size() - first,
                          layout::registersPerBlock -
                              start % layout::registersPerBlock);
            std::string bytes;
            bytes.reserve(3 * count);
            for (std::size_t i = first; i < first + count; ++i)
            {
                bytes += i == first ? "" : " ";
                bytes += digits[run.bytes[i] >> 4];
                bytes += digits[run.bytes[i] & 0xF];
            }
            json entry = start < info.window ? registerEntry(info, start)
                                             : json{{"position", start}};
            entry["bytes"] = std::move(bytes);
            out["registers"].push_back(std::move(entry));
            first += count;
        }
    }
    return out;
}

/** A probe directory's name in board files: its last component. */
constexpr const char* probeDirName(std::size_t probeDir)
{
    const std::string_view dir = layout::probeDirs[probeDir];
    return dir.substr(dir.rfind('/') + 1).data();
}

const std::pair<const char*, ProbeDirs> probeNames[] = {
    {probeDirName(0), ProbeDirs::spi22},
    {probeDirName(1), ProbeDirs::spi20},
    {"both", ProbeDirs::both},
    {"none", ProbeDirs::none},
};

/** The node names, as "fpga-cdev, fpga-adi, fpga-r0 to fpga-r3, ...". */
std::string nodeNames()
{
    const auto name = [](Location location, std::size_t index, Mode mode) {
        return std::string(layout::node(location, index, mode).name);
    };
    std::string names;
    for (Mode mode : {Mode::normal, Mode::adi})
    {
        names += (names.empty() ? "" : ", ") + name(Location::local, 0, mode);
    }
    for (Mode mode : {Mode::normal, Mode::adi})
    {
        names += ", " + name(Location::remote, 0, mode) + " to " +
                 name(Location::remote, layout::remoteCount - 1, mode);
    }
    return names;
}

/** "line L, column C" of byte @p offset of @p text (counted from 1). */
std::string textPlace(const std::string& text, std::size_t offset)
{
    offset = std::min(offset, text.size());
    const auto line = 1 + std::count(text.begin(), text.begin() + offset, '\n');
    const auto lineStart = text.rfind('\n', offset == 0 ? 0 : offset - 1);
    const std::size_t column = lineStart == std::string::npos || offset == 0
                                   ? offset
                                   : offset - lineStart - 1;
    return "line " + std::to_string(line) + ", column " +
           std::to_string(column + 1);
}

/** Where @p key goes among its siblings in the canonical text. */
std::pair<std::size_t, std::string> keyOrder(const std::string& key)
{
    static const std::vector<std::string> order = [] {
        // clang-format off
        std::vector<std::string> keys = {
            "description", "probe", "hpmChip", "resetAttribute",
            "readOnlyReset", "readOnlyDriverDir", "attributeOwner",
            "attributeGroup", "chips", "nodes", "scenario", "after",
            "accesses", "of", "ms", "set", "unset", "poke",
            "detected", "chipId", "ifaceVer", "fwVersion", "blocks",
            "mode", "owner", "group", "fault", "size", "maxRead", "fail", "registers",
            "errno", "on", "block", "offset", "page", "pageDataOffset",
            "position", "bytes", "raw", "rawHex",
            "local"};
        // clang-format on
        for (const layout::Node& node : layout::nodes)
        {
            keys.emplace_back(node.name);
        }
        return keys;
    }();
    const auto known = std::find(order.begin(), order.end(), key);
    // Remote chips "r<N>" in numeric order: shorter names first.
    return {static_cast<std::size_t>(known - order.begin()),
            std::string(known == order.end() ? key.size() : 0, ' ') + key};
}

bool scalarsOnly(const json& value)
{
    return std::none_of(value.begin(), value.end(), [](const json& v) {
        return v.is_structured();
    });
}

void printJson(const json& value, std::size_t depth, std::string& out)
{
    const std::string pad(2 * depth, ' ');
    if (value.is_object() && !value.empty())
    {
        std::vector<std::string> keys;
        for (const auto& [key, v] : value.items())
        {
            keys.push_back(key);
        }
        std::sort(keys.begin(), keys.end(), [](const auto& a, const auto& b) {
            return keyOrder(a) < keyOrder(b);
        });
        const bool inline_ = depth >= 3 && scalarsOnly(value);
        out += inline_ ? "{" : "{\n";
        for (std::size_t i = 0; i < keys.size(); ++i)
        {
            out += inline_ ? (i == 0 ? "" : ", ") : pad + "  ";
            out += json(keys[i]).dump() + ": ";
            printJson(value.at(keys[i]), depth + 1, out);
            out += inline_ ? "" : (i + 1 < keys.size() ? ",\n" : "\n");
        }
        out += inline_ ? "}" : pad + "}";
    }
    else if (value.is_array() && !value.empty() && !scalarsOnly(value))
    {
        out += "[\n";
        for (std::size_t i = 0; i < value.size(); ++i)
        {
            out += pad + "  ";
            printJson(value[i], depth + 1, out);
            out += i + 1 < value.size() ? ",\n" : "\n";
        }
        out += pad + "]";
    }
    else if (value.is_array())
    {
        out += "[";
        for (std::size_t i = 0; i < value.size(); ++i)
        {
            out += (i == 0 ? "" : ", ") + value[i].dump();
        }
        out += "]";
    }
    else
    {
        out += value.dump();
    }
}

/** Whether @p name is a file the driver may publish: a node, or an
 *  attribute of its directory. */
bool driverFile(const std::string& name)
{
    static const std::regex chipFile = [] {
        std::string attrs;
        for (std::string_view attr : layout::chipAttrs)
        {
            attrs += (attrs.empty() ? "" : "|") + std::string(attr);
        }
        return std::regex("fpga_(loc|rmt(0|[1-9][0-9]{0,2}))_(" + attrs + ")");
    }();
    return layout::nodeNamed(name) || name == layout::wakeupAttr ||
           name == layout::hpmChipAttr || name == layout::resetAttr ||
           std::regex_match(name, chipFile);
}

/** The steps of "scenario", each checked by applying it, in order, to the
 *  board it will meet. */
std::vector<ScenarioStep> scenarioFromJson(const json& list, Board board)
{
    if (!list.is_array())
    {
        bad("scenario", "expected a list of steps");
    }
    std::vector<ScenarioStep> steps;
    for (std::size_t i = 0; i < list.size(); ++i)
    {
        const std::string where = element("scenario", i);
        const json& step = object(list[i], where);
        onlyKeys(step, where, {"after", "set", "unset", "poke"});
        const std::string at = field(where, "after");
        if (!step.contains("after"))
        {
            bad(at, "missing: {\"accesses\": N} or {\"ms\": N}");
        }
        const json& after = object(step.at("after"), at);
        onlyKeys(after, at, {"accesses", "of", "ms"});
        if (after.contains("accesses") == after.contains("ms"))
        {
            bad(at, "give either \"accesses\" or \"ms\"");
        }
        // A day at most: a longer run is no test.
        constexpr std::uint64_t limit = 86'400'000;
        ScenarioStep s;
        if (after.contains("ms"))
        {
            s.ms = unsignedIn(after.at("ms"), field(at, "ms"), 0, limit);
        }
        else
        {
            s.accesses =
                unsignedIn(after.at("accesses"), field(at, "accesses"), 0,
                           std::numeric_limits<std::uint32_t>::max());
        }
        if (after.contains("of"))
        {
            s.of = string(after.at("of"), field(at, "of"));
            if (s.ms || !driverFile(s.of))
            {
                bad(field(at, "of"),
                    s.ms ? "only \"accesses\" count opens of one file"
                         : "\"" + s.of +
                               "\" is no node or attribute of the driver "
                               "(such as fpga-r1 or fpga_rmt0_detected)");
            }
        }
        const Change change = changeFromJson(step, where);
        try
        {
            board = applyChange(board, change).board;
        }
        catch (const BoardError& e)
        {
            bad(e.path().empty() ? where : where + "." + e.path(), e.problem());
        }
        s.change = changeToJson(change).dump();
        steps.push_back(std::move(s));
    }
    return steps;
}

json scenarioToJson(const std::vector<ScenarioStep>& steps)
{
    json out = json::array();
    for (const ScenarioStep& s : steps)
    {
        json step = json::parse(s.change);
        step["after"] = s.ms ? json{{"ms", *s.ms}}
                             : json{{"accesses", s.accesses}};
        if (!s.of.empty())
        {
            step["after"]["of"] = s.of;
        }
        out.push_back(std::move(step));
    }
    return out;
}

} // namespace

std::string boardFileText(const Board& board)
{
    std::string text;
    printJson(boardToJson(board), 0, text);
    return text + "\n";
}

Board boardFromJson(const json& value)
{
    object(value, "");
    onlyKeys(value, "",
             {"description", "probe", "hpmChip", "resetAttribute",
              "readOnlyReset", "readOnlyDriverDir", "attributeOwner",
              "attributeGroup", "chips", "nodes", "scenario"});
    Board board;
    if (value.contains("description"))
    {
        board.description = string(value.at("description"), "description");
    }
    if (value.contains("probe"))
    {
        board.probe = named(probeNames, value.at("probe"), "probe");
    }
    if (value.contains("hpmChip"))
    {
        board.hpmChip = attrText("hpmChip", value.at("hpmChip"), "hpmChip");
    }
    const std::pair<const char*, bool Board::*> flags[] = {
        {"resetAttribute", &Board::resetAttribute},
        {"readOnlyReset", &Board::readOnlyReset},
        {"readOnlyDriverDir", &Board::readOnlyDriverDir},
    };
    for (const auto& [key, member] : flags)
    {
        if (value.contains(key))
        {
            board.*member = boolean(value.at(key), key);
        }
    }
    const std::pair<const char*, std::uint32_t Board::*> ids[] = {
        {"attributeOwner", &Board::attributeOwner},
        {"attributeGroup", &Board::attributeGroup},
    };
    for (const auto& [key, member] : ids)
    {
        if (value.contains(key))
        {
            board.*member = id(value.at(key), key);
        }
    }
    if (value.contains("chips"))
    {
        for (const auto& [key, chip] :
             object(value.at("chips"), "chips").items())
        {
            const std::string path = field("chips", key);
            if (key == "local")
            {
                board.local = chipFromJson(chip, path);
            }
            else if (auto index = remoteIndex(key))
            {
                board.remotes[*index] = chipFromJson(chip, path);
            }
            else
            {
                bad(path, "a chip is \"local\" or \"r\" and a remote index, "
                          "such as \"r0\"");
            }
        }
    }
    if (value.contains("nodes"))
    {
        for (const auto& [key, node] :
             object(value.at("nodes"), "nodes").items())
        {
            const std::string path = field("nodes", key);
            const auto device = layout::nodeNamed(key);
            if (!device)
            {
                bad(path, "no such device node (" + nodeNames() + ")");
            }
            const std::string nodePath(device->path);
            board.nodes[nodePath] =
                nodeFromJson(node, path, nodeInfo(nodePath));
        }
    }
    if (board.readOnlyReset && !board.resetAttribute)
    {
        bad("readOnlyReset", "there is no reset attribute to make read-only "
                             "(resetAttribute is false)");
    }
    if (value.contains("scenario"))
    {
        board.scenario = scenarioFromJson(value.at("scenario"), board);
    }
    return board;
}

namespace
{

/** Deeper than any board needs (a register entry's bytes are at depth 6),
 *  shallow enough that no recursive walk of a value can run out of stack. */
constexpr std::size_t maxDepth = 32;

/**
 * Follows the parser through a board file: the field path of the value
 * being read, for problems the parser finds without a text position (a
 * number out of range), and the keys each open object has had, for
 * duplicates, which the parser itself would let the last one win.
 */
class ParseTrail
{
  public:
    bool operator()(int /*depth*/, json::parse_event_t event, json& parsed)
    {
        using Event = json::parse_event_t;
        if (event == Event::object_end || event == Event::array_end)
        {
            levels.pop_back();
            return true;
        }
        if (event == Event::key)
        {
            Level& level = levels.back();
            level.key = parsed.get<std::string>();
            if (!level.keys.insert(level.key).second)
            {
                bad(path(), "duplicate key");
            }
            return true;
        }
        const bool opens = event == Event::object_start ||
                           event == Event::array_start;
        if (opens && levels.size() == maxDepth)
        {
            bad(path(),
                "nested deeper than " + std::to_string(maxDepth) + " levels");
        }
        if (!levels.empty() && levels.back().array)
        {
            ++levels.back().count;
        }
        if (opens)
        {
            levels.push_back({event == Event::array_start, {}, {}, 0});
        }
        return true;
    }

    /** The path of the value being read ("nodes.fpga-r1.registers[2]"). */
    std::string path() const
    {
        std::string out;
        for (std::size_t i = 0; i < levels.size(); ++i)
        {
            const Level& level = levels[i];
            if (!level.array)
            {
                out = field(out, level.key);
                continue;
            }
            // The innermost array has not counted the value being read.
            const bool innermost = i + 1 == levels.size();
            if (innermost || level.count > 0)
            {
                out = element(out, innermost ? level.count : level.count - 1);
            }
        }
        return out;
    }

  private:
    struct Level
    {
        bool array;
        std::set<std::string> keys;
        std::string key;
        std::size_t count;
    };
    std::vector<Level> levels;
};

} // namespace

Board boardFromText(const std::string& text)
{
    ParseTrail trail;
    json value;
    try
    {
        value = json::parse(text, std::ref(trail));
    }
    catch (const json::parse_error& e)
    {
        std::string reason = e.what();
        // nlohmann prefixes "[json.exception.parse_error.101] parse error
        // at line 1, column 2: "; keep what follows the last ": ".
        if (const auto colon = reason.find(": "); colon != std::string::npos)
        {
            reason = reason.substr(colon + 2);
        }
        bad(textPlace(text, e.byte == 0 ? 0 : e.byte - 1),
            "not valid JSON: " + reason);
    }
    catch (const json::exception& e)
    {
        // A number too large for a double ("1e400"): no position, but the
        // trail knows the field.
        std::string reason = e.what();
        if (const auto bracket = reason.find("] ");
            bracket != std::string::npos)
        {
            reason = reason.substr(bracket + 2);
        }
        bad(trail.path(), "not valid JSON: " + reason);
    }
    catch (const std::bad_alloc&)
    {
        bad("", "out of memory reading " + std::to_string(text.size()) +
                    " bytes of board file");
    }
    try
    {
        return boardFromJson(value);
    }
    catch (const std::bad_alloc&)
    {
        bad("", "out of memory building the board from " +
                    std::to_string(text.size()) + " bytes of board file");
    }
}

Board loadBoardFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
    {
        bad("", "cannot open board file " + path + ": " + std::strerror(errno));
    }
    std::ostringstream text;
    text << in.rdbuf();
    return boardFromText(text.str());
}

json boardToJson(const Board& board)
{
    json out = json::object();
    if (!board.description.empty())
    {
        out["description"] = board.description;
    }
    out["probe"] = nameOf(probeNames, board.probe);
    if (board.hpmChip)
    {
        out["hpmChip"] = attrJson("hpmChip", *board.hpmChip);
    }
    if (!board.resetAttribute)
    {
        out["resetAttribute"] = false;
    }
    if (board.readOnlyReset)
    {
        out["readOnlyReset"] = true;
    }
    if (board.readOnlyDriverDir)
    {
        out["readOnlyDriverDir"] = true;
    }
    for (const auto& [key, id] :
         {std::pair{"attributeOwner", board.attributeOwner},
          std::pair{"attributeGroup", board.attributeGroup}})
    {
        if (id != 0)
        {
            out[key] = id;
        }
    }
    json chips = json::object();
    if (board.local != ChipAttributes{})
    {
        chips["local"] = chipToJson(board.local);
    }
    for (const auto& [index, chip] : board.remotes)
    {
        std::string name(1, 'r');
        name += std::to_string(index);
        chips[name] = chipToJson(chip);
    }
    out["chips"] = chips;
    json nodes = json::object();
    for (const auto& [path, node] : board.nodes)
    {
        if (node != Node{})
        {
            const NodeInfo info = nodeInfo(path);
            nodes[std::string(info.device.name)] = nodeToJson(node, info);
        }
    }
    if (!nodes.empty())
    {
        out["nodes"] = nodes;
    }
    if (!board.scenario.empty())
    {
        out["scenario"] = scenarioToJson(board.scenario);
    }
    return out;
}

} // namespace fpga_sim
