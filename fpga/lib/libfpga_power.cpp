// SPDX-License-Identifier: Apache-2.0
// Power-action sources and the front-button enable of the HPM power block.

#include "base/device_layout.hpp"
#include "logging/lg2.hpp"

#include <libfpga.hpp>

#include <array>
#include <cstddef>
#include <cstdint>

namespace tavrin_fpga
{
namespace power = layout::power;

// The two readers below are shared by the exported functions; their journal
// entries name them, so they are functions of the library's namespace
// (hidden like every internal function).

/** Read the source register at @p offset and store its upper nibble in
 *  @p source; @p source keeps its value when the read fails. */
template <typename Source>
int getPowerActionSource(std::size_t offset, Source& source)
{
    std::array<char, 1> reg{};
    const int res = rawHpmNormalAccess(Operation::read, Block::power, offset,
                                       reg.size(), reg);
    if (res < 0)
    {
        lg2::error("rawHpmNormalAccess(read, power, {OFFSET}) res:{RES}\n",
                   "OFFSET", offset, "RES", res);
        return res;
    }
    source = static_cast<Source>(
        static_cast<std::uint8_t>(reg[0]) >> power::sourceShift);
    return 0;
}

/**
 * Report (@p set false) or change (@p set true) the front-button enable bit.
 *
 * A change rewrites the whole register byte as read with only the enable bit
 * flipped, and is skipped when the bit already has the wanted state.
 */
int frontButtonsEnabled(bool set, bool& enabled)
{
    std::array<char, 1> reg{};
    int res =
        rawHpmNormalAccess(Operation::read, Block::power,
                           layout::reg::frontButtons.offset, reg.size(), reg);
    if (res < 0)
    {
        lg2::error("rawHpmNormalAccess(read, power, 0xA) res:{RES}\n", "RES",
                   res);
        return res;
    }

    const auto current = static_cast<std::uint8_t>(reg[0]);
    const bool isEnabled = (current & power::frontButtonsEnable) != 0;
    if (!set)
    {
        enabled = isEnabled;
        return 0;
    }
    if (isEnabled == enabled)
    {
        return 0;
    }

    const auto wanted =
        enabled
            ? static_cast<std::uint8_t>(current | power::frontButtonsEnable)
            : static_cast<std::uint8_t>(current & ~power::frontButtonsEnable);
    reg[0] = static_cast<char>(wanted);
    res = rawHpmNormalAccess(Operation::write, Block::power,
                             layout::reg::frontButtons.offset, reg.size(), reg);
    if (res < 0)
    {
        lg2::error("rawHpmNormalAccess(write, power, 0xA) res:{RES}\n", "RES",
                   res);
        return res;
    }
    return 0;
}

int getPowerOnSource(PowerOnSource& source)
{
    return getPowerActionSource(layout::reg::onSource.offset, source);
}

int getPowerOffSource(PowerOffSource& source)
{
    return getPowerActionSource(layout::reg::offSource.offset, source);
}

int getPowerResetSource(PowerResetSource& source)
{
    return getPowerActionSource(layout::reg::resetSource.offset, source);
}

int getFrontButtonsEnabled(bool& enabled)
{
    return frontButtonsEnabled(false, enabled);
}

int setFrontButtonsEnabled(bool enabled)
{
    return frontButtonsEnabled(true, enabled);
}

} // namespace tavrin_fpga
