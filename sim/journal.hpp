// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

/**
 * @file journal.hpp
 * @brief The journal's three ways in, as journald reads them: the native
 *        protocol ("/run/systemd/journal/socket", sd_journal_send), the
 *        stream of a program's standard output ("/run/systemd/journal/
 *        stdout", systemd-cat) and syslog datagrams ("/dev/log").
 */
namespace fpga_sim
{

/** @brief One journal entry: its fields in the order they were sent. */
using JournalEntry = std::vector<std::pair<std::string, std::string>>;

/**
 * @brief Parse the fields of one entry in the journal's native protocol:
 *        "KEY=value\n" and the binary-safe "KEY\n" + 64-bit little-endian
 *        length + value + "\n".
 *
 * Parsing starts at *@p pos when given and stops at the end of the text or
 * after an empty line, which ends an entry in journalctl's export format;
 * *@p pos is then where the next entry starts.
 * @throws std::runtime_error for a malformed text.
 */
JournalEntry parseJournalDatagram(const std::string& text,
                                  std::size_t* pos = nullptr);

/**
 * @brief An entry as one JSON object, the form of `journalctl -o json`: a
 *        field sent once is a string, a field sent more than once an array
 *        of its values in sent order; fields in the order first sent.
 *        Bytes that are not UTF-8 become U+FFFD when dumped with
 *        error_handler_t::replace.
 */
nlohmann::ordered_json journalEntryToJson(const JournalEntry& entry);

/** @brief The entry of journalEntryToJson() back, fields of one name
 *         together. @throws nlohmann::json::exception when malformed */
JournalEntry journalEntryFromJson(const nlohmann::ordered_json& json);

/**
 * @brief The entry journald stores for one datagram of its syslog socket,
 *        "<PRI>TIMESTAMP IDENTIFIER[PID]: MESSAGE" as RFC 3164 (and glibc's
 *        syslog()) has it, every part but the message optional: PRIORITY
 *        and SYSLOG_FACILITY from PRI (user.info without it; no facility
 *        field for kern), SYSLOG_IDENTIFIER, SYSLOG_PID, SYSLOG_TIMESTAMP,
 *        MESSAGE (up to a NUL, trailing white space removed), and
 *        SYSLOG_RAW, the datagram itself, when MESSAGE and the parts do not
 *        give it back whole.
 * @return nothing for an empty datagram, which journald drops
 */
std::optional<JournalEntry> syslogEntry(std::string_view datagram);

/**
 * @brief One connection to journald's stream socket, as systemd-cat and a
 *        service's standard output make it: seven header lines
 *        (identifier, unit, priority, level prefix, and three forwarding
 *        flags), then one entry per line.
 *
 * Each entry has PRIORITY and SYSLOG_FACILITY (from the header's
 * priority, when not kern), SYSLOG_IDENTIFIER (when given), MESSAGE (the
 * line, trailing white space removed; an empty one is no entry) and
 * _LINE_BREAK when the line did not end with a newline: "nul", "line-max"
 * (cut at lineMax bytes), "eof". With the level prefix, a line starting
 * "<N>" (N 0-7) has priority N.
 */
class JournalStream
{
  public:
    /** @brief journald's LineMax: a longer line is cut into entries. */
    static constexpr std::size_t lineMax = 48 * 1024;

    /**
     * @brief Take the next @p bytes of the connection; add the entries of
     *        the lines they complete to @p entries.
     * @return false when the header is malformed: journald then drops the
     *         connection, and so should the caller
     */
    bool feed(std::string_view bytes, std::vector<JournalEntry>& entries);

    /** @brief The connection is over: add the entry of a line it left
     *         unfinished, if any. */
    void end(std::vector<JournalEntry>& entries);

  private:
    bool line(std::string_view text, const char* lineBreak,
              std::vector<JournalEntry>& entries);
    bool headerLine(std::string_view text);

    std::size_t headerLines = 0;
    std::string identifier;
    int priority = 6;
    bool levelPrefix = false;
    std::string partial;
};

} // namespace fpga_sim
