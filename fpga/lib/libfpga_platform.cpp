// SPDX-License-Identifier: Apache-2.0
// Platform fan information (read from remote FPGA 0) and platform device
// presence (read from the local FPGA).

#include "base/decoder_layout.hpp"
#include "base/device_layout.hpp"
#include "logging/lg2.hpp"

#include <libfpga.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <source_location>
#include <span>

namespace tavrin_fpga
{
namespace
{

namespace reg = layout::reg;
using layout::Register;

// Fan registers of remote FPGA 0.
constexpr std::size_t fanFpgaIndex = 0;

int readFanRegister(const Register& fanRegister, std::span<char> buffer)
{
    return rawRemoteNormalAccess(fanFpgaIndex, Operation::read,
                                 fanRegister.block, fanRegister.offset,
                                 fanRegister.length, buffer);
}

namespace fans = layout::fans;

/** The positions of @p wiring, their codes decoded from @p fanBytes. */
void decodeFanTypes(const fans::Wiring& wiring,
                    std::span<const char, 2> fanBytes,
                    PlatformInformation& info)
{
    std::ranges::copy(wiring.codes, info.fanTypeCodes);
    info.fanCount = static_cast<std::uint8_t>(wiring.fields.size());
    for (std::size_t position = 0; position < wiring.fields.size(); ++position)
    {
        const auto& [byte, shift] = wiring.fields[position];
        info.fanTypes[position] =
            (static_cast<std::uint8_t>(fanBytes[byte]) >> shift) &
            fans::fieldMask;
    }
}

constexpr std::array<const char*, fans::type6FanCount> type6MixedFanMessages{
    nullptr,
    "Fans[1] type is {FAN_TYPE}, which is different from previous one, mixed fan installed on Tundo?",
    "Fans[2] type is {FAN_TYPE}, which is different from previous one, mixed fan installed on Tundo?",
    "Fans[3] type is {FAN_TYPE}, which is different from previous one, mixed fan installed on Tundo?",
};

int getType4Fans(PlatformInformation& info)
{
    std::array<char, 1> selector{};
    std::array<char, 1> config{};
    std::array<char, 2> fanBytes{};

    info.reserved = 0;
    std::ranges::copy(fans::type4Codes, info.fanTypeCodes);

    int res = readFanRegister(reg::fanSelector, selector);
    if (res < 0)
    {
        return res;
    }
    res = readFanRegister(reg::fanConfig, config);
    if (res < 0)
    {
        return res;
    }

    const auto configByte = static_cast<std::uint8_t>(config[0]);
    const std::uint8_t fanConfig =
        static_cast<std::uint8_t>(selector[0]) < fans::type4WideSelector
            ? fans::type4NarrowFanConfigs[configByte %
                                          fans::type4NarrowFanConfigs.size()]
            : fans::type4WideFanConfigs[configByte %
                                        fans::type4WideFanConfigs.size()];
    if (fanConfig != fans::keepFanConfig)
    {
        info.fanConfig = fanConfig;
    }

    res = readFanRegister(reg::fanTypes, fanBytes);
    if (res < 0)
    {
        return res;
    }

    // The caller's own fanConfig decides when the configuration byte did not.
    if (info.fanConfig == 1 && configByte == fans::type4SecondWiringConfig)
    {
        decodeFanTypes(fans::type4Second, fanBytes, info);
    }
    else if (info.fanConfig == 1)
    {
        decodeFanTypes(fans::type4First, fanBytes, info);
    }
    else if (info.fanConfig == 2)
    {
        decodeFanTypes(fans::type4SixFans, fanBytes, info);
    }
    return 0;
}

int getType5Fans(PlatformInformation& info, const std::source_location& where)
{
    std::array<char, 1> config{};
    std::array<char, 2> fanBytes{};

    std::ranges::copy(fans::type5Codes, info.fanTypeCodes);
    info.fanCount = fans::type5Fields.size();
    info.reserved = 0;

    int res = readFanRegister(reg::fanConfig, config);
    if (res < 0)
    {
        return res;
    }
    const auto configByte = static_cast<std::uint8_t>(config[0]);
    if (configByte < fans::type5FanConfigs.size())
    {
        info.fanConfig = fans::type5FanConfigs[configByte];
    }

    // Until the fan bytes are read every position reads as empty.
    std::fill_n(std::begin(info.fanTypes), info.fanCount, info.fanTypeCodes[0]);

    res = readFanRegister(reg::fanTypes, fanBytes);
    if (res < 0)
    {
        return res;
    }
    decodeFanTypes(fans::type5, fanBytes, info);

    lg2::error(where, "tq310v2or320v2 fan types: {FAN_TYPE}", "FAN_TYPE",
               static_cast<int>(info.fanTypeCodes[0]));
    return 0;
}

int getType6Fans(PlatformInformation& info, const std::source_location& where)
{
    std::array<char, 2> status{};

    std::ranges::copy(fans::type6Codes, info.fanTypeCodes);
    info.fanCount = fans::type6FanCount;
    info.reserved = 0;
    std::fill_n(std::begin(info.fanTypes), fans::type6FanCount, 0);

    const int res = readFanRegister(reg::fanStatus, status);
    if (res < 0)
    {
        return res;
    }

    const auto statusByte = static_cast<std::uint8_t>(status[0]);
    // The empty code never counts as a previous fan, so position 0 and the
    // first occupied position are never warned about.
    std::uint8_t previous = info.fanTypeCodes[0];
    for (std::size_t position = 0; position < fans::type6FanCount; ++position)
    {
        if ((statusByte & (1U << position)) == 0)
        {
            continue;
        }
        const auto code = static_cast<std::uint8_t>(
            (statusByte >> position) & fans::type6CodeMask);
        info.fanTypes[position] = code;
        if (position != 0 && previous != 0 && code != previous)
        {
            lg2::error(where, type6MixedFanMessages[position], "FAN_TYPE",
                       static_cast<unsigned>(code));
        }
        previous = code;
    }
    return 0;
}

constexpr std::size_t presenceRegisterSize = reg::presence.length;

} // namespace

int getPlatform(PLAT_INFO& info)
{
    const int platformType = getPlatformType();
    switch (platformType)
    {
        case 4:
            return getType4Fans(info);
        case 5:
            return getType5Fans(info, std::source_location::current());
        case 6:
            return getType6Fans(info, std::source_location::current());
        default:
            lg2::error(
                "Unsupported platform(type = {PLAT_TYPE}) found while retrieving fan types.",
                "PLAT_TYPE", platformType);
            return -ENODATA;
    }
}

int getPlatDevPresence(PlatDevPresence& presence)
{
    const int platformType = getPlatformType();
    const auto& layouts = layout::presence::byPlatformType;
    if (platformType < 0 ||
        static_cast<std::size_t>(platformType) >= layouts.size())
    {
        return -ENODATA;
    }

    std::array<char, presenceRegisterSize> regs{};
    const int res = rawNormalAccess(Operation::read, reg::presence.block,
                                    reg::presence.offset, regs.size(), regs);
    if (res < 0)
    {
        return res;
    }

    PlatDevPresence decoded{};
    for (const auto& [field, byte, mask, shift] : layouts[platformType])
    {
        decoded.*layout::presence::fields[field].member |=
            static_cast<std::uint32_t>(
                static_cast<std::uint8_t>(regs[byte]) & mask)
            << shift;
    }
    presence = decoded;
    return 0;
}

} // namespace tavrin_fpga
