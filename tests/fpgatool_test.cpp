// SPDX-License-Identifier: Apache-2.0
// fpgatool on simulated boards: its text and JSON outputs, exit statuses,
// failure messages and refusals, as golden transcripts in
// tests/golden/fpgatool/: for each command line "$ fpgatool ARGS", its
// standard output, "--- stderr" and its standard error when there is any,
// and "--- exit N"; each JSON document but the session's on one line;
// runs under "### TITLE". Most transcripts are their own input: the test
// runs the command lines it finds there (a new case is a new "$ fpgatool"
// line). After a deliberate change of the output, a new case or a new
// verb, regenerate the files and review the diff:
//
//     meson compile -C build update-goldens

#include "fpgasim_run.hpp"
#include "sim/board_json.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
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
using ::testing::MatchesRegex;

/** Prints the transcript of the command lines after the tool's path. */
constexpr const char* transcriptScript = R"(tool=$1
shift
err=$(mktemp)
for args in "$@"; do
    printf '$ fpgatool %s\n' "$args"
    eval "\"\$tool\" $args" 2>"$err"
    status=$?
    if [ -s "$err" ]; then
        echo '--- stderr'
        cat "$err"
    fi
    echo "--- exit $status"
done
rm -f "$err")";

const std::string boards = BOARDS_DIR;

Board board(const std::string& name = "default")
{
    return fpga_sim::loadBoardFile(boards + "/" + name + ".json");
}

/** @p text with each JSON document that spans lines (from a line "{" to a
 *  line "}") on one line; each must parse. */
std::string compacted(const std::string& text)
{
    std::string out;
    std::string document;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
    {
        document += document.empty() && line != "{" ? "" : line + "\n";
        out += document.empty() ? line + "\n"
               : line == "}"
                   ? nlohmann::ordered_json::parse(document).dump() + "\n"
                   : "";
        document = line == "}" ? "" : document;
    }
    return out;
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
        Board b = board(section.board);
        if (section.fault)
        {
            section.fault(b);
        }
        std::vector<std::string> command = {"/bin/sh", "-c", transcriptScript,
                                            "sh", FPGATOOL};
        command.insert(command.end(), section.lines.begin(),
                       section.lines.end());
        const Result run = fpga_test::runOnBoard(b, command, simOptions);
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

/** Runs again the command lines of the golden transcript @p name, each
 *  section on its board (the example board its title names, else the
 *  default one, changed by the JSON merge patch that ends the title), and
 *  compares. */
void expectTranscript(const std::string& name,
                      const std::vector<std::string>& simOptions = {},
                      bool compact = true)
{
    std::vector<Section> sections = {{"", "default", {}}};
    std::istringstream golden(
        fpga_test::slurp(std::string(GOLDEN_DIR) + "/" + name));
    for (std::string line; std::getline(golden, line);)
    {
        const std::string title =
            line.substr(std::min<std::size_t>(4, line.size()));
        const std::string board = title.substr(0, title.find(" {"));
        if (line.starts_with("### "))
        {
            const bool example =
                std::filesystem::exists(boards + "/" + board + ".json");
            sections.push_back({title, example ? board : "default", {}});
        }
        if (line.starts_with("### ") && board != title)
        {
            sections.back().fault =
                [patch = title.substr(board.size())](Board& b) {
                    auto edited = fpga_sim::boardToJson(b);
                    edited.merge_patch(nlohmann::json::parse(patch));
                    b = fpga_sim::boardFromJson(edited);
                };
        }
        if (line.starts_with("$ fpgatool "))
        {
            sections.back().lines.push_back(line.substr(11));
        }
    }
    if (sections.front().lines.empty())
    {
        sections.erase(sections.begin());
    }
    ASSERT_FALSE(sections.empty() || sections.front().lines.empty())
        << name << " holds no case";
    const std::string out = transcript(sections, simOptions);
    expectGolden(name, compact ? compacted(out) : out);
}

/** The first words of the lines of @p text after @p heading, to a blank. */
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

/** fpgatool WORDS... --help. */
std::string help(std::vector<std::string> words = {})
{
    words.insert(words.begin(), FPGATOOL);
    words.push_back("--help");
    return fpga_test::runProgram(words).out;
}

const std::vector<std::string> groups = {
    "Reading the hardware:", "Changing the hardware:",
    "Watching, naming, taking a snapshot:"};

/** Every verb that reads, each by the first example of its --help (the
 *  part before a comment): the tool's own table says which they are. */
std::vector<std::string> readingVerbs()
{
    const std::string examples = "Examples:\n  fpgatool ";
    std::vector<std::string> lines;
    for (const std::string& verb : section(help(), groups[0]))
    {
        const std::string text = help({verb});
        const std::size_t at = text.find(examples) + examples.size();
        const std::string line = text.substr(at, text.find('\n', at) - at);
        lines.push_back(line.substr(0, line.find("  ")));
    }
    return lines;
}

using Fpgatool = FpgaSimTest;

// Every verb that reads, once in text and once in JSON, on the default
// board.
TEST_F(Fpgatool, DefaultBoardMatchesGolden)
{
    std::vector<std::string> lines = readingVerbs();
    ASSERT_GE(lines.size(), 10U);
    expectGolden("default.txt", transcript({{"", "default", lines}}));
    for (std::string& line : lines)
    {
        line += " --json";
    }
    expectGolden("default.json.txt",
                 compacted(transcript({{"", "default", lines}})));
}

// A snapshot taken under fpga-sim and served again shows every reading
// verb what the board showed, and carries every attribute byte for byte,
// malformed ones too; what the library cannot read is left out, with a
// warning and status 1, and the rest still written to the -o file.
TEST_F(Fpgatool, SnapshotServedAgainReadsAsTheBoard)
{
    // Title: what the snapshot prints on stderr, and its exit status.
    std::vector<Section> rows = {
        {".*left out the registers of r0: getSupportedBlocks: .*\n.*left "
         "out the thermal records: getHPMLocation: .*\nexit 1\n",
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
    rows.resize(2); // every board runs the same code; processes start slowly
#endif
    for (const Section& row : rows)
    {
        SCOPED_TRACE(row.board + (row.fault ? " made odd" : ""));
        Board original = board(row.board);
        if (row.fault)
        {
            row.fault(original);
        }
        const fpga_test::ScratchDir dir;
        const std::string file = dir.file("snapshot.json");
        // The attributes, every enabled register and the thermal records.
        std::vector<std::string> shown = {
            FPGA_SIM,  "--board",        file,         "--",      "/bin/sh",
            "-c",      transcriptScript, "sh",         FPGATOOL,  "list",
            "info",    "thermals",       "dump local", "dump r0", "dump r1",
            "dump r2", "dump r3"};
        std::vector<std::string> taking(shown.begin() + 4, shown.end());
        taking[2] = "\"$2\" snapshot -o \"$1\" 2>\"$1.err\"; echo exit $? "
                    ">>\"$1.err\"; shift\n" +
                    taking[2];
        taking.insert(taking.begin() + 4, file);
        const Result before = fpga_test::runOnBoard(original, taking);
        EXPECT_THAT(fpga_test::slurp(file + ".err"), MatchesRegex(row.title));
        EXPECT_EQ(fpga_test::runProgram(shown).out, before.out);
        Board snapshot = fpga_sim::loadBoardFile(file);
        EXPECT_EQ(std::tie(snapshot.probe, snapshot.local, snapshot.remotes,
                           snapshot.hpmChip, snapshot.resetAttribute),
                  std::tie(original.probe, original.local, original.remotes,
                           original.hpmChip, original.resetAttribute));
    }
}

// The transcripts that hold their own command lines: what differs from
// board to board (boards.txt); writes, checks, dry runs, samples and names
// (session.txt); a section for each way a failure reaches the user
// (faults.txt); and the refusals, each naming the argument and its range or
// the register name, none reaching a transfer: the trace stays empty.
TEST_F(Fpgatool, TranscriptsMatchGolden)
{
    expectTranscript("boards.txt");
    expectTranscript("session.txt", {}, false);
    expectTranscript("faults.txt");
    const fpga_test::ScratchDir dir;
    expectTranscript("refusals.txt", {"--trace=" + dir.file("trace")});
    EXPECT_EQ(fpga_test::slurp(dir.file("trace")), "");
}

// watch prints the first value, then each change, timestamped, until the
// --until bytes; the changes come from other fpgatool runs meanwhile, and
// however the samples fall, no line repeats the one before it. A timeout
// shorter than the interval still reads at the deadline. With --json
// --repeat too, each sample is out as soon as it is taken, while the tool
// waits for the next, and survives its interruption.
TEST_F(Fpgatool, SamplesComeOutAsTaken)
{
    const Result run = fpga_test::runOnBoard(
        board(),
        {"/bin/bash", "-c",
         "$0 watch local 0 0 --until 0x05 --timeout 30 -i 0.02 --json & "
         "for b in 1 1 2 5; do sleep 0.2; $0 write -y local 0 0 $b; done; "
         "wait $!; echo status $?; "
         "$0 watch local 0 0 --until 0x09 --timeout 2 -i 3600 & "
         "sleep 0.5; $0 write -y local 0 0 9; wait $!; echo status $?; "
         "$0 watch local 0 0 --until 0x07 --timeout 0.1; echo status $?; "
         "coproc { exec \"$0\" buttons --json --repeat 2 --interval 3600; }; "
         "timeout 60 head -n 1 <&\"${COPROC[0]}\"; kill -INT $COPROC_PID",
         FPGATOOL});
    std::istringstream lines(run.out);
    std::vector<std::string> seen;
    const std::string time = "[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:"
                             "[0-9]{2}[.][0-9]{3}Z";
    for (std::string line;
         std::getline(lines, line) && !line.starts_with("status");)
    {
        const auto sample = nlohmann::json::parse(line);
        EXPECT_THAT(sample.at("time").get<std::string>(), MatchesRegex(time));
        seen.push_back(sample.at("bytes").dump());
        EXPECT_TRUE(seen.size() == 1 || seen.rbegin()[1] != seen.back());
    }
    ASSERT_FALSE(seen.empty()) << run.err;
    EXPECT_EQ(seen.front(), "[0]");
    EXPECT_EQ(seen.back(), "[5]");
    EXPECT_THAT(run.out,
                ::testing::ContainsRegex(
                    "status 0\n" + time + " 0x05\n" + time +
                    " 0x09\nstatus 0\n" + time +
                    " 0x09\nstatus 1\n"
                    "[{]\"schemaVersion\":2,\"command\":\"buttons\","
                    "\"sample\":0,\"frontButtonsEnabled\":true[}]\n$"));
    EXPECT_EQ(run.err, "fpgatool: watch: timed out after 0.1 s without "
                       "reading the --until bytes\n");
}

// fpgatool's read-modify-writes of one register, run at once, keep each
// other's bits: seven masked writes and "buttons on" (bit 1) set all eight.
TEST_F(Fpgatool, ConcurrentReadModifyWritesKeepEveryBit)
{
    const Result run = fpga_test::runOnBoard(
        board(), {"/bin/sh", "-c",
                  "for round in 1 2 3 4 5; do $0 write -y hpm 4 10 0; "
                  "for bit in 1 4 8 16 32 64 128; do "
                  "$0 write -y --mask $bit hpm 4 10 0xff & done; "
                  "$0 buttons -y on & wait; $0 read hpm 4 10; done",
                  FPGATOOL});
    EXPECT_EQ(run.out, "0xff\n0xff\n0xff\n0xff\n0xff\n") << run.err;
}

std::vector<std::string> namesBeside(const std::string& file)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(
             std::filesystem::path(file).parent_path()))
    {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

// A user other than root gets the modes and owners of the board's files
// (a node is root's alone unless the board says otherwise), and dump -o of
// its file in root's directory is refused: the directory refuses the
// temporary file. root's dump -o replaces the file only when the dump ran,
// with its owner, group and mode, leaving nothing beside it.
TEST_F(Fpgatool, FilesAreWrittenAsTheirModesAndOwnersLet)
{
    const char* const setpriv = "/usr/bin/setpriv";
    if (::geteuid() != 0 || ::access(setpriv, X_OK) != 0 ||
        fpga_test::runProgram({setpriv, "--reuid=65534", FPGATOOL, "--version"})
                .status != 0)
    {
        GTEST_SKIP()
            << "needs root, setpriv and a build that uid 65534 can run";
    }
    Board b = board();
    b.node(Location::remote, 0, fpga_sim::Mode::normal).owner = 65534;
    b.node(Location::remote, 1, fpga_sim::Mode::normal).mode = 0606;
    b.attributeOwner = 65534;
    const fpga_test::ScratchDir dir;
    const std::string file = dir.write("dump.txt", "old\n");
    const std::string parent = std::filesystem::path(file).parent_path();
    ASSERT_EQ(::chown(file.c_str(), 65534, 65533), 0);
    ASSERT_EQ(::chmod(file.c_str(), 0640) | ::chmod(parent.c_str(), 0755), 0);
    const Result run = fpga_test::runOnBoard(
        b, {"/bin/sh", "-c",
            "setpriv --reuid=65534 --regid=65534 --clear-groups sh -c '$0 read "
            "r0 0 0; $0 read r1 0 0; $0 read local 0 0; $0 reset -n; $0 dump "
            "r0 -o $1' $0 $1; $0 dump r2 -o $1; cat $1; $0 dump r0 -o $1",
            FPGATOOL, file});
    EXPECT_EQ(run.out, "0x00\n0x00\nwould call: resetFpga()\nold\n");
    EXPECT_EQ(run.err,
              "fpgatool: rawNormalAccess: -14 (EFAULT): the block is disabled "
              "on the chip (see fpgatool list), or the device node does not "
              "open for reading and writing (is the driver loaded? are you "
              "root?)\nfpgatool: cannot write " +
                  file + ": cannot create a temporary file in " + parent +
                  ": Permission denied\nfpgatool: chipDetected: r2 is not "
                  "detected; nothing to dump\n");
    struct stat after
    {};
    ASSERT_EQ(::stat(file.c_str(), &after), 0);
    EXPECT_EQ(std::make_tuple(after.st_uid, after.st_gid, after.st_mode),
              std::make_tuple(65534U, 65533U, S_IFREG | 0640U));
    EXPECT_THAT(fpga_test::slurp(file), ::testing::StartsWith("chip: r0\n"));
    EXPECT_THAT(namesBeside(file), ElementsAre("dump.txt"));
}

// A signal that ends the tool while -o writes removes the temporary file:
// a FIFO without a writer as the local "detected" attribute holds the
// dump in its open meanwhile.
TEST_F(WorldTest, SignalsThatEndTheToolLeaveNoTemporaryFile)
{
    Board b;
    b.presentChip(Location::local, 0);
    inWorld(b, [](fpga_sim::World& world) {
        const std::string detected = world.attrPath("fpga_loc_detected");
        ::unlink(detected.c_str());
        ASSERT_EQ(::mkfifo(detected.c_str(), 0644), 0);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        {
            const fpga_test::ScratchDir dir;
            const std::string file = dir.file("dump.txt");
            const pid_t tool =
                fpga_sim::spawnProgram({FPGATOOL, "dump", "local", "-o", file},
                                       -1, dir.file("out"), dir.file("err"));
            for (int wait = 0; namesBeside(file).size() < 3 && wait < 1000;
                 ++wait)
            {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            ASSERT_EQ(namesBeside(file).size(), 3U);
            ::kill(tool, signal);
            EXPECT_EQ(fpga_sim::waitForExit(tool), 128 + signal);
            EXPECT_THAT(namesBeside(file),
                        ::testing::UnorderedElementsAre("out", "err"));
        }
    });
}

// On a terminal a write asks first; only an answer starting with y writes.
// With --mask the register is read after the answer: a bit set while the
// question waits (fpga-sim ctl poke) stays.
TEST_F(Fpgatool, TerminalConfirmationDecidesTheWrite)
{
    const std::string where =
        "local block 0 offset 0 (/dev/fpga-cdev position 0x000)";
    const std::vector<std::array<std::string, 3>> rows = {
        {"n\n", "", "status 1\n0x80\n"},
        {"\n", " --mask 0x7f", "status 1\n0x80\n"},
        {"yes\n", "", "status 0\n0x77\n"},
        {"Y\n", " --mask 0x7f", "status 0\n0xf7\n"}};
    for (const auto& [typed, mask, out] : rows)
    {
        SCOPED_TRACE(typed + mask);
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
        {
            GTEST_SKIP() << "no pseudo-terminals here";
        }
        const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
        const fpga_test::ScratchDir dir;
        const pid_t sim = fpga_sim::spawnProgram(
            {FPGA_SIM, "--control", dir.file("ctl"), "--", "/bin/sh", "-c",
             "$0 write local 0 0 0x77" + mask +
                 " 2>&0; echo status $?; $0 read local 0 0",
             FPGATOOL},
            slave, dir.file("out"), dir.file("err"));
        ::close(slave);
        std::string asked;
        for (char c = 0;
             !asked.ends_with("[y/N] ") && ::read(master, &c, 1) == 1;)
        {
            asked += c;
        }
        fpga_test::runProgram(
            {FPGA_SIM, "ctl", dir.file("ctl"), "poke", "fpga-cdev", "0 0 80"});
        ASSERT_EQ(::write(master, typed.data(), typed.size()),
                  static_cast<ssize_t>(typed.size()));
        EXPECT_EQ(fpga_sim::waitForExit(sim), 0);
        ::close(master);
        EXPECT_EQ(fpga_test::slurp(dir.file("out")), out);
        EXPECT_EQ(asked, mask.empty()
                             ? "Write 0x77 to " + where + "? [y/N] "
                             : "Set the bits 0x7f of each byte to "
                               "0x77 at " +
                                   where + ", keeping the others? [y/N] ");
    }
}

// A std::filesystem::filesystem_error from the library's directory probe
// (a symlink loop where the driver directory should be) is a message and
// status 1.
TEST_F(WorldTest, DirectoryProbeFailureIsAMessage)
{
    Board b;
    b.probe = fpga_sim::ProbeDirs::none;
    inWorld(b, [](fpga_sim::World&) {
        std::filesystem::create_directories("/sys/bus/spi/devices");
        ASSERT_EQ(::symlink("spi2.2", fpga_sim::spi22Dir), 0);
        const Result run = fpga_test::runProgram({FPGATOOL, "list"});
        EXPECT_EQ(run.status, 1);
        EXPECT_THAT(run.err, ::testing::StartsWith(
                                 "fpgatool: devAttrFilePath: cannot probe the "
                                 "driver's sysfs directory: filesystem error"));
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

// The completion offers every verb and every option of each verb that
// --help lists, so a new verb or option cannot be forgotten there; register
// names only where a name may stand.
TEST(FpgatoolCompletion, OffersWhatHelpLists)
{
    std::vector<std::string> verbs;
    for (const std::string& group : groups)
    {
        const std::vector<std::string> more = section(help(), group);
        verbs.insert(verbs.end(), more.begin(), more.end());
    }
    ASSERT_GE(verbs.size(), 15U);
    EXPECT_THAT(completions("fpgatool "), ::testing::IsSupersetOf(verbs));
    for (const std::string& verb : verbs)
    {
        SCOPED_TRACE(verb);
        std::vector<std::string> options;
        for (const std::string& option : section(help({verb}), "Options:"))
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
    EXPECT_THAT(completions("fpgatool read local "),
                ::testing::Contains("power.on-source"));
    EXPECT_THAT(completions("fpgatool watch hpm power.on"),
                ElementsAre("power.on-source"));
    EXPECT_THAT(completions("fpgatool read --adi hpm "),
                ElementsAre("thermal.records"));
    EXPECT_THAT(completions("fpgatool read local 4 "), ::testing::IsEmpty());
    EXPECT_THAT(completions("fpgatool buttons "), ElementsAre("on", "off"));
    EXPECT_THAT(completions("fpgatool dump hpm -o /tm"), ElementsAre("/tmp"));
}

} // namespace
