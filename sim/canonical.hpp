// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <nlohmann/json.hpp>

#include <string>

/**
 * @file canonical.hpp
 * @brief The canonical text of a board file's JSON form.
 */
namespace fpga_sim
{

/**
 * @brief @p value as board-file text: fields in a fixed order, two-space
 *        indents, register entries and lists of numbers on one line each
 *        (the form of the files in examples/boards), and a final newline.
 */
std::string canonicalText(const nlohmann::json& value);

} // namespace fpga_sim
