// SPDX-License-Identifier: Apache-2.0
// fpgatool on simulated boards: its text and JSON outputs, exit statuses,
// failure messages and refusals.
//
// Most cases compare a transcript with a golden file in
// tests/golden/fpgatool/. A transcript is what a shell session shows: for
// each command line "$ fpgatool ARGS", its standard output, "--- stderr"
// and its standard error when there is any, and "--- exit N". After a
// deliberate change of the output, run this program with
// FPGATOOL_UPDATE_GOLDEN=1 to rewrite the files, then review the diff.

#include "fpgasim_run.hpp"
#include "sim/board_json.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using fpga_sim::Board;
using fpga_sim::Mode;
using fpga_test::FpgaSimTest;
using Result = fpga_test::Run;
using fpga_test::WorldTest;
using tavrin_fpga::Location;
using ::testing::HasSubstr;

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

std::vector<std::string> transcriptOf(const std::vector<std::string>& lines)
{
    std::vector<std::string> command = {"/bin/sh", "-c", transcriptScript, "sh",
                                        FPGATOOL};
    command.insert(command.end(), lines.begin(), lines.end());
    return command;
}

std::string exampleBoard(const std::string& name)
{
    return std::string(BOARDS_DIR) + "/" + name + ".json";
}

/** Run command lines under fpga-sim serving an example board file. */
Result onExampleBoard(const std::string& name,
                      const std::vector<std::string>& lines,
                      const std::vector<std::string>& simOptions = {})
{
    std::vector<std::string> argv = {FPGA_SIM, "--board", exampleBoard(name)};
    argv.insert(argv.end(), simOptions.begin(), simOptions.end());
    argv.push_back("--");
    const auto command = transcriptOf(lines);
    argv.insert(argv.end(), command.begin(), command.end());
    return fpga_test::runProgram(argv);
}

void expectGolden(const std::string& name, const std::string& actual)
{
    const std::string path = std::string(GOLDEN_DIR) + "/" + name;
    if (std::getenv("FPGATOOL_UPDATE_GOLDEN") != nullptr)
    {
        std::ofstream(path) << actual;
        return;
    }
    ASSERT_TRUE(std::filesystem::exists(path))
        << path << " is missing; this run printed:\n"
        << actual;
    EXPECT_EQ(fpga_test::slurp(path), actual) << "differs from " << path;
}

/** The verbs that read, as the golden transcripts of every board run them:
 *  the HPM power block and, in ADI mode, the first thermal record. */
const std::vector<std::string> readingVerbs = {
    "list",
    "info",
    "power",
    "buttons",
    "interrupts",
    "thermals",
    "fans",
    "presence",
    "dump hpm",
    "dump r0",
    "read hpm 4 10 5",
    "read hpm 8 14 16 --adi",
};

std::vector<std::string> exampleBoards()
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(BOARDS_DIR))
    {
        if (entry.path().extension() == ".json")
        {
            names.push_back(entry.path().stem().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

class ExampleBoard :
    public FpgaSimTest,
    public ::testing::WithParamInterface<std::string>
{};

TEST_P(ExampleBoard, TextMatchesGolden)
{
    const Result run = onExampleBoard(GetParam(), readingVerbs);
    ASSERT_EQ(run.status, 0) << run.err;
    expectGolden(GetParam() + ".txt", run.out);
}

TEST_P(ExampleBoard, JsonMatchesGoldenOneDocumentPerCommand)
{
    std::vector<std::string> lines;
    for (const std::string& verb : readingVerbs)
    {
        lines.push_back(verb + " --json");
    }
    const Result run = onExampleBoard(GetParam(), lines);
    ASSERT_EQ(run.status, 0) << run.err;
    expectGolden(GetParam() + ".json.txt", run.out);

    // Between a command line and its "---" lines stands exactly one
    // document, carrying the schema version and the verb.
    std::istringstream in(run.out);
    std::string line;
    std::string document;
    bool inDocument = false;
    std::size_t verb = 0;
    while (std::getline(in, line))
    {
        if (line.rfind("$ ", 0) == 0)
        {
            document.clear();
            inDocument = true;
        }
        else if (inDocument && line.rfind("--- ", 0) == 0)
        {
            SCOPED_TRACE(lines.at(verb));
            const auto json = nlohmann::json::parse(document);
            EXPECT_EQ(json.at("schemaVersion"), 1);
            EXPECT_EQ(json.at("command"),
                      lines.at(verb).substr(0, lines[verb].find(' ')));
            ++verb;
            inDocument = false;
        }
        else if (inDocument)
        {
            document += line + "\n";
        }
    }
    EXPECT_EQ(verb, lines.size());
}

INSTANTIATE_TEST_SUITE_P(, ExampleBoard, ::testing::ValuesIn(exampleBoards()),
                         [](const auto& info) {
                             std::string name = info.param;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

using Fpgatool = FpgaSimTest;

// Writes and their checks on the default board, read back each time, and
// the reset that restores the board's registers.
TEST_F(Fpgatool, SessionMatchesGolden)
{
    const Result run = onExampleBoard(
        "default",
        {
            "read local 0 0 4",
            "write -y local 0 0 0x12 0x34 --verify",
            "read local 0 0 4",
            "write -y --mask 0x0f local 0 1 0xff",
            "read local 0 1",
            "write --dry-run local 0 0 0xaa",
            "write --dry-run --mask 0xf0 local 0 0 0xaa --json",
            "write local 0 0 0xaa",
            "read local 0 0",
            "write --dry-run hpm 8 14 1 2 --adi --page 0x1234 --page-offset 3",
            "write --dry-run local 8 14 1 --adi --page 0x1234 --page-offset 3",
            "write -y r1 8 14 0x5a --adi --page 2 --page-offset 1 --verify",
            "read r1 8 14 --adi --page 2 --page-offset 1 --json",
            "read r1 8 14 --adi --page 0x1002 --page-offset 1",
            "write -y local 2 5 0x5a --adi --page 2 --page-offset 1",
            "read local 2 5 --adi --page 0x1002 --page-offset 1",
            "read local 2 5 --adi --page 2 --page-offset 1",
            "buttons off --dry-run",
            "buttons -y off",
            "buttons --json",
            "buttons off --dry-run",
            "buttons on",
            "buttons -y on --repeat 2",
            "read local 0 0 --repeat 3 --interval 0",
            "power --repeat 2 --interval 0",
            "interrupts --json --repeat 2 --interval 0",
            "reset --dry-run",
            "reset",
            "reset -y",
            "read local 0 0 4",
            "buttons",
        });
    ASSERT_EQ(run.status, 0) << run.err;
    expectGolden("session.txt", run.out);
}

TEST_F(Fpgatool, DumpToFileWritesTheTableOnly)
{
    fpga_test::ScratchDir dir;
    const std::string file = dir.file("dump.txt");
    const Result run = onExampleBoard("default", {"dump local -o " + file});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "$ fpgatool dump local -o " + file + "\n--- exit 0\n");
    const Result shown = onExampleBoard("default", {"dump local"});
    EXPECT_EQ(shown.out, "$ fpgatool dump local\n" + fpga_test::slurp(file) +
                             "--- exit 0\n");

    const Result refused =
        onExampleBoard("default", {"dump local -o /nonexistent/x"});
    EXPECT_THAT(refused.out, HasSubstr("cannot write /nonexistent/x"));
    EXPECT_THAT(refused.out, HasSubstr("--- exit 1"));
}

// Every refusal names the range; none reaches a transfer (the trace of the
// whole run stays empty) and none changes a register.
TEST_F(Fpgatool, RefusalsMatchGoldenAndTransferNothing)
{
    fpga_test::ScratchDir dir;
    const std::string trace = dir.file("trace");
    const Result run = onExampleBoard(
        "default",
        {
            "read local 64 0",
            "read local 4 16",
            "read local 4 1 0",
            "read local 4 1 1025",
            "read r4 4 1",
            "read remote1 4 1",
            "read local 4 1 --page 2",
            "read local 4 1 --adi --page 0x10000",
            "read local 4 1 --adi --page-offset 16",
            "write -y local 4 1 0x100",
            "write -y local 4 1 -1",
            "write -y local 4 1",
            "write -y --mask 0x1ff local 4 1 2",
            "read local 4 1 --repeat 0",
            "read local 4 1 --interval -1",
            "buttons maybe",
            "buttons -y on --repeat 2 --interval 0",
            "write local 4 10 1",
            "reset",
            "buttons off",
            "frobnicate",
            "",
        },
        {"--trace=" + trace});
    ASSERT_EQ(run.status, 0) << run.err;
    expectGolden("refusals.txt", run.out);
    EXPECT_EQ(fpga_test::slurp(trace), "");
}

/** A fault put into the default board, and the command lines that meet it. */
struct FaultCase
{
    const char* title;
    std::function<void(Board&)> fault;
    std::vector<std::string> lines;
};

fpga_sim::Node& node(Board& board, Location location, std::size_t index,
                     Mode mode = Mode::normal)
{
    return board.node(location, index, mode);
}

const std::vector<FaultCase> faultCases = {
    {"absent chip, disabled block",
     [](Board&) {},
     {"read r2 0 0", "read local 20 0", "read hpm 40 0", "dump r2"}},
    {"missing node",
     [](Board& b) {
         node(b, Location::local, 0).fault = fpga_sim::NodeFault::missing;
     },
     {"read local 0 0", "presence"}},
    {"read-only node",
     [](Board& b) {
         node(b, Location::remote, 1).fault = fpga_sim::NodeFault::readOnly;
     },
     {"read r1 4 10", "power", "write -y hpm 4 10 1"}},
    {"transfers that fail",
     [](Board& b) {
         node(b, Location::local, 0).failures = {
             {EIO, fpga_sim::FaultOps::read, 2},
             {ETIMEDOUT, fpga_sim::FaultOps::write, {}}};
     },
     {"read local 2 0", "read local 0 0", "write -y local 0 0 1", "dump local",
      "dump local --json"}},
    {"short read",
     [](Board& b) {
         auto& n = node(b, Location::local, 0);
         n.fault = fpga_sim::NodeFault::truncated;
         n.truncatedSize = 0x18;
     },
     {"read local 1 0 16"}},
    {"HPM block not available",
     [](Board& b) {
         b.remotes[1].blocks = fpga_sim::blocksText({0, 6, 7, 8});
     },
     {"power", "interrupts"}},
    {"HPM interface version without block table",
     [](Board& b) { b.remotes[1].ifaceVer = "0x4\n"; },
     {"thermals"}},
    {"thermal block without ADI mode",
     [](Board& b) {
         b.setBytes(Location::remote, 1, Mode::normal,
                    fpga_sim::normalPosition(8, 0), {0x00});
     },
     {"thermals --json"}},
    {"malformed blocks attribute",
     [](Board& b) { b.remotes[0].blocks = "10x1\n"; },
     {"list", "read r0 0 0", "dump r0", "fans"}},
    {"malformed HPM attribute",
     [](Board& b) { b.hpmChip = "remotex\n"; },
     {"info", "power", "read hpm 4 10", "dump hpm --json"}},
    {"missing HPM attribute",
     [](Board& b) { b.hpmChip.reset(); },
     {"info", "info --json", "power"}},
    {"no driver directory",
     [](Board& b) { b.probe = fpga_sim::ProbeDirs::none; },
     {"info", "list", "reset -y"}},
    {"missing reset attribute",
     [](Board& b) { b.resetAttribute = false; },
     {"reset -y", "reset --dry-run"}},
    {"read-only reset attribute",
     [](Board& b) { b.readOnlyReset = true; },
     {"reset -y"}},
};

TEST_F(Fpgatool, FaultsMatchGolden)
{
    const Board base = fpga_sim::loadBoardFile(exampleBoard("default"));
    std::string transcript;
    for (const FaultCase& fault : faultCases)
    {
        Board board = base;
        fault.fault(board);
        const Result run =
            fpga_test::runOnBoard(board, transcriptOf(fault.lines));
        EXPECT_EQ(run.status, 0) << fault.title << ": " << run.err;
        transcript += std::string("### ") + fault.title + "\n" + run.out;
    }
    expectGolden("faults.txt", transcript);
}

/** Run @p argv with a terminal on standard input on which @p typed has
 *  been typed; standard output and error are captured. Status -1: no
 *  pseudo-terminal could be had. */
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

// On a terminal a write asks first; only "y" or "yes" writes.
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

// An exception from the library's directory probe (here a symlink loop
// where the driver directory should be) is a message and status 1.
TEST_F(WorldTest, DirectoryProbeFailureIsAMessage)
{
    Board board;
    board.probe = fpga_sim::ProbeDirs::none;
    inWorld(board, [](fpga_sim::World&) {
        std::filesystem::create_directories("/sys/bus/spi/devices");
        ASSERT_EQ(::symlink("spi2.2", fpga_sim::spi22Dir), 0);
        const std::vector<std::vector<std::string>> commands = {
            {FPGATOOL, "list"},
            {FPGATOOL, "info"},
            {FPGATOOL, "power"},
            {FPGATOOL, "reset", "-y"}};
        for (const auto& command : commands)
        {
            SCOPED_TRACE(command[1]);
            const Result run = fpga_test::runProgram(command);
            EXPECT_EQ(run.status, 1);
            EXPECT_THAT(run.err,
                        HasSubstr("cannot probe the driver's sysfs directory"));
            EXPECT_THAT(run.err,
                        HasSubstr("Too many levels of symbolic links"));
        }
    });
}

/** What the bash completion offers after the words of @p line (the last
 *  word being completed), one candidate a line. */
std::vector<std::string> completions(const std::string& line)
{
    const Result run = fpga_test::runProgram(
        {"/bin/bash", "-c",
         "source \"$0\"; COMP_WORDS=($1 \"$2\"); "
         "COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _fpgatool; "
         "printf '%s\\n' \"${COMPREPLY[@]}\"",
         COMPLETION, line.substr(0, line.rfind(' ')),
         line.substr(line.rfind(' ') + 1)});
    std::vector<std::string> words;
    std::istringstream in(run.out);
    for (std::string word; std::getline(in, word);)
    {
        if (!word.empty())
        {
            words.push_back(word);
        }
    }
    return words;
}

/** The lines of @p text from the one after @p heading to the next empty
 *  one, each reduced to its first word. */
std::vector<std::string> section(const std::string& text,
                                 const std::string& heading)
{
    std::vector<std::string> words;
    std::istringstream in(
        text.substr(text.find(heading + "\n") + heading.size() + 1));
    for (std::string line; std::getline(in, line) && !line.empty();)
    {
        std::istringstream words0(line);
        std::string word;
        words0 >> word;
        words.push_back(word);
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
        for (std::string option : section(verbHelp, "Options:"))
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
    EXPECT_THAT(completions("fpgatool read "),
                ::testing::ElementsAre("local", "r0", "r1", "r2", "r3", "hpm"));
    EXPECT_THAT(completions("fpgatool write -y --page 3 "),
                ::testing::ElementsAre("local", "r0", "r1", "r2", "r3", "hpm"));
    EXPECT_THAT(completions("fpgatool read local "), ::testing::IsEmpty());
    EXPECT_THAT(completions("fpgatool buttons "),
                ::testing::ElementsAre("on", "off"));
}

} // namespace
