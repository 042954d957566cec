// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "sim/journal.hpp"

#include <cstddef>
#include <cstring>
#include <map>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <gmock/gmock.h>

/**
 * @file journal.hpp
 * @brief Catches what the library sends to the journal.
 *
 * JournalCapture binds the journal's own socket
 * "/run/systemd/journal/socket" (inside a World, whose /run is private) and
 * parses every datagram into a JournalEntry. The sender blocks once about
 * ten datagrams are queued, so call drain() after every library call that
 * may log. Where logs are not checked, create no capture at all: entries are
 * then dropped by the sender.
 *
 *     fpga_test::JournalCapture journal;
 *     EXPECT_EQ(rawNormalAccess(...), -ENODEV);
 *     EXPECT_THAT(journal.drain(),
 *                 ElementsAre(Logged("RMT:{R} Chip{ID} not detected\n",
 *                                    {{"R", "False"}, {"ID", "0"}},
 *                                    "normalAccess")));
 *
 * With FPGA_TEST_JOURNAL_RECORD=FILE in the environment, drain() also appends
 * each entry to FILE as one JSON line: {"test": "<suite>.<case>", "program",
 * "index" (within the case, over its forked children), "fields": [[key,
 * value], ...] in sent order}. scripts/run-all-tests.sh compares the files of
 * two builds (scripts/compare-journal.py).
 */
namespace tavrin_fpga
{
// The library's records compare byte for byte; none has padding.
template <typename T>
requires std::is_trivially_copyable_v<T> && std::is_class_v<T>
bool operator==(const T& a, const T& b)
{
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}
} // namespace tavrin_fpga

namespace fpga_test
{

inline constexpr const char* journalSocket = "/run/systemd/journal/socket";

using fpga_sim::JournalEntry;
using fpga_sim::parseJournalDatagram;

/** @brief A listener on the journal socket; see the file comment. */
class JournalCapture
{
  public:
    /** @brief Create "/run/systemd/journal" and bind its socket. */
    JournalCapture();
    ~JournalCapture();
    JournalCapture(const JournalCapture&) = delete;
    JournalCapture& operator=(const JournalCapture&) = delete;

    /** @brief Every entry queued since the last drain, oldest first (also
     *         recorded, see the file comment). */
    std::vector<JournalEntry> drain();

  private:
    int fd;
};

/**
 * @brief Matches an error entry written by the library: LOG2_FMTMSG equals
 *        @p format, MESSAGE its expansion, PRIORITY "3", CODE_FILE and
 *        CODE_LINE are set, CODE_FUNC contains "tavrin_fpga::<function>(" (or
 *        "<" for a template), and the named fields are exactly @p fields
 *        (no extra, none missing, none twice).
 */
::testing::Matcher<const JournalEntry&>
    Logged(const std::string& format,
           const std::map<std::string, std::string>& fields,
           const std::string& function);

/** @brief The library's entry for a block the HPM FPGA does not offer. */
::testing::Matcher<const JournalEntry&>
    notAvailable(std::size_t block, const char* location = "remote",
                 const char* function = "rawHpmNormalAccess");

} // namespace fpga_test
