// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

/**
 * @file libfpga-sim.hpp
 * @brief Test a program that uses libfpga on a simulated board, and change
 *        the board while it runs.
 *
 * A Simulation runs one command under fpga-sim: the FPGA driver's files are
 * served from a board (the board-file format, docs/board-format.md) in a
 * private mount namespace, so the unmodified program finds them where it
 * looks on a BMC. While the command runs, the test changes the board with
 * the words of `fpga-sim ctl`, and reads what happened: the trace of every
 * transfer, the journal entries the command sent (caught inside, never
 * reaching the host's journal) and its output.
 *
 *     fpga_sim::Simulation sim(fpga_sim::Simulation::loadBoard("board.json"));
 *     sim.start({"/usr/bin/thermal-watcher", "--threshold", "90"});
 *     // ... once the service said it runs (start() does not wait):
 *     sim.change({"poke", "fpga-r1-adi", ...});
 *     ASSERT_TRUE(sim.waitFor([](const fpga_sim::Simulation& s) {
 *         return !s.journal().empty();
 *     }));
 *     sim.stop();
 *
 * Each Simulation is independent: tests may run several at once. Needs
 * what fpga-sim needs (read and write access to /dev/fuse; user namespaces
 * when not root). No member is thread-safe: use a Simulation from one
 * thread at a time.
 *
 * The interface holds standard-library types only (a board is the text of
 * a board file), so the library's ABI is libstdc++'s and no other's.
 */

// One message below C++20, rather than one per construct the rest needs.
#if __cplusplus < 202002L
#error "libfpga-sim.hpp needs C++20: compile with -std=c++20 or later"
#else

#if defined(__GNUC__)
#define LIBFPGA_SIM_EXPORT __attribute__((visibility("default")))
#else
#define LIBFPGA_SIM_EXPORT
#endif

namespace fpga_sim
{

/**
 * @brief How a wait of a Simulation ended: true when what it waited for
 *        came in time; when not, message says what was seen meanwhile, for
 *        the test's failure output:
 *
 *     const fpga_sim::WaitResult ended = sim.waitForExit();
 *     ASSERT_TRUE(ended) << ended.message;
 */
struct WaitResult
{
    bool ok;
    std::string message;
    explicit operator bool() const
    {
        return ok;
    }
};

/** @brief fpga-sim refused what was asked: a board or a change it does not
 *         take, or a simulation it cannot start. what() is fpga-sim's own
 *         message ("chips.r1.detected: ..."). */
class LIBFPGA_SIM_EXPORT SimulationError : public std::runtime_error
{
  public:
    using std::runtime_error::runtime_error;
    ~SimulationError() override;
};

/** @brief One journal entry: its fields in the order they were sent, a
 *         field sent twice listed twice. */
using JournalEntry = std::vector<std::pair<std::string, std::string>>;

/** @brief The first value of field @p key in @p entry, or "" when absent. */
LIBFPGA_SIM_EXPORT std::string field(const JournalEntry& entry,
                                     std::string_view key);

/**
 * @brief Whether @p entry was sent by libfpga itself rather than by the
 *        program that uses it: its CODE_FUNC names a function of the
 *        namespace tavrin_fpga. Both of libfpga's logging layers (lg2 on a
 *        BMC, the built-in one elsewhere) put the function's signature
 *        there ("int tavrin_fpga::deviceAccess(...)"); a service's own
 *        entries, sent through lg2 or sd_journal_send(), name the service's
 *        functions, or have no CODE_FUNC at all.
 */
LIBFPGA_SIM_EXPORT bool isLibraryEntry(const JournalEntry& entry);

class LIBFPGA_SIM_EXPORT Simulation
{
  public:
    /** What the simulation runs with. Its fields are part of the ABI: a
     *  new one comes with a new soname. */
    struct Options
    {
        /** The fpga-sim program; by default defaultFpgaSim(). */
        std::string fpgaSim = defaultFpgaSim();
        /** Pass the command's standard output and error through to this
         *  process's instead of keeping them for output() and errors(). */
        bool passOutput = false;
    };

    /** @brief The fpga-sim program: $FPGA_SIM when set and not empty (for
     *         an fpga-sim that is not where this library was installed
     *         with it: a relocated prefix, a DESTDIR, a build tree), else
     *         the one installed with this library. */
    static std::string defaultFpgaSim();

    /** @brief The text of fpga-sim's built-in board, the one a Simulation
     *         without a board serves (installed as default.json in the
     *         board directory, pkg-config's boardsdir). */
    static std::string builtInBoard();

    /** @brief The text of a board file. @throws SimulationError saying why
     *         when it cannot be read (a directory, a file without read
     *         permission, none at all) */
    static std::string loadBoard(const std::string& path);

    /**
     * @brief A simulation of @p board, the JSON text of a board file; an
     *        empty text is fpga-sim's built-in board. Nothing runs until
     *        start().
     * @throws SimulationError with `fpga-sim --check`'s message when the
     *         board is not valid
     */
    Simulation(const std::string& board, Options options);

    /** @brief A simulation of @p board with the default Options. */
    explicit Simulation(const std::string& board = {});

    /** @brief Stops a command still running (as stop(), within 10 s) and
     *         removes the simulation's files. */
    ~Simulation();

    Simulation(const Simulation&) = delete;
    Simulation& operator=(const Simulation&) = delete;

    /**
     * @brief Run @p command (a program and its arguments, found on PATH)
     *        on the board; returns once fpga-sim listens for changes, not
     *        once the command is ready: wait for its own sign that it is
     *        (an entry it logs) before a change it must see happen.
     * @throws SimulationError when a command runs already, or fpga-sim
     *         cannot start
     */
    void start(const std::vector<std::string>& command);

    /**
     * @brief Change the board while the command runs: @p words are those
     *        of `fpga-sim ctl SOCKET ...` (docs/fpga-sim.md), e.g.
     *        {"set", "chips.r0.detected", "0"}. The change is in place when
     *        this returns: the command's next open or transfer sees it.
     * @throws SimulationError with fpga-sim's message when the change is
     *         refused (the board is then as it was), or nothing runs
     */
    void change(const std::vector<std::string>& words);

    /** @brief Whether the command still runs. */
    bool running();

    /** @brief Wait for the command to end. @return its exit status, or
     *         128 + N when signal N ended it (fpga-sim's exit status) */
    int wait();

    /** @brief Send SIGTERM to the command and wait(), SIGKILL after 5 s:
     *         stop(grace) with 5 s. @return as wait(); -1 when nothing was
     *         started */
    int stop();

    /**
     * @brief Call @p condition until it holds, every 10 ms, for at most
     *        @p timeout. @return whether it held. For tests that wait for a
     *        reaction: a timeout is a failure guard, never a measurement.
     */
    bool waitFor(const std::function<bool(const Simulation&)>& condition,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10));

    /** @brief The trace so far: one line per transfer and per change. */
    std::vector<std::string> trace() const;

    /** @brief The journal entries the command (and anything it ran) sent
     *         so far, oldest first. */
    std::vector<JournalEntry> journal() const;

    /** @brief What the command wrote to standard output and error so far
     *         (empty with Options::passOutput). */
    std::string output() const;
    std::string errors() const;

    /** @brief The control socket, for `fpga-sim ctl` from a script the
     *         command runs. */
    std::string controlSocket() const;

    // Waiting for the command's end, stopping it within a bound, and
    // running a function of the test on the board.

    /**
     * @brief Wait at most @p timeout for the command to end.
     * @return true once it ended (status() has its exit status); when it
     *         still runs, a message with what it last wrote to standard
     *         error and the journal. No command started is a failure too.
     */
    WaitResult waitForExit(
        std::chrono::milliseconds timeout = std::chrono::seconds(10));

    /** @brief The command's exit status once it ended, as wait() gives it;
     *         -1 while it runs, or when none was started. */
    int status();

    /**
     * @brief Stop the command within a bound: SIGTERM, and when it has not
     *        ended after @p grace, SIGKILL (the command first, so that
     *        fpga-sim still writes out the trace and the journal, then, one
     *        more @p grace later, fpga-sim). stop() is stop(5 s).
     * @return as wait(): 137 (128 + SIGKILL) when the command was killed
     */
    int stop(std::chrono::milliseconds grace);

    /**
     * @brief Run @p function of the test on the board, in a forked child
     *        that joins the namespaces of the command (which must run, a
     *        holder such as {"sleep", "infinity"} when the test has no
     *        service): it opens the simulated files, and its journal
     *        entries are caught with the command's. The child is a copy of
     *        this process: what the function changes in memory stays in
     *        the child; its result comes back as the return value.
     * @return what @p function returned, as an exit status (0 to 255), or
     *         128 + N when signal N ended the child
     * @throws SimulationError when no command runs, the namespaces cannot
     *         be joined, or @p function throws (with its what())
     */
    int run(const std::function<int()>& function);

  private:
    /** Everything a simulation holds, out of the ABI: members come and go
     *  without a new soname. */
    struct State;
    std::unique_ptr<State> state;
};

} // namespace fpga_sim

#endif // __cplusplus >= 202002L
