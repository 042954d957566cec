// SPDX-License-Identifier: Apache-2.0
#include "target.hpp"

#include <array>
#include <charconv>

namespace fpgatool
{
namespace
{

using tavrin_fpga::Block;

/** Normal-mode positions: block * 16 + offset, below 0x400. */
constexpr int normalDigits = 3;
/** ADI-mode positions: below 0x40000000. */
constexpr int adiDigits = 8;
constexpr std::size_t remotePageMask = 0xFFF;

} // namespace

std::string chipNameError(std::string_view name)
{
    if (name == "local" || name == "hpm")
    {
        return "";
    }
    std::size_t index = 0;
    if (name.size() > 1 && name[0] == 'r')
    {
        const char* last = name.data() + name.size();
        auto [end, error] = std::from_chars(name.data() + 1, last, index);
        if (error == std::errc() && end == last)
        {
            if (index <= maxRemote)
            {
                return "";
            }
            return "remote " + std::to_string(index) + " is out of range 0-" +
                   std::to_string(maxRemote);
        }
    }
    return "chip \"" + std::string(name) + "\" is not one of local, r0-r3, hpm";
}

Chip parseChip(std::string_view name)
{
    if (name == "local")
    {
        return {Chip::Kind::local, 0};
    }
    if (name == "hpm")
    {
        return {Chip::Kind::hpm, 0};
    }
    std::size_t index = 0;
    std::from_chars(name.data() + 1, name.data() + name.size(), index);
    return {Chip::Kind::remote, index};
}

std::string chipName(const Chip& chip)
{
    switch (chip.kind)
    {
        case Chip::Kind::local:
            return "local";
        case Chip::Kind::remote:
            return "r" + std::to_string(chip.index);
        case Chip::Kind::hpm:
            break;
    }
    return "hpm";
}

std::string fpgaName(const Fpga& fpga)
{
    return fpga.location == Location::remote ? "r" + std::to_string(fpga.index)
                                             : "local";
}

Fpga resolve(const Chip& chip)
{
    switch (chip.kind)
    {
        case Chip::Kind::local:
            return {};
        case Chip::Kind::remote:
            return {Location::remote, chip.index};
        case Chip::Kind::hpm:
            break;
    }
    Fpga fpga;
    if (tavrin_fpga::getHPMLocation(fpga.location, fpga.index) != 0)
    {
        return {};
    }
    if (fpga.location != Location::remote)
    {
        fpga.index = 0;
    }
    return fpga;
}

std::string nodePath(const Fpga& fpga, const Address& address)
{
    const std::string suffix = address.adi ? "-adi" : "";
    if (fpga.location != Location::remote)
    {
        return address.adi ? "/dev/fpga-adi" : "/dev/fpga-cdev";
    }
    return "/dev/fpga-r" + std::to_string(fpga.index) + suffix;
}

std::uint64_t nodePosition(const Fpga& fpga, const Address& address)
{
    if (!address.adi)
    {
        return address.block * 16 + address.offset;
    }
    std::uint64_t page = address.adi->page;
    if (fpga.location == Location::remote)
    {
        page &= remotePageMask;
    }
    return (std::uint64_t{address.block} << 24) |
           (std::uint64_t{address.offset} << 20) | (page << 4) |
           address.adi->pageDataOffset;
}

int positionDigits(const Address& address)
{
    return address.adi ? adiDigits : normalDigits;
}

std::string transferCall(const Chip& chip, const Address& address)
{
    // By chip kind (local, remote, hpm), then normal and ADI mode.
    static constexpr std::array<std::array<const char*, 2>, 3> calls = {{
        {"rawNormalAccess", "rawAdiAccess"},
        {"rawRemoteNormalAccess", "rawRemoteAdiAccess"},
        {"rawHpmNormalAccess", "rawHpmAdiAccess"},
    }};
    return calls.at(static_cast<std::size_t>(chip.kind))
        .at(address.adi ? 1 : 0);
}

int transfer(const Chip& chip, Operation op, const Address& address,
             std::span<char> buffer)
{
    const std::size_t length = buffer.size();
    const std::size_t block = address.block;
    const std::size_t offset = address.offset;
    const auto hpmBlock = static_cast<Block>(block);
    if (!address.adi)
    {
        switch (chip.kind)
        {
            case Chip::Kind::local:
                return tavrin_fpga::rawNormalAccess(op, block, offset, length,
                                                    buffer);
            case Chip::Kind::remote:
                return tavrin_fpga::rawRemoteNormalAccess(
                    chip.index, op, block, offset, length, buffer);
            case Chip::Kind::hpm:
                break;
        }
        return tavrin_fpga::rawHpmNormalAccess(op, hpmBlock, offset, length,
                                               buffer);
    }

    const std::size_t page = address.adi->page;
    const std::size_t pageDataOffset = address.adi->pageDataOffset;
    switch (chip.kind)
    {
        case Chip::Kind::local:
            return tavrin_fpga::rawAdiAccess(op, block, offset, page,
                                             pageDataOffset, length, buffer);
        case Chip::Kind::remote:
            return tavrin_fpga::rawRemoteAdiAccess(
                chip.index, op, block, offset, page, pageDataOffset, length,
                buffer);
        case Chip::Kind::hpm:
            break;
    }
    return tavrin_fpga::rawHpmAdiAccess(op, hpmBlock, offset, page,
                                        pageDataOffset, length, buffer);
}

} // namespace fpgatool
