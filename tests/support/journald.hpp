// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

/**
 * @file journald.hpp
 * @brief Runs systemd's own journald inside a World, to compare what it
 *        stores with what JournalCapture sees.
 *
 * Journald binds "/run/systemd/journal/socket" itself, so do not create a
 * JournalCapture at the same time. Its runtime journal lives in the World's
 * private /run; the host's persistent journal is covered by a tmpfs first.
 *
 *     fpga_test::Journald journald;
 *     resetFpga();
 *     auto entries = journald.entriesOf(getpid());
 */
namespace fpga_test
{

/** @brief A journald process serving the private /run. */
class Journald
{
  public:
    /** @brief Start "/lib/systemd/systemd-journald" and wait until its
     *         socket exists. @throws std::runtime_error */
    Journald();
    /** @brief Stop journald (SIGTERM) and reap it. */
    ~Journald();
    Journald(const Journald&) = delete;
    Journald& operator=(const Journald&) = delete;

    /**
     * @brief Every stored entry sent by process @p pid, oldest first, each
     *        as field name to value (binary values decoded to bytes).
     *
     * Asks journald to write out what it has received first ("journalctl
     * --sync"), then reads "journalctl --directory=/run/log/journal -o json".
     */
    std::vector<std::map<std::string, std::string>> entriesOf(pid_t pid) const;

  private:
    pid_t pid;
};

} // namespace fpga_test
