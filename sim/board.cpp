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
    node(location, index, mode)
        .bytes.set(position, values.data(), values.size());
    return *this;
}

Registers::Registers(
    std::initializer_list<std::pair<std::uint64_t, std::uint8_t>> bytes)
{
    for (const auto& [position, value] : bytes)
    {
        set(position, &value, 1);
    }
}

void Registers::set(std::uint64_t position, const std::uint8_t* values,
                    std::size_t count)
{
    while (count > 0)
    {
        Page& page = pages[position / pageSize];
        const std::size_t first = position % pageSize;
        const std::size_t n = std::min<std::uint64_t>(count, pageSize - first);
        std::copy_n(values, n, page.bytes.begin() + first);
        for (std::size_t i = first; i < first + n; ++i)
        {
            page.set.set(i);
        }
        position += n;
        values += n;
        count -= n;
    }
}

void Registers::read(std::uint64_t position, std::uint8_t* out,
                     std::size_t count) const
{
    std::fill_n(out, count, 0);
    const std::uint64_t end = position + count;
    for (auto it = pages.lower_bound(position / pageSize);
         it != pages.end() && it->first * pageSize < end; ++it)
    {
        const std::uint64_t base = it->first * pageSize;
        const std::uint64_t from = std::max(base, position);
        const std::uint64_t to = std::min(base + pageSize, end);
        std::copy(it->second.bytes.begin() + (from - base),
                  it->second.bytes.begin() + (to - base),
                  out + (from - position));
    }
}

std::vector<Registers::Run> Registers::runs() const
{
    std::vector<Run> out;
    std::uint64_t next = 0;
    for (const auto& [index, page] : pages)
    {
        for (std::size_t i = 0; i < pageSize; ++i)
        {
            if (!page.set.test(i))
            {
                continue;
            }
            const std::uint64_t position = index * pageSize + i;
            if (out.empty() || position != next)
            {
                out.push_back({position, {}});
            }
            out.back().bytes.push_back(page.bytes[i]);
            next = position + 1;
        }
    }
    return out;
}

} // namespace fpga_sim
