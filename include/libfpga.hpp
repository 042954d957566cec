// SPDX-License-Identifier: Apache-2.0
/**
 * @file libfpga.hpp
 * @brief The one public header of libfpga: access to the server's FPGAs from
 *        the services of the BMC.
 *
 * The FPGA driver publishes per-chip attributes in its SPI device's sysfs
 * directory and one character device node per FPGA and access mode. This
 * library reads those attributes, performs checked register transfers through
 * the nodes, routes accesses to the FPGA that carries the HPM blocks and
 * decodes a few register blocks into records.
 *
 * Conventions shared by every function:
 * - A chip is addressed by a Location and a remote index (0 to 3); the index
 *   is ignored for Location::local.
 * - Functions returning `int` return 0 on success or a negative errno value:
 *   -ENODEV (chip not detected), -EINVAL (argument out of range, or block not
 *   available on the HPM FPGA), -EFAULT (block disabled, or node cannot be
 *   opened), -EIO (thermal block without ADI mode), -ENODATA (platform type
 *   not supported), or the negated errno of a failed node transfer.
 *   getHPMLocation() alone returns a positive errno value.
 * - The library throws nothing of its own. What can escape:
 *   std::filesystem::filesystem_error (the sysfs directory probe failed for a
 *   reason other than absence), std::invalid_argument (a malformed "blocks"
 *   attribute, or an HPM attribute "remote" without a digit), std::bad_alloc
 *   and std::length_error.
 * - Every diagnostic is one error-level journal entry with named fields.
 *
 * Thread safety: every function may be called from several threads at once.
 * The two process-wide caches (the sysfs directory and the HPM location) are
 * filled once under a lock; each call opens and closes its own files. The
 * checks and the transfer of one access are not atomic with respect to the
 * hardware, and setFrontButtonsEnabled() is a read followed by a write.
 */
#pragma once

// One message below C++20, rather than one per construct the rest needs.
#if __cplusplus < 202002L
#error "libfpga.hpp needs C++20: compile with -std=c++20 or later"
#else

/** @brief The version of libfpga this header belongs to. */
#define LIBFPGA_VERSION "0.1.0"
#define LIBFPGA_VERSION_MAJOR 0
#define LIBFPGA_VERSION_MINOR 1
#define LIBFPGA_VERSION_PATCH 0

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#if defined(__GNUC__)
#define LIBFPGA_EXPORT __attribute__((visibility("default")))
#else
#define LIBFPGA_EXPORT
#endif

namespace tavrin_fpga
{

/** @brief Which FPGA: the local one, or a remote one chosen by an index. */
enum class Location : std::uint32_t
{
    local = 0,
    remote = 1,
};

/** @brief Direction of a transfer; any value other than 0 writes. */
enum class Operation : std::uint32_t
{
    read = 0,
    write = 1,
};

/**
 * @brief Register blocks of an FPGA, numbered 0 to 63.
 *
 * Only the blocks the library decodes itself are named; any number from 0 to
 * 63 may be passed as a Block.
 */
enum class Block : std::uint32_t
{
    power = 4,
    interrupt0 = 6,
    interrupt1 = 7,
    thermal = 8,
};

/** @brief Everything the driver reports about one chip. */
struct Firmware
{
    bool detected;                   ///< chipDetected()
    std::uint32_t chipId;            ///< getChipId()
    std::uint32_t ifaceVer;          ///< getIfaceVer()
    std::string firmwareVerStr;      ///< getFirmwareVerStr()
    std::uint32_t firmwareMajor;     ///< bits 8 to 15 of getFirmwareVer()
    std::uint32_t firmwareMinor;     ///< bits 0 to 7 of getFirmwareVer()
    std::bitset<64> supportedBlocks; ///< getSupportedBlocks()
};

/** @brief Power-on source code, 0 to 15, as the FPGA reports it. */
enum class PowerOnSource : std::uint32_t
{
};

/** @brief Power-off source code, 0 to 15, as the FPGA reports it. */
enum class PowerOffSource : std::uint32_t
{
};

/** @brief Reset source code, 0 to 15, as the FPGA reports it. */
enum class PowerResetSource : std::uint32_t
{
};

/** @brief The two decoded interrupt masks; bit n is interrupt source n. */
struct Interrupt
{
    std::uint64_t status0; ///< from Block::interrupt0
    std::uint64_t status1; ///< from Block::interrupt1
};

/** @brief One thermal entry: six register bytes, each 0 to 255. */
struct Thermal
{
    std::uint32_t value0;
    std::uint32_t value1;
    std::uint32_t value2;
    std::uint32_t value3;
    std::uint32_t value4;
    std::uint32_t value5;
};

/**
 * @brief Fan layout of platform types 4, 5 and 6.
 *
 * All members are unsigned bytes or arrays of unsigned bytes, byte-aligned,
 * so the record may be cleared with memset and copied with memcpy, and
 * fanTypes and fanTypeCodes passed where a std::uint8_t* is expected.
 */
struct PlatformInformation
{
    std::uint8_t fanConfig;       ///< 1, 2 or 3; written on types 4 and 5 only
    std::uint8_t fanCount;        ///< number of valid entries in fanTypes
    std::uint8_t reserved;        ///< always 0
    std::uint8_t fanTypes[24];    ///< raw fan-type code per slot
    std::uint8_t fanTypeCodes[4]; ///< empty slot, kinds 1 to 3
};

/** @brief Older spelling of PlatformInformation. */
using PLAT_INFO = PlatformInformation;

/** @brief The device-presence bit sets of platform types 0 and 1. */
struct PlatDevPresence
{
    std::uint32_t presence0;
    std::uint32_t presence1;
    std::uint32_t presence2;
    std::uint32_t presence3;
    std::uint32_t presence4;
    std::uint32_t presence5;
    std::uint32_t presence6;
};

/** @brief D-Bus bus name of the FPGA services. */
inline const std::string fpgaBusName = "com.tavrin.fpga";
/** @brief D-Bus object path of the FPGA log memory. */
inline const std::string fpgaLogMemObjectPath = "/com/tavrin/fpga/logmem";
/** @brief D-Bus interface of the FPGA log memory. */
inline const std::string fpgaLogMemInterface = "com.tavrin.fpga.logmem";

/* ---------------------------------------------------------------------- */
/* Chip attributes                                                         */
/* ---------------------------------------------------------------------- */

/**
 * @brief Full path of a per-chip attribute in the driver's sysfs directory.
 *
 * "fpga_loc_" + attr for the local chip, "fpga_rmt" + index + "_" + attr for
 * a remote one. The index is not range-checked.
 * @throws std::filesystem::filesystem_error if the directory probe fails.
 */
LIBFPGA_EXPORT std::string devAttrFilePath(
    const std::string& attr, Location location, std::size_t index);

/** @brief Whether the chip's "detected" attribute reports it present;
 *         false when the attribute cannot be read. Logs nothing. */
LIBFPGA_EXPORT bool chipDetected(Location location, std::size_t index);

/** @brief The chip's "chip_id" (hexadecimal); 0 when unreadable. */
LIBFPGA_EXPORT std::uint32_t getChipId(Location location, std::size_t index);

/** @brief The chip's "iface_ver" (hexadecimal); 0 when unreadable. */
LIBFPGA_EXPORT std::uint32_t getIfaceVer(Location location, std::size_t index);

/** @brief First line of the chip's "fw_version"; empty when unreadable. */
LIBFPGA_EXPORT std::string
    getFirmwareVerStr(Location location, std::size_t index);

/** @brief Firmware version packed as major << 8 | minor (each 8 bits);
 *         0 when unreadable. */
LIBFPGA_EXPORT std::uint32_t
    getFirmwareVer(Location location, std::size_t index);

/**
 * @brief The chip's supported-block set from its "blocks" attribute.
 * @return the set; empty when the attribute cannot be read.
 * @throws std::invalid_argument for a character other than '0' or '1'.
 */
LIBFPGA_EXPORT std::bitset<64>
    getSupportedBlocks(Location location, std::size_t index);

/**
 * @brief Whether block number @p block is in the chip's supported set.
 *
 * The attribute is read on every call. A block of 64 or more is never
 * supported and reads nothing.
 * @throws std::invalid_argument for a malformed "blocks" attribute.
 */
LIBFPGA_EXPORT bool blockSupported(std::size_t block, Location location,
                                   std::size_t index);

/**
 * @brief Fill @p firmware with every attribute of one chip.
 *
 * Every field is overwritten, present chip or not. If the "blocks"
 * conversion throws, supportedBlocks keeps its value and the exception
 * passes on.
 */
LIBFPGA_EXPORT void getFirmwareInfo(Location location, std::size_t index,
                                    Firmware& firmware);

/* ---------------------------------------------------------------------- */
/* Register transfers                                                      */
/* ---------------------------------------------------------------------- */

/**
 * @brief Read or write registers of the local FPGA in normal mode.
 *
 * Moves min(length, buffer.size()) bytes at block * 16 + offset of
 * "/dev/fpga-cdev". A zero count or a null buffer transfers nothing.
 * @return 0; -ENODEV if the chip is not detected; -EINVAL if block > 63 or
 *         offset > 15; -EFAULT if the block is disabled or the node does not
 *         open; the negated errno of a failed transfer (-EIO when the read
 *         ends early at end of data).
 */
LIBFPGA_EXPORT int rawNormalAccess(Operation op, std::size_t block,
                                   std::size_t offset, std::size_t length,
                                   std::span<char> buffer);

/**
 * @brief rawNormalAccess() on remote FPGA @p index ("/dev/fpga-rN").
 * @return as rawNormalAccess(); -ENODEV also for an index above 3.
 */
LIBFPGA_EXPORT int rawRemoteNormalAccess(
    std::size_t index, Operation op, std::size_t block, std::size_t offset,
    std::size_t length, std::span<char> buffer);

/**
 * @brief Read or write a paged register of the local FPGA in ADI mode
 *        ("/dev/fpga-adi").
 * @return as rawNormalAccess(); -EINVAL also for page > 0xFFFF or
 *         pageDataOffset > 15.
 */
LIBFPGA_EXPORT int rawAdiAccess(
    Operation op, std::size_t block, std::size_t offset, std::size_t page,
    std::size_t pageDataOffset, std::size_t length, std::span<char> buffer);

/**
 * @brief rawAdiAccess() on remote FPGA @p index ("/dev/fpga-rN-adi"); only
 *        the low 12 bits of the page reach a remote node.
 * @return as rawAdiAccess(); -ENODEV also for an index above 3.
 */
LIBFPGA_EXPORT int rawRemoteAdiAccess(
    std::size_t index, Operation op, std::size_t block, std::size_t offset,
    std::size_t page, std::size_t pageDataOffset, std::size_t length,
    std::span<char> buffer);

/* ---------------------------------------------------------------------- */
/* Platform type and HPM routing                                           */
/* ---------------------------------------------------------------------- */

/**
 * @brief Platform type 0 to 6 from the local chip id (and remote 0's id when
 *        the local one is 0x34); 7 when no type matches. Logs nothing.
 */
LIBFPGA_EXPORT int getPlatformType();

/**
 * @brief Which FPGA carries the HPM blocks; read once, then cached.
 * @return 0 with both out-parameters set; a positive errno value when the
 *         "tavrin_fpga_hpm_chip" attribute does not open (out-parameters
 *         untouched, nothing cached).
 * @throws std::invalid_argument for the word "remote" without a digit.
 */
LIBFPGA_EXPORT int getHPMLocation(Location& location, std::size_t& index);

/**
 * @brief Block number of @p block on the given FPGA.
 * @return the number for interface versions 2 and 3 (a value above 63 is
 *         returned as is); 0, with a journal entry, for any other version.
 */
LIBFPGA_EXPORT std::size_t blockId(Location location, std::size_t index,
                                   Block block);

/**
 * @brief rawNormalAccess() on the FPGA that carries the HPM blocks.
 * @return as rawNormalAccess(); -EINVAL when the block is not available on
 *         that FPGA.
 */
LIBFPGA_EXPORT int rawHpmNormalAccess(Operation op, Block block,
                                      std::size_t offset, std::size_t length,
                                      std::span<char> buffer);

/**
 * @brief rawAdiAccess() on the FPGA that carries the HPM blocks.
 * @return as rawAdiAccess(); -EINVAL when the block is not available on
 *         that FPGA.
 */
LIBFPGA_EXPORT int rawHpmAdiAccess(
    Operation op, Block block, std::size_t offset, std::size_t page,
    std::size_t pageDataOffset, std::size_t length, std::span<char> buffer);

/* ---------------------------------------------------------------------- */
/* Reset                                                                   */
/* ---------------------------------------------------------------------- */

/**
 * @brief Reset the FPGA: write "1", then "0", to "tavrin_fpga_reset".
 *
 * A missing attribute is logged once per write; nothing is returned.
 */
LIBFPGA_EXPORT void resetFpga();

/* ---------------------------------------------------------------------- */
/* Decoded views                                                           */
/* ---------------------------------------------------------------------- */

/** @brief Power-on source: upper nibble of power block offset 11.
 *  @return 0, or the access layer's negative code (source untouched). */
LIBFPGA_EXPORT int getPowerOnSource(PowerOnSource& source);

/** @brief Power-off source: upper nibble of power block offset 12.
 *  @return 0, or the access layer's negative code (source untouched). */
LIBFPGA_EXPORT int getPowerOffSource(PowerOffSource& source);

/** @brief Reset source: upper nibble of power block offset 14.
 *  @return 0, or the access layer's negative code (source untouched). */
LIBFPGA_EXPORT int getPowerResetSource(PowerResetSource& source);

/** @brief Front-button enable: bit 1 of power block offset 10.
 *  @return 0, or the access layer's negative code (enabled untouched). */
LIBFPGA_EXPORT int getFrontButtonsEnabled(bool& enabled);

/** @brief Enable or disable the front buttons; writes only when the state
 *         differs, keeping the other bits as read.
 *  @return 0, or the negative code of the failing read or write. */
LIBFPGA_EXPORT int setFrontButtonsEnabled(bool enabled);

/** @brief The two interrupt masks of blocks 6 and 7.
 *  @return 0, or the failing read's code (record untouched). */
LIBFPGA_EXPORT int getInterrupts(Interrupt& interrupt);

/** @brief The thermal entries of block 8; replaces the vector's contents.
 *  @return 0; -EIO when the block does not offer ADI mode; or the failing
 *          read's code (vector untouched). */
LIBFPGA_EXPORT int getThermals(std::vector<Thermal>& thermals);

/** @brief Fan layout of platform types 4, 5 and 6, read from remote FPGA 0.
 *  @return 0; -ENODATA on other platform types; or the failing read's code
 *          (record partly written). */
LIBFPGA_EXPORT int getPlatform(PlatformInformation& info);

/** @brief Device-presence bits of platform types 0 and 1 (local block 12).
 *  @return 0; -ENODATA on other platform types; or the failing read's code
 *          (record untouched). */
LIBFPGA_EXPORT int getPlatDevPresence(PlatDevPresence& presence);

} // namespace tavrin_fpga

#endif // __cplusplus >= 202002L
