// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "libfpga-sim/libfpga-sim.hpp"

#include <nlohmann/json.hpp>

#include <string>

/**
 * @file trace_record.hpp
 * @brief fpga-sim's trace: each record as a line of text (--trace) and as
 *        a JSON object (--trace-format=json, one a line), the form
 *        docs/fpga-sim.md declares stable. A record is TraceRecord, the
 *        struct libfpga-sim gives its users, so fpga-sim, libfpga-sim and
 *        the manual have one description of it.
 */
namespace fpga_sim
{

/** @brief @p record as a JSON object: seq and type first, then the fields
 *         of its type. */
nlohmann::ordered_json recordToJson(const TraceRecord& record);

/** @brief A record from its JSON object. @throws nlohmann::json::exception
 *         when it is not one */
TraceRecord recordFromJson(const nlohmann::json& json);

/** @brief @p record's line of the text trace, without the newline; control
 *         bytes written \xNN, so that it stays one line of plain text. */
std::string recordText(const TraceRecord& record);

} // namespace fpga_sim
