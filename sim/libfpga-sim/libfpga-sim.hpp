// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <cstdint>
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
 * the words of `fpga-sim ctl`, at once or at a chosen open, reads the
 * board back, and reads what happened: the trace of every transfer, the
 * journal entries the command sent (caught inside, never reaching the
 * host's journal) and its output, or waits for one of them.
 *
 *     fpga_sim::Simulation sim(fpga_sim::Simulation::loadBoard("board.json"));
 *     sim.start({"/usr/bin/thermal-watcher", "--threshold", "60"});
 *     // start() does not wait for the service: wait for its own sign.
 *     const fpga_sim::WaitResult runs = sim.waitForJournal(
 *         {{"MESSAGE", "Watching thermal value1, threshold 60"}});
 *     ASSERT_TRUE(runs) << runs.message;
 *     sim.change({"poke", "hpm", "thermal.records", "00", "01", "5a"});
 *     const fpga_sim::WaitResult said = sim.waitForJournal(
 *         {{"MESSAGE", "Thermal entry 0 value1 at 90, above 60"}});
 *     ASSERT_TRUE(said) << said.message;
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
 *        came in time. When it did not, message says what was seen while
 *        waiting (the last journal entries, the last writes, ...), for the
 *        test's failure output:
 *
 *     const fpga_sim::WaitResult written = sim.waitForWrite(...);
 *     ASSERT_TRUE(written) << written.message;
 */
struct WaitResult
{
    /** Whether the awaited event came before the timeout. */
    bool met = false;
    /** What was seen instead, when it did not come. */
    std::string message;
    /** The sequence number of the event that came, on the timeline that
     *  trace records and journal entries share (0: none, or the wait has
     *  no such event); pass it on to wait for what comes after it. */
    std::uint64_t seq = 0;

    explicit operator bool() const
    {
        return met;
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

/**
 * @brief One record of fpga-sim's trace: a transfer on a node, a write to
 *        the reset attribute, or a change to the board. fpga-sim writes
 *        them as JSON Lines with `--trace-format=json`, in the stable form
 *        docs/fpga-sim.md declares; these are its fields. Returned by
 *        value: a new field comes with a new soname.
 */
struct TraceRecord
{
    /** Its place on the timeline the trace shares with the journal
     *  entries caught (their __SEQNUM): a later event has a larger one. */
    std::uint64_t seq = 0;
    /** "transfer", "reset" or "change". */
    std::string type;

    /** transfer: the node ("fpga-r1"). */
    std::string node;
    /** transfer: "read" or "write". */
    std::string op;
    /** transfer: the file position, and the register it addresses (page
     *  and pageDataOffset on ADI nodes only, else 0). */
    std::uint64_t position = 0;
    std::uint64_t block = 0;
    std::uint64_t offset = 0;
    std::uint64_t page = 0;
    std::uint64_t pageDataOffset = 0;
    /** transfer: bytes asked for, and bytes moved. */
    std::uint64_t length = 0;
    std::uint64_t got = 0;
    /** transfer: the bytes moved. */
    std::vector<std::uint8_t> bytes;
    /** transfer: the errno's name when it failed ("EIO"), else "". */
    std::string error;

    /** reset: the text written ("1", "0"), and whether it restored the
     *  board's registers. */
    std::string written;
    bool restored = false;

    /** change: who made it ("control", "scenario[N]", "control after N of
     *  FILE"), the change in words, and whether it was applied. */
    std::string who;
    std::string change;
    bool applied = false;
    /** change: why it was refused; transfer: why it failed, when more
     *  than the errno says. */
    std::string message;
};

/** @brief One journal entry: its fields in the order they were sent, a
 *         field sent twice listed twice. fpga-sim adds __SEQNUM, the
 *         entry's place on the timeline of TraceRecord::seq. */
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

    // Reading the board back, changes at a chosen point, and waits for
    // what the command did, on the timeline of TraceRecord::seq.

    /**
     * @brief The value board-file field @p field ("chips.r0.detected",
     *        "hpmChip", "nodes.fpga-r1.fail") has now, as compact JSON of
     *        its canonical form ("true", "\"remote1\""); "null" where the
     *        board leaves it out. A node's "registers" are the board's,
     *        which a reset restores; peek() reads the live ones.
     * @throws SimulationError for a path no board can have, with the
     *         message `set` gets, or when nothing runs
     */
    std::string get(const std::string& field);

    /**
     * @brief @p length live register bytes of @p node from @p block,
     *        @p offset on (page 0, page data offset 0 on an ADI node): what
     *        the command reads there now, what it wrote included.
     * @throws SimulationError for coordinates a poke would not take, a
     *         node without registers, or when nothing runs
     */
    std::vector<std::uint8_t> peek(const std::string& node, std::size_t block,
                                   std::size_t offset, std::size_t length = 1);

    /**
     * @brief The live bytes of register @p registerName, a name fpgatool
     *        takes ("power.front-buttons", "thermal.records"), all its
     *        length, on @p target: a node of the register's mode, or a chip
     *        ("local", "r0" to "r3", or "hpm": the chip the board's hpmChip
     *        names now), whose node of that mode it is then.
     * @throws SimulationError as the other peek(), and when @p target names
     *         no chip
     */
    std::vector<std::uint8_t> peek(const std::string& target,
                                   const std::string& registerName);

    /** @brief The board as it is served now, in board-file text: the
     *         registers as they read now, the scenario left out.
     *  @throws SimulationError when nothing runs */
    std::string board();

    /**
     * @brief Make the change @p words (as change()) as the next open of
     *        @p file begins after @p accesses opens of it, counted from
     *        now; "" counts the opens of every file of the driver. So the
     *        change lands at the same point of the command's work in every
     *        run: changeAfter(0, "fpga-r1-adi", ...) before the next thermal
     *        read. Returns once fpga-sim has queued it.
     * @throws SimulationError for words or a file fpga-sim does not take
     *         (the board's rules apply when it runs: a refusal then is in
     *         the trace), or when nothing runs
     */
    void changeAfter(std::uint64_t accesses, const std::string& file,
                     const std::vector<std::string>& words);

    /** @brief The trace so far, as records: what trace() shows, one
     *         record a line, each with its seq. */
    std::vector<TraceRecord> records() const;

    /**
     * @brief Wait until the journal has an entry with every field of
     *        @p fields (a name and its value; a field sent twice matches
     *        either value) that came after seq @p after on the timeline (0:
     *        any), or @p timeout passes, or the command ends.
     * @return met, and the entry's __SEQNUM as seq; else a message with
     *         the last entries caught
     */
    WaitResult waitForJournal(
        const JournalEntry& fields,
        std::chrono::milliseconds timeout = std::chrono::seconds(10),
        std::uint64_t after = 0);

    /**
     * @brief Wait until the command writes register @p registerName on
     *        @p target (as peek() takes them): a write, after seq @p after,
     *        whose bytes reach the register's first byte.
     * @return met, and the write's seq; else a message with the last
     *         writes seen
     */
    WaitResult waitForWrite(
        const std::string& target, const std::string& registerName,
        std::chrono::milliseconds timeout = std::chrono::seconds(10),
        std::uint64_t after = 0);

    /** @brief As the other waitForWrite(), for the register at @p block,
     *         @p offset of @p node (page 0, page data offset 0 on an ADI
     *         node). */
    WaitResult waitForWrite(
        const std::string& node, std::size_t block, std::size_t offset,
        std::chrono::milliseconds timeout = std::chrono::seconds(10),
        std::uint64_t after = 0);

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
