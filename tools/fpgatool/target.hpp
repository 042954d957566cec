// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <libfpga.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

/**
 * @file target.hpp
 * @brief Which FPGA and register a command addresses, and the library call
 *        that reaches it.
 */
namespace fpgatool
{

using tavrin_fpga::Location;
using tavrin_fpga::Operation;

/** Remote FPGAs are numbered 0 to this. */
inline constexpr std::size_t maxRemote = 3;
inline constexpr std::size_t maxBlock = 63;
inline constexpr std::size_t maxOffset = 15;
inline constexpr std::size_t maxPage = 0xFFFF;
inline constexpr std::size_t maxPageDataOffset = 15;

/** A chip as the user names it: "local", "r0" to "r3", or "hpm" for the
 *  FPGA that carries the HPM blocks, wherever the driver says it is. */
struct Chip
{
    enum class Kind
    {
        local,
        remote,
        hpm,
    };
    Kind kind = Kind::local;
    /** Remote index; 0 for the other kinds. */
    std::size_t index = 0;
};

/** Why @p name names no chip, or "" when it does. */
std::string chipNameError(std::string_view name);

/** The chip of a name that chipNameError() accepts. */
Chip parseChip(std::string_view name);

/** "local", "r0" to "r3" or "hpm". */
std::string chipName(const Chip& chip);

/** A physical FPGA. */
struct Fpga
{
    Location location = Location::local;
    std::size_t index = 0;
};

/** "local" or "r0" to "r3". */
std::string fpgaName(const Fpga& fpga);

/** The physical FPGA of a chip. For "hpm" the library is asked; when it
 *  cannot tell, the local FPGA is used, as the library itself does.
 *  @throws std::invalid_argument for a malformed HPM attribute */
Fpga resolve(const Chip& chip);

/** A register: block and offset, plus page and page data offset in ADI
 *  mode. */
struct Address
{
    struct Paged
    {
        std::size_t page = 0;
        std::size_t pageDataOffset = 0;
    };
    std::size_t block = 0;
    std::size_t offset = 0;
    std::optional<Paged> adi;
};

/** The driver's device node of an FPGA in the address's mode. */
std::string nodePath(const Fpga& fpga, const Address& address);

/** The node position the library seeks to for an address. Remote ADI nodes
 *  carry only the low 12 bits of the page. */
std::uint64_t nodePosition(const Fpga& fpga, const Address& address);

/** Hex digits that show every position of the address's mode. */
int positionDigits(const Address& address);

/** The library call that transfer() makes for a chip and mode:
 *  raw[Remote|Hpm]{Normal|Adi}Access. */
std::string transferCall(const Chip& chip, const Address& address);

/** Move bytes with transferCall(); for "hpm" the block is passed as a
 *  Block, which the library translates. @return the call's result */
int transfer(const Chip& chip, Operation op, const Address& address,
             std::span<char> buffer);

} // namespace fpgatool
