// SPDX-License-Identifier: Apache-2.0
#include "board_json.hpp"

#include "board_fields.hpp"
#include "canonical.hpp"
#include "json_text.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

namespace fpga_sim
{

using nlohmann::json;

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
    try
    {
        return boardFromJson(parseStrictJson(text));
    }
    catch (const std::bad_alloc&)
    {
        bad("", "out of memory reading " + std::to_string(text.size()) +
                    " bytes of board file");
    }
}

Board loadBoardFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
    {
        bad("", "cannot open board file " + path + ": " + std::strerror(errno));
    }
    // A directory opens, and reads as nothing.
    if (std::error_code ignored; std::filesystem::is_directory(path, ignored))
    {
        bad("",
            "cannot read board file " + path + ": " + std::strerror(EISDIR));
    }
    // A device such as /dev/zero would be read without end.
    std::string text;
    std::vector<char> chunk(1 << 16);
    while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) ||
           in.gcount() > 0)
    {
        text.append(chunk.data(), static_cast<std::size_t>(in.gcount()));
        if (text.size() > maxBoardFileBytes)
        {
            bad("", "board file " + path + " is larger than " +
                        std::to_string(maxBoardFileBytes >> 20) + " MiB");
        }
    }
    return boardFromText(text);
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
