// SPDX-License-Identifier: Apache-2.0
#include "errno_names.hpp"

#include "field_reader.hpp"

#include <cerrno>
#include <cstring>

namespace fpga_sim
{

using nlohmann::json;

std::string errnoName(int error)
{
    const char* name = ::strerrorname_np(error);
    return name != nullptr ? name : std::to_string(error);
}

namespace
{

/** The highest errno value with a name: what a driver returns. */
int lastErrno()
{
    static const int last = [] {
        int error = 511; // 512 and up are the kernel's own; FUSE refuses them
        while (::strerrorname_np(error) == nullptr)
        {
            --error;
        }
        return error;
    }();
    return last;
}

} // namespace

int errnoFromJson(const json& value, const std::string& path)
{
    int error = 0;
    if (value.is_number())
    {
        error = static_cast<int>(unsignedIn(value, path, 1, lastErrno()));
    }
    else
    {
        // glibc's other names of three errnos, which it never gives back.
        static const Names<int> aliases = {{"EWOULDBLOCK", EWOULDBLOCK},
                                           {"EDEADLOCK", EDEADLOCK},
                                           {"ENOTSUP", ENOTSUP}};
        const std::string name = string(value, path);
        for (int known = 1; known <= lastErrno() && error == 0; ++known)
        {
            const char* knownName = ::strerrorname_np(known);
            error = knownName != nullptr && name == knownName ? known : 0;
        }
        for (const auto& [alias, known] : aliases)
        {
            error = name == alias ? known : error;
        }
        if (error == 0)
        {
            bad(path, "\"" + name + "\" is not an errno name such as \"EIO\"");
        }
    }
    if (::strerrorname_np(error) == nullptr)
    {
        bad(path, std::to_string(error) + " is not an errno a driver returns");
    }
    if (error == EINTR)
    {
        bad(path, "EINTR is refused: callers retry an interrupted transfer, "
                  "so every transfer would retry forever");
    }
    return error;
}

} // namespace fpga_sim
