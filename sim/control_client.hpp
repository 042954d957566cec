// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <stdexcept>
#include <string>

/**
 * @file control_client.hpp
 * @brief The client side of fpga-sim's control socket (--control).
 *
 * One change per connection: the client sends the change's words on one
 * line ("set chips.r0.detected 0\n"), fpga-sim answers "ok" when it is
 * applied or "refused " and the message ("chips.r9.detected: expected
 * true, false or an integer") when not, and closes. docs/fpga-sim.md has
 * the grammar.
 */
namespace fpga_sim
{

/** @brief No answer could be had from the socket. */
class ControlError : public std::runtime_error
{
  public:
    using std::runtime_error::runtime_error;
};

/** @brief fpga-sim's answer to one change. */
struct ControlReply
{
    bool applied = false;
    /** Why a change was refused: "FIELD: PROBLEM", or the problem alone. */
    std::string message;
};

/**
 * @brief Send one change to the fpga-sim listening at @p socketPath.
 * @param change the change's words, on one line, without the newline
 * @throws ControlError when there is no fpga-sim to answer
 */
ControlReply sendChange(const std::string& socketPath,
                        const std::string& change);

} // namespace fpga_sim
