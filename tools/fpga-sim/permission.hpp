// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <vector>

/**
 * @file permission.hpp
 * @brief Who may open a served file, decided as the kernel decides it for
 *        a file with that mode and owner (path_resolution(7),
 *        capabilities(7)).
 *
 * The kernel leaves the decision to fpga-sim: its mount has no
 * "default_permissions", which would have the kernel ask for the
 * attributes of every file and directory on the way at each open.
 */
namespace fpga_sim
{

/** @brief A served file's permission bits, owner and group. */
struct FileMode
{
    unsigned mode;
    std::uint32_t owner;
    std::uint32_t group;
    bool directory = false;
};

/** @brief What the caller asks for: R_OK, W_OK and X_OK of access(2). */
using AccessMask = int;

/**
 * @brief Whether the caller of the current FUSE request may have @p mask
 *        on @p file.
 *
 * As generic_permission(): the owner's bits when the caller's (fs)uid owns
 * the file, else the group's when its gid or a supplementary group is the
 * file's, else the others'. Failing those, CAP_DAC_READ_SEARCH allows
 * reading (and searching a directory), CAP_DAC_OVERRIDE anything but
 * executing a file without execute bits, each when the file's owner and
 * group have a name in fpga-sim's user namespace. The caller's groups and
 * capabilities come from /proc/PID/status, read only when they decide.
 */
bool mayAccess(const FileMode& file, AccessMask mask);

/**
 * @brief The id to show in stat for an owner or group @p id (@p group:
 *        a group id).
 *
 * An id fpga-sim's user namespace has no name for shows as 0 there: shown
 * as "nobody", the kernel would refuse every write to the file before
 * asking fpga-sim, whatever its mode.
 */
std::uint32_t shownId(std::uint32_t id, bool group);

/** @brief The ids of a "uid_map" or "gid_map" file's ranges: whether
 *         @p id is one of them. */
bool idMapped(const std::vector<std::uint64_t>& ranges, std::uint32_t id);

} // namespace fpga_sim
