// SPDX-License-Identifier: Apache-2.0
#include "process.hpp"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace fpga_sim
{

namespace
{

/** In the forked child, which may only make async-signal-safe calls: put
 *  @p from on descriptor @p to, or @p path opened with @p flags. */
bool place(int from, const char* path, int flags, int to)
{
    const int fd = from >= 0 ? from : ::open(path, flags, 0644);
    // dup2() clears close-on-exec on its copy; a descriptor in place
    // already keeps it unless told.
    return fd >= 0 &&
           (fd == to ? ::fcntl(to, F_SETFD, 0) == 0 : ::dup2(fd, to) == to);
}

/** The forked child: tied to its parent, its descriptors in place, the
 *  program run; an errno that stops it goes to @p reportFd. */
[[noreturn]] void execChild(char* const* argv, int stdinFd, const char* out,
                            const char* err, int reportFd, pid_t parent)
{
    // The child ends with the thread that started it: a test killed never
    // leaves fpga-sim (or its command) behind. Had the parent died before
    // the call, no signal would come.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent)
    {
        ::_exit(128 + SIGKILL);
    }
    const int written = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
    const bool placed =
        place(stdinFd, "/dev/null", O_RDONLY | O_CLOEXEC, 0) &&
        (*out == '\0' ||
         (place(-1, out, written, 1) && place(-1, err, written, 2)));
    if (placed)
    {
        ::execvp(argv[0], argv);
    }
    const int error = errno;
    [[maybe_unused]] const ssize_t ignored =
        ::write(reportFd, &error, sizeof(error));
    ::_exit(127);
}

} // namespace

pid_t spawnProgram(const std::vector<std::string>& argv, int stdinFd,
                   const std::string& out, const std::string& err)
{
    // Everything the child needs is made before the fork.
    std::vector<char*> args;
    for (const std::string& arg : argv)
    {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
    {
        return -errno;
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0)
    {
        execChild(args.data(), stdinFd, out.c_str(), err.c_str(), report[1],
                  parent);
    }
    const int forkError = errno;
    ::close(report[1]);
    int error = 0;
    ssize_t got = 0;
    while ((got = ::read(report[0], &error, sizeof(error))) < 0 &&
           errno == EINTR)
    {}
    ::close(report[0]);
    if (pid < 0)
    {
        return -forkError;
    }
    if (got == sizeof(error))
    {
        waitForExit(pid);
        return -error;
    }
    return pid;
}

int exitStatus(int waitStatus)
{
    return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus)
                                 : 128 + WTERMSIG(waitStatus);
}

int waitForExit(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR)
    {}
    return exitStatus(status);
}

} // namespace fpga_sim
