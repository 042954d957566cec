// SPDX-License-Identifier: Apache-2.0
#pragma once

// What the FPGA driver publishes and where: the directory probes, the
// attribute file names, the ten device nodes, how a file position addresses
// a register, the ranges of every coordinate, and the registers of the
// blocks the library decodes (their bit maps: base/decoder_layout.hpp). The
// library, the simulated board, fpga-sim, fpgatool and the benchmarks take
// these facts from here and nowhere else.
// Not installed: it describes the driver, not the library's interface.

#include <libfpga.hpp>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tavrin_fpga::layout
{

/* ---------------------------------------------------------------------- */
/* The driver's sysfs directory                                            */
/* ---------------------------------------------------------------------- */

/** The SPI device directories that may hold the driver, in probe order. */
inline constexpr std::array<std::string_view, 2> probeDirs = {
    "/sys/bus/spi/devices/spi2.2",
    "/sys/bus/spi/devices/spi2.0",
};

/** The probe directory that holds the file at @p path ("" for none): the
 *  driver directory of a path the library built (devAttrFilePath), whose
 *  paths start at "/" when it finds no driver directory. */
constexpr std::string_view probeDirOf(std::string_view path)
{
    for (const std::string_view dir : probeDirs)
    {
        if (path.starts_with(dir) && path.substr(dir.size()).starts_with('/'))
        {
            return dir;
        }
    }
    return {};
}

/** The file whose presence marks a probe directory as the driver's. */
inline constexpr std::string_view wakeupAttr = "tavrin_fpga_wakeup";
/** Names the FPGA that carries the HPM blocks: "local" or "remote N". */
inline constexpr std::string_view hpmChipAttr = "tavrin_fpga_hpm_chip";
/** Writing "1" then "0" resets the FPGA. */
inline constexpr std::string_view resetAttr = "tavrin_fpga_reset";

/* ---------------------------------------------------------------------- */
/* Per-chip attributes                                                     */
/* ---------------------------------------------------------------------- */

inline constexpr std::string_view detectedAttr = "detected";
inline constexpr std::string_view chipIdAttr = "chip_id";
inline constexpr std::string_view ifaceVerAttr = "iface_ver";
inline constexpr std::string_view fwVersionAttr = "fw_version";
inline constexpr std::string_view blocksAttr = "blocks";

/** The five per-chip attributes, in the order a chip lists them. */
inline constexpr std::array<std::string_view, 5> chipAttrs = {
    detectedAttr, chipIdAttr, ifaceVerAttr, fwVersionAttr, blocksAttr,
};

/** Number of remote FPGAs (indices 0 to remoteCount - 1). */
inline constexpr std::size_t remoteCount = 4;

/** Append the file name of a per-chip attribute to @p out: "fpga_loc_" +
 *  attr for the local chip, "fpga_rmt" + index + "_" + attr for a remote
 *  one. The index is not range-checked. */
inline void appendChipAttrName(std::string& out, std::string_view attr,
                               Location location, std::size_t index)
{
    if (location == Location::local)
    {
        out += "fpga_loc_";
    }
    else
    {
        out += "fpga_rmt";
        out += std::to_string(index);
        out += '_';
    }
    out += attr;
}

/** File name of a per-chip attribute; see appendChipAttrName(). */
inline std::string chipAttrName(std::string_view attr, Location location,
                                std::size_t index)
{
    std::string name;
    appendChipAttrName(name, attr, location, index);
    return name;
}

/* ---------------------------------------------------------------------- */
/* Device nodes and file positions                                         */
/* ---------------------------------------------------------------------- */

/** Access mode of a device node. */
enum class Mode
{
    normal,
    adi,
};

/** One device node of the driver. */
struct Node
{
    std::string_view name; ///< file name in /dev
    std::string_view path; ///< "/dev/" + name
    Location location;
    std::size_t index; ///< remote index; 0 for the local FPGA
    Mode mode;
};

/** The ten nodes: the local pair, then each remote's normal and ADI node. */
inline constexpr std::array<Node, 2 + 2 * remoteCount> nodes = {{
    {"fpga-cdev", "/dev/fpga-cdev", Location::local, 0, Mode::normal},
    {"fpga-adi", "/dev/fpga-adi", Location::local, 0, Mode::adi},
    {"fpga-r0", "/dev/fpga-r0", Location::remote, 0, Mode::normal},
    {"fpga-r0-adi", "/dev/fpga-r0-adi", Location::remote, 0, Mode::adi},
    {"fpga-r1", "/dev/fpga-r1", Location::remote, 1, Mode::normal},
    {"fpga-r1-adi", "/dev/fpga-r1-adi", Location::remote, 1, Mode::adi},
    {"fpga-r2", "/dev/fpga-r2", Location::remote, 2, Mode::normal},
    {"fpga-r2-adi", "/dev/fpga-r2-adi", Location::remote, 2, Mode::adi},
    {"fpga-r3", "/dev/fpga-r3", Location::remote, 3, Mode::normal},
    {"fpga-r3-adi", "/dev/fpga-r3-adi", Location::remote, 3, Mode::adi},
}};

/** The node of a chip in a mode; the index counts only for a remote chip
 *  and must be below remoteCount. */
constexpr const Node& node(Location location, std::size_t index, Mode mode)
{
    const std::size_t chip = location == Location::local ? 0 : 1 + index;
    return nodes[2 * chip + (mode == Mode::adi ? 1 : 0)];
}

// node() finds every node where the table has it.
static_assert(std::ranges::all_of(nodes, [](const Node& n) {
    return node(n.location, n.index, n.mode).path == n.path;
}));

/** The entry of @p table whose name is @p name, if any. */
template <typename Table>
constexpr std::optional<typename Table::value_type>
    findNamed(const Table& table, std::string_view name)
{
    for (const auto& candidate : table)
    {
        if (candidate.name == name)
        {
            return candidate;
        }
    }
    return std::nullopt;
}

/** The node with file name @p name ("fpga-r2-adi"), if there is one. */
constexpr std::optional<Node> nodeNamed(std::string_view name)
{
    return findNamed(nodes, name);
}

/** An FPGA as fpgatool and board files name it. */
struct Fpga
{
    std::string_view name;
    Location location;
    std::size_t index; ///< remote index; 0 for the local FPGA
};

/** The local FPGA, then the remote ones by index. */
inline constexpr std::array<Fpga, 1 + remoteCount> fpgas = {{
    {"local", Location::local, 0},
    {"r0", Location::remote, 0},
    {"r1", Location::remote, 1},
    {"r2", Location::remote, 2},
    {"r3", Location::remote, 3},
}};

constexpr std::optional<Fpga> fpgaNamed(std::string_view name)
{
    return findNamed(fpgas, name);
}

/** The FPGA at @p location, @p index; none for a remote index the driver
 *  does not have. */
constexpr std::optional<Fpga> fpgaAt(Location location, std::size_t index)
{
    for (const Fpga& fpga : fpgas)
    {
        if (fpga.location == location &&
            (location == Location::local || fpga.index == index))
        {
            return fpga;
        }
    }
    return std::nullopt;
}

// The ranges of a register's coordinates.
inline constexpr std::size_t blockCount = 64;
inline constexpr std::size_t maxBlock = blockCount - 1;
inline constexpr std::size_t registersPerBlock = 16;
inline constexpr std::size_t maxOffset = registersPerBlock - 1;
inline constexpr std::size_t maxPage = 0xFFFF;
inline constexpr std::size_t maxPageDataOffset = 15;
/** Remote ADI nodes carry only the low 12 bits of the page. */
inline constexpr std::size_t remotePageMask = 0xFFF;

/**
 * One coordinate of a register within a file position: its name in board
 * files and in fpga-sim's trace, where it sits, and its largest value. The
 * first coordinate of every mode is the block.
 */
struct Coordinate
{
    std::string_view key;   ///< name in board files ("pageDataOffset")
    std::string_view trace; ///< name in fpga-sim's trace ("pdo")
    unsigned shift;         ///< bit position in a file position
    std::size_t max;        ///< largest value on the local FPGA
    std::size_t remoteMax;  ///< largest value on a remote FPGA
    bool required;          ///< a register entry must give it (else 0)
    bool hexInTrace;        ///< the trace shows it in hex ("page=0x12")
};

/**
 * What an access mode means for a node's file positions: the coordinates a
 * position carries, and whether canonical register entries stop at block
 * ends (a normal node's entry names one block). The one place a mode is
 * described: positions, coordinates, windows, board-file register entries
 * and fpga-sim's trace all follow it.
 */
struct ModeInfo
{
    Mode mode;
    std::string_view name;
    std::array<Coordinate, 4> coordinates;
    std::size_t count; ///< coordinates in use
    bool entriesSplitAtBlocks;
};

inline constexpr std::array<ModeInfo, 2> modes = {{
    {Mode::normal,
     "normal",
     {{{"block", "block", 4, maxBlock, maxBlock, true, false},
       {"offset", "offset", 0, maxOffset, maxOffset, true, false}}},
     2,
     true},
    {Mode::adi,
     "adi",
     {{{"block", "block", 24, maxBlock, maxBlock, true, false},
       {"offset", "offset", 20, maxOffset, maxOffset, true, false},
       {"page", "page", 4, maxPage, remotePageMask, false, true},
       {"pageDataOffset", "pdo", 0, maxPageDataOffset, maxPageDataOffset, false,
        false}}},
     4,
     false},
}};

/** The description of @p mode. */
constexpr const ModeInfo& modeInfo(Mode mode)
{
    return modes[static_cast<std::size_t>(mode)];
}

// Where the fields of a register's coordinates sit in a file position, as
// the mode table has them.
inline constexpr unsigned normalBlockShift =
    modeInfo(Mode::normal).coordinates[0].shift;
inline constexpr unsigned adiBlockShift =
    modeInfo(Mode::adi).coordinates[0].shift;
inline constexpr unsigned adiOffsetShift =
    modeInfo(Mode::adi).coordinates[1].shift;
inline constexpr unsigned adiPageShift =
    modeInfo(Mode::adi).coordinates[2].shift;

/** Bit position of the block field on a node in @p mode. */
constexpr unsigned blockShift(Mode mode)
{
    return modeInfo(mode).coordinates[0].shift;
}

/** File position of the register at @p values (one per coordinate of the
 *  mode, in its order) on a @p location node; each value is cut to its
 *  field's width, as the driver does. */
constexpr std::uint64_t position(Mode mode, Location location,
                                 const std::array<std::uint64_t, 4>& values)
{
    const ModeInfo& info = modeInfo(mode);
    std::uint64_t out = 0;
    for (std::size_t i = 0; i < info.count; ++i)
    {
        const Coordinate& c = info.coordinates[i];
        out |=
            (values[i] & (location == Location::remote ? c.remoteMax : c.max))
            << c.shift;
    }
    return out;
}

/** File position of a register on a normal node: block in bits 4-9,
 *  offset in bits 0-3. */
constexpr std::size_t normalPosition(std::size_t block, std::size_t offset)
{
    return position(Mode::normal, Location::local, {block, offset, 0, 0});
}

/** File position of a register on an ADI node: block in bits 24-29, offset
 *  in bits 20-23, page in bits 4-19 (4-15 on a remote node), page data
 *  offset in bits 0-3. */
constexpr std::size_t adiPosition(Location location, std::size_t block,
                                  std::size_t offset, std::size_t page,
                                  std::size_t pageDataOffset)
{
    return position(Mode::adi, location, {block, offset, page, pageDataOffset});
}

/** Register coordinates of a file position. */
struct Coordinates
{
    std::uint64_t block;
    std::uint64_t offset;
    std::uint64_t page;           ///< 0 on a normal node
    std::uint64_t pageDataOffset; ///< 0 on a normal node
};

/** The coordinates of @p position on a node in @p mode, in the mode's
 *  order; the inverse of position(). The block is not cut to its range: a
 *  position past the window gives a block past maxBlock. */
constexpr std::array<std::uint64_t, 4>
    coordinateValues(Mode mode, std::uint64_t position)
{
    const ModeInfo& info = modeInfo(mode);
    std::array<std::uint64_t, 4> out{};
    for (std::size_t i = 0; i < info.count; ++i)
    {
        const Coordinate& c = info.coordinates[i];
        out[i] = position >> c.shift & (i == 0 ? ~std::uint64_t{0} : c.max);
    }
    return out;
}

/** The register that @p position addresses on a node in @p mode, named;
 *  see coordinateValues(). */
constexpr Coordinates coordinates(Mode mode, std::uint64_t position)
{
    const auto v = coordinateValues(mode, position);
    return {v[0], v[1], v[2], v[3]};
}

/** Size of the position window of a node in @p mode: every block's
 *  registers. */
constexpr std::uint64_t window(Mode mode)
{
    return std::uint64_t{blockCount} << blockShift(mode);
}

/** Size of the position window of a normal node. */
inline constexpr std::uint64_t normalWindow = window(Mode::normal);
/** Size of the position window of an ADI node. */
inline constexpr std::uint64_t adiWindow = window(Mode::adi);

/** How many blocks @p count bytes (at least 1) from @p position touch on a
 *  node in @p mode: the bytes go to consecutive positions. */
constexpr std::uint64_t blocksTouched(Mode mode, std::uint64_t position,
                                      std::size_t count)
{
    return coordinates(mode, position + count - 1).block -
           coordinates(mode, position).block + 1;
}

/** Whether @p count bytes (at least 1) from @p page, @p pageDataOffset stay
 *  on the pages a remote ADI node carries: the bytes run on through the
 *  page data offsets into the next pages. */
constexpr bool onRemotePages(std::size_t page, std::size_t pageDataOffset,
                             std::size_t count)
{
    return (page << adiPageShift | pageDataOffset) + count - 1 <=
           (remotePageMask << adiPageShift | maxPageDataOffset);
}

/* ---------------------------------------------------------------------- */
/* Registers of the decoded blocks                                         */
/* ---------------------------------------------------------------------- */

/** Where the library reads a named register. */
enum class Home
{
    hpm,     ///< the FPGA that carries the HPM blocks
    local,   ///< the local FPGA
    remote0, ///< remote FPGA 0
};

/** A home as fpgatool names its chip and as the register tables say it. */
struct HomeName
{
    Home home;
    std::string_view chip;
    std::string_view words;
};

inline constexpr std::array<HomeName, 3> homeNames = {{
    {Home::hpm, "hpm", "HPM FPGA"},
    {Home::local, "local", "local"},
    {Home::remote0, "r0", "remote 0"},
}};

constexpr const HomeName& homeName(Home home)
{
    for (const HomeName& name : homeNames)
    {
        if (name.home == home)
        {
            return name;
        }
    }
    return homeNames.front();
}

/**
 * A run of registers the library decodes, named for people and tools
 * ("power.on-source"). Read in normal mode, or in ADI mode at page 0, page
 * data offset 0.
 */
struct Register
{
    std::string_view name;
    Home home;
    std::size_t block;
    std::size_t offset;
    std::size_t length;
    Mode mode;
    std::string_view meaning;
};

/** The block of the device-presence bytes, which also holds fan bytes. */
inline constexpr std::size_t kPresenceBlock = 12;

namespace reg
{
// clang-format off
inline constexpr Register frontButtons{"power.front-buttons", Home::hpm,
    static_cast<std::size_t>(Block::power), 0x0A, 1, Mode::normal,
    "bit 1 set: the front power and reset buttons are enabled"};
inline constexpr Register onSource{"power.on-source", Home::hpm,
    frontButtons.block, 0x0B, 1, Mode::normal,
    "upper nibble: what last powered the server on"};
inline constexpr Register offSource{"power.off-source", Home::hpm,
    frontButtons.block, 0x0C, 1, Mode::normal,
    "upper nibble: what last powered the server off"};
inline constexpr Register resetSource{"power.reset-source", Home::hpm,
    frontButtons.block, 0x0E, 1, Mode::normal,
    "upper nibble: what last reset the server"};
inline constexpr Register interrupts0{"interrupts.status0", Home::hpm,
    static_cast<std::size_t>(Block::interrupt0), 0, 16, Mode::normal,
    "interrupt status bytes behind Interrupt::status0"};
inline constexpr Register interrupts1{"interrupts.status1", Home::hpm,
    static_cast<std::size_t>(Block::interrupt1), 0, 16, Mode::normal,
    "interrupt status bytes behind Interrupt::status1"};
inline constexpr Register thermalHeader{"thermal.header", Home::hpm,
    static_cast<std::size_t>(Block::thermal), 0, 16, Mode::normal,
    "byte 0 bit 0: records readable in ADI mode; byte 13: entry count"};
inline constexpr Register thermalRecords{"thermal.records", Home::hpm,
    thermalHeader.block, 14, 16, Mode::adi,
    "16-byte records, two 6-byte entries each at bytes 1 and 7"};
inline constexpr Register fanConfig{"fans.config", Home::remote0,
    1, 7, 1, Mode::normal, "fan configuration byte"};
inline constexpr Register fanSelector{"fans.selector", Home::remote0,
    1, 9, 1, Mode::normal, "fan wiring selector"};
inline constexpr Register fanTypes{"fans.types", Home::remote0,
    kPresenceBlock, 11, 2, Mode::normal,
    "fan type codes, 2 bits per fan position"};
inline constexpr Register fanStatus{"fans.status", Home::remote0,
    kPresenceBlock, 13, 1, Mode::normal,
    "fan kinds of platform type 6"};
inline constexpr Register presence{"presence", Home::local,
    kPresenceBlock, 0, 16, Mode::normal, "device-presence bytes"};
// clang-format on
} // namespace reg

/** Every named register, in the order tools list them. */
inline constexpr std::array<Register, 13> registers = {
    reg::frontButtons,  reg::onSource,       reg::offSource,
    reg::resetSource,   reg::interrupts0,    reg::interrupts1,
    reg::thermalHeader, reg::thermalRecords, reg::fanConfig,
    reg::fanSelector,   reg::fanTypes,       reg::fanStatus,
    reg::presence,
};

// Every home a register names has its names.
static_assert(std::ranges::all_of(registers, [](const Register& r) {
    return homeName(r.home).home == r.home;
}));

constexpr std::optional<Register> registerNamed(std::string_view name)
{
    return findNamed(registers, name);
}

/** Fields of the thermal header (reg::thermalHeader) and of the records
 *  (reg::thermalRecords) it counts. */
namespace thermal
{
/** Header byte 0 bit 0: the records are readable in ADI mode. */
inline constexpr std::size_t adiFlagByte = 0;
inline constexpr std::uint8_t adiFlag = 0x01;
/** Header byte 13: the number of entries. */
inline constexpr std::size_t entryCountByte = 13;
/** A record holds two entries of six bytes, starting at these bytes. */
inline constexpr std::array<std::size_t, 2> entryStarts = {1, 7};
inline constexpr std::size_t entrySize = 6;

/** The records that hold @p entryCount entries: an odd last entry has no
 *  record of its own. */
constexpr std::size_t recordCount(std::uint8_t entryCount)
{
    return entryCount / entryStarts.size();
}
} // namespace thermal

/** A board's platform type (getPlatformType) by the chip id of its local
 *  FPGA, searched in order. */
struct Platform
{
    std::uint8_t chipId;
    int type;
};
inline constexpr std::array<Platform, 7> platforms = {{
    {0x7A, 0},
    {0x7B, 1},
    {0x4C, 2},
    {0x34, 3},
    {0x40, 4},
    {0x48, 6},
    {0x51, 5},
}};
/** A local chip with this id leaves the decision to remote FPGA 0. */
inline constexpr std::uint32_t chainedChipId = 0x34;
inline constexpr int unknownPlatformType = 7;

/** Block numbers of an HPM FPGA, by Block. */
using BlockTable = std::array<std::size_t, blockCount>;

inline constexpr BlockTable identityBlocks = [] {
    BlockTable table{};
    for (std::size_t i = 0; i < blockCount; ++i)
    {
        table[i] = i;
    }
    return table;
}();

/** How an HPM FPGA of an interface version numbers the blocks. */
struct BlockTranslation
{
    std::uint32_t ifaceVer;
    const BlockTable* table;
};

/** The interface versions the HPM routing supports; no other has blocks. */
inline constexpr std::array<BlockTranslation, 2> blockTranslations = {{
    {2, &identityBlocks},
    {3, &identityBlocks},
}};

/** Fields of the power registers. */
namespace power
{
inline constexpr unsigned sourceShift = 4;
inline constexpr std::uint8_t frontButtonsEnable = 0x02;
} // namespace power

} // namespace tavrin_fpga::layout
