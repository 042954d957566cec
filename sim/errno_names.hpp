// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <nlohmann/json.hpp>

#include <string>

/**
 * @file errno_names.hpp
 * @brief The errnos a node's failing transfers report, by name.
 */
namespace fpga_sim
{

/** @brief The symbolic name of an errno value ("EIO"), or its number. */
std::string errnoName(int error);

/**
 * @brief An errno a driver returns, given by name ("EIO") or number: one
 *        with a name (1 to 133 on Linux; FUSE cannot carry the kernel's own
 *        values from 512 up), and not EINTR, which callers retry forever.
 * @throws BoardError under @p path
 */
int errnoFromJson(const nlohmann::json& value, const std::string& path);

} // namespace fpga_sim
