// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "driver_fs.hpp"
#include "mounts.hpp"
#include "sim/fd.hpp"

#include <sys/stat.h>

#include <string>

/**
 * @file control.hpp
 * @brief The control socket of fpga-sim --control, and the thread that
 *        serves it and runs the scenario's timed steps.
 *
 * A client sends requests one per line (sim/control_client.hpp): changes,
 * reads of the board and changes for a later open (sim/change.hpp,
 * Request), and gets "ok", "ok JSON" (a read's value) or "refused MESSAGE"
 * for each, in order. A line longer than maxChangeLine bytes is refused and
 * its client let go. A client's next line waits while 64 KiB of its
 * answers wait for it to read them, so a client that reads nothing costs
 * that much; when many clients are connected, the one idle longest makes
 * room for a new one, one partway through a line last. Nothing a client sends
 * can stop the command or spoil the board.
 */
namespace fpga_sim
{

/**
 * @brief The socket's file, made in the host's file system before fpga-sim
 *        enters its namespace, where clients outside find it once
 *        published, and removed at the end if it is still the one fpga-sim
 *        made.
 */
class ControlSocket
{
  public:
    /**
     * @brief Listen on a Unix socket made at @p path ("": none).
     *
     * A socket left at @p path by an fpga-sim that was killed (no one
     * listens) is replaced; any other file there, or a live socket, is
     * refused.
     * @throws SetupError
     */
    explicit ControlSocket(const std::string& path);
    ControlSocket(const ControlSocket&) = delete;
    ControlSocket& operator=(const ControlSocket&) = delete;
    ~ControlSocket();

    /** @brief Put the socket at its path, where clients find it: once the
     *  board is served, just before the command starts. @throws SetupError
     */
    void publish();

    /** @brief Refuse a path the command would not reach, naming which of
     *         @p mounts covers it. @throws SetupError */
    void checkReachable(const Mounts& mounts) const;

    /** @brief The listening socket, for serveChanges(). */
    Fd take();

  private:
    Fd listen();

    std::string path;
    /** The directory it is in, as the host has it, and its name there. */
    Fd dir;
    std::string name;
    /** Its name in the directory until publish(). */
    std::string temporary;
    bool published = false;
    /** The socket's file, to be told from one put in its place. */
    struct stat made
    {};
    Fd listening;
};

/**
 * @brief Serve the changes of @p listening (may be closed: -1) and the
 *        timed steps of the scenario from a thread of their own, until the
 *        process ends. Starts no thread when there is nothing to do.
 */
void serveChanges(Fd listening, DriverFs& fs);

} // namespace fpga_sim
