// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "base/device_layout.hpp"
#include "scenario.hpp"

#include <libfpga.hpp>

#include <array>
#include <bitset>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

/**
 * @file board.hpp
 * @brief A plain description of what the FPGA driver publishes on one board.
 *
 * A Board is data only: which SPI device directory carries the driver, the
 * text of every attribute file, and the register contents and faults of the
 * ten device nodes. It knows nothing about how it is put in place; World
 * (world.hpp) materialises it as files inside a private mount namespace.
 * Keep it that way so other front ends can serve the same description.
 *
 * Register contents are stored sparsely: a node reads as zero wherever no
 * byte was set. Where files are and how positions address registers is the
 * driver's layout (base/device_layout.hpp); the names below are that
 * layout's, kept in this namespace for the users of the board.
 */
namespace fpga_sim
{

using tavrin_fpga::Location;
namespace layout = tavrin_fpga::layout;

/** @brief Which SPI device directories carry the "tavrin_fpga_wakeup" mark:
 *         bit i for layout::probeDirs[i]. */
enum class ProbeDirs
{
    none = 0,             ///< neither: the library finds no driver directory
    spi22 = 1 << 0,       ///< "/sys/bus/spi/devices/spi2.2" only
    spi20 = 1 << 1,       ///< "/sys/bus/spi/devices/spi2.0" only
    both = spi22 | spi20, ///< both; the driver's attributes live in spi2.2
};

// The layout's names as C strings (string literals, so NUL-terminated), for
// callers that pass them where a C string or a std::string is wanted.
inline constexpr const char* spi22Dir = layout::probeDirs[0].data();
inline constexpr const char* spi20Dir = layout::probeDirs[1].data();
inline constexpr const char* hpmChipAttr = layout::hpmChipAttr.data();
inline constexpr const char* resetAttr = layout::resetAttr.data();

using layout::adiPosition;
using layout::adiWindow;
using layout::chipAttrName;
using layout::Mode;
using layout::normalPosition;
using layout::normalWindow;

/**
 * @brief The text of the five per-chip attribute files of one chip.
 *
 * An unset member means the file does not exist. The text is written as
 * given, so include the trailing "\n" that sysfs shows where it matters.
 */
struct ChipAttributes
{
    std::optional<std::string> detected;
    std::optional<std::string> chipId;
    std::optional<std::string> ifaceVer;
    std::optional<std::string> fwVersion;
    std::optional<std::string> blocks;

    bool operator==(const ChipAttributes&) const = default;
};

/** @brief A per-chip attribute: its key in board files, its file
 *         (layout::chipAttrs) and where ChipAttributes keeps its text. */
struct ChipField
{
    const char* key;
    std::string_view file;
    std::optional<std::string> ChipAttributes::*text;
};

inline constexpr std::array<ChipField, layout::chipAttrs.size()> chipFields = {{
    {"detected", layout::detectedAttr, &ChipAttributes::detected},
    {"chipId", layout::chipIdAttr, &ChipAttributes::chipId},
    {"ifaceVer", layout::ifaceVerAttr, &ChipAttributes::ifaceVer},
    {"fwVersion", layout::fwVersionAttr, &ChipAttributes::fwVersion},
    {"blocks", layout::blocksAttr, &ChipAttributes::blocks},
}};

/** @brief How a device node misbehaves. */
enum class NodeFault
{
    none,      ///< a regular node sized to its full window
    missing,   ///< no file at the node's path
    readOnly,  ///< exists, but an open for writing fails (EROFS)
    truncated, ///< shorter than its window: reads stop early at end of data
    fifo,      ///< a FIFO stands at the path, so seeking fails (ESPIPE)
};

/** @brief Which transfers a TransferFault hits. */
enum class FaultOps
{
    read,
    write,
    both,
};

/**
 * @brief A transfer on a node that fails with an errno.
 *
 * Only the live simulator (fpga-sim) can make a read or write system call
 * fail; World's plain files cannot, and ignore these.
 */
struct TransferFault
{
    /** The errno the failing read or write reports. */
    int error = EIO;
    FaultOps ops = FaultOps::both;
    /** Fail only transfers that touch this block; unset: every transfer. */
    std::optional<std::size_t> block;

    bool operator==(const TransferFault&) const = default;
};

/**
 * @brief The register bytes of a node that were set, by position.
 *
 * Kept in pages of 256 positions, allocated when a byte of the page is
 * first set: a few bytes per register byte for a dense node, one page for a
 * lone register. A byte never set reads as zero, but is told apart from a
 * byte set to zero, so that a board file's entries come back as written.
 */
class Registers
{
  public:
    static constexpr std::uint64_t pageSize = 256;

    Registers() = default;
    Registers(
        std::initializer_list<std::pair<std::uint64_t, std::uint8_t>> bytes);

    /** @brief Set @p count bytes from @p position on. */
    void set(std::uint64_t position, const std::uint8_t* values,
             std::size_t count);

    /** @brief Read @p count bytes from @p position on; zero where unset. */
    void read(std::uint64_t position, std::uint8_t* out,
              std::size_t count) const;

    bool empty() const
    {
        return pages.empty();
    }

    /** @brief A run of consecutive set positions and their bytes. */
    struct Run
    {
        std::uint64_t start;
        std::vector<std::uint8_t> bytes;
    };

    /** @brief The set bytes as runs of consecutive positions, in order. */
    std::vector<Run> runs() const;

    bool operator==(const Registers&) const = default;

  private:
    struct Page
    {
        std::array<std::uint8_t, pageSize> bytes{};
        std::bitset<pageSize> set;

        bool operator==(const Page&) const = default;
    };
    /** Pages by position / pageSize; unset bytes of a page stay zero. */
    std::map<std::uint64_t, Page> pages;
};

/** @brief One device node: its fault and its register bytes. */
struct Node
{
    NodeFault fault = NodeFault::none;
    /** File size used when fault is NodeFault::truncated. */
    std::uint64_t truncatedSize = 0;
    /** Register bytes by position; positions not set read as zero. */
    Registers bytes;
    /**
     * Most bytes one read delivers (0: no limit), so a transfer arrives in
     * several short reads. Honoured by the live simulator only.
     */
    std::size_t maxRead = 0;
    /** Transfers that fail; the first matching entry decides. Honoured by
     *  the live simulator only. */
    std::vector<TransferFault> failures;
    /** Permission bits, owner and group of the node file, as the driver's
     *  udev rule gives them: root's alone by default. Honoured by the live
     *  simulator only. */
    unsigned mode = 0600;
    std::uint32_t owner = 0;
    std::uint32_t group = 0;

    bool operator==(const Node&) const = default;
};

/** @brief The path of the device node of a chip in a mode.
 *  @throws std::out_of_range for a remote index without a node */
std::string nodePath(Location location, std::size_t index, Mode mode);

/** @brief The device node at @p path. @throws std::out_of_range */
const layout::Node& nodeAt(const std::string& path);

/** @brief Window size of the node at @p path. @throws std::out_of_range */
std::uint64_t windowOf(const std::string& path);

/** @brief The directory that holds the probe directories. */
std::string spiDevicesDir();

/** @brief A "blocks" attribute text offering exactly @p blocks. */
std::string blocksText(std::initializer_list<std::size_t> blocks);

/** @brief A "blocks" attribute text offering all 64 blocks. */
std::string allBlocksText();

/** @brief Everything the driver publishes on one board. */
struct Board
{
    /** Free text about the board, for the people who use it. */
    std::string description;
    ProbeDirs probe = ProbeDirs::spi22;
    /** Attributes of the local chip. */
    ChipAttributes local;
    /** Attributes of remote chips by index; any index may be described. */
    std::map<std::size_t, ChipAttributes> remotes;
    /** Text of "tavrin_fpga_hpm_chip"; unset: the file does not exist. */
    std::optional<std::string> hpmChip;
    /** Whether "tavrin_fpga_reset" exists (as an empty file). */
    bool resetAttribute = true;
    /** "tavrin_fpga_reset" exists but cannot be opened for writing. */
    bool readOnlyReset = false;
    /**
     * Make the driver directory read-only after filling it, as sysfs is:
     * a missing attribute cannot then be created by opening it for writing.
     */
    bool readOnlyDriverDir = false;
    /** Owner and group of the driver's directories and attributes (root's,
     *  as in sysfs). Honoured by the live simulator only. */
    std::uint32_t attributeOwner = 0;
    std::uint32_t attributeGroup = 0;
    /** The ten device nodes by path; all present and zero by default. */
    std::map<std::string, Node> nodes;
    /** Changes made while a command runs (fpga-sim only; scenario.hpp). */
    std::vector<ScenarioStep> scenario;

    Board();

    bool operator==(const Board&) const = default;

    /** @brief Whether layout::probeDirs[@p probeDir] carries the mark. */
    bool marks(std::size_t probeDir) const;

    /** @brief The driver directory that carries the attributes, or "". */
    std::string driverDir() const;

    /** @brief Attributes of a chip; the index is ignored for local. */
    ChipAttributes& chip(Location location, std::size_t index = 0);

    /** @brief The node of a chip in a mode. */
    Node& node(Location location, std::size_t index, Mode mode);

    /**
     * @brief Describe a working chip: detected "1", the given chip id and
     *        interface version, firmware "1 0" and every block enabled.
     */
    Board& presentChip(Location location, std::size_t index,
                       const std::string& chipId = "0x7a",
                       const std::string& ifaceVer = "0x2");

    /** @brief Set register bytes of a node starting at @p position. */
    Board& setBytes(Location location, std::size_t index, Mode mode,
                    std::uint64_t position,
                    const std::vector<std::uint8_t>& values);
};

} // namespace fpga_sim
