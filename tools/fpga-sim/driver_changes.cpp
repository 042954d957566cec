// SPDX-License-Identifier: Apache-2.0
// DriverFs's changes: from the control socket, and the scenario's steps,
// run as an open meets their count or when their time has come.
#include "driver_fs.hpp"
#include "sim/board_edit.hpp"
#include "sim/change.hpp"

#include <unistd.h>

#include <algorithm>

namespace fpga_sim
{

std::string DriverFs::change(std::string_view words, const std::string& who)
{
    const auto held = lock();
    try
    {
        const std::string refused = apply(changeFromWords(words), who);
        publish();
        return refused;
    }
    catch (const std::exception& e)
    {
        traceLine(who + " " + std::string(words) + ": refused " + e.what());
        return e.what();
    }
}

std::string DriverFs::apply(const Change& change, const std::string& who,
                            PreparedChange* prepared)
{
    try
    {
        Applied applied = prepared != nullptr
                              ? applyChange(board, std::move(*prepared))
                              : applyChange(board, change);
        // A node whose registers the board now gives anew takes them as
        // they are given; pokes go to the live registers alone.
        for (auto& [path, bytes] : applied.registersSet)
        {
            const auto state = nodes.find(std::string(nodeAt(path).name));
            if (state != nodes.end())
            {
                state->second.bytes = std::move(bytes);
            }
        }
        for (const auto& [path, bytes] : applied.pokes)
        {
            Registers& live = nodes.at(std::string(nodeAt(path).name)).bytes;
            for (const Registers::Run& run : bytes.runs())
            {
                live.set(run.start, run.bytes.data(), run.bytes.size());
            }
        }
        if (traceFd >= 0)
        {
            traceLine(who + " " + change.text() + ": applied");
        }
        return "";
    }
    catch (const std::exception& e)
    {
        traceLine(who + " " + change.text() + ": refused " + e.what());
        return e.what();
    }
}

void DriverFs::runStep()
{
    const std::size_t index = nextStep++;
    const std::string who = "scenario[" + std::to_string(index) + "]";
    ScenarioStep& step = board.scenario[index];
    const std::string refused = apply(step.change, who, &step.prepared);
    if (!refused.empty())
    {
        // Checked against the board it meets when the file was read; a
        // change made over the socket since may stand in its way.
        const std::string line = "fpga-sim: " + who + ": " + refused + "\n";
        [[maybe_unused]] const ssize_t written =
            ::write(STDERR_FILENO, line.data(), line.size());
    }
    opens = 0;
    stepStart = std::chrono::steady_clock::now();
}

void DriverFs::opening(std::string_view name)
{
    // Whether this open is one the next step counts.
    const auto counted = [&] {
        return nextStep < board.scenario.size() &&
               (board.scenario[nextStep].of.empty() ||
                board.scenario[nextStep].of == name);
    };
    const std::size_t first = nextStep;
    while (counted() && !board.scenario[nextStep].ms &&
           opens >= board.scenario[nextStep].accesses)
    {
        runStep();
    }
    if (nextStep != first)
    {
        publish();
    }
    if (counted())
    {
        ++opens;
    }
}

std::optional<std::chrono::milliseconds> DriverFs::runTimedSteps()
{
    using namespace std::chrono;
    const auto held = lock();
    const auto timed = [&] {
        return nextStep < board.scenario.size() && board.scenario[nextStep].ms;
    };
    const std::size_t first = nextStep;
    while (timed() &&
           steady_clock::now() >=
               stepStart + milliseconds(*board.scenario[nextStep].ms))
    {
        runStep();
    }
    if (nextStep != first)
    {
        publish();
    }
    const bool later = std::any_of(
        board.scenario.begin() + static_cast<std::ptrdiff_t>(nextStep),
        board.scenario.end(), [](const ScenarioStep& s) { return s.ms; });
    if (!later)
    {
        return std::nullopt;
    }
    // A count step may run before the timed one and restart its clock:
    // look again soon when the timed step is not the next.
    if (!timed())
    {
        return milliseconds(20);
    }
    return std::max(milliseconds(1),
                    duration_cast<milliseconds>(
                        stepStart + milliseconds(*board.scenario[nextStep].ms) -
                        steady_clock::now()));
}

} // namespace fpga_sim
