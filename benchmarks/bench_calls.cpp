// SPDX-License-Identifier: Apache-2.0
#include "bench_calls.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <libfpga.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>

namespace fpga_bench
{
namespace
{

using tavrin_fpga::Block;
using tavrin_fpga::Location;
using tavrin_fpga::Operation;
using tavrin_fpga::layout::Mode;
namespace layout = tavrin_fpga::layout;

namespace reg = layout::reg;
namespace thermal = layout::thermal;

/** The chip id of the local FPGA on a board of platform type @p type. */
constexpr std::uint8_t chipIdOfPlatform(int type)
{
    return std::ranges::find(layout::platforms, type, &layout::Platform::type)
        ->chipId;
}

// Where the board puts things: the HPM blocks and the ADI registers read
// on remotes of their own, the fans where the library reads them.
constexpr std::size_t hpmIndex = 1;
constexpr std::size_t adiIndex = 2;
static_assert(reg::fanConfig.home == layout::Home::remote0);
constexpr std::size_t fanIndex = 0;
constexpr int fanPlatformType = 4;
constexpr std::uint8_t thermalEntries = 255;
constexpr std::size_t recordSize = reg::thermalRecords.length;
constexpr std::size_t thermalRecordBytes =
    thermal::recordCount(thermalEntries) * recordSize;

// The registers the calls read.
constexpr std::size_t normalBlock = 1;
constexpr std::size_t adiBlock = 8;
constexpr std::size_t adiOffset = 14;
constexpr std::size_t adiPage = 0x123;

std::uint64_t normalPos(std::size_t block, std::size_t offset)
{
    return layout::normalPosition(block, offset);
}

std::uint64_t adiPos(Location location, std::size_t block, std::size_t offset,
                     std::size_t page)
{
    return layout::adiPosition(location, block, offset, page, 0);
}

/** The path of a chip's node in a mode. */
const char* nodePath(Location location, std::size_t index, Mode mode)
{
    // The layout's paths are string literals, so they end in a NUL.
    return layout::node(location, index, mode).path.data();
}

// ---------------------------------------------------------------------------
// The floor: plain POSIX calls on precomputed paths.

/** The attribute files of one chip. */
struct ChipFiles
{
    std::string detected;
    std::string blocks;
    std::string ifaceVer;
    std::string chipId;
};

ChipFiles chipFiles(Location location, std::size_t index)
{
    // The board's attributes are in the first probe directory.
    const std::string dir = std::string(layout::probeDirs.front()) + "/";
    auto file = [&](std::string_view attr) {
        return dir + layout::chipAttrName(attr, location, index);
    };
    return {file(layout::detectedAttr), file(layout::blocksAttr),
            file(layout::ifaceVerAttr), file(layout::chipIdAttr)};
}

const ChipFiles& localChip()
{
    static const ChipFiles files = chipFiles(Location::local, 0);
    return files;
}

const ChipFiles& remoteChip(std::size_t index)
{
    static const std::array<ChipFiles, 3> files = {
        chipFiles(Location::remote, 0), chipFiles(Location::remote, 1),
        chipFiles(Location::remote, 2)};
    return files.at(index);
}

/** The text of an attribute: open, one read, close. */
using AttrText = std::array<char, 128>;
ssize_t readAttr(const std::string& path, AttrText& text)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
    {
        return -1;
    }
    const ssize_t n = ::read(fd, text.data(), text.size());
    ::close(fd);
    return n;
}

bool present(const ChipFiles& chip)
{
    AttrText text;
    return readAttr(chip.detected, text) > 0 && text[0] != '0';
}

bool offers(const ChipFiles& chip, std::size_t block)
{
    AttrText text;
    return readAttr(chip.blocks, text) >=
               static_cast<ssize_t>(layout::blockCount) &&
           text[layout::blockCount - 1 - block] == '1';
}

std::uint32_t hexValue(const std::string& path)
{
    AttrText text;
    const ssize_t n = readAttr(path, text);
    std::uint32_t value = 0;
    if (n > 2)
    {
        std::from_chars(text.data() + 2, text.data() + n, value, 16);
    }
    return value;
}

int transfer(const char* path, std::uint64_t pos, std::span<char> data)
{
    const int fd = ::open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0)
    {
        return -EFAULT;
    }
    const bool ok = ::lseek(fd, static_cast<off_t>(pos), SEEK_SET) >= 0 &&
                    ::read(fd, data.data(), data.size()) ==
                        static_cast<ssize_t>(data.size());
    ::close(fd);
    return ok ? 0 : -EIO;
}

int checkedRead(const ChipFiles& chip, const char* path, std::size_t block,
                std::uint64_t pos, std::span<char> data)
{
    if (!present(chip))
    {
        return -ENODEV;
    }
    if (!offers(chip, block))
    {
        return -EFAULT;
    }
    return transfer(path, pos, data);
}

/** An HPM access: the routing reads, then the checked access. */
int hpmRead(std::size_t block, Mode mode, std::uint64_t pos,
            std::span<char> data)
{
    const ChipFiles& hpm = remoteChip(hpmIndex);
    const std::uint32_t version = hexValue(hpm.ifaceVer);
    if (std::ranges::find(layout::blockTranslations, version,
                          &layout::BlockTranslation::ifaceVer) ==
            layout::blockTranslations.end() ||
        !offers(hpm, block))
    {
        return -EINVAL;
    }
    return checkedRead(hpm, nodePath(Location::remote, hpmIndex, mode), block,
                       pos, data);
}

// What the floors decode into; kept here so the decoding is not optimised
// away.
tavrin_fpga::Interrupt floorInterrupt;
std::vector<tavrin_fpga::Thermal> floorThermal;
tavrin_fpga::PlatformInformation floorFans;

std::uint8_t byteAt(std::span<const char> data, std::size_t i)
{
    return static_cast<std::uint8_t>(data[i]);
}

/** The interrupt mask of one block: bits 2-5 from byte 0 bits 0-3, bits
 *  8-59 from byte 0 bit 4 up to byte 6 bit 7. */
std::uint64_t interruptMask(std::span<const char, 16> block)
{
    std::uint64_t word = 0;
    std::memcpy(&word, block.data(), sizeof(word));
    constexpr std::uint64_t low52 = (std::uint64_t{1} << 52) - 1;
    return (word & 0xF) << 2 | ((word >> 4) & low52) << 8;
}

int floorNormal1()
{
    static std::array<char, 1> data;
    return checkedRead(localChip(), nodePath(Location::local, 0, Mode::normal),
                       normalBlock, normalPos(normalBlock, 0), data);
}

int floorNormal16()
{
    static std::array<char, 16> data;
    return checkedRead(localChip(), nodePath(Location::local, 0, Mode::normal),
                       normalBlock, normalPos(normalBlock, 0), data);
}

int floorRemoteAdi()
{
    static std::array<char, 16> data;
    return checkedRead(
        remoteChip(adiIndex), nodePath(Location::remote, adiIndex, Mode::adi),
        adiBlock, adiPos(Location::remote, adiBlock, adiOffset, adiPage), data);
}

int floorHpmNormal()
{
    static std::array<char, 1> data;
    const auto block = static_cast<std::size_t>(Block::power);
    return hpmRead(block, Mode::normal, normalPos(block, reg::onSource.offset),
                   data);
}

int floorInterrupts()
{
    std::array<char, 16> block0;
    std::array<char, 16> block1;
    const auto b0 = static_cast<std::size_t>(Block::interrupt0);
    const auto b1 = static_cast<std::size_t>(Block::interrupt1);
    if (hpmRead(b0, Mode::normal, normalPos(b0, reg::interrupts0.offset),
                block0) != 0 ||
        hpmRead(b1, Mode::normal, normalPos(b1, reg::interrupts1.offset),
                block1) != 0)
    {
        return -EIO;
    }
    floorInterrupt.status0 = interruptMask(block0);
    floorInterrupt.status1 = interruptMask(block1);
    return 0;
}

int floorThermals()
{
    const auto block = static_cast<std::size_t>(Block::thermal);
    std::array<char, reg::thermalHeader.length> header;
    if (hpmRead(block, Mode::normal,
                normalPos(block, reg::thermalHeader.offset), header) != 0 ||
        (byteAt(header, thermal::adiFlagByte) & thermal::adiFlag) == 0)
    {
        return -EIO;
    }
    std::array<char, thermalRecordBytes> records;
    const std::size_t size =
        thermal::recordCount(byteAt(header, thermal::entryCountByte)) *
        recordSize;
    if (hpmRead(block, Mode::adi,
                adiPos(Location::remote, block, reg::thermalRecords.offset, 0),
                std::span(records).first(size)) != 0)
    {
        return -EIO;
    }
    floorThermal.clear();
    for (std::size_t at = 0; at < size; at += recordSize)
    {
        for (const std::size_t start : thermal::entryStarts)
        {
            const std::size_t e = at + start;
            floorThermal.push_back(
                {byteAt(records, e), byteAt(records, e + 1),
                 byteAt(records, e + 2), byteAt(records, e + 3),
                 byteAt(records, e + 4), byteAt(records, e + 5)});
        }
    }
    return 0;
}

/** A fan register of the fan FPGA. */
int readFans(const layout::Register& r, std::span<char> data)
{
    return checkedRead(remoteChip(fanIndex),
                       nodePath(Location::remote, fanIndex, Mode::normal),
                       r.block, normalPos(r.block, r.offset),
                       data.first(r.length));
}

int floorPlatform()
{
    if (hexValue(localChip().chipId) != chipIdOfPlatform(fanPlatformType))
    {
        return -ENODATA;
    }
    std::array<char, reg::fanSelector.length> selector;
    std::array<char, reg::fanConfig.length> config;
    std::array<char, reg::fanTypes.length> types;
    if (readFans(reg::fanSelector, selector) != 0 ||
        readFans(reg::fanConfig, config) != 0 ||
        readFans(reg::fanTypes, types) != 0)
    {
        return -EIO;
    }
    // Selector 0 and configuration 0: six fans, two bits each, register 12
    // first.
    floorFans.fanConfig = 2;
    floorFans.fanCount = 6;
    const unsigned bits = byteAt(types, 1) << 8 | byteAt(types, 0);
    for (std::size_t position = 0; position < 6; ++position)
    {
        floorFans.fanTypes[position] = (bits >> (10 - 2 * position)) & 3;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// The library.

int libNormal1()
{
    static std::array<char, 1> data;
    return tavrin_fpga::rawNormalAccess(Operation::read, normalBlock, 0,
                                        data.size(), data);
}

int libNormal16()
{
    static std::array<char, 16> data;
    return tavrin_fpga::rawNormalAccess(Operation::read, normalBlock, 0,
                                        data.size(), data);
}

int libRemoteAdi()
{
    static std::array<char, 16> data;
    return tavrin_fpga::rawRemoteAdiAccess(
        adiIndex, Operation::read, adiBlock, adiOffset, adiPage, 0, data.size(),
        data);
}

int libHpmNormal()
{
    static std::array<char, 1> data;
    return tavrin_fpga::rawHpmNormalAccess(
        Operation::read, Block::power, reg::onSource.offset, data.size(), data);
}

int libInterrupts()
{
    static tavrin_fpga::Interrupt interrupt;
    return tavrin_fpga::getInterrupts(interrupt);
}

int libThermals()
{
    static std::vector<tavrin_fpga::Thermal> thermals;
    return tavrin_fpga::getThermals(thermals);
}

int libPlatform()
{
    static tavrin_fpga::PlatformInformation info;
    return tavrin_fpga::getPlatform(info);
}

std::vector<std::uint8_t> pattern(std::size_t size, std::uint8_t seed)
{
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
    {
        bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
    }
    return bytes;
}

} // namespace

fpga_sim::Board benchBoard()
{
    fpga_sim::Board board;
    char chipId[8];
    std::snprintf(chipId, sizeof(chipId), "0x%02x",
                  chipIdOfPlatform(fanPlatformType));
    board.presentChip(Location::local, 0, chipId);
    for (std::size_t index : {fanIndex, hpmIndex, adiIndex})
    {
        board.presentChip(Location::remote, index);
    }
    board.hpmChip = "remote" + std::to_string(hpmIndex) + "\n";

    board.setBytes(Location::local, 0, Mode::normal, normalPos(normalBlock, 0),
                   pattern(16, 1));
    board.setBytes(Location::remote, adiIndex, Mode::adi,
                   adiPos(Location::remote, adiBlock, adiOffset, adiPage),
                   pattern(16, 2));

    const auto hpm = [&](const layout::Register& r, std::uint64_t page,
                         std::vector<std::uint8_t> bytes) {
        board.setBytes(Location::remote, hpmIndex, r.mode,
                       r.mode == Mode::adi
                           ? adiPos(Location::remote, r.block, r.offset, page)
                           : normalPos(r.block, r.offset),
                       bytes);
    };
    hpm(reg::onSource, 0, {0x30});
    hpm(reg::interrupts0, 0, pattern(reg::interrupts0.length, 3));
    hpm(reg::interrupts1, 0, pattern(reg::interrupts1.length, 4));
    std::vector<std::uint8_t> header(reg::thermalHeader.length);
    header[thermal::adiFlagByte] = thermal::adiFlag;
    header[thermal::entryCountByte] = thermalEntries;
    hpm(reg::thermalHeader, 0, header);
    hpm(reg::thermalRecords, 0, pattern(thermalRecordBytes, 5));

    // Fan selector 0 and configuration 0: the six-fan wiring.
    board.setBytes(Location::remote, fanIndex, Mode::normal,
                   normalPos(reg::fanTypes.block, reg::fanTypes.offset),
                   {0xE4, 0x09});
    return board;
}

const std::vector<Call>& calls()
{
    static const std::vector<Call> table = {
        {"rawNormalAccess/1", libNormal1, floorNormal1},
        {"rawNormalAccess/16", libNormal16, floorNormal16},
        {"rawRemoteAdiAccess", libRemoteAdi, floorRemoteAdi},
        {"rawHpmNormalAccess", libHpmNormal, floorHpmNormal},
        {"getInterrupts", libInterrupts, floorInterrupts},
        {"getThermals", libThermals, floorThermals},
        {"getPlatform", libPlatform, floorPlatform},
    };
    return table;
}

const Call* findCall(const std::string& name)
{
    for (const Call& call : calls())
    {
        if (call.name == name)
        {
            return &call;
        }
    }
    return nullptr;
}

} // namespace fpga_bench
