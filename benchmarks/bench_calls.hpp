// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "sim/board.hpp"

#include <string>
#include <vector>

/**
 * @file bench_calls.hpp
 * @brief The calls that the benchmarks, the syscall check and the
 *        instruction counts measure, each beside its floor.
 *
 * A call's floor performs the same system calls on the same files as the
 * library does for that call, written with plain POSIX calls and only the
 * decisions the work needs (is the chip present, is the block offered,
 * decode the bytes). It is the least that the work costs; the library's
 * time over the floor's time is its overhead.
 */
namespace fpga_bench
{

/** @brief One measured call: the library's function and its floor. */
struct Call
{
    std::string name;
    /** Runs the call once through the library; returns its result code. */
    int (*library)();
    /** Runs the same work with plain POSIX calls; returns 0 on success. */
    int (*floor)();
};

/**
 * @brief The board the calls run on: the local chip id of platform type 4,
 *        remote chips 0 to 2 present, the HPM blocks on remote 1, a thermal
 *        block with 255 entries, and every block enabled.
 */
fpga_sim::Board benchBoard();

/** @brief All measured calls, in the order they are reported. */
const std::vector<Call>& calls();

/** @brief The call named @p name, or nullptr. */
const Call* findCall(const std::string& name);

} // namespace fpga_bench
