// SPDX-License-Identifier: Apache-2.0
#include "process.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace fpga_sim
{

pid_t spawnProgram(const std::vector<std::string>& argv, int stdinFd,
                   const std::string& out, const std::string& err)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdinFd >= 0)
    {
        posix_spawn_file_actions_adddup2(&actions, stdinFd, 0);
    }
    else
    {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    if (!out.empty())
    {
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    std::vector<char*> args;
    for (const std::string& arg : argv)
    {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = -1;
    const int error = ::posix_spawnp(&pid, args[0], &actions, nullptr,
                                     args.data(), ::environ);
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? pid : -error;
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
