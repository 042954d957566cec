// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "board.hpp"
#include "errno_names.hpp"
#include "field_reader.hpp"

#include <nlohmann/json.hpp>

#include <string>

/**
 * @file board_json.hpp
 * @brief The JSON form of a Board, as written in board files.
 *
 * docs/board-format.md describes the format and docs/board.schema.json
 * states it as a JSON Schema. Reading validates everything and reports the
 * first problem with the path of the field that has it
 * ("nodes.fpga-r1.registers[2].offset"); writing produces the canonical
 * form, which reads back into an equal Board. The fields are read by the
 * table of board_fields.hpp and node_fields.hpp, the attribute values by
 * attribute_kinds.hpp and the scenario by scenario.hpp.
 */
namespace fpga_sim
{

/** @brief Build a Board from its JSON form. @throws BoardError */
Board boardFromJson(const nlohmann::json& json);

/** @brief Parse board-file text. @throws BoardError */
Board boardFromText(const std::string& text);

/** @brief The most bytes a board file may hold. */
inline constexpr std::size_t maxBoardFileBytes = std::size_t{64} << 20;

/** @brief Read and parse a board file, at most maxBoardFileBytes long.
 *  @throws BoardError */
Board loadBoardFile(const std::string& path);

/** @brief The canonical JSON form of @p board. */
nlohmann::json boardToJson(const Board& board);

/**
 * @brief The canonical board-file text of @p board: fields in a fixed
 *        order, two-space indents, register entries and lists of numbers
 *        on one line each (the form of the files in examples/boards).
 */
std::string boardFileText(const Board& board);

} // namespace fpga_sim
