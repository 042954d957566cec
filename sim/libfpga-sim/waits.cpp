// SPDX-License-Identifier: Apache-2.0
// Simulation's waits for what the command did: a journal entry with given
// fields, a write to a register, each after a point of the timeline that
// trace records and journal entries share.
#include "libfpga-sim.hpp"
#include "sim/attribute_kinds.hpp"
#include "sim/board_read.hpp"
#include "sim/field_reader.hpp"
#include "sim/trace_record.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <iterator>

namespace fpga_sim
{

namespace
{

std::uint64_t seqOf(const JournalEntry& entry)
{
    const std::string seq = field(entry, "__SEQNUM");
    return seq.empty() ? 0 : std::stoull(seq);
}

/** " KEY=VALUE" for each key of @p keys, its value in @p entry. */
std::string fieldsOf(const JournalEntry& entry, const JournalEntry& keys)
{
    std::string out;
    for (const auto& [key, value] : keys)
    {
        out += " " + key + "=" + nlohmann::json(field(entry, key)).dump();
    }
    return out;
}

/** "#SEQ MESSAGE=... KEY=VALUE ..." for the fields @p keys names. */
std::string describe(const JournalEntry& entry, const JournalEntry& keys)
{
    JournalEntry shown = {{"MESSAGE", ""}};
    std::copy_if(keys.begin(), keys.end(), std::back_inserter(shown),
                 [](const auto& f) { return f.first != "MESSAGE"; });
    return "#" + std::to_string(seqOf(entry)) + fieldsOf(entry, shown);
}

/** The last few of @p seen, one a line, as @p line writes each. */
template <typename Seen, typename Line>
std::string lastOf(const std::vector<Seen>& seen, const char* what, Line line)
{
    constexpr std::size_t shown = 8;
    std::string out =
        std::string("; ") + what + " seen: " + std::to_string(seen.size()) +
        (seen.size() > shown ? ", the last:" : "");
    for (std::size_t i = seen.size() - std::min(seen.size(), shown);
         i < seen.size(); ++i)
    {
        out += "\n  " + line(seen[i]);
    }
    return out;
}

std::string within(std::chrono::milliseconds timeout, std::uint64_t after)
{
    return (after != 0 ? " after seq " + std::to_string(after) : "") +
           " within " + std::to_string(timeout.count()) + " ms";
}

/** The node and file position of register @p name on @p target. */
std::pair<std::string, std::uint64_t>
    placeOf(Simulation& sim, const std::string& target, const std::string& name)
{
    Board board;
    if (target == "hpm")
    {
        const auto value = nlohmann::json::parse(sim.get("hpmChip"));
        board.hpmChip = value.is_null()
                            ? std::nullopt
                            : std::optional(attrText("hpmChip", value, ""));
    }
    try
    {
        const RegisterAt at = registerAt(board, target, name);
        return {std::string(at.node->name), at.position};
    }
    catch (const BoardError& e)
    {
        throw SimulationError(e.what());
    }
}

/** Wait until @p sim's command writes position @p position of @p node. */
WaitResult waitForWriteAt(Simulation& sim, const std::string& node,
                          std::uint64_t position, const std::string& what,
                          std::chrono::milliseconds timeout,
                          std::uint64_t after)
{
    std::vector<TraceRecord> writes;
    std::size_t scanned = 0;
    WaitResult result;
    result.met = sim.waitFor(
        [&](const Simulation& s) {
            const std::vector<TraceRecord> all = s.records();
            for (; scanned < all.size() && result.seq == 0; ++scanned)
            {
                const TraceRecord& r = all[scanned];
                if (r.type != "transfer" || r.op != "write" || r.seq <= after)
                {
                    continue;
                }
                writes.push_back(r);
                result.seq = r.node == node && r.error.empty() &&
                                     r.position <= position &&
                                     position < r.position + r.got
                                 ? r.seq
                                 : 0;
            }
            return result.seq != 0;
        },
        timeout);
    if (!result.met)
    {
        result.message =
            "no write to " + what + within(timeout, after) +
            lastOf(writes, "writes", [](const TraceRecord& r) {
                return "#" + std::to_string(r.seq) + " " + recordText(r);
            });
    }
    return result;
}

} // namespace

WaitResult Simulation::waitForJournal(const JournalEntry& fields,
                                      std::chrono::milliseconds timeout,
                                      std::uint64_t after)
{
    const auto matches = [&](const JournalEntry& entry) {
        return seqOf(entry) > after &&
               std::all_of(fields.begin(), fields.end(), [&](const auto& f) {
                   return std::find(entry.begin(), entry.end(), f) !=
                          entry.end();
               });
    };
    std::vector<JournalEntry> seen;
    WaitResult result;
    result.met = waitFor(
        [&](const Simulation& sim) {
            seen = sim.journal();
            const auto found = std::find_if(seen.begin(), seen.end(), matches);
            result.seq = found == seen.end() ? 0 : seqOf(*found);
            return found != seen.end();
        },
        timeout);
    if (!result.met)
    {
        result.message =
            (fields.empty()
                 ? std::string("no journal entry")
                 : "no journal entry with" + fieldsOf(fields, fields)) +
            within(timeout, after) +
            lastOf(seen, "entries",
                   [&](const JournalEntry& e) { return describe(e, fields); });
    }
    return result;
}

WaitResult Simulation::waitForWrite(
    const std::string& target, const std::string& registerName,
    std::chrono::milliseconds timeout, std::uint64_t after)
{
    const auto [node, position] = placeOf(*this, target, registerName);
    return waitForWriteAt(*this, node, position,
                          registerName + " on " + target + " (" + node +
                              " position " + hex(position) + ")",
                          timeout, after);
}

WaitResult Simulation::waitForWrite(
    const std::string& node, std::size_t block, std::size_t offset,
    std::chrono::milliseconds timeout, std::uint64_t after)
{
    const std::string at = "nodes." + node;
    std::uint64_t position = 0;
    try
    {
        position = registerPosition(
            {{"block", block}, {"offset", offset}}, at,
            nodeInfo(std::string(nodeNamedOrBad(node, at).path)));
    }
    catch (const BoardError& e)
    {
        throw SimulationError(e.what());
    }
    return waitForWriteAt(*this, node, position,
                          "block " + std::to_string(block) + " offset " +
                              std::to_string(offset) + " of " + node,
                          timeout, after);
}

} // namespace fpga_sim
