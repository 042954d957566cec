// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "board.hpp"

#include <nlohmann/json.hpp>

#include <stdexcept>
#include <string>

/**
 * @file board_json.hpp
 * @brief The JSON form of a Board, as written in board files.
 *
 * docs/board-format.md describes the format. Reading validates everything
 * and reports the first problem with the path of the field that has it
 * ("nodes.fpga-r1.registers[2].offset"); writing produces the canonical
 * form, which reads back into an equal Board.
 */
namespace fpga_sim
{

/** @brief A board description that cannot be used. */
class BoardError : public std::runtime_error
{
  public:
    BoardError(const std::string& path, const std::string& problem);

    /** @brief Where the problem is: a field path, or "line L, column C"
     *         for text that is no JSON at all; empty for the whole file. */
    const std::string& path() const
    {
        return where;
    }

    /** @brief What is wrong there. */
    const std::string& problem() const
    {
        return what_;
    }

  private:
    std::string where;
    std::string what_;
};

/** @brief Build a Board from its JSON form. @throws BoardError */
Board boardFromJson(const nlohmann::json& json);

/** @brief Parse board-file text. @throws BoardError */
Board boardFromText(const std::string& text);

/** @brief Read and parse a board file. @throws BoardError */
Board loadBoardFile(const std::string& path);

/** @brief The canonical JSON form of @p board. */
nlohmann::json boardToJson(const Board& board);

/**
 * @brief The canonical board-file text of @p board: fields in a fixed
 *        order, two-space indents, register entries and lists of numbers
 *        on one line each (the form of the files in examples/boards).
 */
std::string boardFileText(const Board& board);

/** @brief The symbolic name of an errno value ("EIO"), or its number. */
std::string errnoName(int error);

} // namespace fpga_sim
