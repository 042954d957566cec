// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <tuple>

/**
 * @file fpgasim_changes.hpp
 * @brief The rows of fpgasim_test's "changes" case: the requests a command
 *        sends its fpga-sim over the control socket while it runs, and
 *        what it then sees of the board.
 */
namespace fpga_test
{

inline const std::string zero(1, '\0');

/** A request the command sends with fpga-sim ctl (none: a reset), ctl's
 *  status and message (its output or its error), the look at the board
 *  after it (an attribute of remote 1, or two bytes of fpga-r1 at
 *  "@POSITION") and what that must show. */
using ChangeRow =
    std::tuple<std::string, int, std::string, std::string, std::string>;

inline const ChangeRow changeRows[] = {
    {"set chips.r1.detected 0", 0, "", "detected", "0\n"},
    {"set chips.r1.detected yes", 1,
     "fpga-sim: chips.r1.detected: expected true, false or an", "detected",
     "0\n"},
    // Refused with the field and why, in our words.
    {R"(set chips.r1.blocks ["5-3"])", 1,
     "fpga-sim: chips.r1.blocks[0]: range \"5-3\" is reversed", "detected",
     "0\n"},
    {"set chips.r1.blocks \xff\xfe", 1, "a change is UTF-8 text", "detected",
     "0\n"},
    {"set chips.r1.blocks \x1b[31m\x01", 1,
     "a change is one line of text, without control", "detected", "0\n"},
    {"poke fpga-r0-adi 1 0 01", 1,
     "fpga-sim: nodes.fpga-r0-adi: the node is \"missing\"", "detected", "0\n"},
    {"fault add fpga-r2-adi EIO", 1,
     "fpga-sim: nodes.fpga-r2-adi: the node is \"fifo\"", "detected", "0\n"},
    {"set chips.r1.fwVersion \"3 12\"", 0, "", "fw_version", "3 12\n"},
    {"unset chips.r1.chipId", 0, "", "chip_id", "error ENOENT"},
    // Reads print the value: JSON, a string's text, null when left
    // out; a path is checked as set checks it.
    {"get chips.r1.chipId", 0, "null\n", "fw_version", "3 12\n"},
    {"get chips.r1.fwVersion", 0, "3 12\n", "detected", "0\n"},
    {"get chips.r1.bogus", 1, "chips.r1.bogus: unknown field", "detected",
     "0\n"},
    {"fault add fpga-r1 ETIMEDOUT read block 4", 0, "", "@40",
     "error ETIMEDOUT"},
    {"poke fpga-r1 5 0 a1 a2", 0, "", "@50", "\xa1\xa2"},
    {"peek fpga-r1 5 0 3", 0, "a1 a2 00\n", "@50", "\xa1\xa2"},
    {"peek fpga-r1 4 16", 1, "nodes.fpga-r1.offset: 16 is out of", "@50",
     "\xa1\xa2"},
    // Queued: the second open of the file from now sees it.
    {"after 1 of fpga_rmt1_detected set chips.r1.detected 1", 0, "", "detected",
     "0\n"},
    {"get chips.r1.detected", 0, "false\n", "detected", "1\n"},
    {"fault clear fpga-r1", 0, "", "@40", zero + zero},
    // Register names where BLOCK OFFSET goes; "hpm" is the chip
    // hpmChip names now, read as libfpga reads it (remote and its last
    // digit).
    {"set hpmChip remote9", 0, "", "@4a", zero + zero},
    {"peek hpm power.front-buttons", 1, "hpm: names no chip with device", "@4a",
     zero + zero},
    {R"(set hpmChip {"raw": "remote11\n"})", 0, "", "@4a", zero + zero},
    {"poke hpm power.front-buttons 05", 0, "", "@4a", "\x05" + zero},
    {"peek r1 power.front-buttons 2", 0, "05 00\n", "@4a", "\x05" + zero},
    {"peek fpga-r3-adi thermal.records 2", 0, "00 00\n", "@4a", "\x05" + zero},
    {"peek fpga-r1-adi power.front-buttons", 1,
     "normal mode, and fpga-r1-adi is no normal node", "@4a", "\x05" + zero},
    {"poke fpga-r1 4 power.front-buttons 00", 1, "is not a number", "@4a",
     "\x05" + zero},
    // The board's registers change live; a reset restores them and
    // not what was poked.
    {R"(set nodes.fpga-r1.registers [{"block": 5, "offset": 1, "bytes": "b2"}])",
     0, "", "@50", zero + "\xb2"},
    {R"(poke fpga-r1 {"block": 5, "offset": 0, "bytes": "c1"})", 0, "", "@50",
     "\xc1\xb2"},
    // The board as served: the live registers in it.
    {"board", 0, R"({"block": 5, "offset": 0, "bytes": "c1 b2"})", "@50",
     "\xc1\xb2"},
    {R"(peek fpga-r1 {"block": 5, "offset": 1, "length": 1})", 0, "b2\n", "@50",
     "\xc1\xb2"},
    {"", 0, "", "@50", zero + "\xb2"},
};

} // namespace fpga_test
