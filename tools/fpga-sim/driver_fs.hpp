// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "sim/board.hpp"
#include "sim/published.hpp"

#define FUSE_USE_VERSION 31
#include <fuse3/fuse.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

/**
 * @file driver_fs.hpp
 * @brief The FPGA driver's files, served from a Board by libfuse.
 *
 * The file system holds what the board publishes (sim/published.hpp), each
 * file at the path the driver gives it, with the directories on the way.
 * fpga-sim binds the probe directories and the nodes to those same paths.
 *
 * Nodes behave like the driver's: every open is direct I/O, a read at a
 * position returns the register bytes from that address on, a write stores
 * them, and reading or writing past the node's window ends at the window.
 * Writing "1" and then "0" to "tavrin_fpga_reset" restores the board's
 * register contents. All handlers run on the one FUSE loop thread.
 *
 * The board can change while it is served (sim/change.hpp): from the
 * control socket's thread, and by the board's scenario, whose steps run
 * when an open meets their count of accesses or when the control thread
 * finds their time has come. One mutex guards everything served; each
 * handler holds it throughout, so a change is seen whole by the next open
 * or transfer. A change costs what it changes (sim/board_edit.hpp), and
 * the files are made anew once per change or run of steps, at the cost of
 * the number of files: no handler waits on work that grows with the board.
 */
namespace fpga_sim
{

struct Change;

class DriverFs
{
  public:
    /**
     * @param board what to serve
     * @param traceFd where to write one line per transfer, or -1
     */
    DriverFs(const Board& board, int traceFd);

    DriverFs(const DriverFs&) = delete;
    DriverFs& operator=(const DriverFs&) = delete;

    /** @brief The handlers to give fuse_new(), with this as private data. */
    static const fuse_operations& operations();

    /** @brief Held by every handler and by every change. */
    std::unique_lock<std::mutex> lock()
    {
        return std::unique_lock(served);
    }

    /**
     * @brief Apply the change written as @p words (sim/change.hpp), traced
     *        as "@p who WORDS: applied" or ": refused MESSAGE".
     * @return "" when applied, else why not ("FIELD: PROBLEM")
     */
    std::string change(std::string_view words, const std::string& who);

    /** @brief Run the scenario steps whose time has come.
     *  @return when to look again: unset when no timed step is left */
    std::optional<std::chrono::milliseconds> runTimedSteps();

    /** @brief An open of the file @p name is starting: run the steps whose
     *         count it completes, then count it. Called with lock() held. */
    void opening(std::string_view name);

    /** @brief One transfer on a node, as the read and write handlers do it.
     *  @return bytes moved, or a negative errno */
    int transfer(const std::string& name, bool write, char* data,
                 std::size_t size, std::uint64_t position);

    /** @brief A write to an attribute. @return bytes taken or -errno */
    int writeAttr(const std::string& path, std::string_view text);

    struct NodeState
    {
        std::string name;
        Mode mode;
        /** The board's node: its failures, read limit, and the registers
         *  a reset restores. */
        const Node* board;
        /** The live registers, which transfers read and write. */
        Registers bytes;
        std::uint64_t window;
        bool readOnly;
    };

    struct Attr
    {
        std::function<std::string()> read;
        /** Takes one written text; unset: the attribute is read-only. */
        std::function<int(std::string_view)> write;
    };

    /** @brief What a path of the file system is. */
    struct Entry
    {
        enum class Kind
        {
            dir,
            attr,
            node,
        } kind;
        Attr* attr = nullptr;
        NodeState* node = nullptr;
        /** Permission bits, owner and group, which opens are checked
         *  against as the kernel checks a file's. */
        unsigned mode = 0755;
        std::uint32_t owner = 0;
        std::uint32_t group = 0;
    };

    /** @brief The entry at @p path, or nullptr. */
    const Entry* find(const std::string& path) const;

    /** @brief The time every file reports: when serving started. */
    std::time_t startTime() const
    {
        return started;
    }

    /** @brief The names directly inside directory @p path. */
    std::vector<std::string> list(const std::string& path) const;

  private:
    void addEntry(const std::string& path, Entry entry);
    void addAttr(const std::string& path, Attr attr,
                 const Published& published);
    /** The reset attribute: reads "1" while asserted; writing "1" then "0"
     *  restores the registers. */
    Attr resetControl(bool readOnly);
    void traceLine(const std::string& line) const;
    std::string describe(const NodeState& node, std::uint64_t position) const;
    void restoreRegisters();
    /** Make the files and nodes from board; nodes keep their live
     *  registers. Costs the number of files, not the registers. */
    void publish();
    /** Apply @p change with lock() held, its values moved from
     *  @p prepared when given (a step's); publish() is the caller's.
     *  @return "" or why not */
    std::string apply(const Change& change, const std::string& who,
                      PreparedChange* prepared = nullptr);
    /** Run the next scenario step; publish() is the caller's. */
    void runStep();

    Board board;
    int traceFd;
    /** When the files appeared: their times in stat. */
    std::time_t started;
    bool resetAsserted = false;
    std::map<std::string, Attr> attrs;
    std::map<std::string, NodeState> nodes;
    std::map<std::string, Entry> entries;
    std::mutex served;
    /** The scenario: the next step, and the opens and the time it counts
     *  from. */
    std::size_t nextStep = 0;
    std::uint64_t opens = 0;
    std::chrono::steady_clock::time_point stepStart;
};

} // namespace fpga_sim
