// SPDX-License-Identifier: Apache-2.0
// fpgatool on simulated boards: its text and JSON outputs, exit statuses,
// failure messages and refusals, as golden transcripts in
// tests/golden/fpgatool/.
//
// A transcript is what a shell session shows: for each command line
// "$ fpgatool ARGS", its standard output, "--- stderr" and its standard
// error when there is any, and "--- exit N". A file may hold several runs,
// each under "### TITLE". After a deliberate change of the output, run this
// program with FPGATOOL_UPDATE_GOLDEN=1 to rewrite the files, then review
// the diff.

#include "fpgasim_run.hpp"
#include "sim/board_json.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using fpga_sim::Board;
using fpga_test::FpgaSimTest;
using fpga_test::WorldTest;
using Result = fpga_test::Run;
using tavrin_fpga::Location;
using ::testing::ElementsAre;

/** Runs each command line given after the tool's path and prints the
 *  transcript. */
constexpr const char* transcriptScript = R"(tool=$1
shift
err=$(mktemp)
for args in "$@"; do
    printf '$ fpgatool %s\n' "$args"
    $tool $args 2>"$err"
    status=$?
    if [ -s "$err" ]; then
        echo '--- stderr'
        cat "$err"
    fi
    echo "--- exit $status"
done
rm -f "$err")";

std::string exampleBoard(const std::string& name)
{
    return std::string(BOARDS_DIR) + "/" + name + ".json";
}

/** Command lines run on an example board, changed by @c fault if set. */
struct Section
{
    std::string title;
    std::string board;
    std::vector<std::string> lines;
    std::function<void(Board&)> fault = nullptr;
};

/** The transcripts of @p sections, each under its title when it has one. */
std::string transcript(const std::vector<Section>& sections,
                       const std::vector<std::string>& simOptions = {})
{
    std::string text;
    for (const Section& section : sections)
    {
        Board board = fpga_sim::loadBoardFile(exampleBoard(section.board));
        if (section.fault)
        {
            section.fault(board);
        }
        std::vector<std::string> command = {"/bin/sh", "-c", transcriptScript,
                                            "sh", FPGATOOL};
        command.insert(command.end(), section.lines.begin(),
                       section.lines.end());
        const Result run = fpga_test::runOnBoard(board, command, simOptions);
        EXPECT_EQ(run.status, 0) << section.title << ": " << run.err;
        text += (section.title.empty() ? "" : "### " + section.title + "\n") +
                run.out;
    }
    return text;
}

void expectGolden(const std::string& name, const std::string& actual)
{
    const std::string path = std::string(GOLDEN_DIR) + "/" + name;
    if (std::getenv("FPGATOOL_UPDATE_GOLDEN") != nullptr)
    {
        std::ofstream(path) << actual;
        return;
    }
    EXPECT_EQ(fpga_test::slurp(path), actual) << "differs from " << path;
}

/** Every verb that reads, each once, on the default board. */
const std::vector<std::string> readingVerbs = {
    "list",     "info", "power",    "buttons", "interrupts",
    "thermals", "fans", "presence", "dump r0", "read hpm 8 14 16 --adi",
};

using Fpgatool = FpgaSimTest;

TEST_F(Fpgatool, DefaultBoardTextMatchesGolden)
{
    std::vector<std::string> lines = readingVerbs;
    lines.push_back("read hpm 4 10 5");
    expectGolden("default.txt", transcript({{"", "default", lines}}));
}

// The JSON document of every verb, once; each carries the schema version
// and the verb, and parses.
TEST_F(Fpgatool, DefaultBoardJsonMatchesGolden)
{
    std::vector<std::string> lines;
    for (const std::string& verb : readingVerbs)
    {
        lines.push_back(verb + " --json");
    }
    const std::string out = transcript({{"", "default", lines}});
    expectGolden("default.json.txt", out);

    std::size_t documents = 0;
    for (std::size_t start = out.find("\n{\n"); start != std::string::npos;
         start = out.find("\n{\n", start + 1), ++documents)
    {
        const std::string text =
            out.substr(start, out.find("\n}\n", start) + 2 - start);
        const auto json = nlohmann::json::parse(text);
        const std::string& line = lines.at(documents);
        EXPECT_EQ(json.at("schemaVersion"), 2) << line;
        EXPECT_EQ(json.at("command"), line.substr(0, line.find(' '))) << line;
    }
    EXPECT_EQ(documents, lines.size());
}

// What differs from board to board: the platform-specific views of each
// platform type, and where the HPM FPGA is (the hpm-* boards, of platform
// type 2). Other example boards show something else (a scenario).
TEST_F(Fpgatool, OtherBoardsMatchGolden)
{
    const std::vector<std::pair<std::string, std::vector<std::string>>> shown =
        {{"platform-", {"info", "fans", "presence"}}, {"hpm-", {"info"}}};
    std::vector<Section> sections;
    for (const auto& entry : std::filesystem::directory_iterator(BOARDS_DIR))
    {
        const std::string name = entry.path().stem().string();
        for (const auto& [prefix, verbs] : shown)
        {
            if (name.starts_with(prefix))
            {
                sections.push_back({name, name, verbs});
            }
        }
    }
    std::ranges::sort(sections, {}, &Section::title);
    expectGolden("boards.txt", transcript(sections));
}

// A snapshot taken under fpga-sim and served again shows every reading
// verb what the board showed, and carries every attribute byte for byte,
// malformed ones too (which leave out what the library cannot read, with a
// warning and status 1).
TEST_F(Fpgatool, SnapshotServedAgainReadsAsTheBoard)
{
    // The attributes (list, info), every enabled register (dump) and the
    // thermal records: what the decoded views read is among them.
    std::vector<std::string> verbs = {"list", "info", "thermals"};
    for (const char* chip : {"local", "r0", "r1", "r2", "r3"})
    {
        verbs.push_back(std::string("dump ") + chip);
    }
    // Title: what the snapshot prints on stderr, and its exit status.
    std::vector<Section> rows = {
        {".*left out the registers of r0: getSupportedBlocks: .*\n.*left "
         "out the thermal records: rawHpmNormalAccess: .*\nexit 1\n",
         "default",
         {},
         [](Board& b) {
             b.probe = fpga_sim::ProbeDirs::both;
             b.resetAttribute = false;
             b.remotes[0].blocks = "10x1\n";
             b.local.fwVersion = "2 14 \xff\n";
             b.hpmChip = "remotex\n";
         }}};
    for (const auto& entry : std::filesystem::directory_iterator(BOARDS_DIR))
    {
        rows.push_back({"exit 0\n", entry.path().stem().string(), {}});
    }
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // Every board runs the same code: under the sanitizers, whose processes
    // start slowly, the odd board and one example are enough for them.
    rows.resize(2);
#endif
    for (const Section& row : rows)
    {
        SCOPED_TRACE(row.board + (row.fault ? " made odd" : ""));
        Board board = fpga_sim::loadBoardFile(exampleBoard(row.board));
        if (row.fault)
        {
            row.fault(board);
        }
        const fpga_test::ScratchDir dir;
        const std::string file = dir.file("snapshot.json");
        std::vector<std::string> command = {
            FPGA_SIM, "--board",        file, "--",    "/bin/sh",
            "-c",     transcriptScript, "sh", FPGATOOL};
        command.insert(command.end(), verbs.begin(), verbs.end());
        std::vector<std::string> taking(command.begin() + 4, command.end());
        taking[2] = "\"$2\" snapshot >\"$1\" 2>\"$1.err\"; echo exit $? "
                    ">>\"$1.err\"; shift\n" +
                    std::string(transcriptScript);
        taking.insert(taking.begin() + 4, file);
        const Result original = fpga_test::runOnBoard(board, taking);
        EXPECT_THAT(fpga_test::slurp(file + ".err"),
                    ::testing::MatchesRegex(row.title));
        EXPECT_EQ(fpga_test::runProgram(command).out, original.out);
        Board snapshot = fpga_sim::loadBoardFile(file);
        EXPECT_EQ(std::tie(snapshot.probe, snapshot.local, snapshot.hpmChip,
                           snapshot.resetAttribute),
                  std::tie(board.probe, board.local, board.hpmChip,
                           board.resetAttribute));
        for (std::size_t index = 0; index < 4; ++index)
        {
            EXPECT_EQ(snapshot.chip(Location::remote, index),
                      board.chip(Location::remote, index));
        }
    }
}

// Writes and their checks, read back each time; dry runs; repeated
// samples; and the reset that restores the board's registers.
TEST_F(Fpgatool, SessionMatchesGolden)
{
    expectGolden(
        "session.txt",
        transcript(
            {{"",
              "default",
              {
                  "write -y local 0 0 0x12 0x34 --verify",
                  "write -y --mask 0x0f local 0 1 0xff",
                  "read local 0 0 4",
                  "read local 0 15 2 --cross-blocks",
                  "write --dry-run --mask 0xf0 local 0 0 0xaa",
                  "write -n r2 8 14 1 2 --adi --page 0x234 "
                  "--page-offset 3 --json",
                  "write -y r1 8 14 0x5a --adi --page 2 --page-offset "
                  "1 --verify",
                  "read r1 8 14 --adi --page 2 --page-offset 1",
                  "write -n local 8 14 0x5a --adi --page 0x1234",
                  "buttons off --dry-run",
                  "buttons -y off",
                  "buttons --json --repeat 2 --interval 0",
                  "read local 0 0 --repeat 3 --interval 0",
                  "power --repeat 2 --interval 0",
                  "dump r0 -o /dev/stderr",
                  "reset --dry-run",
                  "reset -y",
                  "read local 0 0 4",
                  "buttons",
                  "registers",
                  "read hpm power.on-source",
                  "write -y hpm power.front-buttons 0x02 --verify",
                  "read hpm thermal.records --json",
              }}}));
}

// Every refusal names the argument and its range; none reaches a transfer
// (the trace of the whole run stays empty).
TEST_F(Fpgatool, RefusalsMatchGoldenAndTransferNothing)
{
    fpga_test::ScratchDir dir;
    const std::string trace = dir.file("trace");
    expectGolden(
        "refusals.txt",
        transcript(
            {{"",
              "default",
              {
                  "read local 64 0",
                  "read local 4 1 --adi --page 0x10000",
                  "write -y local 4 1 -1",
                  "write -y local 4 1",
                  "read r4 4 1",
                  "read remote1 4 1",
                  "read local 4 1 --page 2",
                  "read local 4 1 --interval -1",
                  "write -y local 3 15 0xaa 0xbb",
                  "read local 0 8 9",
                  "read local 4 15 2 --adi --page 0xffff "
                  "--page-offset 15",
                  "read r1 8 14 --adi --page 0x1002 --page-offset 1",
                  "write -n hpm 8 14 1 --adi --page 0x1000",
                  "read r0 8 14 2 --adi --page 0xfff --page-offset 15",
                  "write -y local 3 15 0xaa 0xbb --cross-blocks",
                  "read r0 1 0 32 --cross-blocks",
                  "read local 63 15 2 --cross-blocks",
                  "buttons maybe",
                  "buttons -y on --repeat 2 --interval 0",
                  "write local 4 10 1",
                  "buttons off",
                  "reset",
                  "frobnicate",
                  "",
              }}},
            {"--trace=" + trace}));
    EXPECT_EQ(fpga_test::slurp(trace), "");
}

fpga_sim::Node& localNode(Board& board)
{
    return board.node(Location::local, 0, fpga_sim::Mode::normal);
}

// One run for each way a failure reaches the user: a result code with a
// general or a call's own hint, or none; an exception; a verb that goes on
// past failures, in text and JSON; the tool's own checks.
TEST_F(Fpgatool, FaultsMatchGolden)
{
    const std::vector<Section> faults = {
        {"absent chip, disabled block, HPM block, output file",
         "default",
         {"read r2 0 0", "read local 20 0", "read hpm 40 0", "dump r2",
          "dump r0 -o /nonexistent/dump.txt"}},
        {"transfers that fail",
         "default",
         {"write -y local 0 0 1", "dump local", "dump local --json"},
         [](Board& b) {
             localNode(b).failures = {
                 {EIO, fpga_sim::FaultOps::read, 2},
                 {ETIMEDOUT, fpga_sim::FaultOps::write, {}}};
         }},
        {"thermal block without ADI mode",
         "default",
         {"thermals --json"},
         [](Board& b) {
             b.setBytes(Location::remote, 1, fpga_sim::Mode::normal,
                        fpga_sim::normalPosition(8, 0), {0x00});
         }},
        {"malformed HPM attribute",
         "default",
         {"dump hpm --json"},
         [](Board& b) { b.hpmChip = "remotex\n"; }},
        {"no driver directory",
         "default",
         {"info", "list --json", "reset -y"},
         [](Board& b) { b.probe = fpga_sim::ProbeDirs::none; }},
        {"firmware text that is not UTF-8",
         "default",
         {"list --json"},
         [](Board& b) { b.local.fwVersion = "2 14 \xff\n"; }},
        {"attributes the driver does not publish, undetected chip",
         "default",
         {"list"},
         [](Board& b) {
             b.local.fwVersion.reset();
             b.remotes[0].blocks.reset();
             b.remotes[2].chipId = "0x43\n";
         }},
        {"read-only reset attribute",
         "default",
         {"reset --dry-run"},
         [](Board& b) { b.readOnlyReset = true; }},
    };
    expectGolden("faults.txt", transcript(faults));
}

// watch prints the first value, then each change, timestamped, until the
// --until bytes; the changes come from other fpgatool runs meanwhile, and
// however the samples fall, no line repeats the one before it.
TEST_F(Fpgatool, WatchPrintsEachChangeUntilTheValue)
{
    const Result run = fpga_test::runOnBoard(
        fpga_sim::loadBoardFile(exampleBoard("default")),
        {"/bin/sh", "-c",
         "$0 watch local 0 0 --until 0x05 --timeout 30 -i 0.02 --json & "
         "for b in 1 1 2 5; do sleep 0.2; $0 write -y local 0 0 $b; done; "
         "wait $!; echo status $?; "
         "$0 watch local 0 0 --until 0x07 --timeout 0.1; echo status $?",
         FPGATOOL});
    std::istringstream lines(run.out);
    std::vector<std::string> seen;
    const std::string time = "[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:"
                             "[0-9]{2}[.][0-9]{3}Z";
    for (std::string line;
         std::getline(lines, line) && !line.starts_with("status");)
    {
        const auto sample = nlohmann::json::parse(line);
        EXPECT_THAT(sample.at("time").get<std::string>(),
                    ::testing::MatchesRegex(time));
        seen.push_back(sample.at("bytes").dump());
        EXPECT_TRUE(seen.size() == 1 || seen.rbegin()[1] != seen.back());
    }
    ASSERT_FALSE(seen.empty()) << run.err;
    EXPECT_EQ(seen.front(), "[0]");
    EXPECT_EQ(seen.back(), "[5]");
    EXPECT_THAT(run.out, ::testing::ContainsRegex(
                             "status 0\n" + time + " 0x05\nstatus 1\n$"));
    EXPECT_EQ(run.err, "fpgatool: watch: timed out after 0.1 s without "
                       "reading the --until bytes\n");
}

// fpgatool's read-modify-writes of one register, run at once, keep each
// other's bits: seven masked writes and "buttons on" (bit 1) set all eight.
TEST_F(Fpgatool, ConcurrentReadModifyWritesKeepEveryBit)
{
    const Result run = fpga_test::runOnBoard(
        fpga_sim::loadBoardFile(exampleBoard("default")),
        {"/bin/sh", "-c",
         "for round in 1 2 3 4 5; do $0 write -y hpm 4 10 0; "
         "for bit in 1 4 8 16 32 64 128; do "
         "$0 write -y --mask $bit hpm 4 10 0xff & done; "
         "$0 buttons -y on & wait; $0 read hpm 4 10; done",
         FPGATOOL});
    EXPECT_EQ(run.out, "0xff\n0xff\n0xff\n0xff\n0xff\n") << run.err;
}

// The kernel holds a user other than root to the modes and owners the
// board gives: a node is root's alone (0600) unless the board says
// otherwise, and the reset attribute (0644) its owner's to write.
TEST_F(Fpgatool, FilesOpenAsTheirModesAndOwnersLet)
{
    const char* const setpriv = "/usr/bin/setpriv";
    if (::geteuid() != 0 || ::access(setpriv, X_OK) != 0)
    {
        GTEST_SKIP() << "needs root and setpriv: only root's fpga-sim has "
                        "users other than the caller in its namespace";
    }
    // Another user can only run a build that it can reach (not one below a
    // directory of mode 0700, such as /root or a mkdtemp directory).
    const std::vector<std::string> asNobody = {
        setpriv, "--reuid=65534", "--regid=65534", "--clear-groups"};
    std::vector<std::string> version = asNobody;
    version.insert(version.end(), {FPGATOOL, "--version"});
    if (fpga_test::runProgram(version).status != 0)
    {
        GTEST_SKIP() << "uid 65534 cannot run " << FPGATOOL;
    }
    Board board = fpga_sim::loadBoardFile(exampleBoard("default"));
    board.node(Location::remote, 0, fpga_sim::Mode::normal).owner = 65534;
    board.node(Location::remote, 1, fpga_sim::Mode::normal).mode = 0606;
    board.attributeOwner = 65534;
    const Result run = fpga_test::runOnBoard(
        board,
        {setpriv, "--reuid=65534", "--regid=65534", "--clear-groups", "/bin/sh",
         "-c", "$0 read r0 0 0; $0 read r1 0 0; $0 read local 0 0; $0 reset -n",
         FPGATOOL});
    EXPECT_EQ(run.out, "0x00\n0x00\nwould call: resetFpga()\n");
    EXPECT_EQ(run.err,
              "fpgatool: rawNormalAccess: -14 (EFAULT): the block is disabled "
              "on the chip (see fpgatool list), or the device node does not "
              "open for reading and writing (is the driver loaded? are you "
              "root?)\n");
}

// dump -o replaces FILE only when the dump succeeds; a failed dump leaves
// it as it was, and no temporary file stays beside it.
TEST_F(Fpgatool, DumpReplacesTheOutputFileOnlyOnSuccess)
{
    const std::vector<std::tuple<std::string, int, std::string>> runs = {
        {"r2", 1, "old\n"},
        {"r0", 0, "chip: r0\n"},
    };
    for (const auto& [chip, status, start] : runs)
    {
        SCOPED_TRACE(chip);
        fpga_test::ScratchDir dir;
        const std::string file = dir.file("dump.txt");
        std::ofstream(file) << "old\n";
        const Result run = fpga_test::runOnBoard(
            fpga_sim::loadBoardFile(exampleBoard("default")),
            {FPGATOOL, "dump", chip, "-o", file});
        EXPECT_EQ(run.status, status) << run.err;
        EXPECT_EQ(fpga_test::slurp(file).substr(0, start.size()), start);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(
                                    std::filesystem::path(file).parent_path()),
                                {}),
                  1);
    }
}

// With --json --repeat each sample is a line of its own as soon as it is
// taken: the first is out while the tool waits for the second, and
// survives its interruption.
TEST_F(Fpgatool, RepeatedJsonSamplesComeOutAsTaken)
{
    const Result run = fpga_test::runOnBoard(
        fpga_sim::loadBoardFile(exampleBoard("default")),
        {"/bin/bash", "-c",
         "coproc { exec \"$0\" buttons --json --repeat 2 --interval 3600; }; "
         "timeout 60 head -n 1 <&\"${COPROC[0]}\"; kill -INT $COPROC_PID",
         FPGATOOL});
    EXPECT_EQ(run.out, "{\"schemaVersion\":2,\"command\":\"buttons\","
                       "\"sample\":0,\"frontButtonsEnabled\":true}\n");
}

/** Run @p argv with a terminal on standard input on which @p typed has
 *  been typed. Status -1: no pseudo-terminal could be had. */
Result runOnTerminal(const std::vector<std::string>& argv,
                     const std::string& typed)
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
    {
        return {};
    }
    const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    EXPECT_EQ(::write(master, typed.data(), typed.size()),
              static_cast<ssize_t>(typed.size()));
    const Result run = fpga_test::runProgram(argv, slave);
    ::close(slave);
    ::close(master);
    return run;
}

// On a terminal a write asks first; only an answer starting with y writes.
TEST_F(Fpgatool, TerminalConfirmationDecidesTheWrite)
{
    const std::string question =
        "Write 0x77 to local block 0 offset 0 (/dev/fpga-cdev position "
        "0x000)? [y/N] ";
    const std::vector<std::pair<std::string, std::string>> answers = {
        {"n\n", "0x00"}, {"\n", "0x00"}, {"yes\n", "0x77"}, {"Y\n", "0x77"}};
    for (const auto& [typed, register0] : answers)
    {
        SCOPED_TRACE(typed);
        const Result run = runOnTerminal(
            {FPGA_SIM, "--board", exampleBoard("default"), "--", "/bin/sh",
             "-c", "$0 write local 0 0 0x77; echo status $?; $0 read local 0 0",
             FPGATOOL},
            typed);
        if (run.status == -1 && ::access("/dev/ptmx", F_OK) != 0)
        {
            GTEST_SKIP() << "no pseudo-terminals here (/dev/ptmx)";
        }
        const bool written = register0 == "0x77";
        EXPECT_EQ(run.out, std::string("status ") + (written ? "0" : "1") +
                               "\n" + register0 + "\n");
        EXPECT_EQ(run.err, written ? question
                                   : question + "fpgatool: write: not "
                                                "confirmed; nothing written\n");
    }
}

// A std::filesystem::filesystem_error from the library's directory probe
// (a symlink loop where the driver directory should be) is a message and
// status 1.
TEST_F(WorldTest, DirectoryProbeFailureIsAMessage)
{
    Board board;
    board.probe = fpga_sim::ProbeDirs::none;
    inWorld(board, [](fpga_sim::World&) {
        std::filesystem::create_directories("/sys/bus/spi/devices");
        ASSERT_EQ(::symlink("spi2.2", fpga_sim::spi22Dir), 0);
        const Result run = fpga_test::runProgram({FPGATOOL, "list"});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err.rfind("fpgatool: devAttrFilePath: cannot probe the "
                                "driver's sysfs directory: filesystem error",
                                0),
                  0)
            << run.err;
    });
}

/** What the bash completion offers after the words of @p line (the last
 *  word being completed). */
std::vector<std::string> completions(std::string line)
{
    // The completion runs the tool itself for the register names.
    line.replace(0, line.find(' '), FPGATOOL);
    const Result run = fpga_test::runProgram(
        {"/bin/bash", "-c",
         "source \"$0\"; COMP_WORDS=($1 \"$2\"); "
         "COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _fpgatool; "
         "printf '%s\\n' \"${COMPREPLY[@]}\"",
         COMPLETION, line.substr(0, line.rfind(' ')),
         line.substr(line.rfind(' ') + 1)});
    std::vector<std::string> words;
    std::istringstream in(run.out);
    for (std::string word; in >> word;)
    {
        words.push_back(word);
    }
    return words;
}

/** The first word of each line of @p text from the one after @p heading to
 *  the next empty one. */
std::vector<std::string> section(const std::string& text,
                                 const std::string& heading)
{
    std::vector<std::string> words;
    std::istringstream in(
        text.substr(text.find(heading + "\n") + heading.size() + 1));
    for (std::string line; std::getline(in, line) && !line.empty();)
    {
        std::istringstream(line) >> words.emplace_back();
    }
    return words;
}

// The completion offers every verb and every option of each verb that
// --help lists, so a new verb or option cannot be forgotten there.
TEST(FpgatoolCompletion, OffersWhatHelpLists)
{
    const std::string help = fpga_test::runProgram({FPGATOOL, "--help"}).out;
    const std::vector<std::string> verbs = section(help, "Subcommands:");
    ASSERT_FALSE(verbs.empty());
    EXPECT_THAT(completions("fpgatool "), ::testing::IsSupersetOf(verbs));

    for (const std::string& verb : verbs)
    {
        SCOPED_TRACE(verb);
        const std::string verbHelp =
            fpga_test::runProgram({FPGATOOL, verb, "--help"}).out;
        std::vector<std::string> options;
        for (const std::string& option : section(verbHelp, "Options:"))
        {
            // "-j,--json" and "--page" alike give the long name; lines that
            // carry on a description start with no option.
            if (option.find("--") != std::string::npos)
            {
                options.push_back(option.substr(option.find("--")));
            }
        }
        EXPECT_THAT(completions("fpgatool " + verb + " --"),
                    ::testing::UnorderedElementsAreArray(options));
    }
    EXPECT_THAT(completions("fpgatool write -y --page 3 "),
                ElementsAre("local", "r0", "r1", "r2", "r3", "hpm"));
    // Where a block may stand, the names "fpgatool registers" lists.
    const std::vector<std::string> names = completions("fpgatool read local ");
    EXPECT_THAT(names, ::testing::Contains("power.on-source"));
    EXPECT_THAT(completions("fpgatool watch hpm power.on"),
                ElementsAre("power.on-source"));
    EXPECT_THAT(completions("fpgatool read local 4 "), ::testing::IsEmpty());
    EXPECT_THAT(completions("fpgatool buttons "), ElementsAre("on", "off"));
    EXPECT_THAT(completions("fpgatool dump hpm -o /tm"), ElementsAre("/tmp"));
}

} // namespace
