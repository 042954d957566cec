// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "board.hpp"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

/**
 * @file board_fields.hpp
 * @brief The board file's top-level fields and its chips, as a table.
 *
 * Each top-level field has a reader (the value alone, into the board), a
 * way back to its default and its canonical writer. The board reader, the
 * canonical printer and changes (board_edit.hpp) all go through this table,
 * and docs/board.schema.json describes the same fields.
 */
namespace fpga_sim
{

/** @brief A top-level field of board files. */
struct BoardField
{
    /** The part of the board the field is, for what a change saves. */
    enum class Part
    {
        top,   ///< a plain member of Board
        chips, ///< Board::local and Board::remotes
        nodes, ///< Board::nodes
    };

    const char* key;
    Part part;
    /** Read @p value into @p board, whose field holds its default. */
    void (*read)(const nlohmann::json& value, const std::string& path,
                 Board& board);
    /** Give @p board the field's value in @p from, moved out of it (from
     *  Board{}: the value a board file leaving the field out gives). */
    void (*take)(Board& board, Board& from);
    /** Add the field to @p out as @p key unless it has its default. */
    void (*write)(const Board& board, const std::string& key,
                  nlohmann::json& out);
};

/** @brief The top-level fields but "scenario", in canonical order. */
const BoardField* boardField(const std::string& key);

/** @brief Every top-level field but "scenario", in canonical order. */
const std::vector<BoardField>& boardFields();

/** @brief "unknown field (known: description, probe, ...)". */
std::string unknownBoardField();

/** @brief "local" (nullopt) or "r<index>" (no leading zeros) to a chip;
 *  @throws BoardError at @p path for anything else */
std::optional<std::size_t> chipKey(const std::string& key,
                                   const std::string& path);

/** @brief A chip's attributes. @throws BoardError under @p path */
ChipAttributes chipFromJson(const nlohmann::json& value,
                            const std::string& path);

/** @brief The board-wide rule: a read-only reset needs a reset. */
void checkReset(const Board& board);

} // namespace fpga_sim
