// SPDX-License-Identifier: Apache-2.0
// What libfpga-sim promises a test besides the board: it ends what it
// started, with the test and within a bound; it runs a function of the test
// on the board, as root and as an ordinary user; it refuses, before doing
// anything, what it cannot do, and says why.

#include "on_board.hpp"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <libfpga-sim.hpp>
#include <libfpga.hpp>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

class Testbed : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (!canSimulate())
        {
            GTEST_SKIP() << cannotSimulate;
        }
    }

    fpga_sim::Simulation sim{"", onBoardOptions()};
};

// The command first, which fpga-sim reaps: nothing is left running.
TEST_F(Testbed, StopKillsACommandThatIgnoresSIGTERM)
{
    // The shell's child, which SIGTERM never reaches, goes too.
    sim.start({"sh", "-c", "trap '' TERM; sleep 300 & echo $!; wait"});
    ASSERT_TRUE(sim.waitFor([](const fpga_sim::Simulation& s) {
        return !s.output().empty();
    }));
    const std::string child =
        "/proc/" + std::to_string(std::stoi(sim.output()));
    EXPECT_EQ(sim.stop(std::chrono::milliseconds(100)), 128 + SIGKILL);
    // Killed, it is reaped by whoever adopted it.
    for (int tries = 0; tries < 100 && std::filesystem::exists(child); ++tries)
    {
        ::usleep(20000);
    }
    EXPECT_FALSE(std::filesystem::exists(child));
}

// The test is killed while its command runs, its output piped (`./test |
// cat`): fpga-sim and the command end too, and the pipe with them. (The
// killed test's files stay: in a directory of this case's.)
TEST_F(Testbed, WhatTheTestStartedEndsWithIt)
{
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    std::string scratch =
        std::filesystem::temp_directory_path() / "killed-XXXXXX";
    ASSERT_NE(::mkdtemp(scratch.data()), nullptr);
    const pid_t test = ::fork();
    if (test == 0)
    {
        ::setenv("TMPDIR", scratch.c_str(), 1);
        ::dup2(pipeFds[1], STDOUT_FILENO);
        fpga_sim::Simulation::Options options = onBoardOptions();
        options.passOutput = true;
        fpga_sim::Simulation piped("", options);
        piped.start({"sh", "-c", "echo started; exec sleep 301"});
        ::pause();
    }
    ::close(pipeFds[1]);
    char text[64];
    ASSERT_GT(::read(pipeFds[0], text, sizeof(text)), 0);
    ::kill(test, SIGKILL);
    ::waitpid(test, nullptr, 0);
    pollfd end{pipeFds[0], POLLIN, 0};
    EXPECT_EQ(::poll(&end, 1, 10000), 1) << "the pipe is still held";
    EXPECT_EQ(::read(pipeFds[0], text, sizeof(text)), 0);
    ::close(pipeFds[0]);
    std::filesystem::remove_all(scratch);
}

// As an ordinary user fpga-sim runs in a user namespace, which run() joins
// before the mount namespace. Run as root, the case becomes user 65534 in
// a child, with /dev/fuse open to it as Debian's udev leaves it.
int readsAsOrdinaryUser()
{
    if (::geteuid() == 0)
    {
        const std::string node = std::filesystem::temp_directory_path() /
                                 ("fuse-" + std::to_string(::getpid()));
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mknod(node.c_str(), S_IFCHR | 0666, ::makedev(10, 229)) != 0 ||
            ::chmod(node.c_str(), 0666) != 0 ||
            ::mount(node.c_str(), "/dev/fuse", nullptr, MS_BIND, nullptr) !=
                0 ||
            ::unlink(node.c_str()) != 0 || ::setgroups(0, nullptr) != 0 ||
            ::setresgid(65534, 65534, 65534) != 0 ||
            ::setresuid(65534, 65534, 65534) != 0)
        {
            return 77;
        }
    }
    fpga_sim::Simulation board("", onBoardOptions());
    try
    {
        board.start({"sleep", "infinity"});
        return board.run([] {
            std::vector<tavrin_fpga::Thermal> thermals;
            return tavrin_fpga::getThermals(thermals) == 0 &&
                           thermals.at(0).value1 == 38
                       ? 0
                       : 1;
        });
    }
    catch (const fpga_sim::SimulationError& e)
    {
        std::fprintf(stderr, "%s\n", e.what());
        // Where fpga-sim cannot set up for the user (125), skip.
        return board.status() == 125 ? 77 : 1;
    }
}

TEST_F(Testbed, RunJoinsTheUserNamespaceOfAnOrdinaryUser)
{
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0)
    {
        ::_exit(readsAsOrdinaryUser());
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
    {
        GTEST_SKIP() << "an ordinary user cannot run fpga-sim here (above)";
    }
    EXPECT_EQ(status, 0);
}

TEST_F(Testbed, RunNeedsACommandAndPassesOnWhatTheFunctionThrows)
{
    const auto nothing = [] { return 0; };
    EXPECT_THAT([&] { sim.run(nothing); },
                ThrowsMessage<fpga_sim::SimulationError>(
                    HasSubstr("needs a command running")));
    sim.start({"sleep", "infinity"});
    EXPECT_THAT(
        [&] { sim.run([]() -> int { throw std::runtime_error("x"); }); },
        ThrowsMessage<fpga_sim::SimulationError>("the function threw: x"));
    EXPECT_EQ(sim.run([] { return 7; }), 7);
}

TEST_F(Testbed, AChangeOfTwoLinesIsRefusedWhole)
{
    sim.start({"sleep", "infinity"});
    EXPECT_THAT(
        [&] {
            sim.change({"set", "chips.r0.fwVersion", "\"a\nb\""});
        },
        ThrowsMessage<fpga_sim::SimulationError>(
            HasSubstr("a change is one line")));
    sim.change({"set", "chips.r0.detected", "0"});
    // The trace file may lag the change's reply.
    ASSERT_TRUE(sim.waitFor([](const fpga_sim::Simulation& s) {
        return !s.trace().empty();
    }));
    EXPECT_THAT(sim.trace(),
                ElementsAre("control set chips.r0.detected 0: applied"));
    // Words are joined with spaces: one that holds a space, or a read sent
    // as a change, is refused before it is sent.
    const auto refused = [](const std::function<void()>& call) {
        EXPECT_THROW(call(), fpga_sim::SimulationError);
    };
    refused([&] { sim.peek("hpm", "power.front-buttons 2"); });
    refused([&] { sim.change({"set chips.r0.detected", "1"}); });
    refused([&] { sim.change({"get", "hpmChip"}); });
    EXPECT_EQ(sim.trace().size(), 1U);
}

// Wrong setups, as a new user meets them: each says what happened.
TEST(TestbedSetup, SaysWhatWentWrong)
{
    using fpga_sim::Simulation;
    using fpga_sim::SimulationError;
    EXPECT_THAT([] { Simulation::loadBoard("/"); },
                ThrowsMessage<SimulationError>(
                    "cannot read the board file /: Is a directory"));
    // An empty text would be the built-in board.
    EXPECT_THAT([] { Simulation::loadBoard("/dev/null"); },
                ThrowsMessage<SimulationError>(
                    "cannot read the board file /dev/null: not a regular "
                    "file"));
    const std::string empty = ::testing::TempDir() + "/empty.json";
    std::ofstream{empty}.flush();
    EXPECT_THAT([&] { Simulation::loadBoard(empty); },
                ThrowsMessage<SimulationError>("cannot read the board file " +
                                               empty + ": the file is empty"));
    ::setenv("FPGA_SIM", "/nonexistent/bin/fpga-sim", 1);
    EXPECT_THAT([] { Simulation().start({"true"}); },
                ThrowsMessage<SimulationError>(
                    "cannot run /nonexistent/bin/fpga-sim: No such file or "
                    "directory (set FPGA_SIM to the fpga-sim program to run)"));
    ::setenv("FPGA_SIM", "/bin/false", 1);
    EXPECT_THAT([] { Simulation("{}"); },
                ThrowsMessage<SimulationError>(
                    "/bin/false --check exited with status 1, and wrote "
                    "nothing to standard error"));
    EXPECT_THAT([] { Simulation().start({"true"}); },
                ThrowsMessage<SimulationError>(
                    "/bin/false exited with status 1 before it listened on "
                    "its control socket, and wrote nothing to standard "
                    "error"));
    ::unsetenv("FPGA_SIM");
}

// libfpga's entries name its functions in CODE_FUNC, with lg2 as with the
// built-in layer; a service's name its own, whatever types they take.
TEST(IsLibraryEntry, TellsByTheNamespaceOfTheFunction)
{
    const std::pair<const char*, bool> cases[] = {
        {"std::size_t tavrin_fpga::blockId(Location, std::size_t, Block)",
         true},
        {"int tavrin_fpga::{anonymous}::readAttribute(const std::string&)",
         true},
        {"tavrin_fpga::getThermals(std::vector<tavrin_fpga::Thermal>&)::"
         "<lambda(int)>",
         true},
        // A service that logs through lg2, or sd_journal_send() with the
        // location, or without.
        {"void {anonymous}::Watch::look(int, const "
         "std::vector<tavrin_fpga::Thermal>&)",
         false},
        {"tavrin_fpga::Location pickChip(const tavrin_fpga::Thermal*)", false},
        {"look", false},
        {nullptr, false},
    };
    for (const auto& [func, library] : cases)
    {
        fpga_sim::JournalEntry entry = {{"MESSAGE", "m"}};
        if (func != nullptr)
        {
            entry.emplace_back("CODE_FUNC", func);
        }
        EXPECT_EQ(fpga_sim::isLibraryEntry(entry), library)
            << (func != nullptr ? func : "no CODE_FUNC");
    }
}

} // namespace
