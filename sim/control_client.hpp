// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <cstddef>
#include <stdexcept>
#include <string>

/**
 * @file control_client.hpp
 * @brief The client side of fpga-sim's control socket (--control).
 *
 * One request per connection: the client sends its words on one line
 * ("set chips.r0.detected 0\n", "get hpmChip\n"), fpga-sim answers "ok"
 * when a change is applied, "ok " and compact JSON with a read's value,
 * or "refused " and the message ("chips.r9.detected: expected true, false
 * or an integer") when not, and closes. docs/fpga-sim.md has the grammar.
 */
namespace fpga_sim
{

/** @brief The longest socket path: a Unix socket's address holds 108
 *         bytes, the closing NUL among them. */
inline constexpr std::size_t maxSocketPath = 107;

/** @brief How long sendRequest() waits for an answer unless told. */
inline constexpr std::chrono::milliseconds defaultControlTimeout{10000};

/** @brief No answer could be had from the socket: what happened. */
class ControlError : public std::runtime_error
{
  public:
    using std::runtime_error::runtime_error;
};

/** @brief fpga-sim's answer to one request. */
struct ControlReply
{
    /** Whether the request was taken: a change applied or queued, a read
     *  answered. */
    bool applied = false;
    /** Why a request was refused: "FIELD: PROBLEM", or the problem alone;
     *  control bytes in it written \\xNN. */
    std::string message;
    /** A read's value, compact JSON; "" for the others. */
    std::string value;
};

/**
 * @brief Send one request to the fpga-sim listening at @p socketPath and
 *        wait for its answer, @p timeout at most in all.
 * @param request the request's words, on one line, without the newline
 * @throws ControlError when there is no fpga-sim to answer: nothing
 *         listens at @p socketPath, it is no socket, or what listens there
 *         does not answer in time or answers what fpga-sim would not
 */
ControlReply
    sendRequest(const std::string& socketPath, const std::string& request,
                std::chrono::milliseconds timeout = defaultControlTimeout);

} // namespace fpga_sim
