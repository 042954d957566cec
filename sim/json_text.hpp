// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "field_reader.hpp"

#include <nlohmann/json.hpp>

#include <string_view>

/**
 * @file json_text.hpp
 * @brief JSON text read as board files and changes are: strictly.
 *
 * JSON lets the last of two equal keys in one object win and drops the
 * first silently; board files and the values of changes refuse such a
 * key, nesting deeper than maxJsonDepth levels (no recursive walk of a
 * value then runs out of stack) and a number no double holds ("1e400"),
 * each with the field path of the value that has it. The document is built
 * as it is read, in time linear in the text.
 */
namespace fpga_sim
{

/** @brief Deeper than any board needs (a register entry's bytes are at
 *         depth 6). */
inline constexpr std::size_t maxJsonDepth = 32;

/** @brief Text that is no JSON at all; its path is "line L, column C". */
class NotJson : public BoardError
{
  public:
    using BoardError::BoardError;
};

/**
 * @brief Parse @p text strictly.
 * @throws NotJson for text that is no JSON, BoardError with the field path
 *         for a key given twice, nesting too deep or a number out of range
 */
nlohmann::json parseStrictJson(std::string_view text);

} // namespace fpga_sim
