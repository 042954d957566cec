// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "change.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

/**
 * @file scenario.hpp
 * @brief The changes a running fpga-sim makes to the board by itself.
 */
namespace fpga_sim
{

struct Board;

/**
 * @brief One step of a scenario: a trigger and a change.
 *
 * Steps run in order; each waits for its trigger, counted from when the
 * step before it ran (or from the start): a number of accesses (opens of
 * the driver's files, of one file when @p of names it), or a time.
 */
struct ScenarioStep
{
    /** Opens after which the step runs; unused when @p ms is set. */
    std::uint64_t accesses = 0;
    /** The node or attribute file name whose opens count; "": any. */
    std::string of;
    /** Milliseconds after which the step runs instead. */
    std::optional<std::uint64_t> ms;
    /** What the step changes (board_edit.hpp applies it). */
    Change change;

    bool operator==(const ScenarioStep&) const = default;
};

/**
 * @brief The steps of a board file's "scenario", each checked by applying
 *        it, in order, to a copy of @p board as the steps before it left
 *        it. @throws BoardError, its path under "scenario[N]"
 */
std::vector<ScenarioStep> scenarioFromJson(const nlohmann::json& list,
                                           const Board& board);

/** @brief The canonical form of @p steps. */
nlohmann::json scenarioToJson(const std::vector<ScenarioStep>& steps);

} // namespace fpga_sim
