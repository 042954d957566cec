// SPDX-License-Identifier: Apache-2.0
// Calls of lg2 that must build, and calls that must not, one per CALLS
// value. Real lg2 checks field names and the message when the call is
// compiled; the library's own logging layer must refuse the same calls, so
// that a call which would break a BMC build breaks every build.

#include "logging/lg2.hpp"

#include <cstdint>
#include <source_location>
#include <string>
#include <utility>

namespace
{

#if CALLS == 0 // accepted: every form and value kind the library uses

[[maybe_unused]] void accepted(const std::source_location& where)
{
    const std::string path = "/dev/fpga-r0";
    lg2::error("Invalid block:{BLOCK}\n", "BLOCK", std::size_t{64});
    lg2::error(where, "RMT:{R} Chip{ID} not detected\n", "R", true, "ID", 3);
    lg2::error(where, "ADI mode is not supported.\n");
    lg2::error("Failed to open {DEV}\n", "DEV", path, "RES", -5);
    lg2::error("{V}", "V", lg2::hex | lg2::field8, std::uint8_t{0x4b});
}

#elif CALLS == 1 // a name forwarded through a function parameter

template <typename... Ts>
void forward(const std::source_location& where, const char* format, Ts&&... ts)
{
    lg2::error(where, format, std::forward<Ts>(ts)...);
}

[[maybe_unused]] void forwarded()
{
    forward(std::source_location::current(), "{BLOCK}", "BLOCK", 1);
}

#elif CALLS == 2 // a name that is a variable, not a constant

[[maybe_unused]] void variableName()
{
    const char* name = "BLOCK";
    lg2::error("{BLOCK}", name, 1);
}

#elif CALLS == 3 // an empty name

[[maybe_unused]] void emptyName()
{
    lg2::error("x", "", 1);
}

#elif CALLS == 4 // a name starting with '_'

[[maybe_unused]] void underscoreName()
{
    lg2::error("x", "_BLOCK", 1);
}

#elif CALLS == 5 // a name with a lower-case letter

[[maybe_unused]] void lowerCaseName()
{
    lg2::error("x", "Block", 1);
}

#elif CALLS == 6 // a name lg2 writes itself

[[maybe_unused]] void reservedName()
{
    lg2::error("x", "CODE_FUNC", 1);
}

#elif CALLS == 7 // a message that is not a const char*

[[maybe_unused]] void stringMessage()
{
    const std::string message = "x";
    lg2::error(message, "BLOCK", 1);
}

#elif CALLS == 8 // a flag the value's kind does not take

[[maybe_unused]] void prohibitedFlag()
{
    lg2::error("x", "BLOCK", lg2::str, 1);
}

#endif

} // namespace
