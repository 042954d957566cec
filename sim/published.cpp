// SPDX-License-Identifier: Apache-2.0
#include "published.hpp"

namespace fpga_sim
{

std::vector<Published> published(const Board& board)
{
    using Kind = Published::Kind;
    std::vector<Published> entries;
    const std::string driverDir = board.driverDir();
    const auto add = [&](Kind kind, const std::string& path,
                         const std::string& text = {}) -> Published& {
        Published& entry = entries.emplace_back(Published{kind, path, text});
        entry.mode = kind == Kind::dir ? 0755 : 0444;
        entry.owner = board.attributeOwner;
        entry.group = board.attributeGroup;
        return entry;
    };
    const auto attribute = [&](std::string_view name, const std::string& text) {
        add(Kind::attribute, driverDir + "/" + std::string(name), text);
    };

    for (std::size_t i = 0; i < layout::probeDirs.size(); ++i)
    {
        if (!board.marks(i))
        {
            continue;
        }
        const std::string dir(layout::probeDirs[i]);
        add(Kind::dir, dir).readOnly =
            board.readOnlyDriverDir && dir == driverDir;
        add(Kind::attribute, dir + "/" + std::string(layout::wakeupAttr));
    }
    if (!driverDir.empty())
    {
        const auto chip = [&](const ChipAttributes& attrs, Location location,
                              std::size_t index) {
            for (const ChipField& field : chipFields)
            {
                if (const auto& text = attrs.*field.text)
                {
                    attribute(chipAttrName(field.file, location, index), *text);
                }
            }
        };
        chip(board.local, Location::local, 0);
        for (const auto& [index, attrs] : board.remotes)
        {
            chip(attrs, Location::remote, index);
        }
        if (board.hpmChip)
        {
            attribute(layout::hpmChipAttr, *board.hpmChip);
        }
        if (board.resetAttribute)
        {
            Published& reset = add(
                Kind::reset, driverDir + "/" + std::string(layout::resetAttr));
            reset.readOnly = board.readOnlyReset;
            reset.mode = board.readOnlyReset ? 0444 : 0644;
        }
    }

    for (const layout::Node& device : layout::nodes)
    {
        const auto found = board.nodes.find(std::string(device.path));
        if (found == board.nodes.end() ||
            found->second.fault == NodeFault::missing)
        {
            continue;
        }
        const Node& node = found->second;
        Published& entry =
            add(node.fault == NodeFault::fifo ? Kind::fifo : Kind::node,
                found->first);
        entry.device = &device;
        entry.node = &node;
        entry.readOnly = node.fault == NodeFault::readOnly;
        entry.size = node.fault == NodeFault::truncated
                         ? node.truncatedSize
                         : layout::window(device.mode);
        entry.mode = node.mode;
        entry.owner = node.owner;
        entry.group = node.group;
    }
    return entries;
}

} // namespace fpga_sim
