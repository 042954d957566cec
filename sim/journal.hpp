// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

/**
 * @file journal.hpp
 * @brief The journal's native protocol, as the library's entries arrive on
 *        "/run/systemd/journal/socket".
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
 *        of its values in sent order. Bytes that are not UTF-8 become
 *        U+FFFD when dumped with error_handler_t::replace.
 */
nlohmann::json journalEntryToJson(const JournalEntry& entry);

/** @brief The entry of journalEntryToJson() back, fields of one name
 *         together. @throws nlohmann::json::exception when malformed */
JournalEntry journalEntryFromJson(const nlohmann::json& json);

} // namespace fpga_sim
