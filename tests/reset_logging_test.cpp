// SPDX-License-Identifier: Apache-2.0
// The FPGA reset, the journal entries as systemd's journald stores them,
// the text of each kind of logged value, and the functions the built
// library exports.

#include "logging/lg2.hpp"
#include "support/journal.hpp"
#include "support/world_test.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <libfpga.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>

namespace
{

using namespace fpga_sim;
using namespace fpga_test;
using namespace tavrin_fpga;
using namespace ::testing;

TEST_F(WorldTest, ResetWritesOneThenZeroOrLogsTheMissingAttribute)
{
    inWorld(Board{}, [](World& world) {
        // A FIFO in the attribute's place keeps every byte in order; holding
        // it open for reading and writing keeps the library's open from
        // blocking.
        const std::string path = world.attrPath(resetAttr);
        world.removeAttr(resetAttr);
        ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
        const int fifo = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        JournalCapture journal;
        // Two opens, each with one write and a close.
        EXPECT_EQ(fileEvents(path, resetFpga), "OMCOMC");
        char written[8] = {};
        EXPECT_EQ(::read(fifo, written, sizeof(written)), 2);
        EXPECT_EQ(std::string(written, 2), "10");
        EXPECT_THAT(journal.drain(), IsEmpty());
    });
    // A missing attribute is logged once per write and never created: as
    // on sysfs the driver directory is read-only, and without one the world
    // has a root of its own, where a file created under "/" would show.
    const std::pair<ProbeDirs, std::string> rows[] = {
        {ProbeDirs::spi20, "/sys/bus/spi/devices/spi2.0/tavrin_fpga_reset"},
        {ProbeDirs::none, "/tavrin_fpga_reset"},
    };
    for (const auto& [probe, path] : rows)
    {
        SCOPED_TRACE(path);
        Board board;
        board.probe = probe;
        board.resetAttribute = false;
        board.readOnlyDriverDir = probe != ProbeDirs::none;
        inWorld(board, [&](World&) {
            JournalCapture journal;
            const auto fds = openFds();
            resetFpga();
            EXPECT_EQ(openFds(), fds);
            const auto entry =
                Logged("{PATH} not found!\n", {{"PATH", path}}, "setResetGpio");
            EXPECT_THAT(journal.drain(), ElementsAre(entry, entry));
            EXPECT_NE(access(path.c_str(), F_OK), 0);
        });
    }
}

/** What @p command (run by the shell) prints on its standard output. */
std::string output(const std::string& command)
{
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "re"),
                                               ::pclose);
    std::string out;
    char chunk[4096];
    std::size_t got = 0;
    while (pipe && (got = std::fread(chunk, 1, sizeof(chunk), pipe.get())) > 0)
    {
        out.append(chunk, got);
    }
    return out;
}

TEST_F(WorldTest, JournaldStoresAndStderrEchoesWhatWasSent)
{
    Board board;
    board.resetAttribute = false;
    board.readOnlyDriverDir = true;
    inWorld(board, [](World&) {
        // systemd's own journald, its journal in the world's private /run
        // (the host's persistent journal covered first); ready once it has
        // created its socket.
        const char* journald = "/lib/systemd/systemd-journald";
        ASSERT_EQ(access(journald, X_OK), 0) << journald << " not installed";
        if (access("/var/log/journal", F_OK) == 0)
        {
            mountTmpfs("/var/log/journal");
        }
        const pid_t pid = fork();
        if (pid == 0)
        {
            const int null = open("/dev/null", O_RDWR);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
            execl(journald, journald, static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int tries = 0; tries < 500 && access(journalSocket, F_OK) != 0;
             ++tries)
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        // Whether and how entries are echoed is read as the library loads:
        // the built-in layer echoes from a copy loaded with both set.
        void (*reset)() = resetFpga;
        void* library = nullptr;
        if (!LIBFPGA_HAVE_LG2)
        {
            std::filesystem::copy_file(LIBFPGA_PATH, "/run/libfpga-copy.so");
            setenv("LG2_FORCE_STDERR", "1", 1);
            setenv("LG2_FORMAT", "%l %f %F:%L %%%m", 1);
            library = dlopen("/run/libfpga-copy.so", RTLD_NOW | RTLD_LOCAL);
            ASSERT_NE(library, nullptr) << dlerror();
            reset = reinterpret_cast<void (*)()>(
                dlsym(library, "_ZN11tavrin_fpga9resetFpgaEv"));
        }
        int echo[2];
        ASSERT_EQ(pipe(echo), 0);
        const int savedStderr = dup(STDERR_FILENO);
        dup2(echo[1], STDERR_FILENO);
        reset();
        dup2(savedStderr, STDERR_FILENO);
        close(echo[1]);
        const std::string exported =
            output("journalctl --sync 2>/dev/null; journalctl -o export "
                   "--directory=/run/log/journal _PID=" +
                   std::to_string(getpid()) + " 2>/dev/null");
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);

        // The fields journald adds of its own start with '_', which no
        // field sent may.
        std::vector<JournalEntry> stored;
        std::string expected;
        for (std::size_t pos = 0; pos < exported.size();)
        {
            stored.push_back(parseJournalDatagram(exported, &pos));
            std::erase_if(stored.back(), [](const auto& field) {
                return field.first.starts_with("_");
            });
            std::map<std::string, std::string> field(stored.back().begin(),
                                                     stored.back().end());
            expected += "3 " + field["CODE_FUNC"] + " " + field["CODE_FILE"] +
                        ":" + field["CODE_LINE"] + " %" + field["MESSAGE"] +
                        "\n";
        }
        const std::string path =
            "/sys/bus/spi/devices/spi2.2/tavrin_fpga_reset";
        const auto entry =
            Logged("{PATH} not found!\n", {{"PATH", path}}, "setResetGpio");
        EXPECT_THAT(stored, ElementsAre(entry, entry));
        if (library != nullptr)
        {
            std::string echoed(4096, '\0');
            echoed.resize(std::max(read(echo[0], echoed.data(), echoed.size()),
                                   ssize_t{0}));
            EXPECT_EQ(echoed, expected);
            dlclose(library);
        }
    });
}

// Each kind of value and flag as phosphor-logging writes it: the built-in
// layer must write the same text (builds with phosphor-logging run this
// against it).
TEST_F(WorldTest, ValuesAreWrittenAsLg2WritesThem)
{
    inWorld(Board{}, [](World&) {
        JournalCapture journal;
        lg2::error("values", "BIN8", lg2::bin | lg2::field8, std::uint8_t{5},
                   "BIN", lg2::bin, 5U, "NEGBIN8", lg2::bin | lg2::field8, -2,
                   "DEC", lg2::dec, 0x10U, "HEX", lg2::hex, 255, "HEX16",
                   lg2::hex | lg2::field16, 0xabU, "NEGHEX32",
                   lg2::hex | lg2::field32, -1, "NEG", lg2::signed_val, -7L,
                   "FLAG", true, "REAL", 1.5, "TEXT", std::string("t"));
        const auto entries = journal.drain();
        ASSERT_EQ(entries.size(), 1U);
        std::map<std::string, std::string> sent(entries[0].begin(),
                                                entries[0].end());
        const std::map<std::string, std::string> expected = {
            {"BIN8", "0b00000101"},
            {"BIN", "0b" + std::string(61, '0') + "101"},
            {"NEGBIN8", "0b11111110"},
            {"DEC", "16"},
            {"HEX", "0xff"},
            {"HEX16", "0x00ab"},
            {"NEGHEX32", "0xffffffffffffffff"},
            {"NEG", "-7"},
            {"FLAG", "True"},
            {"REAL", "1.500000"},
            {"TEXT", "t"}};
        for (const auto& [name, text] : expected)
        {
            EXPECT_EQ(sent[name], text) << name;
        }
    });
}

/** The names a shared library exports, without parameters and ABI tags. */
std::set<std::string> exportedNames(const std::string& library)
{
    std::set<std::string> names;
    std::istringstream lines(output("nm -DC --defined-only '" + library + "'"));
    for (std::string line; std::getline(lines, line);)
    {
        // "<address> <type> <name>"
        const auto name = line.substr(line.find(' ', line.find(' ') + 1) + 1);
        names.insert(name.substr(0, name.find_first_of("([")));
    }
    return names;
}

TEST(Exports, ExactlyThePublicFunctions)
{
    const std::set<std::string> names = exportedNames(LIBFPGA_PATH);
    // The functions the public header marks for export, each name followed
    // by its parameter list (the return type may stand on the line before).
    std::ifstream headerFile(LIBFPGA_HEADER);
    const std::string header{std::istreambuf_iterator<char>(headerFile), {}};
    const std::regex declaration(R"(\nLIBFPGA_EXPORT[^;(]*?\b(\w+)\s*\()");
    std::set<std::string> expected;
    for (std::sregex_iterator it(header.begin(), header.end(), declaration);
         it != std::sregex_iterator(); ++it)
    {
        expected.insert("tavrin_fpga::" + (*it)[1].str());
    }
    EXPECT_THAT(expected, Contains("tavrin_fpga::getThermals"));
    EXPECT_EQ(names, expected);
}

#ifdef LIBFPGASIM_PATH // built with fpga-sim (-Dtools)
// libfpga-sim's API in standard types, and nothing of what it is built from
// (the board model, nlohmann-json, libstdc++'s instantiations).
TEST(Exports, LibfpgaSimExportsItsClassesAlone)
{
    std::set<std::string> expected = {"fpga_sim::field",
                                      "fpga_sim::isLibraryEntry"};
    for (const std::string what : {"typeinfo", "typeinfo name", "vtable"})
    {
        expected.insert(what + " for fpga_sim::SimulationError");
    }
    for (const char* member :
         {"SimulationError::~SimulationError", "Simulation::Simulation",
          "Simulation::~Simulation", "Simulation::defaultFpgaSim",
          "Simulation::builtInBoard", "Simulation::loadBoard",
          "Simulation::start", "Simulation::change", "Simulation::running",
          "Simulation::wait", "Simulation::stop", "Simulation::waitFor",
          "Simulation::trace", "Simulation::journal", "Simulation::output",
          "Simulation::errors", "Simulation::controlSocket"})
    {
        expected.insert(std::string("fpga_sim::") + member);
    }
    for (const char* member :
         {"get", "peek", "board", "changeAfter", "records", "waitForJournal",
          "waitForWrite", "waitForExit", "status", "run"})
    {
        expected.insert(std::string("fpga_sim::Simulation::") + member);
    }
    EXPECT_EQ(exportedNames(LIBFPGASIM_PATH), expected);
    EXPECT_THAT(output("nm -DC '" LIBFPGASIM_PATH "'"),
                Not(HasSubstr("nlohmann")));
}
#endif

} // namespace
