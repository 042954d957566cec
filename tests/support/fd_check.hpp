// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <set>
#include <string>

/**
 * @file fd_check.hpp
 * @brief Finds file descriptors a call left open.
 *
 *     const auto before = fpga_test::openFds();
 *     ... calls under test ...
 *     EXPECT_EQ(fpga_test::openFds(), before);
 *
 * The journal's client socket (an AF_UNIX datagram socket that libsystemd
 * opens on the first entry and keeps for the life of the process) is left
 * out, so a first log entry between the snapshots is not taken for a leak.
 */
namespace fpga_test
{

/** @brief Open descriptors as "N -> target", without the journal socket. */
std::set<std::string> openFds();

} // namespace fpga_test
