// SPDX-License-Identifier: Apache-2.0
// How failures leave the tool: a message from what is known when they
// happen, and the JSON form of it.

#include "fpgatool.hpp"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace fpgatool
{
namespace
{

/** What a result code of a call means; an empty call stands for any. */
struct Hint
{
    std::string_view call;
    int code;
    std::string_view text;
};

// The first entry that matches decides, so a call's own entries come
// before the general ones. A code found nowhere is explained by strerror.
constexpr std::array<Hint, 8> hints = {{
    {"getThermals", -EIO,
     "the thermal block does not offer ADI mode, or a read ended early"},
    {"getPlatform", -ENODATA,
     "the platform type has no fan information (types 4, 5 and 6 have; see "
     "fpgatool info)"},
    {"getPlatDevPresence", -ENODATA,
     "the platform type has no presence bits (types 0 and 1 have; see "
     "fpgatool info)"},
    {"getHPMLocation", ENOENT,
     "the driver does not name the HPM FPGA, or no driver directory was "
     "found; the library uses the local FPGA"},
    {"", -ENODEV, "the chip is not detected (see fpgatool list)"},
    {"", -EFAULT,
     "the block is disabled on the chip (see fpgatool list), or the device "
     "node does not open for reading and writing (is the driver loaded? "
     "are you root?)"},
    {"", -EINVAL,
     "the block is not available on the HPM FPGA (see fpgatool list and "
     "info)"},
    {"", -EIO, "I/O error, or the read ended before all bytes came"},
}};

std::string hintFor(std::string_view call, int result)
{
    for (const Hint& hint : hints)
    {
        if ((hint.call.empty() || hint.call == call) && hint.code == result)
        {
            return std::string(hint.text);
        }
    }
    return std::strerror(std::abs(result));
}

std::string errnoName(int result)
{
    const char* name = ::strerrorname_np(std::abs(result));
    return name != nullptr ? name : "errno " + std::to_string(std::abs(result));
}

[[noreturn]] void thrown(std::string_view call, const std::string& hint,
                         const std::exception& error)
{
    throw Failure(call, std::string(call) + ": " + hint + ": " + error.what());
}

} // namespace

Failure::Failure(std::string_view call, const std::string& message,
                 std::optional<int> code) :
    std::runtime_error(message),
    call(call), code(code)
{}

Json Failure::toJson() const
{
    return {{"call", call},
            {"code", code ? Json(*code) : nullptr},
            {"errno", code ? Json(errnoName(*code)) : nullptr},
            {"message", what()}};
}

Failure resultFailure(std::string_view call, int result)
{
    return Failure(call,
                   std::string(call) + ": " + std::to_string(result) + " (" +
                       errnoName(result) + "): " + hintFor(call, result),
                   result);
}

void rethrowAsFailure(std::string_view call)
{
    try
    {
        throw;
    }
    catch (const std::invalid_argument& error)
    {
        thrown(call,
               "malformed driver attribute (\"" +
                   std::string(layout::blocksAttr) +
                   "\" with a character other than 0 and 1, or " +
                   std::string(layout::hpmChipAttr) +
                   " \"remote\" without an index)",
               error);
    }
    catch (const std::out_of_range& error)
    {
        thrown(call, "a driver attribute holds a number out of range", error);
    }
    catch (const std::filesystem::filesystem_error& error)
    {
        thrown(call, "cannot probe the driver's sysfs directory", error);
    }
    catch (const std::system_error& error)
    {
        thrown(call, "system error", error);
    }
    catch (const std::exception& error)
    {
        thrown(call, "unexpected error", error);
    }
}

} // namespace fpgatool
