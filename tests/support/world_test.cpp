// SPDX-License-Identifier: Apache-2.0
#include "world_test.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <iostream>

#if defined(__SANITIZE_ADDRESS__)
#define FPGA_TEST_LSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FPGA_TEST_LSAN 1
#endif
#endif
#ifdef FPGA_TEST_LSAN
#include <sanitizer/lsan_interface.h>
#endif

namespace fpga_test
{

namespace
{

constexpr int skipStatus = 77;
constexpr int failStatus = 1;

/** Fork and run @p child in the new process; return its wait status. */
int forkAndWait(const std::function<int()>& child)
{
    std::fflush(nullptr);
    std::cout.flush();
    std::cerr.flush();
    const pid_t pid = ::fork();
    if (pid < 0)
    {
        ADD_FAILURE() << "fork failed";
        return -1;
    }
    if (pid == 0)
    {
        int code = failStatus;
        try
        {
            code = child();
        }
        catch (const std::exception& e)
        {
            std::cerr << "uncaught exception in forked case: " << e.what()
                      << "\n";
        }
#ifdef FPGA_TEST_LSAN
        // _exit skips LeakSanitizer's check at exit: run it here, so what the
        // case's library calls leaked fails the case.
        if (__lsan_do_recoverable_leak_check() != 0)
        {
            code = failStatus;
        }
#endif
        std::fflush(nullptr);
        std::cout.flush();
        std::cerr.flush();
        // _exit: gtest's and the statics' exit handlers belong to the parent.
        ::_exit(code);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
    {
        if (errno != EINTR)
        {
            ADD_FAILURE() << "waitpid failed";
            return -1;
        }
    }
    return status;
}

} // namespace

Outcome runInWorld(const fpga_sim::Board& board,
                   const std::function<void(fpga_sim::World&)>& body)
{
    // Only failures of this body count: the child inherits those the test
    // recorded before the fork.
    const ::testing::TestResult* result =
        ::testing::UnitTest::GetInstance()->current_test_info()->result();
    const int partsBefore = result->total_part_count();
    const auto failedHere = [result, partsBefore] {
        for (int i = partsBefore; i < result->total_part_count(); ++i)
        {
            if (result->GetTestPartResult(i).failed())
            {
                return true;
            }
        }
        return false;
    };

    const int status = forkAndWait([&]() {
        std::optional<fpga_sim::World> world;
        try
        {
            world.emplace(board);
        }
        catch (const fpga_sim::NamespaceUnavailable& e)
        {
            std::cerr << "skipping: " << e.what() << "\n";
            return skipStatus;
        }
        catch (const std::exception& e)
        {
            ADD_FAILURE() << "cannot build the world: " << e.what();
            return failStatus;
        }
        body(*world);
        return failedHere() ? failStatus : 0;
    });
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
    {
        return Outcome::passed;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == skipStatus)
    {
        return Outcome::skipped;
    }
    if (WIFSIGNALED(status))
    {
        ADD_FAILURE() << "forked case died of signal " << WTERMSIG(status);
    }
    return Outcome::failed;
}

bool namespacesAvailable()
{
    static const bool available = [] {
        const int status = forkAndWait([] {
            try
            {
                fpga_sim::enterPrivateNamespace();
                fpga_sim::mountTmpfs("/run");
            }
            catch (const std::exception& e)
            {
                std::cerr << "private namespaces unavailable: " << e.what()
                          << "\n";
                return skipStatus;
            }
            return 0;
        });
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }();
    return available;
}

void WorldTest::SetUp()
{
    if (!namespacesAvailable())
    {
        GTEST_SKIP() << "private mount namespaces are unavailable";
    }
}

void WorldTest::inWorld(const fpga_sim::Board& board,
                        const std::function<void(fpga_sim::World&)>& body)
{
    const Outcome outcome = runInWorld(board, body);
    EXPECT_EQ(outcome, Outcome::passed) << "the forked case did not pass";
}

} // namespace fpga_test
