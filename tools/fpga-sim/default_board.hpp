// SPDX-License-Identifier: Apache-2.0
#pragma once

/**
 * @file default_board.hpp
 * @brief The board fpga-sim serves without --board: the text of
 *        examples/boards/default.json, compiled in.
 */
namespace fpga_sim
{

extern const char* const defaultBoardJson;

} // namespace fpga_sim
