// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

/**
 * @file process.hpp
 * @brief Starting a program and waiting for it, as libfpga-sim and the
 *        tests run fpga-sim and the programs under it.
 */
namespace fpga_sim
{

/**
 * @brief Start @p argv (its first word searched on PATH when it has no
 *        slash). Standard input is @p stdinFd, or /dev/null when it is -1;
 *        standard output and error go to the files @p out and @p err
 *        (created or truncated), or stay this process's when @p out is "".
 *        The child gets SIGKILL when the thread that started it ends (as
 *        the process dies, killed or not), so that nothing it runs
 *        outlives a test; start it from a thread that waits for it.
 * @return the child's pid, or -errno when it could not start (the
 *         program not found, not executable, a file not opened)
 */
pid_t spawnProgram(const std::vector<std::string>& argv, int stdinFd,
                   const std::string& out, const std::string& err);

/** @brief Wait for @p pid to end (through EINTR).
 *  @return its exit status, or 128 + N when signal N ended it */
int waitForExit(pid_t pid);

/** @brief The exit status of a waitpid() status: 128 + N for signal N. */
int exitStatus(int waitStatus);

} // namespace fpga_sim
