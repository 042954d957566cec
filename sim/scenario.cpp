// SPDX-License-Identifier: Apache-2.0
#include "scenario.hpp"

#include "board.hpp"
#include "board_edit.hpp"
#include "field_reader.hpp"

#include <limits>

namespace fpga_sim
{

using nlohmann::json;

namespace
{

/** A step's trigger, "after". */
ScenarioStep trigger(const json& step, const std::string& where)
{
    const std::string at = field(where, "after");
    if (!step.contains("after"))
    {
        bad(at, "missing: {\"accesses\": N} or {\"ms\": N}");
    }
    const json& after = object(step.at("after"), at);
    onlyKeys(after, at, {"accesses", "of", "ms"});
    if (after.contains("accesses") == after.contains("ms"))
    {
        bad(at, "give either \"accesses\" or \"ms\"");
    }
    // A day at most: a longer run is no test.
    constexpr std::uint64_t limit = 86'400'000;
    ScenarioStep s;
    if (after.contains("ms"))
    {
        s.ms = unsignedIn(after.at("ms"), field(at, "ms"), 0, limit);
    }
    else
    {
        s.accesses = unsignedIn(after.at("accesses"), field(at, "accesses"), 0,
                                std::numeric_limits<std::uint32_t>::max());
    }
    if (after.contains("of"))
    {
        s.of = string(after.at("of"), field(at, "of"));
        if (s.ms || !driverFile(s.of))
        {
            bad(field(at, "of"),
                s.ms ? "only \"accesses\" count opens of one file"
                     : notDriverFile(s.of));
        }
    }
    return s;
}

} // namespace

std::vector<ScenarioStep> scenarioFromJson(const json& list, const Board& board)
{
    if (!list.is_array())
    {
        bad("scenario", "expected a list of steps");
    }
    Board met = board;
    std::vector<ScenarioStep> steps;
    steps.reserve(list.size());
    for (std::size_t i = 0; i < list.size(); ++i)
    {
        const std::string where = element("scenario", i);
        const json& step = object(list[i], where);
        onlyKeys(step, where, {"after", "set", "unset", "poke"});
        ScenarioStep s = trigger(step, where);
        s.change = changeFromJson(step, where);
        try
        {
            applyChange(met, s.change);
        }
        catch (const BoardError& e)
        {
            bad(e.path().empty() ? where : where + "." + e.path(), e.problem());
        }
        steps.push_back(std::move(s));
    }
    return steps;
}

json scenarioToJson(const std::vector<ScenarioStep>& steps)
{
    json out = json::array();
    for (const ScenarioStep& s : steps)
    {
        json step = changeToJson(s.change);
        step["after"] = s.ms ? json{{"ms", *s.ms}}
                             : json{{"accesses", s.accesses}};
        if (!s.of.empty())
        {
            step["after"]["of"] = s.of;
        }
        out.push_back(std::move(step));
    }
    return out;
}

} // namespace fpga_sim
