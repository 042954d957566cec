// SPDX-License-Identifier: Apache-2.0
#include "board_json.hpp"

#include "board_fields.hpp"
#include "canonical.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

namespace fpga_sim
{

using nlohmann::json;

namespace
{

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

std::string boardFileText(const Board& board)
{
    return canonicalText(boardToJson(board));
}

Board boardFromJson(const json& value)
{
    object(value, "");
    for (const auto& [key, v] : value.items())
    {
        if (key != "scenario" && key != "$schema" && boardField(key) == nullptr)
        {
            bad(key, unknownBoardField());
        }
    }
    if (value.contains("$schema"))
    {
        // Names the schema for editors; not part of the board.
        string(value.at("$schema"), "$schema");
    }
    Board board;
    for (const BoardField& f : boardFields())
    {
        if (value.contains(f.key))
        {
            f.read(value.at(f.key), f.key, board);
        }
    }
    checkReset(board);
    if (value.contains("scenario"))
    {
        board.scenario = scenarioFromJson(value.at("scenario"), board);
    }
    return board;
}

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
    for (const BoardField& f : boardFields())
    {
        f.write(board, f.key, out);
    }
    if (!board.scenario.empty())
    {
        out["scenario"] = scenarioToJson(board.scenario);
    }
    return out;
}

} // namespace fpga_sim
