// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "sim/board.hpp"

#include <libfpga.hpp>

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

/**
 * @file hpm_board.hpp
 * @brief Boards for the decoded views of the HPM blocks.
 *
 * The power, interrupt and thermal readers find the HPM FPGA through the
 * driver's "tavrin_fpga_hpm_chip" attribute; their tests run once with the
 * HPM blocks on the local FPGA and once on a remote one.
 */
namespace fpga_test
{

/** @brief Where a board carries the HPM blocks. */
struct HpmPlace
{
    tavrin_fpga::Location location;
    std::size_t index;
    /** The word in "tavrin_fpga_hpm_chip". */
    const char* word;
    /** LOCATION of the routing layer's "not availble" entry. */
    const char* locationName;
};

inline constexpr HpmPlace localHpm{tavrin_fpga::Location::local, 0, "local",
                                   "local"};
inline constexpr HpmPlace remoteHpm{tavrin_fpga::Location::remote, 2, "remote2",
                                    "remote"};

inline void PrintTo(const HpmPlace& hpm, std::ostream* os)
{
    *os << hpm.word;
}

/** @brief A board whose one chip is a working HPM FPGA at @p hpm, with
 *         every block enabled and all registers 0. */
inline fpga_sim::Board hpmBoard(const HpmPlace& hpm)
{
    fpga_sim::Board board;
    board.hpmChip = std::string(hpm.word) + "\n";
    board.presentChip(hpm.location, hpm.index);
    return board;
}

/** @brief A "blocks" attribute text offering every block but @p missing. */
inline std::string blocksWithout(const std::vector<std::size_t>& missing)
{
    std::string text(64, '1');
    for (std::size_t block : missing)
    {
        text[63 - block] = '0';
    }
    return text + "\n";
}

/** @brief The device node of the HPM FPGA in @p mode. */
inline std::string hpmNode(const HpmPlace& hpm, fpga_sim::Mode mode)
{
    return fpga_sim::nodePath(hpm.location, hpm.index, mode);
}

} // namespace fpga_test
