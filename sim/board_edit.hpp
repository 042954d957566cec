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
 * A change is applied in two halves. prepareChange() resolves its field
 * paths and reads every value with the board file's own field reader (so
 * messages and field paths are those of --check): all the parsing, and
 * nothing that depends on the board. applyChange() then moves each value
 * into the one object it names, and the rules that touch the objects it
 * changed are checked once every edit is in: it costs what the board
 * changes in memory, a node's registers replaced by moving them, not by
 * reading them. A scenario step is prepared once, when the board file is
 * read, so that a running fpga-sim only moves its values in. A refused
 * change leaves the board exactly as it was.
 */
namespace fpga_sim
{

/** @brief What a change leaves besides the board. */
struct Applied
{
    /** Bytes to write into the live registers of nodes (by path), which
     *  the board does not keep and a reset therefore undoes. */
    std::vector<std::pair<std::string, Registers>> pokes;
    /** The nodes (by path) whose registers the board now gives anew, each
     *  with a copy of them for the live registers, made when the change
     *  was prepared. The last entry of a node is its state. */
    std::vector<std::pair<std::string, Registers>> registersSet;
};

/**
 * @brief Resolve the field paths of @p change and read its values.
 * @throws BoardError with the field path and the problem of a path or a
 *         value that is not one the reader accepts
 */
PreparedChange prepareChange(const Change& change);

/**
 * @brief Apply a prepared change to @p board, moving its values in: a
 *        prepared change is applied once (a copy of it to another board).
 *
 * Refused, changing nothing, when the board that results breaks a rule
 * between fields, and for what cannot change under a running command: the
 * probe directories, a node becoming or ceasing to be "missing" or "fifo",
 * and the scenario; a poke or a failure added to a node that is "missing"
 * or "fifo" is refused too.
 *
 * @throws BoardError with the field path and the problem
 */
Applied applyChange(Board& board, PreparedChange&& change);

/** @brief prepareChange() and applyChange() in one. @throws BoardError */
Applied applyChange(Board& board, const Change& change);

} // namespace fpga_sim
