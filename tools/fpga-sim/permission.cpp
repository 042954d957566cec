// SPDX-License-Identifier: Apache-2.0
#include "permission.hpp"

#include <linux/capability.h>
#include <unistd.h>

#define FUSE_USE_VERSION 31
#include <fuse3/fuse.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

namespace fpga_sim
{

namespace
{

/** "inside outside count" triples of a uid_map or gid_map. */
std::vector<std::uint64_t> readMap(const char* path)
{
    std::ifstream in(path);
    std::vector<std::uint64_t> ranges;
    for (std::uint64_t value = 0; in >> value;)
    {
        ranges.push_back(value);
    }
    return ranges;
}

/** fpga-sim's user namespace: the ids it has names for. */
const std::vector<std::uint64_t>& namespaceMap(bool group)
{
    static const std::vector<std::uint64_t> users =
        readMap("/proc/self/uid_map");
    static const std::vector<std::uint64_t> groups =
        readMap("/proc/self/gid_map");
    return group ? groups : users;
}

/** What /proc/PID/status says of a caller's groups and capabilities. */
struct Credentials
{
    std::vector<gid_t> groups;
    std::uint64_t capabilities = 0;
};

Credentials credentialsOf(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    Credentials found;
    for (std::string line; std::getline(in, line);)
    {
        std::istringstream fields(line);
        std::string key;
        fields >> key;
        if (key == "Groups:")
        {
            for (gid_t gid = 0; fields >> gid;)
            {
                found.groups.push_back(gid);
            }
        }
        else if (key == "CapEff:")
        {
            fields >> std::hex >> found.capabilities;
        }
    }
    return found;
}

} // namespace

bool idMapped(const std::vector<std::uint64_t>& ranges, std::uint32_t id)
{
    for (std::size_t i = 0; i + 2 < ranges.size(); i += 3)
    {
        if (id >= ranges[i] && id - ranges[i] < ranges[i + 2])
        {
            return true;
        }
    }
    return false;
}

std::uint32_t shownId(std::uint32_t id, bool group)
{
    return idMapped(namespaceMap(group), id) ? id : 0;
}

bool mayAccess(const FileMode& file, AccessMask mask)
{
    const fuse_context* caller = fuse_get_context();
    mask &= 07;
    std::optional<Credentials> credentials;
    const auto known = [&]() -> const Credentials& {
        return credentials ? *credentials
                           : credentials.emplace(credentialsOf(caller->pid));
    };
    unsigned bits = file.mode & 07;
    if (caller->uid == file.owner)
    {
        bits = (file.mode >> 6) & 07;
    }
    else if ((mask & (file.mode ^ (file.mode >> 3))) != 0 &&
             (caller->gid == file.group ||
              std::ranges::count(known().groups, file.group) != 0))
    {
        bits = (file.mode >> 3) & 07;
    }
    if ((mask & ~bits) == 0)
    {
        return true;
    }
    // The capabilities that override the bits count only for a file whose
    // ids have names in the caller's namespace (taken to be fpga-sim's).
    const auto capable = [&](int capability) {
        return (known().capabilities >> capability & 1) != 0 &&
               idMapped(namespaceMap(false), file.owner) &&
               idMapped(namespaceMap(true), file.group);
    };
    const bool reading = (mask & ~(file.directory ? R_OK | X_OK : R_OK)) == 0;
    const bool executable = (mask & X_OK) == 0 || file.directory ||
                            (file.mode & 0111) != 0;
    return (reading && capable(CAP_DAC_READ_SEARCH)) ||
           (executable && capable(CAP_DAC_OVERRIDE));
}

} // namespace fpga_sim
