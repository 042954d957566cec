// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "errors.hpp"
#include "report.hpp"
#include "target.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

/**
 * @file verbs.hpp
 * @brief One function per fpgatool verb: each makes the library calls of
 *        its verb and returns what they gave as a Report.
 *
 * A failing library call throws a Failure. Verbs that go on past a failure
 * (dump, info) record it in the report's problems instead.
 */
namespace fpgatool
{

/** Asks whether to change the hardware; false: leave it alone. */
using Confirm = std::function<bool(const std::string& question)>;

/** What a verb found, and the failures it went on past. */
struct Outcome
{
    Report report;
    std::vector<Failure> problems;
};

/** Every chip: location, detected, ids, firmware, supported blocks. */
Outcome listChips();

/** Platform type, driver directory, HPM FPGA and every chip's firmware. */
Outcome showInfo();

/** Read @p count bytes from @p address. */
Outcome readRegisters(const Chip& chip, const Address& address,
                      std::size_t count);

/** A write as the command line asks for it. */
struct WriteRequest
{
    Chip chip;
    Address address;
    std::vector<std::uint8_t> values;
    /** Read-modify-write: only the mask's bits of each byte change. */
    std::optional<std::uint8_t> mask;
    /** Read the bytes back and compare. */
    bool verify = false;
    /** Show what would be written; write nothing. */
    bool dryRun = false;
};

/** Write registers; the report shows what was (or would be) written. */
Outcome writeRegisters(const WriteRequest& request, const Confirm& confirm);

/** Every enabled block of a chip, 16 bytes each, in normal mode. */
Outcome dumpChip(const Chip& chip);

/** Power-on, power-off and reset sources and the front-button state. */
Outcome showPower();

/** Whether the front buttons are enabled. */
Outcome showButtons();

/** Enable or disable the front buttons. */
Outcome setButtons(bool enable, bool dryRun, const Confirm& confirm);

/** The two interrupt masks and their set bits. */
Outcome showInterrupts();

/** The thermal entries. */
Outcome showThermals();

/** The fan layout of platform types 4 to 6. */
Outcome showFans();

/** The device-presence bits of platform types 0 and 1. */
Outcome showPresence();

/** Reset the FPGA through the driver's reset attribute. */
Outcome resetFpga(bool dryRun, const Confirm& confirm);

} // namespace fpgatool
