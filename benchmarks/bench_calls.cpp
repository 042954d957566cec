// SPDX-License-Identifier: Apache-2.0
#include "bench_calls.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <libfpga.hpp>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
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

// Where the board puts things.
constexpr std::size_t hpmIndex = 1;
constexpr std::size_t fanIndex = 0;
constexpr std::size_t adiIndex = 2;
constexpr std::uint8_t platformType4ChipId = 0x40;
constexpr std::size_t thermalEntries = 255;
constexpr std::size_t recordSize = 16;
constexpr std::size_t thermalRecordBytes = thermalEntries / 2 * recordSize;

// The registers the calls read.
constexpr std::size_t normalBlock = 1;
constexpr std::size_t adiBlock = 8;
constexpr std::size_t adiOffset = 14;
constexpr std::size_t adiPage = 0x123;
constexpr std::size_t powerOnOffset = layout::reg::onSource.offset;
constexpr std::size_t thermalOffset = 14;
constexpr std::size_t fanBlock = 1;
constexpr std::size_t fanSelectorOffset = 9;
constexpr std::size_t fanConfigOffset = 7;
constexpr std::size_t fanTypeBlock = 12;
constexpr std::size_t fanTypeOffset = 11;

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
    if ((version != 2 && version != 3) || !offers(hpm, block))
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
    return hpmRead(block, Mode::normal, normalPos(block, powerOnOffset), data);
}

int floorInterrupts()
{
    std::array<char, 16> block0;
    std::array<char, 16> block1;
    const auto b0 = static_cast<std::size_t>(Block::interrupt0);
    const auto b1 = static_cast<std::size_t>(Block::interrupt1);
    if (hpmRead(b0, Mode::normal, normalPos(b0, 0), block0) != 0 ||
        hpmRead(b1, Mode::normal, normalPos(b1, 0), block1) != 0)
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
    std::array<char, 16> header;
    if (hpmRead(block, Mode::normal, normalPos(block, 0), header) != 0 ||
        (byteAt(header, 0) & 1) == 0)
    {
        return -EIO;
    }
    std::array<char, thermalRecordBytes> records;
    const std::size_t size = byteAt(header, 13) / 2 * recordSize;
    if (hpmRead(block, Mode::adi,
                adiPos(Location::remote, block, thermalOffset, 0),
                std::span(records).first(size)) != 0)
    {
        return -EIO;
    }
    floorThermal.clear();
    for (std::size_t at = 0; at < size; at += recordSize)
    {
        for (std::size_t entry : {at + 1, at + 7})
        {
            floorThermal.push_back(
                {byteAt(records, entry), byteAt(records, entry + 1),
                 byteAt(records, entry + 2), byteAt(records, entry + 3),
                 byteAt(records, entry + 4), byteAt(records, entry + 5)});
        }
    }
    return 0;
}

int floorPlatform()
{
    if (hexValue(localChip().chipId) != platformType4ChipId)
    {
        return -ENODATA;
    }
    const ChipFiles& fans = remoteChip(fanIndex);
    std::array<char, 1> selector;
    std::array<char, 1> config;
    std::array<char, 2> types;
    if (checkedRead(fans, nodePath(Location::remote, fanIndex, Mode::normal),
                    fanBlock, normalPos(fanBlock, fanSelectorOffset),
                    selector) != 0 ||
        checkedRead(fans, nodePath(Location::remote, fanIndex, Mode::normal),
                    fanBlock, normalPos(fanBlock, fanConfigOffset), config) !=
            0 ||
        checkedRead(fans, nodePath(Location::remote, fanIndex, Mode::normal),
                    fanTypeBlock, normalPos(fanTypeBlock, fanTypeOffset),
                    types) != 0)
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
    return tavrin_fpga::rawHpmNormalAccess(Operation::read, Block::power,
                                           powerOnOffset, data.size(), data);
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
    board.presentChip(Location::local, 0, "0x40");
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

    const auto hpm = [&](Mode mode, std::uint64_t pos,
                         std::vector<std::uint8_t> bytes) {
        board.setBytes(Location::remote, hpmIndex, mode, pos, bytes);
    };
    hpm(Mode::normal,
        normalPos(static_cast<std::size_t>(Block::power), powerOnOffset),
        {0x30});
    hpm(Mode::normal, normalPos(static_cast<std::size_t>(Block::interrupt0), 0),
        pattern(16, 3));
    hpm(Mode::normal, normalPos(static_cast<std::size_t>(Block::interrupt1), 0),
        pattern(16, 4));
    std::vector<std::uint8_t> header(16);
    header[0] = 0x01;
    header[13] = thermalEntries;
    hpm(Mode::normal, normalPos(static_cast<std::size_t>(Block::thermal), 0),
        header);
    hpm(Mode::adi,
        adiPos(Location::remote, static_cast<std::size_t>(Block::thermal),
               thermalOffset, 0),
        pattern(thermalRecordBytes, 5));

    // Fan selector 0 and configuration 0: the six-fan wiring.
    board.setBytes(Location::remote, fanIndex, Mode::normal,
                   normalPos(fanTypeBlock, fanTypeOffset), {0xE4, 0x09});
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
