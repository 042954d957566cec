// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "board.hpp"
#include "change.hpp"

#include <string>
#include <utility>
#include <vector>

/**
 * @file board_edit.hpp
 * @brief Applying a change to a board, in place.
 *
 * Each edit reads its value with the board file's own field reader (so
 * messages and field paths are those of --check), replaces the one object
 * it names, and the rules that touch the objects it changed are checked
 * once every edit is in. A change costs what it changes: setting an
 * attribute does not walk the board, and a node's registers replaced cost
 * their size. A refused change leaves the board exactly as it was.
 */
namespace fpga_sim
{

/** @brief What a change leaves besides the board. */
struct Applied
{
    /** Bytes to write into the live registers of nodes (by path), which
     *  the board does not keep and a reset therefore undoes. */
    std::vector<std::pair<std::string, Registers>> pokes;
    /** The nodes (by path) whose registers the board now gives anew. */
    std::vector<std::string> registersSet;
};

/**
 * @brief Apply @p change to @p board.
 *
 * Refused, changing nothing, when a value is not one the reader accepts,
 * when the board that results breaks a rule between fields, and for what
 * cannot change under a running command: the probe directories, a node
 * becoming or ceasing to be "missing" or "fifo", and the scenario; a poke
 * or a failure added to a node that is "missing" or "fifo" is refused too.
 *
 * @throws BoardError with the field path and the problem
 */
Applied applyChange(Board& board, const Change& change);

} // namespace fpga_sim
