// SPDX-License-Identifier: Apache-2.0
#include "board_fields.hpp"

#include "attribute_kinds.hpp"
#include "field_reader.hpp"
#include "node_fields.hpp"

#include <algorithm>
#include <regex>

namespace fpga_sim
{

using nlohmann::json;

namespace
{

/** A probe directory's name in board files: its last component. */
constexpr const char* probeDirName(std::size_t probeDir)
{
    const std::string_view dir = layout::probeDirs[probeDir];
    return dir.substr(dir.rfind('/') + 1).data();
}

const Names<ProbeDirs> probeNames = {
    {probeDirName(0), ProbeDirs::spi22},
    {probeDirName(1), ProbeDirs::spi20},
    {"both", ProbeDirs::both},
    {"none", ProbeDirs::none},
};

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

void readChips(const json& value, const std::string& path, Board& board)
{
    for (const auto& [key, chip] : object(value, path).items())
    {
        const std::string at = field(path, key);
        const auto index = chipKey(key, at);
        (index ? board.remotes[*index] : board.local) = chipFromJson(chip, at);
    }
}

void writeChips(const Board& board, json& out)
{
    json chips = json::object();
    if (board.local != ChipAttributes{})
    {
        chips["local"] = chipToJson(board.local);
    }
    for (const auto& [index, chip] : board.remotes)
    {
        chips["r" + std::to_string(index)] = chipToJson(chip);
    }
    out["chips"] = chips;
}

void readNodes(const json& value, const std::string& path, Board& board)
{
    for (const auto& [key, node] : object(value, path).items())
    {
        const std::string at = field(path, key);
        const std::string device(nodeNamedOrBad(key, at).path);
        board.nodes[device] = nodeFromJson(node, at, nodeInfo(device));
    }
}

void writeNodes(const Board& board, json& out)
{
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
}

// A plain member of Board: read by Reader, left out at its default.

template <auto Member, auto Reader>
void readPlain(const json& value, const std::string& path, Board& board)
{
    board.*Member = Reader(value, path);
}

template <auto Member>
void takePlain(Board& board, Board& from)
{
    board.*Member = std::move(from.*Member);
}

template <auto Member>
void writePlain(const Board& board, const std::string& key, json& out)
{
    if (board.*Member != Board{}.*Member)
    {
        out[key] = board.*Member;
    }
}

template <auto Member, auto Reader>
BoardField plain(const char* key)
{
    return {key, BoardField::Part::top, readPlain<Member, Reader>,
            takePlain<Member>, writePlain<Member>};
}

ProbeDirs probe(const json& value, const std::string& path)
{
    return named(probeNames, value, path);
}

std::optional<std::string> hpmChip(const json& value, const std::string& path)
{
    return attrText("hpmChip", value, path);
}

void writeProbe(const Board& board, const std::string& key, json& out)
{
    out[key] = nameOf(probeNames, board.probe);
}

void writeHpmChip(const Board& board, const std::string& key, json& out)
{
    if (board.hpmChip)
    {
        out[key] = attrJson("hpmChip", *board.hpmChip);
    }
}

void takeChips(Board& board, Board& from)
{
    board.local = std::move(from.local);
    board.remotes = std::move(from.remotes);
}

/** Node by node: the board's nodes stay where they are. */
void takeNodes(Board& board, Board& from)
{
    for (auto& [path, node] : board.nodes)
    {
        node = std::move(from.nodes.at(path));
    }
}

} // namespace

const std::vector<BoardField>& boardFields()
{
    using Part = BoardField::Part;
    static const std::vector<BoardField> fields = {
        plain<&Board::description, string>("description"),
        {"probe", Part::top, readPlain<&Board::probe, probe>,
         takePlain<&Board::probe>, writeProbe},
        {"hpmChip", Part::top, readPlain<&Board::hpmChip, hpmChip>,
         takePlain<&Board::hpmChip>, writeHpmChip},
        plain<&Board::resetAttribute, boolean>("resetAttribute"),
        plain<&Board::readOnlyReset, boolean>("readOnlyReset"),
        plain<&Board::readOnlyDriverDir, boolean>("readOnlyDriverDir"),
        plain<&Board::attributeOwner, id>("attributeOwner"),
        plain<&Board::attributeGroup, id>("attributeGroup"),
        {"chips", Part::chips, readChips, takeChips,
         [](const Board& board, const std::string&, json& out) {
             writeChips(board, out);
         }},
        {"nodes", Part::nodes, readNodes, takeNodes,
         [](const Board& board, const std::string&, json& out) {
             writeNodes(board, out);
         }},
    };
    return fields;
}

const BoardField* boardField(const std::string& key)
{
    const auto& fields = boardFields();
    const auto found =
        std::find_if(fields.begin(), fields.end(),
                     [&](const BoardField& f) { return key == f.key; });
    return found == fields.end() ? nullptr : &*found;
}

std::string unknownBoardField()
{
    return unknownField({"description", "probe", "hpmChip", "resetAttribute",
                         "readOnlyReset", "readOnlyDriverDir", "attributeOwner",
                         "attributeGroup", "chips", "nodes", "scenario"});
}

std::optional<std::size_t> chipKey(const std::string& key,
                                   const std::string& path)
{
    static const std::regex pattern("r(0|[1-9][0-9]{0,2})");
    if (key == "local")
    {
        return std::nullopt;
    }
    if (!std::regex_match(key, pattern))
    {
        bad(path, "a chip is \"local\" or \"r\" and a remote index, "
                  "such as \"r0\"");
    }
    return std::stoul(key.substr(1));
}

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

void checkReset(const Board& board)
{
    if (board.readOnlyReset && !board.resetAttribute)
    {
        bad("readOnlyReset", "there is no reset attribute to make read-only "
                             "(resetAttribute is false)");
    }
}

} // namespace fpga_sim
