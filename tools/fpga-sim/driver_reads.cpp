// SPDX-License-Identifier: Apache-2.0
// DriverFs's reads of the board, for the control socket: a field as the
// board file gives it, the live bytes of a node, the whole board as it is
// served now.
#include "driver_fs.hpp"
#include "sim/board_json.hpp"
#include "sim/board_read.hpp"

namespace fpga_sim
{

std::string DriverFs::read(const Read& what)
{
    if (what.kind == Read::Kind::board)
    {
        return boardNow();
    }
    const auto held = lock();
    if (what.kind == Read::Kind::field)
    {
        return fieldValue(board, what.target).dump();
    }
    const Span span = spanOf(board, what);
    std::string bytes(span.length, '\0');
    nodes.at(std::string(nodeAt(span.device).name))
        .bytes.read(span.position,
                    reinterpret_cast<std::uint8_t*>(bytes.data()),
                    bytes.size());
    return nlohmann::json(hexText(bytes)).dump();
}

std::string DriverFs::boardNow()
{
    Board now;
    {
        const auto held = lock();
        // The board's registers step aside while it is copied: the live
        // ones take their place in the copy.
        // What the scenario changed so far is in the board; the scenario
        // itself, which would change it again, is left out.
        std::map<std::string, Registers> given;
        for (auto& [path, node] : board.nodes)
        {
            given[path] = std::move(node.bytes);
        }
        std::vector<ScenarioStep> steps = std::move(board.scenario);
        now = board;
        board.scenario = std::move(steps);
        for (auto& [path, node] : board.nodes)
        {
            node.bytes = std::move(given[path]);
            const auto live = nodes.find(std::string(nodeAt(path).name));
            now.nodes.at(path).bytes =
                live != nodes.end() ? live->second.bytes : node.bytes;
        }
    }
    return boardToJson(now).dump(-1, ' ', false,
                                 nlohmann::json::error_handler_t::replace);
}

} // namespace fpga_sim
