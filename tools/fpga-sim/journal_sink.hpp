// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "sim/fd.hpp"
#include "sim/journal.hpp"

#include <sys/socket.h>

#include <list>
#include <thread>

/**
 * @file journal_sink.hpp
 * @brief Catches the journal entries of everything running in fpga-sim.
 */
namespace fpga_sim
{

/**
 * @brief journald's three sockets, bound in "/run/systemd/journal":
 *        "socket" (the native protocol, sd_journal_send), "stdout" (streams:
 *        systemd-cat, a service's standard output) and "dev-log" (syslog,
 *        which "/dev/log" is to lead to); and a thread that writes every
 *        entry sent there to a descriptor as one line of JSON
 *        (sim/journal.hpp, journalEntryToJson).
 *
 * To the fields of each entry it adds those journald adds from the kernel:
 * _TRANSPORT ("journal", "stdout" or "syslog"), _PID, _UID and _GID of the
 * sender, as fpga-sim's namespace numbers them, and __SEQNUM, the entry's
 * place on fpga-sim's timeline (output.hpp, nextSeq()). Fields journald would
 * not take from a native sender are dropped (a name not of 1 to 64 of A-Z, 0-9
 * and _, or starting with a digit or "_"), and so is a datagram not of the
 * protocol, as journald drops them.
 *
 * Create it inside the private namespace, once a directory of its own is
 * mounted at "/run/systemd/journal": entries then never reach the host's
 * journal. A sender of datagrams blocks once about ten wait, so the thread
 * reads them as they come.
 */
class JournalSink
{
  public:
    /** @brief The syslog socket, which "/dev/log" is to lead to. */
    static constexpr const char* syslogSocket = "/run/systemd/journal/dev-log";

    /** @throws SetupError when a socket cannot be bound */
    explicit JournalSink(int outFd);
    JournalSink(const JournalSink&) = delete;
    JournalSink& operator=(const JournalSink&) = delete;
    /** Writes out every entry still queued, then stops the thread:
     *  streams waiting to be accepted are taken, and every stream is read
     *  until it ends, for one second at most. */
    ~JournalSink();

  private:
    struct Stream
    {
        Fd fd;
        ucred sender;
        JournalStream parser;
    };

    void run();
    /** Everything still queued, at the end. */
    void drain();
    /** @return false once nothing is queued */
    bool takeDatagram(int fd, const char* transport);
    /** Take one connection waiting. @return false when none waits */
    bool acceptStream();
    /** @return the bytes read, 0 when the stream is over (its last line
     *  taken), -1 when nothing waits */
    ssize_t readStream(Stream& stream);
    void write(JournalEntry entry, const char* transport, const ucred& sender);

    int outFd;
    Fd native;
    Fd syslog;
    Fd streams;
    Fd stop;
    std::list<Stream> clients;
    std::thread reader;
};

} // namespace fpga_sim
