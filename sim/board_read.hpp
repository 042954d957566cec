// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "board.hpp"
#include "board_fields.hpp"
#include "change.hpp"
#include "node_fields.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

/**
 * @file board_read.hpp
 * @brief A running board read back in the board file's words: a field's
 *        value, the registers a peek reads, the registers the layout
 *        names. Paths, nodes and coordinates are checked as a change
 *        checks them, with the same messages.
 */
namespace fpga_sim
{

/** @brief A field path as a change checks it, and what it names. */
struct FieldRef
{
    std::string path;
    /** The keys of the path ("chips", "r0", "detected"). */
    std::vector<std::string> parts;
    const BoardField* top = nullptr;
    /** chips.C and below: the chip (nullopt: the local one). */
    std::optional<std::size_t> chip;
    /** chips.C.A: the attribute. */
    const ChipField* attribute = nullptr;
    /** nodes.N and below: the node's device path. */
    std::string device;
    /** nodes.N.F: the node's field. */
    const NodeField* nodeField = nullptr;
};

/** @brief The field at @p path, which may not be "scenario" or under it.
 *  @throws BoardError for a path no board can have */
FieldRef fieldAt(const std::string& path);

/**
 * @brief The value of the field at @p path in @p board's canonical form
 *        (what --print-board writes), null where that form leaves it out
 *        (absent, or at its default). A node's "registers" are the
 *        board's, which a reset restores.
 * @throws BoardError for a path no board can have, as a set of it
 */
nlohmann::json fieldValue(const Board& board, const std::string& path);

/**
 * @brief The device path of the node named @p name, which must be served:
 *        a node that is "missing" or "fifo" has no registers.
 * @param what what cannot be done then, for the message
 * @throws BoardError at "nodes.NAME"
 */
const std::string& servedNode(const Board& board, const std::string& name,
                              const char* what);

/** @brief A register of the layout's table at its place on a board. */
struct RegisterAt
{
    const layout::Node* node;
    /** Its coordinates, as a register entry without bytes. */
    nlohmann::json entry;
    std::uint64_t position;
    std::size_t length;
};

/**
 * @brief Register @p name (layout::registerNamed) on @p target: a node of
 *        the register's mode, or a chip ("local", "r0" to "r3", or "hpm",
 *        the chip the board's hpmChip names now), whose node of the
 *        register's mode it is then.
 * @throws BoardError when the name is none, the node's mode is not the
 *         register's, or the target names no chip
 */
RegisterAt registerAt(const Board& board, const std::string& target,
                      const std::string& name);

/** @brief Bytes a peek reads from a node's live registers. */
struct Span
{
    std::string device;
    std::uint64_t position;
    std::size_t length;
};

/** @brief The most bytes one peek reads. */
inline constexpr std::size_t maxPeek = 65536;

/** @brief Where the registers read @p read reads on @p board (the node
 *         served, the coordinates, the length within the node's window).
 *  @throws BoardError */
Span spanOf(const Board& board, const Read& read);

} // namespace fpga_sim
