// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "sim/fd.hpp"

#include <array>
#include <atomic>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

/**
 * @file output.hpp
 * @brief Where the lines of --trace and --journal go.
 */
namespace fpga_sim
{

/** @brief How --trace writes its records (sim/trace_record.hpp). */
enum class TraceFormat
{
    text, ///< one line of text each, for people
    json, ///< one JSON object a line, the stable form
};

/**
 * @brief The signals that end fpga-sim: passed on to the command while it
 *        runs, and ending a wait for a reader of an output.
 */
sigset_t endingSignals();

/**
 * @brief The next number of fpga-sim's timeline: one counter, shared by
 *        the trace's records and the journal entries caught (their
 *        __SEQNUM), taken as fpga-sim records each event. Starts at 1.
 */
std::uint64_t nextSeq();

/**
 * @brief A destination for lines (FILE, or standard error), fed through a
 *        pipe that a thread of its own drains at once.
 *
 * Writers (the file system's handlers, the journal's reader) write whole
 * lines to writeEnd(). The thread keeps them in memory until the
 * destination takes them, so no request of the simulated driver waits on a
 * reader that has stopped (a pager, a terminal on hold). Past maxPending
 * bytes waiting, lines are dropped and counted; so are lines the
 * destination refuses (a full disk). finish() says what was lost.
 */
class Output
{
  public:
    /** Bytes kept waiting for a slow destination before lines are lost. */
    static constexpr std::size_t maxPending = 64 << 20;

    /**
     * @param option the option, as messages name it ("--trace=FILE")
     * @param file where to write (created or truncated by open()), "" for
     *        standard error
     */
    Output(std::string option, std::string file);
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    ~Output();

    /** @brief The option, as messages name it. */
    const std::string& name() const
    {
        return option;
    }

    /** @brief FILE, "" for standard error. */
    const std::string& path() const
    {
        return file;
    }

    /** @brief Open (create or truncate) FILE: once everything that may
     *  refuse the run has been checked. @throws SetupError */
    void open();

    /** @brief Start passing lines on. A thread of its own does, so call
     *  it once the process has entered its namespaces, which a process
     *  with threads could not. */
    void start();

    /** @brief The descriptor writers write their lines to. */
    int writeEnd() const
    {
        return writer.get();
    }

    /**
     * @brief Pass on everything written so far, waiting for the destination
     *        as long as it takes, and stop.
     * @return false, after saying on standard error how many lines were
     *         lost and why, when not every line reached the destination
     */
    bool finish();

  private:
    Output(std::string option, std::string file, std::array<int, 2> pipe);
    void run();
    /** Read what the pipe holds into pending. */
    void take();
    /** Keep @p data, or as much of it as the bound allows. */
    void keep(std::string_view data);
    /** Write the next whole lines of pending (with @p all, a line cut
     *  short too). @return false when there is nothing the destination
     *  takes now */
    bool pass(bool all);
    /** Drop the next @p bytes of pending, counting their lines. */
    void lose(std::size_t bytes, const std::string& why);

    std::string option;
    std::string file;
    Fd reader;
    Fd writer;
    Fd stop;
    /** Opened by open(). */
    std::optional<Fd> destination;
    bool nonBlocking = false;
    bool socket = false;
    /** What waits for the destination: pending from sent on. */
    std::string pending;
    std::size_t sent = 0;
    std::size_t lostLines = 0;
    std::string lostWhy;
    /** Set by finish() when a signal ended its wait: what waits is lost. */
    std::atomic<bool> abandoned{false};
    std::atomic<bool> done{false};
    std::thread relay;
};

} // namespace fpga_sim
