// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "sim/fd.hpp"

#include <thread>

/**
 * @file journal_sink.hpp
 * @brief Catches the journal entries of everything running in fpga-sim.
 */
namespace fpga_sim
{

/**
 * @brief A datagram socket bound at "/run/systemd/journal/socket", and a
 *        thread that writes every entry sent there to a descriptor as one
 *        line of JSON (sim/journal.hpp, journalEntryToJson).
 *
 * Create it inside the private namespace, once a directory of its own is
 * mounted at "/run/systemd/journal": entries then never reach the host's
 * journal. The sender blocks once about ten datagrams wait, so the thread
 * reads them as they come.
 */
class JournalSink
{
  public:
    /** @throws SetupError when the socket cannot be bound */
    explicit JournalSink(int outFd);
    JournalSink(const JournalSink&) = delete;
    JournalSink& operator=(const JournalSink&) = delete;
    /** Writes out every entry still queued, then stops the thread. */
    ~JournalSink();

  private:
    void run();
    /** @return false once nothing is queued */
    bool takeOne();

    int outFd;
    Fd socket;
    Fd stop;
    std::thread reader;
};

} // namespace fpga_sim
