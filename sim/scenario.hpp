// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "change.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

/**
 * @file scenario.hpp
 * @brief The changes a running fpga-sim makes to the board by itself.
 */
namespace fpga_sim
{

struct Board;
struct Applied;
class ChangeTransaction;

/**
 * @brief A change with its field paths resolved and its values read
 *        (board_edit.hpp's prepareChange()): each edit moves its value into
 *        the board it is applied to.
 */
struct PreparedChange
{
    std::vector<std::function<void(ChangeTransaction&, Applied&)>> edits;
};

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
    /** The change prepared when the board was read: a running fpga-sim
     *  moves its values into its board, with no parsing left to do. */
    PreparedChange prepared;

    /** Steps that say the same are equal: the prepared change is read
     *  from what they say. */
    bool operator==(const ScenarioStep& other) const
    {
        return std::tie(accesses, of, ms, change) ==
               std::tie(other.accesses, other.of, other.ms, other.change);
    }
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
