// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "driver_fs.hpp"
#include "sim/fd.hpp"

#include <string>

/**
 * @file control.hpp
 * @brief The control socket of fpga-sim --control, and the thread that
 *        serves it and runs the scenario's timed steps.
 *
 * A client sends changes one per line (sim/control_client.hpp) and gets
 * "ok" or "refused MESSAGE" for each, in order. Lines longer than
 * maxChangeLine bytes, and clients beyond a few dozen at once, are turned
 * away; nothing a client sends can stop the command or spoil the board.
 */
namespace fpga_sim
{

/**
 * @brief Listen on a Unix socket at @p path, made here.
 *
 * A socket left at @p path by an fpga-sim that was killed (no one listens)
 * is replaced; any other file there, or a live socket, is refused.
 * @throws SetupError
 */
Fd listenForChanges(const std::string& path);

/**
 * @brief Serve the changes of @p listening (may be closed: -1) and the
 *        timed steps of the scenario from a thread of their own, until the
 *        process ends. Starts no thread when there is nothing to do.
 */
void serveChanges(Fd listening, DriverFs& fs);

} // namespace fpga_sim
