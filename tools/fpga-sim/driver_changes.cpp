// SPDX-License-Identifier: Apache-2.0
// DriverFs's changes: from the control socket, at once or queued for a
// later open, and the scenario's steps, run as an open meets their count or
// when their time has come.
#include "driver_fs.hpp"
#include "sim/board_edit.hpp"
#include "sim/change.hpp"
#include "sim/trace_record.hpp"

#include <unistd.h>

#include <algorithm>

namespace fpga_sim
{

namespace
{

TraceRecord changeRecord(const std::string& who, std::string words)
{
    TraceRecord r;
    r.type = "change";
    r.who = who;
    r.change = std::move(words);
    return r;
}

/** Who makes a change queued for a later open, in the trace. */
std::string laterWho(const std::string& who, const Request& request)
{
    return who + " after " + std::to_string(request.accesses) +
           (request.of.empty() ? "" : " of " + request.of);
}

} // namespace

DriverFs::Answer DriverFs::request(std::string_view line,
                                   const std::string& who)
{
    Request request;
    try
    {
        request = requestFromWords(line);
    }
    catch (const std::exception& e)
    {
        // Traced as a change refused, unless it reads.
        const std::string verb(line.substr(0, line.find(' ')));
        if (verb != "get" && verb != "peek" && verb != "board")
        {
            const auto held = lock();
            TraceRecord refused = changeRecord(who, std::string(line));
            refused.message = e.what();
            trace(std::move(refused));
        }
        return {false, e.what()};
    }
    if (request.kind == Request::Kind::read)
    {
        try
        {
            return {true, read(request.read)};
        }
        catch (const std::exception& e)
        {
            return {false, e.what()};
        }
    }
    const auto held = lock();
    if (request.kind == Request::Kind::later)
    {
        if (later.size() >= maxLater)
        {
            return {false, std::to_string(maxLater) +
                               " changes wait for an open already"};
        }
        later.push_back({std::move(request.change), request.accesses,
                         request.of, laterWho(who, request)});
        return {};
    }
    const std::string refused = apply(request.change, who);
    publish();
    return {refused.empty(), refused};
}

std::string DriverFs::apply(const Change& change, const std::string& who)
{
    // Not built when nothing is traced: a change's words hold its values.
    const auto traced = [&](const std::string& refused) {
        if (traceFd >= 0)
        {
            TraceRecord r = changeRecord(who, change.text());
            r.applied = refused.empty();
            r.message = refused;
            trace(std::move(r));
        }
    };
    try
    {
        const Applied applied = applyChange(board, change);
        // A node whose registers the board now gives anew takes them as
        // they are given; pokes go to the live registers alone.
        for (const std::string& path : applied.registersSet)
        {
            const auto state = nodes.find(std::string(nodeAt(path).name));
            if (state != nodes.end())
            {
                state->second.bytes = board.nodes.at(path).bytes;
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
        traced("");
        return "";
    }
    catch (const std::exception& e)
    {
        traced(e.what());
        return e.what();
    }
}

void DriverFs::applyUnasked(const Change& change, const std::string& who)
{
    const std::string refused = apply(change, who);
    if (!refused.empty())
    {
        // Checked when it was read or queued; a change made since may
        // stand in its way.
        const std::string line = "fpga-sim: " + who + ": " + refused + "\n";
        [[maybe_unused]] const ssize_t written =
            ::write(STDERR_FILENO, line.data(), line.size());
    }
}

void DriverFs::runStep()
{
    const std::size_t index = nextStep++;
    applyUnasked(board.scenario[index].change,
                 "scenario[" + std::to_string(index) + "]");
    opens = 0;
    stepStart = std::chrono::steady_clock::now();
}

bool DriverFs::runLater(std::string_view name)
{
    bool ran = false;
    for (auto it = later.begin(); it != later.end();)
    {
        if (!it->of.empty() && it->of != name)
        {
            ++it;
        }
        else if (it->opens < it->accesses)
        {
            ++it->opens;
            ++it;
        }
        else
        {
            applyUnasked(it->change, it->who);
            it = later.erase(it);
            ran = true;
        }
    }
    return ran;
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
    // The changes queued over the socket, after the steps this open runs.
    if (runLater(name) || nextStep != first)
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
