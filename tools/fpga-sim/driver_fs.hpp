// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "output.hpp"
#include "sim/board.hpp"
#include "sim/change.hpp"
#include "sim/published.hpp"
#include "sim/trace_record.hpp"

#define FUSE_USE_VERSION 31
#include <fuse3/fuse.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <deque>
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
 * control socket's thread, at once or as a later open begins, and by the
 * board's scenario, whose steps run when an open meets their count of
 * accesses or when the control thread finds their time has come. One mutex
 * guards everything served; each handler holds it throughout, so a change
 * is seen whole by the next open or transfer. A change costs what it
 * changes (sim/board_edit.hpp), and the files are made anew once per
 * change or run of steps, at the cost of the number of files: no handler
 * waits on work that grows with the board. The control socket also reads
 * the board back (sim/board_read.hpp): a field or a peek holds the mutex
 * for what it reads, the whole board for as long as copying it takes.
 */
namespace fpga_sim
{

class DriverFs
{
  public:
    /**
     * @param board what to serve
     * @param traceFd where to write one record per transfer, reset and
     *        change, or -1
     * @param format how to write them
     */
    DriverFs(const Board& board, int traceFd,
             TraceFormat format = TraceFormat::text);

    DriverFs(const DriverFs&) = delete;
    DriverFs& operator=(const DriverFs&) = delete;

    /** @brief The handlers to give fuse_new(), with this as private data. */
    static const fuse_operations& operations();

    /** @brief Held by every handler and by every change. */
    std::unique_lock<std::mutex> lock()
    {
        return std::unique_lock(served);
    }

    /** @brief fpga-sim's answer to a line of the control socket. */
    struct Answer
    {
        bool ok = true;
        /** ok: a read's value as compact JSON ("" for the others); else
         *  why not ("FIELD: PROBLEM"). */
        std::string text;
    };

    /** @brief The most changes that wait for a later open at once. */
    static constexpr std::size_t maxLater = 1024;

    /**
     * @brief Answer a line of the control socket (sim/change.hpp, Request):
     *        apply a change, traced as "@p who WORDS: applied" or ":
     *        refused MESSAGE"; read the board; or queue a change for a
     *        later open, which is traced when it runs.
     */
    Answer request(std::string_view line, const std::string& who);

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
    /** Write @p record to the trace, on the timeline (nextSeq()). */
    void trace(TraceRecord record) const;
    void restoreRegisters();
    /** A read of the board: its value as compact JSON. */
    std::string read(const Read& what);
    /** The board as served now, the live registers in it, its scenario
     *  left out: copied with the lock held, written without. */
    std::string boardNow();
    /** Make the files and nodes from board; nodes keep their live
     *  registers. Costs the number of files, not the registers. */
    void publish();
    /** Apply @p change with lock() held; publish() is the caller's.
     *  @return "" or why not */
    std::string apply(const Change& change, const std::string& who);
    /** Apply @p change as @p who, saying on standard error when it is
     *  refused: no client waits for its answer. */
    void applyUnasked(const Change& change, const std::string& who);
    /** Run the next scenario step; publish() is the caller's. */
    void runStep();
    /** Run the queued changes an open of @p name is due to run, and count
     *  it for the others. @return whether one ran */
    bool runLater(std::string_view name);

    Board board;
    int traceFd;
    TraceFormat format;
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

    /** A change queued to run as a later open begins. */
    struct Later
    {
        Change change;
        std::uint64_t accesses;
        std::string of;
        std::string who;
        /** The opens counted so far. */
        std::uint64_t opens = 0;
    };
    /** In the order they were queued. */
    std::deque<Later> later;
};

} // namespace fpga_sim
