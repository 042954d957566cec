// SPDX-License-Identifier: Apache-2.0
#include "node_fields.hpp"

#include "errno_names.hpp"
#include "field_reader.hpp"

#include <algorithm>
#include <array>
#include <map>

namespace fpga_sim
{

using nlohmann::json;

namespace
{

const Names<NodeFault> nodeFaults = {
    {"none", NodeFault::none},         {"missing", NodeFault::missing},
    {"readOnly", NodeFault::readOnly}, {"truncated", NodeFault::truncated},
    {"fifo", NodeFault::fifo},
};

const Names<FaultOps> faultOps = {
    {"read", FaultOps::read},
    {"write", FaultOps::write},
    {"both", FaultOps::both},
};

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

/** Refuses the keys of a register entry its node's mode does not have. */
void entryKeys(const json& entry, const std::string& path,
               const layout::ModeInfo& mode)
{
    std::string known;
    for (std::size_t i = 0; i < mode.count; ++i)
    {
        known += std::string(mode.coordinates[i].key) + ", ";
    }
    known += "bytes";
    for (const auto& [key, value] : entry.items())
    {
        const bool coordinate = std::any_of(
            mode.coordinates.begin(), mode.coordinates.begin() + mode.count,
            [&](const layout::Coordinate& c) { return c.key == key; });
        if (!coordinate && key != "bytes")
        {
            bad(field(path, key), "unknown field (known: " + known + ")");
        }
    }
}

/** A register entry's coordinates for the run starting at @p start: by
 *  name when they give that position back, else the position itself. */
json registerEntry(const NodeInfo& info, std::uint64_t start)
{
    const layout::ModeInfo& mode = layout::modeInfo(info.device.mode);
    const auto values = layout::coordinateValues(mode.mode, start);
    if (start >= info.window ||
        layout::position(mode.mode, info.device.location, values) != start)
    {
        return {{"position", start}};
    }
    json entry = json::object();
    for (std::size_t i = 0; i < mode.count; ++i)
    {
        entry[std::string(mode.coordinates[i].key)] = values[i];
    }
    return entry;
}

} // namespace

std::uint64_t registerPosition(const json& entry, const std::string& path,
                               const NodeInfo& info)
{
    if (entry.contains("position"))
    {
        onlyKeys(entry, path, {"position", "bytes"});
        return unsignedIn(entry.at("position"), field(path, "position"), 0,
                          info.window - 1);
    }
    const layout::ModeInfo& mode = layout::modeInfo(info.device.mode);
    entryKeys(entry, path, mode);
    for (std::size_t i = 0; i < mode.count; ++i)
    {
        const std::string key(mode.coordinates[i].key);
        if (mode.coordinates[i].required && !entry.contains(key))
        {
            bad(path, "missing \"" + key + "\" (or give \"position\")");
        }
    }
    const bool remote = info.device.location == Location::remote;
    std::array<std::uint64_t, 4> values{};
    for (std::size_t i = 0; i < mode.count; ++i)
    {
        const layout::Coordinate& c = mode.coordinates[i];
        const std::string key(c.key);
        values[i] = entry.contains(key)
                        ? unsignedIn(entry.at(key), field(path, key), 0,
                                     remote ? c.remoteMax : c.max)
                        : 0;
    }
    return layout::position(info.device.mode, info.device.location, values);
}

void registersFromJson(const json& list, const std::string& path,
                       const NodeInfo& info, Registers& bytes)
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
        const auto values =
            bytesFromJson(entry.at("bytes"), field(where, "bytes"));
        const std::uint64_t end = start + values.size();
        if (end > info.window)
        {
            bad(field(where, "bytes"),
                std::to_string(values.size()) + " bytes from position " +
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
        bytes.set(start, values.data(), values.size());
    }
}

TransferFault failureFromJson(const json& value, const std::string& path)
{
    const json& entry = object(value, path);
    onlyKeys(entry, path, {"errno", "on", "block"});
    if (!entry.contains("errno"))
    {
        bad(path, "missing \"errno\"");
    }
    TransferFault fault;
    fault.error = errnoFromJson(entry.at("errno"), field(path, "errno"));
    if (entry.contains("on"))
    {
        fault.ops = named(faultOps, entry.at("on"), field(path, "on"));
    }
    if (entry.contains("block"))
    {
        fault.block = unsignedIn(entry.at("block"), field(path, "block"), 0,
                                 layout::maxBlock);
    }
    return fault;
}

namespace
{

// The readers of a node's fields, each into a node whose field holds its
// default.

void readMode(const json& v, const std::string& path, const NodeInfo&, Node& n)
{
    n.mode = modeFromJson(v, path);
}

void readOwner(const json& v, const std::string& path, const NodeInfo&, Node& n)
{
    n.owner = id(v, path);
}

void readGroup(const json& v, const std::string& path, const NodeInfo&, Node& n)
{
    n.group = id(v, path);
}

void readFault(const json& v, const std::string& path, const NodeInfo&, Node& n)
{
    n.fault = named(nodeFaults, v, path);
}

void readSize(const json& v, const std::string& path, const NodeInfo& info,
              Node& n)
{
    n.truncatedSize = unsignedIn(v, path, 0, info.window - 1);
}

void readMaxRead(const json& v, const std::string& path, const NodeInfo&,
                 Node& n)
{
    n.maxRead = unsignedIn(v, path, 1, 1 << 20);
}

void readFail(const json& list, const std::string& path, const NodeInfo&,
              Node& n)
{
    if (!list.is_array())
    {
        bad(path, "expected a list of failures");
    }
    for (std::size_t i = 0; i < list.size(); ++i)
    {
        n.failures.push_back(failureFromJson(list[i], element(path, i)));
    }
}

void readRegisters(const json& v, const std::string& path, const NodeInfo& info,
                   Node& n)
{
    registersFromJson(v, path, info, n.bytes);
}

/** A member of Node back to its default. */
template <auto Member>
void clearMember(Node& n)
{
    n.*Member = Node{}.*Member;
}

const std::array<NodeField, 8> nodeFields = {{
    {"mode", readMode, clearMember<&Node::mode>},
    {"owner", readOwner, clearMember<&Node::owner>},
    {"group", readGroup, clearMember<&Node::group>},
    {"fault", readFault, clearMember<&Node::fault>},
    {"size", readSize, clearMember<&Node::truncatedSize>},
    {"maxRead", readMaxRead, clearMember<&Node::maxRead>},
    {"fail", readFail, clearMember<&Node::failures>},
    {"registers", readRegisters, clearMember<&Node::bytes>},
}};

} // namespace

NodeInfo nodeInfo(const std::string& path)
{
    const layout::Node& device = nodeAt(path);
    return {device, layout::window(device.mode)};
}

const layout::Node& nodeNamedOrBad(const std::string& name,
                                   const std::string& fieldPath)
{
    for (const layout::Node& node : layout::nodes)
    {
        if (node.name == name)
        {
            return node;
        }
    }
    std::string names;
    for (const layout::ModeInfo& m : layout::modes)
    {
        names += (names.empty() ? "" : ", ") +
                 std::string(layout::node(Location::local, 0, m.mode).name);
    }
    for (const layout::ModeInfo& m : layout::modes)
    {
        const Mode mode = m.mode;
        names +=
            ", " + std::string(layout::node(Location::remote, 0, mode).name) +
            " to " +
            std::string(
                layout::node(Location::remote, layout::remoteCount - 1, mode)
                    .name);
    }
    bad(fieldPath, "no such device node (" + names + ")");
}

const NodeField* nodeField(const std::string& key)
{
    const auto found =
        std::find_if(nodeFields.begin(), nodeFields.end(),
                     [&](const NodeField& f) { return key == f.key; });
    return found == nodeFields.end() ? nullptr : &*found;
}

std::string unknownNodeField()
{
    return unknownField({"mode", "owner", "group", "fault", "size", "maxRead",
                         "fail", "registers"});
}

const char* faultName(NodeFault fault)
{
    return nameOf(nodeFaults, fault);
}

void checkSize(const Node& node, bool sizeGiven, const std::string& path)
{
    const bool truncated = node.fault == NodeFault::truncated;
    if (truncated && !sizeGiven)
    {
        bad(path, "a \"truncated\" node needs a \"size\"");
    }
    if (!truncated && sizeGiven)
    {
        bad(field(path, "size"), "only a \"truncated\" node has a size");
    }
}

Node nodeFromJson(const json& value, const std::string& path,
                  const NodeInfo& info)
{
    object(value, path);
    for (const auto& [key, v] : value.items())
    {
        if (nodeField(key) == nullptr)
        {
            bad(field(path, key), unknownNodeField());
        }
    }
    Node node;
    for (const NodeField& f : nodeFields)
    {
        if (value.contains(f.key))
        {
            f.read(value.at(f.key), field(path, f.key), info, node);
        }
        if (std::string_view(f.key) == "size")
        {
            checkSize(node, value.contains("size"), path);
        }
    }
    return node;
}

namespace
{

/** The register entries of @p bytes: one per run of consecutive positions,
 *  cut at block ends where the mode says so. */
json registerEntries(const Registers& bytes, const NodeInfo& info)
{
    const bool split = layout::modeInfo(info.device.mode).entriesSplitAtBlocks;
    json out = json::array();
    for (const Registers::Run& run : bytes.runs())
    {
        for (std::size_t first = 0; first < run.bytes.size();)
        {
            const std::uint64_t start = run.start + first;
            const std::size_t count =
                split ? std::min<std::size_t>(
                            run.bytes.size() - first,
                            layout::registersPerBlock -
                                start % layout::registersPerBlock)
                      : run.bytes.size() - first;
            json entry = registerEntry(info, start);
            entry["bytes"] = hexText(std::string_view(
                reinterpret_cast<const char*>(run.bytes.data()) + first,
                count));
            out.push_back(std::move(entry));
            first += count;
        }
    }
    return out;
}

} // namespace

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
        out["fault"] = faultName(node.fault);
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
    if (!node.bytes.empty())
    {
        out["registers"] = registerEntries(node.bytes, info);
    }
    return out;
}

} // namespace fpga_sim
