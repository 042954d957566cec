// SPDX-License-Identifier: Apache-2.0
#include "change.hpp"

#include "base/device_layout.hpp"
#include "field_reader.hpp"
#include "json_text.hpp"

#include <algorithm>
#include <limits>
#include <regex>

namespace fpga_sim
{

using nlohmann::json;

namespace
{

/** Text to JSON, read as board files are (a key given twice, nesting too
 *  deep refused); text that is not JSON is a string, as a shell user would
 *  mean it ("set hpmChip remote1"). */
json valueOf(std::string_view text)
{
    try
    {
        return parseStrictJson(text);
    }
    catch (const NotJson&)
    {
        return std::string(text);
    }
    catch (const BoardError& e)
    {
        bad("", "in VALUE, " + std::string(e.what()));
    }
}

std::string_view trim(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
    {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

/** Takes the next word off @p rest. */
std::string nextWord(std::string_view& rest)
{
    rest = trim(rest);
    const auto end = std::min(rest.find_first_of(" \t"), rest.size());
    std::string word(rest.substr(0, end));
    rest = rest.substr(end);
    return word;
}

/** The words of a change, each taken once and the end checked. */
class Words
{
  public:
    Words(std::string_view line, const char* usage) : rest(line), usage(usage)
    {}

    std::string word()
    {
        std::string w = nextWord(rest);
        if (w.empty())
        {
            bad("", std::string("usage: ") + usage);
        }
        return w;
    }

    /** Takes the next word if it is @p expected. */
    bool take(std::string_view expected)
    {
        std::string_view copy = rest;
        if (nextWord(copy) != expected)
        {
            return false;
        }
        rest = copy;
        return true;
    }

    /** Everything left, which must be something. */
    std::string_view tail()
    {
        const std::string_view text = trim(rest);
        if (text.empty())
        {
            bad("", std::string("usage: ") + usage);
        }
        rest = {};
        return text;
    }

    /** Whether no word is left. */
    bool done() const
    {
        return trim(rest).empty();
    }

    void end() const
    {
        if (!trim(rest).empty())
        {
            bad("", "unexpected \"" + std::string(trim(rest)) +
                        "\"; usage: " + usage);
        }
    }

    json number()
    {
        const std::string w = word();
        const json value = valueOf(w);
        if (!value.is_number())
        {
            bad("", "\"" + w + "\" is not a number; usage: " + usage);
        }
        return value;
    }

  private:
    std::string_view rest;
    const char* usage;
};

Change one(Change::Op op, std::string target, json value = nullptr)
{
    return Change{{{op, std::move(target), std::move(value)}}};
}

/** Whether the word after the next of @p rest opens a JSON object. */
bool entryFollows(std::string_view rest)
{
    std::string_view copy = trim(rest);
    nextWord(copy);
    return trim(copy).starts_with('{');
}

/** The next word of @p rest, if it names a register of the layout. */
std::optional<std::string> registerFollows(std::string_view rest)
{
    std::string word = nextWord(rest);
    word = nextWord(rest);
    return tavrin_fpga::layout::registerNamed(word)
               ? std::optional(word)
               : std::nullopt;
}

Change pokeFromWords(std::string_view rest)
{
    Words words(rest, "poke NODE {REGISTER ENTRY} | poke NODE BLOCK OFFSET "
                      "HEX BYTES | poke TARGET REGISTER HEX BYTES");
    const auto name = registerFollows(rest);
    const bool whole = entryFollows(rest);
    std::string node = words.word();
    if (name)
    {
        words.word();
        return one(Change::Op::pokeNamed, std::move(node),
                   {{"register", *name}, {"bytes", words.tail()}});
    }
    if (whole)
    {
        json entry = valueOf(words.tail());
        if (!entry.is_object())
        {
            bad("", "the register entry of a poke is a JSON object such as "
                    "{\"block\": 8, \"offset\": 14, \"bytes\": \"40\"}");
        }
        return one(Change::Op::poke, std::move(node), std::move(entry));
    }
    json entry = {{"block", words.number()}, {"offset", words.number()}};
    entry["bytes"] = std::string(words.tail());
    return one(Change::Op::poke, std::move(node), std::move(entry));
}

Change faultFromWords(std::string_view rest)
{
    const char* usage = "fault add NODE ERRNO [read|write|both] [block N] | "
                        "fault clear NODE";
    Words words(rest, usage);
    const std::string action = words.word();
    const std::string node = words.word();
    if (action == "clear")
    {
        words.end();
        return one(Change::Op::unset, "nodes." + node + ".fail");
    }
    if (action != "add")
    {
        bad("", "\"" + action + "\" is not add or clear; usage: " + usage);
    }
    const std::string error = words.word();
    json entry = {
        {"errno", valueOf(error).is_number() ? valueOf(error) : json(error)}};
    for (const char* on : {"read", "write", "both"})
    {
        if (words.take(on))
        {
            entry["on"] = on;
            break;
        }
    }
    if (words.take("block"))
    {
        entry["block"] = words.number();
    }
    words.end();
    return one(Change::Op::addFault, node, std::move(entry));
}

/** Refuses what no line of words may hold. */
void checkLine(std::string_view line)
{
    if (const std::string problem = notOneLine(line); !problem.empty())
    {
        bad("", problem);
    }
    if (!isUtf8(line))
    {
        bad("", "a change is UTF-8 text, and these words are not (give bytes "
                "that are not text as {\"rawHex\": \"HEX BYTES\"})");
    }
}

} // namespace

std::string Change::text() const
{
    std::string out;
    for (const Edit& edit : edits)
    {
        out += out.empty() ? "" : "; ";
        switch (edit.op)
        {
            case Op::set:
                out += "set " + edit.target + " " + edit.value.dump();
                break;
            case Op::unset:
                out += "unset " + edit.target;
                break;
            case Op::poke:
                out += "poke " + edit.target + " " + edit.value.dump();
                break;
            case Op::addFault:
                out += "fault add " + edit.target + " " + edit.value.dump();
                break;
            case Op::pokeNamed:
                out += "poke " + edit.target + " " +
                       edit.value.value("register", "") + " " +
                       edit.value.value("bytes", "");
                break;
        }
    }
    return out;
}

std::string notOneLine(std::string_view line)
{
    // Messages quote the words, and must stay one line of C string.
    const auto control = std::find_if(line.begin(), line.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\r';
    });
    if (control == line.end())
    {
        return "";
    }
    static const char digits[] = "0123456789abcdef";
    const auto byte = static_cast<unsigned char>(*control);
    return std::string("a change is one line of text, without control "
                       "characters such as 0x") +
           digits[byte >> 4] + digits[byte & 0xF];
}

Change changeFromWords(std::string_view line)
{
    checkLine(line);
    std::string_view rest = line;
    const std::string verb = nextWord(rest);
    if (verb == "set")
    {
        Words words(rest, "set FIELD VALUE");
        std::string field = words.word();
        return one(Change::Op::set, std::move(field), valueOf(words.tail()));
    }
    if (verb == "unset")
    {
        Words words(rest, "unset FIELD");
        std::string field = words.word();
        words.end();
        return one(Change::Op::unset, std::move(field));
    }
    if (verb == "poke")
    {
        return pokeFromWords(rest);
    }
    if (verb == "fault")
    {
        return faultFromWords(rest);
    }
    bad("", "\"" + verb +
                "\" is not a change (set, unset, poke, fault add, fault "
                "clear)");
}

Change changeFromJson(const json& step, const std::string& path)
{
    Change change;
    const auto objectAt = [&](const char* key) -> const json& {
        const json& value = step.at(key);
        if (!value.is_object())
        {
            bad(path + "." + key, "expected an object");
        }
        return value;
    };
    if (step.contains("set"))
    {
        for (const auto& [field, value] : objectAt("set").items())
        {
            change.edits.push_back({Change::Op::set, field, value});
        }
    }
    if (step.contains("unset"))
    {
        const json& list = step.at("unset");
        for (std::size_t i = 0; list.is_array() && i < list.size(); ++i)
        {
            if (!list[i].is_string())
            {
                bad(path + ".unset[" + std::to_string(i) + "]",
                    "expected a field path");
            }
            change.edits.push_back({Change::Op::unset, list[i], nullptr});
        }
        if (!list.is_array())
        {
            bad(path + ".unset", "expected a list of field paths");
        }
    }
    if (step.contains("poke"))
    {
        for (const auto& [node, entries] : objectAt("poke").items())
        {
            for (const json& entry :
                 entries.is_array() ? entries : json::array({entries}))
            {
                change.edits.push_back({Change::Op::poke, node, entry});
            }
        }
    }
    if (change.edits.empty())
    {
        bad(path, "a step changes something: give \"set\", \"unset\" or "
                  "\"poke\"");
    }
    return change;
}

bool driverFile(const std::string& name)
{
    namespace layout = tavrin_fpga::layout;
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

std::string notDriverFile(const std::string& name)
{
    return "\"" + name +
           "\" is no node or attribute of the driver (such as fpga-r1 or "
           "fpga_rmt0_detected)";
}

json changeToJson(const Change& change)
{
    json out = json::object();
    for (const Change::Edit& edit : change.edits)
    {
        switch (edit.op)
        {
            case Change::Op::set:
                out["set"][edit.target] = edit.value;
                break;
            case Change::Op::unset:
                out["unset"].push_back(edit.target);
                break;
            case Change::Op::poke:
                out["poke"][edit.target].push_back(edit.value);
                break;
            case Change::Op::addFault:
            case Change::Op::pokeNamed:
                // Only the words have them; a step sets "fail", or pokes
                // a node's register entry.
                break;
        }
    }
    return out;
}

namespace
{

Read peekFromWords(std::string_view rest)
{
    Words words(rest, "peek NODE BLOCK OFFSET [LENGTH] | peek NODE {ENTRY} | "
                      "peek TARGET REGISTER [LENGTH]");
    Read read{Read::Kind::registers, "", "", json::object()};
    const auto name = registerFollows(rest);
    const bool whole = entryFollows(rest);
    read.target = words.word();
    if (whole)
    {
        read.entry = valueOf(words.tail());
        if (!read.entry.is_object())
        {
            bad("", "the register entry of a peek is a JSON object such as "
                    "{\"block\": 8, \"offset\": 14, \"length\": 16}");
        }
        return read;
    }
    if (name)
    {
        read.registerName = words.word();
    }
    else
    {
        read.entry["block"] = words.number();
        read.entry["offset"] = words.number();
    }
    if (!words.done())
    {
        read.entry["length"] = words.number();
    }
    words.end();
    return read;
}

Request laterFromWords(std::string_view rest)
{
    Words words(rest, "after N [of FILE] CHANGE...");
    Request request;
    request.kind = Request::Kind::later;
    request.accesses = unsignedIn(words.number(), "after", 0,
                                  std::numeric_limits<std::uint32_t>::max());
    if (words.take("of"))
    {
        request.of = words.word();
        if (!driverFile(request.of))
        {
            bad("", notDriverFile(request.of));
        }
    }
    request.change = changeFromWords(words.tail());
    return request;
}

} // namespace

Request requestFromWords(std::string_view line)
{
    checkLine(line);
    std::string_view rest = line;
    const std::string verb = nextWord(rest);
    Request request;
    request.kind = Request::Kind::read;
    if (verb == "get")
    {
        Words words(rest, "get FIELD");
        request.read = {Read::Kind::field, words.word(), "", json::object()};
        words.end();
        return request;
    }
    if (verb == "board")
    {
        Words(rest, "board").end();
        return request;
    }
    if (verb == "peek")
    {
        request.read = peekFromWords(rest);
        return request;
    }
    if (verb == "after")
    {
        return laterFromWords(rest);
    }
    if (verb != "set" && verb != "unset" && verb != "poke" && verb != "fault")
    {
        bad("", "\"" + verb +
                    "\" is no request: a change (set, unset, poke, fault add, "
                    "fault clear), a read (get, peek, board) or after N");
    }
    request.kind = Request::Kind::change;
    request.change = changeFromWords(line);
    return request;
}

} // namespace fpga_sim
