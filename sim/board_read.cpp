// SPDX-License-Identifier: Apache-2.0
#include "board_read.hpp"

#include "field_reader.hpp"
#include "scenario.hpp"

#include <algorithm>
#include <sstream>

namespace fpga_sim
{

using nlohmann::json;

namespace
{

/** The components of a field path ("chips", "r0", "detected"). */
std::vector<std::string> components(const std::string& path)
{
    std::vector<std::string> parts;
    for (std::size_t start = 0;;)
    {
        const auto dot = std::min(path.find('.', start), path.size());
        parts.push_back(path.substr(start, dot - start));
        if (parts.back().empty())
        {
            bad(path, "not a field path such as chips.r0.detected");
        }
        if (dot == path.size())
        {
            return parts;
        }
        start = dot + 1;
    }
}

/** Refuses a path that goes on past the field that holds a value. */
void leafAt(const std::vector<std::string>& parts, std::size_t leaf,
            const std::string& path)
{
    if (parts.size() > leaf + 1)
    {
        std::string holder;
        for (std::size_t i = 0; i <= leaf; ++i)
        {
            holder = field(holder, parts[i]);
        }
        bad(holder, "holds a value, not fields: " + path + " cannot be set");
    }
}

/** @p node but its registers, for a field other than "registers". */
Node settingsOf(const Node& node)
{
    return Node{node.fault,    node.truncatedSize, {},         node.maxRead,
                node.failures, node.mode,          node.owner, node.group};
}

/** The chip "hpm" names, read as libfpga reads tavrin_fpga_hpm_chip: its
 *  first word; one that does not start with "remote" (or no attribute)
 *  means the local FPGA, else the remote FPGA of the word's last digit. */
std::pair<Location, std::size_t> hpmChipOf(const Board& board)
{
    std::istringstream text(board.hpmChip.value_or(""));
    std::string word;
    text >> word;
    if (!word.starts_with("remote"))
    {
        return {Location::local, 0};
    }
    const char last = word.back();
    if (last < '0' || last > '3')
    {
        bad("hpm", "names no chip with device nodes: hpmChip is \"" + word +
                       "\" (libfpga takes the remote FPGA of its last "
                       "digit, 0 to 3)");
    }
    return {Location::remote, static_cast<std::size_t>(last - '0')};
}

/** The chip @p name names: "local", "r0" to "r3" or "hpm". */
std::pair<Location, std::size_t> chipNamed(const Board& board,
                                           const std::string& name)
{
    if (name == "hpm")
    {
        return hpmChipOf(board);
    }
    if (const auto fpga = layout::fpgaNamed(name))
    {
        return {fpga->location, fpga->index};
    }
    try
    {
        nodeNamedOrBad(name, name);
    }
    catch (const BoardError& e)
    {
        bad(name, e.problem() + " nor chip (local, r0 to r3, hpm)");
    }
    return {};
}

const char* modeName(layout::Mode mode)
{
    return mode == layout::Mode::adi ? "ADI" : "normal";
}

} // namespace

FieldRef fieldAt(const std::string& path)
{
    FieldRef f;
    f.path = path;
    f.parts = components(path);
    const auto& parts = f.parts;
    f.top = boardField(parts[0]);
    if (f.top == nullptr)
    {
        bad(parts[0], unknownBoardField());
    }
    if (parts.size() > 1 && f.top->part == BoardField::Part::chips)
    {
        leafAt(parts, 2, path);
        f.chip = chipKey(parts[1], "chips." + parts[1]);
        const auto found = std::find_if(
            chipFields.begin(), chipFields.end(), [&](const ChipField& c) {
                return parts.size() > 2 && parts[2] == c.key;
            });
        f.attribute = found == chipFields.end() ? nullptr : &*found;
        if (parts.size() > 2 && f.attribute == nullptr)
        {
            bad(path, unknownField({"detected", "chipId", "ifaceVer",
                                    "fwVersion", "blocks"}));
        }
        return f;
    }
    if (parts.size() > 1 && f.top->part == BoardField::Part::nodes)
    {
        leafAt(parts, 2, path);
        f.device = nodeNamedOrBad(parts[1], "nodes." + parts[1]).path;
        f.nodeField = parts.size() > 2 ? nodeField(parts[2]) : nullptr;
        if (parts.size() > 2 && f.nodeField == nullptr)
        {
            bad(path, unknownNodeField());
        }
        return f;
    }
    leafAt(parts, 0, path);
    return f;
}

json fieldValue(const Board& board, const std::string& path)
{
    if (path == "scenario" || path.starts_with("scenario."))
    {
        if (path != "scenario")
        {
            bad("scenario", "holds a list of steps, not fields");
        }
        return board.scenario.empty() ? json() : scenarioToJson(board.scenario);
    }
    const FieldRef f = fieldAt(path);
    const auto valueAt = [](const json& out, const std::string& key) {
        return out.contains(key) ? out.at(key) : json();
    };
    if (!f.device.empty())
    {
        // One node's canonical form, its registers only when asked for.
        const Node& node = board.nodes.at(f.device);
        const NodeInfo info = nodeInfo(f.device);
        if (f.nodeField == nullptr)
        {
            return node == Node{} ? json() : nodeToJson(node, info);
        }
        const bool registers = f.parts[2] == "registers";
        return valueAt(nodeToJson(registers ? node : settingsOf(node), info),
                       f.parts[2]);
    }
    json out = json::object();
    f.top->write(board, f.top->key, out);
    json value = valueAt(out, f.top->key);
    for (std::size_t i = 1; i < f.parts.size(); ++i)
    {
        value = value.is_object() ? valueAt(value, f.parts[i]) : json();
    }
    return value;
}

const std::string& servedNode(const Board& board, const std::string& name,
                              const char* what)
{
    const std::string at = "nodes." + name;
    const auto found =
        board.nodes.find(std::string(nodeNamedOrBad(name, at).path));
    const NodeFault fault = found->second.fault;
    if (fault == NodeFault::missing || fault == NodeFault::fifo)
    {
        bad(at, std::string("the node is \"") + faultName(fault) + "\" (" +
                    (fault == NodeFault::missing
                         ? "no file at its path"
                         : "a FIFO at its path, no registers") +
                    "): " + what);
    }
    return found->first;
}

RegisterAt registerAt(const Board& board, const std::string& target,
                      const std::string& name)
{
    const auto reg = layout::registerNamed(name);
    if (!reg)
    {
        bad("", "\"" + name + "\" is no register name");
    }
    const auto node = layout::nodeNamed(target);
    if (node && node->mode != reg->mode)
    {
        bad("nodes." + target,
            name + " is read in " + modeName(reg->mode) + " mode, and " +
                target + " is no " + modeName(reg->mode) + " node");
    }
    const auto [location, index] = node ? std::pair{node->location, node->index}
                                        : chipNamed(board, target);
    return {
        &layout::node(location, index, reg->mode),
        {{"block", reg->block}, {"offset", reg->offset}},
        layout::position(reg->mode, location, {reg->block, reg->offset, 0, 0}),
        reg->length};
}

Span spanOf(const Board& board, const Read& read)
{
    const auto named =
        read.registerName.empty()
            ? std::nullopt
            : std::optional(registerAt(board, read.target, read.registerName));
    const std::string name =
        named ? std::string(named->node->name) : read.target;
    const std::string at = "nodes." + name;
    Span span{servedNode(board, name, "there are no registers to peek"), 0,
              named ? named->length : 1};
    const NodeInfo info = nodeInfo(span.device);
    json entry = read.entry;
    if (entry.contains("bytes"))
    {
        bad(field(at, "bytes"), "a peek reads \"length\" bytes; it has none");
    }
    if (entry.contains("length"))
    {
        span.length =
            unsignedIn(entry.at("length"), field(at, "length"), 1, maxPeek);
        entry.erase("length");
    }
    span.position = named ? named->position : registerPosition(entry, at, info);
    if (span.position + span.length > info.window)
    {
        bad(field(at, "length"),
            std::to_string(span.length) + " bytes from position " +
                hex(span.position) + " run past the end of the node (" +
                hex(info.window) + ")");
    }
    return span;
}

} // namespace fpga_sim
