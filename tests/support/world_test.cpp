// SPDX-License-Identifier: Apache-2.0
#include "world_test.hpp"

#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <system_error>

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

constexpr int failStatus = 1;

/** Fork and run @p child in the new process; return its wait status, or
 *  -1 when there is none. */
int forkAndWait(const std::function<int()>& child)
{
    std::fflush(nullptr);
    const pid_t pid = ::fork();
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
        // _exit: gtest's and the statics' exit handlers belong to the parent.
        ::_exit(code);
    }
    int status = -1;
    while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR)
    {}
    return status;
}

} // namespace

bool namespacesAvailable()
{
    static const bool available = forkAndWait([] {
                                      fpga_sim::enterPrivateNamespace();
                                      fpga_sim::mountTmpfs("/run");
                                      return 0;
                                  }) == 0;
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
    // The child inherits the failures recorded before the fork; only those
    // of this body count.
    const ::testing::TestResult* result =
        ::testing::UnitTest::GetInstance()->current_test_info()->result();
    const int partsBefore = result->total_part_count();
    const int status = forkAndWait([&] {
        fpga_sim::World world(board);
        body(world);
        for (int i = partsBefore; i < result->total_part_count(); ++i)
        {
            if (result->GetTestPartResult(i).failed())
            {
                return failStatus;
            }
        }
        return 0;
    });
    if (WIFSIGNALED(status))
    {
        ADD_FAILURE() << "forked case died of signal " << WTERMSIG(status);
    }
    else
    {
        EXPECT_EQ(status, 0) << "the forked case did not pass";
    }
}

std::set<std::string> openFds()
{
    std::set<std::string> fds;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd"))
    {
        std::error_code error;
        const auto target = std::filesystem::read_symlink(fd, error).string();
        if (!target.starts_with("socket:") && !target.starts_with("/proc/"))
        {
            fds.insert(fd.path().filename().string() + " -> " + target);
        }
    }
    return fds;
}

std::string fileEvents(const std::string& path,
                       const std::function<void()>& body)
{
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0 || ::inotify_add_watch(fd, path.c_str(),
                                      IN_OPEN | IN_MODIFY | IN_CLOSE) < 0)
    {
        throw std::system_error(errno, std::generic_category(), path);
    }
    body();
    std::string letters;
    alignas(inotify_event) char events[4096];
    for (ssize_t got = 0; (got = ::read(fd, events, sizeof(events))) > 0;)
    {
        for (const char* p = events; p < events + got;)
        {
            const auto* event = reinterpret_cast<const inotify_event*>(p);
            letters += (event->mask & IN_OPEN)          ? 'O'
                       : (event->mask & IN_MODIFY)      ? 'M'
                       : (event->mask & IN_CLOSE_WRITE) ? 'C'
                                                        : 'c';
            p += sizeof(inotify_event) + event->len;
        }
    }
    ::close(fd);
    return letters;
}

} // namespace fpga_test
