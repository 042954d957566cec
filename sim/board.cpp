// SPDX-License-Identifier: Apache-2.0
#include "board.hpp"

#include <bitset>
#include <stdexcept>

namespace fpga_sim
{

namespace
{

constexpr std::size_t remoteNodes = 4;

} // namespace

std::string nodePath(Location location, std::size_t index, Mode mode)
{
    if (location == Location::local)
    {
        return mode == Mode::adi ? "/dev/fpga-adi" : "/dev/fpga-cdev";
    }
    if (index >= remoteNodes)
    {
        throw std::out_of_range(
            "no device node for remote index " + std::to_string(index));
    }
    return "/dev/fpga-r" + std::to_string(index) +
           (mode == Mode::adi ? "-adi" : "");
}

const std::vector<std::string>& allNodePaths()
{
    static const std::vector<std::string> paths = [] {
        std::vector<std::string> all;
        for (Mode mode : {Mode::normal, Mode::adi})
        {
            all.push_back(nodePath(Location::local, 0, mode));
            for (std::size_t i = 0; i < remoteNodes; ++i)
            {
                all.push_back(nodePath(Location::remote, i, mode));
            }
        }
        return all;
    }();
    return paths;
}

std::uint64_t windowOf(const std::string& path)
{
    return path.ends_with("-adi") ? adiWindow : normalWindow;
}

std::string chipAttrName(const std::string& base, Location location,
                         std::size_t index)
{
    if (location == Location::local)
    {
        return "fpga_loc_" + base;
    }
    return "fpga_rmt" + std::to_string(index) + "_" + base;
}

std::uint64_t normalPosition(std::size_t block, std::size_t offset)
{
    return (static_cast<std::uint64_t>(block) << 4) | offset;
}

std::uint64_t adiPosition(Location location, std::size_t block,
                          std::size_t offset, std::size_t page,
                          std::size_t pageDataOffset)
{
    const std::uint64_t pageMask =
        location == Location::local ? 0xFFFF : 0x0FFF;
    return (static_cast<std::uint64_t>(block) << 24) |
           (static_cast<std::uint64_t>(offset) << 20) |
           ((page & pageMask) << 4) | pageDataOffset;
}

std::string blocksText(std::initializer_list<std::size_t> blocks)
{
    std::bitset<64> set;
    for (std::size_t block : blocks)
    {
        set.set(block);
    }
    return set.to_string() + "\n";
}

std::string allBlocksText()
{
    return std::string(64, '1') + "\n";
}

Board::Board()
{
    for (const std::string& path : allNodePaths())
    {
        nodes.emplace(path, Node{});
    }
}

std::string Board::driverDir() const
{
    switch (probe)
    {
        case ProbeDirs::spi22:
        case ProbeDirs::both:
            return spi22Dir;
        case ProbeDirs::spi20:
            return spi20Dir;
        case ProbeDirs::none:
            break;
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
