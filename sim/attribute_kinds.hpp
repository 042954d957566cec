// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <nlohmann/json.hpp>

#include <string>

/**
 * @file attribute_kinds.hpp
 * @brief The typed values of the driver's text attributes in board files.
 *
 * Every attribute is written either typed (a number, a hex string, a block
 * list, ...) or as {"raw": TEXT} / {"rawHex": "HEX BYTES"}, which is used
 * verbatim and is how a board file gives a malformed attribute on purpose.
 * Typed values get sysfs's trailing newline. @p kind is the attribute's key
 * in board files: "detected", "chipId", "ifaceVer", "fwVersion", "blocks"
 * or "hpmChip".
 */
namespace fpga_sim
{

/** @brief The text a board file's attribute value serves.
 *  @throws BoardError under @p path */
std::string attrText(const std::string& kind, const nlohmann::json& value,
                     const std::string& path);

/** @brief The canonical board-file value of an attribute text: typed when
 *         the typed value serves exactly this text, else raw or rawHex. */
nlohmann::json attrJson(const std::string& kind, const std::string& text);

} // namespace fpga_sim
