// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "board.hpp"

#include <cstdint>
#include <string>
#include <vector>

/**
 * @file published.hpp
 * @brief What a Board puts at the driver's paths, entry by entry.
 *
 * The one answer to "which files exist, where, and what is each": World
 * makes them real files in a tmpfs, fpga-sim serves them with FUSE. Each
 * front end keeps its own mechanics (how a node stores bytes, how the reset
 * behaves) but takes the list of what exists from here.
 */
namespace fpga_sim
{

/** @brief One directory or file the driver publishes. */
struct Published
{
    enum class Kind
    {
        dir,       ///< a probe directory
        attribute, ///< a text attribute: text
        reset,     ///< the reset control, written "1" then "0"
        node,      ///< a device node: device, node, size
        fifo,      ///< a FIFO in a device node's place: device
    };

    Kind kind;
    std::string path;
    /** Attribute: the whole file content. */
    std::string text;
    /**
     * Dir: no file can be created in it. Reset and node: opening it for
     * writing fails.
     */
    bool readOnly = false;
    /** Node and FIFO: which of the driver's nodes. */
    const layout::Node* device = nullptr;
    /** Node: its registers, read limit and failures, in the board. */
    const Node* node = nullptr;
    /** Node: where its data ends (its window, or a truncated node's size). */
    std::uint64_t size = 0;
    /** Permission bits, owner and group, as the driver gives them:
     *  directories 0755, attributes 0444 (the reset 0644, for it reads
     *  back), nodes as the board says. */
    unsigned mode = 0444;
    std::uint32_t owner = 0;
    std::uint32_t group = 0;
};

/**
 * @brief Everything @p board publishes: the probe directories, each before
 *        its files, then the device nodes. Entries point into @p board.
 */
std::vector<Published> published(const Board& board);

} // namespace fpga_sim
