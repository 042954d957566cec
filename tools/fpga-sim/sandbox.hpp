// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "output.hpp"
#include "sim/board.hpp"

#include <stdexcept>
#include <string>
#include <vector>

/**
 * @file sandbox.hpp
 * @brief Runs a command with a simulated FPGA driver in place.
 */
namespace fpga_sim
{

/** @brief The simulation could not be set up; nothing was run. */
class SetupError : public std::runtime_error
{
  public:
    using std::runtime_error::runtime_error;
};

/** @brief Exit status for a set-up failure of fpga-sim itself. */
inline constexpr int exitSetupFailed = 125;
/** @brief Exit status when the command exists but cannot be executed. */
inline constexpr int exitCannotExecute = 126;
/** @brief Exit status when the command is not found. */
inline constexpr int exitNotFound = 127;

/**
 * @brief Ignore SIGPIPE, so that fpga-sim never dies of a reader gone: a
 *        write to it fails with EPIPE (a line lost, counted). The command
 *        runOnBoard() starts gets the disposition found here.
 */
void ignoreBrokenPipes();

/**
 * @brief Serve @p board at the driver's paths and run @p command there.
 *
 * Enters a private mount namespace (and a user namespace when not root),
 * covers "/dev" with a tmpfs that carries the host's device entries over,
 * serves the board with libfuse, runs the command and waits for it.
 * SIGINT, SIGTERM, SIGHUP and SIGQUIT sent to fpga-sim go on to the command.
 *
 * @param trace where trace records go, or nullptr
 * @param traceFormat how they are written
 * @param journal where the journal entries sent inside go, one JSON line
 *        each, or nullptr to leave the journal alone
 * @param controlPath where to listen for changes (control.hpp), or ""
 * @return the command's exit status, 128 + N when signal N ended it,
 *         exitCannotExecute or exitNotFound when it could not start
 * @throws SetupError when the simulation cannot be set up
 */
int runOnBoard(const Board& board, Output* trace, TraceFormat traceFormat,
               Output* journal, const std::string& controlPath,
               const std::vector<std::string>& command);

} // namespace fpga_sim
