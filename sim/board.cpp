// SPDX-License-Identifier: Apache-2.0
#include "board.hpp"

#include <algorithm>
#include <bitset>
#include <filesystem>
#include <stdexcept>

namespace fpga_sim
{

std::string nodePath(Location location, std::size_t index, Mode mode)
{
    if (location == Location::remote && index >= layout::remoteCount)
    {
        throw std::out_of_range(
            "no device node for remote index " + std::to_string(index));
    }
    return std::string(layout::node(location, index, mode).path);
}

const layout::Node& nodeAt(const std::string& path)
{
    const auto found = std::find_if(
        layout::nodes.begin(), layout::nodes.end(),
        [&](const layout::Node& node) { return node.path == path; });
    if (found == layout::nodes.end())
    {
        throw std::out_of_range("no device node at " + path);
    }
    return *found;
}

std::uint64_t windowOf(const std::string& path)
{
    return layout::window(nodeAt(path).mode);
}

std::string spiDevicesDir()
{
    return std::filesystem::path(layout::probeDirs.front()).parent_path();
}

std::string blocksText(std::initializer_list<std::size_t> blocks)
{
    std::bitset<layout::blockCount> set;
    for (std::size_t block : blocks)
    {
        set.set(block);
    }
    return set.to_string() + "\n";
}

std::string allBlocksText()
{
    return std::string(layout::blockCount, '1') + "\n";
}

Board::Board()
{
    for (const layout::Node& node : layout::nodes)
    {
        nodes.emplace(node.path, Node{});
    }
}

bool Board::marks(std::size_t probeDir) const
{
    return (static_cast<unsigned>(probe) >> probeDir & 1U) != 0;
}

std::string Board::driverDir() const
{
    for (std::size_t i = 0; i < layout::probeDirs.size(); ++i)
    {
        if (marks(i))
        {
            return std::string(layout::probeDirs[i]);
        }
    }
    return {};
}

ChipAttributes& Board::chip(Location location, std::size_t index)
{
    return location == Location::local ? local : remotes[index];
}

Node& Board::node(Location location, std::size_t index, Mode mode)
{
    return nodes.at(nodePath(location, index, mode));
}

Board& Board::presentChip(Location location, std::size_t index,
                          const std::string& chipId,
                          const std::string& ifaceVer)
{
    ChipAttributes& attrs = chip(location, index);
    attrs.detected = "1\n";
    attrs.chipId = chipId + "\n";
    attrs.ifaceVer = ifaceVer + "\n";
    attrs.fwVersion = "1 0\n";
    attrs.blocks = allBlocksText();
    return *this;
}

Board& Board::setBytes(Location location, std::size_t index, Mode mode,
                       std::uint64_t position,
                       const std::vector<std::uint8_t>& values)
{
    Node& target = node(location, index, mode);
    for (std::uint8_t value : values)
    {
        target.bytes[position++] = value;
    }
    return *this;
}

} // namespace fpga_sim
