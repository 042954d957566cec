// SPDX-License-Identifier: Apache-2.0
// Platform fan information (read from remote FPGA 0) and platform device
// presence (read from the local FPGA).

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

using FanTypeCodes = std::array<std::uint8_t, 4>;

// fanTypeCodes: the code of an empty position, then of fan kinds 1 to 3;
// 0xff for a kind the platform does not have.
constexpr FanTypeCodes type4FanTypeCodes{0x03, 0x01, 0x02, 0x00};
constexpr FanTypeCodes type4SecondWiringFanTypeCodes{0x03, 0x02, 0xff, 0xff};
constexpr FanTypeCodes type5FanTypeCodes{0x03, 0x00, 0x01, 0x02};
constexpr FanTypeCodes type6FanTypeCodes{0x00, 0xff, 0x11, 0x01};

/** fanConfig value that leaves the caller's value in place. */
constexpr std::uint8_t keepFanConfig = 0;

// Type 4: fanConfig by the low bits of the configuration byte, one table for
// selectors 0 and 1 (bits 1-0), one for selectors 2 and up (bits 2-0).
constexpr std::uint8_t type4WideSelector = 2;
constexpr std::array<std::uint8_t, 4> type4NarrowFanConfigs{
    2, 1, keepFanConfig, keepFanConfig};
constexpr std::array<std::uint8_t, 8> type4WideFanConfigs{
    1, 2, 1, 2, keepFanConfig, keepFanConfig, keepFanConfig, keepFanConfig};
/** With fanConfig 1, this whole configuration byte selects the second
 *  wiring. */
constexpr std::uint8_t type4SecondWiringConfig = 2;

// Type 5: fanConfig by the whole configuration byte.
constexpr std::array<std::uint8_t, 2> type5FanConfigs{2, 3};

/** A 2-bit fan-type field: byte 0 is register 11, byte 1 register 12. */
struct FanField
{
    std::uint8_t byte;
    std::uint8_t shift;
};
constexpr std::uint8_t fanFieldMask = 0x03;
constexpr std::uint8_t reg11 = 0;
constexpr std::uint8_t reg12 = 1;

// Fan position n takes entry n of its wiring.
constexpr std::array<FanField, 6> type4SixFanWiring{
    {{reg12, 2}, {reg12, 0}, {reg11, 6}, {reg11, 4}, {reg11, 2}, {reg11, 0}}};
constexpr std::array<FanField, 8> type4FirstWiring{
    {{reg12, 2},
     {reg12, 2},
     {reg12, 0},
     {reg12, 0},
     {reg11, 4},
     {reg11, 4},
     {reg11, 2},
     {reg11, 2}}};
constexpr std::array<FanField, 8> type4SecondWiring{
    {{reg12, 2},
     {reg12, 2},
     {reg11, 6},
     {reg11, 6},
     {reg11, 2},
     {reg11, 2},
     {reg11, 0},
     {reg11, 0}}};
constexpr std::array<FanField, 6> type5Wiring{
    {{reg11, 0}, {reg11, 2}, {reg11, 4}, {reg11, 6}, {reg12, 0}, {reg12, 2}}};

void decodeFanTypes(std::span<const FanField> wiring,
                    std::span<const char, 2> fanBytes,
                    PlatformInformation& info)
{
    info.fanCount = static_cast<std::uint8_t>(wiring.size());
    for (std::size_t position = 0; position < wiring.size(); ++position)
    {
        const auto& [byte, shift] = wiring[position];
        info.fanTypes[position] =
            (static_cast<std::uint8_t>(fanBytes[byte]) >> shift) & fanFieldMask;
    }
}

// Type 6: one status byte; bit n marks an occupied position n, bit n + 4 the
// kind of its fan.
constexpr std::size_t type6FanCount = 4;
constexpr std::uint8_t type6FanCodeMask = 0x11;
constexpr std::array<const char*, type6FanCount> type6MixedFanMessages{
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
    std::ranges::copy(type4FanTypeCodes, info.fanTypeCodes);

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
        static_cast<std::uint8_t>(selector[0]) < type4WideSelector
            ? type4NarrowFanConfigs[configByte % type4NarrowFanConfigs.size()]
            : type4WideFanConfigs[configByte % type4WideFanConfigs.size()];
    if (fanConfig != keepFanConfig)
    {
        info.fanConfig = fanConfig;
    }

    res = readFanRegister(reg::fanTypes, fanBytes);
    if (res < 0)
    {
        return res;
    }

    // The caller's own fanConfig decides when the configuration byte did not.
    if (info.fanConfig == 1 && configByte == type4SecondWiringConfig)
    {
        std::ranges::copy(type4SecondWiringFanTypeCodes, info.fanTypeCodes);
        decodeFanTypes(type4SecondWiring, fanBytes, info);
    }
    else if (info.fanConfig == 1)
    {
        decodeFanTypes(type4FirstWiring, fanBytes, info);
    }
    else if (info.fanConfig == 2)
    {
        decodeFanTypes(type4SixFanWiring, fanBytes, info);
    }
    return 0;
}

int getType5Fans(PlatformInformation& info, const std::source_location& where)
{
    std::array<char, 1> config{};
    std::array<char, 2> fanBytes{};

    std::ranges::copy(type5FanTypeCodes, info.fanTypeCodes);
    info.fanCount = type5Wiring.size();
    info.reserved = 0;

    int res = readFanRegister(reg::fanConfig, config);
    if (res < 0)
    {
        return res;
    }
    const auto configByte = static_cast<std::uint8_t>(config[0]);
    if (configByte < type5FanConfigs.size())
    {
        info.fanConfig = type5FanConfigs[configByte];
    }

    // Until the fan bytes are read every position reads as empty.
    std::fill_n(std::begin(info.fanTypes), info.fanCount, info.fanTypeCodes[0]);

    res = readFanRegister(reg::fanTypes, fanBytes);
    if (res < 0)
    {
        return res;
    }
    decodeFanTypes(type5Wiring, fanBytes, info);

    lg2::error(where, "tq310v2or320v2 fan types: {FAN_TYPE}", "FAN_TYPE",
               static_cast<int>(info.fanTypeCodes[0]));
    return 0;
}

int getType6Fans(PlatformInformation& info, const std::source_location& where)
{
    std::array<char, 2> status{};

    std::ranges::copy(type6FanTypeCodes, info.fanTypeCodes);
    info.fanCount = type6FanCount;
    info.reserved = 0;
    std::fill_n(std::begin(info.fanTypes), type6FanCount, 0);

    const int res = readFanRegister(reg::fanStatus, status);
    if (res < 0)
    {
        return res;
    }

    const auto statusByte = static_cast<std::uint8_t>(status[0]);
    // The empty code never counts as a previous fan, so position 0 and the
    // first occupied position are never warned about.
    std::uint8_t previous = info.fanTypeCodes[0];
    for (std::size_t position = 0; position < type6FanCount; ++position)
    {
        if ((statusByte & (1U << position)) == 0)
        {
            continue;
        }
        const auto code = static_cast<std::uint8_t>(
            (statusByte >> position) & type6FanCodeMask);
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

/** One group of presence bits: @p mask of register byte @p byte, shifted
 *  left by @p shift into @p member. */
struct PresenceBits
{
    std::uint32_t PlatDevPresence::*member;
    std::uint8_t byte;
    std::uint8_t mask;
    std::uint8_t shift;
};

constexpr std::size_t presenceRegisterSize = reg::presence.length;

// Bytes 9 and 13 are not presence bytes on either platform.
constexpr std::array<PresenceBits, 14> type0Presence{{
    {&PlatDevPresence::presence0, 0, 0xFF, 0},
    {&PlatDevPresence::presence0, 1, 0xFF, 8},
    {&PlatDevPresence::presence0, 2, 0xFF, 16},
    {&PlatDevPresence::presence0, 3, 0xFF, 24},
    {&PlatDevPresence::presence1, 4, 0xFF, 0},
    {&PlatDevPresence::presence1, 5, 0xFF, 8},
    {&PlatDevPresence::presence1, 6, 0xFF, 16},
    {&PlatDevPresence::presence1, 7, 0xFF, 24},
    {&PlatDevPresence::presence2, 8, 0xFF, 0},
    {&PlatDevPresence::presence3, 10, 0xFF, 0},
    {&PlatDevPresence::presence3, 11, 0xFF, 8},
    {&PlatDevPresence::presence4, 15, 0x0F, 4},
    {&PlatDevPresence::presence5, 14, 0x7F, 0},
    {&PlatDevPresence::presence6, 12, 0xFF, 0},
}};

// Type 1 has fewer devices: presence1 is masked with 0xef776c3f, presence3
// keeps 13 bits, presence4 is regrouped and presence5 stays 0.
constexpr std::array<PresenceBits, 14> type1Presence{{
    {&PlatDevPresence::presence0, 0, 0xFF, 0},
    {&PlatDevPresence::presence0, 1, 0xFF, 8},
    {&PlatDevPresence::presence0, 2, 0xFF, 16},
    {&PlatDevPresence::presence0, 3, 0xFF, 24},
    {&PlatDevPresence::presence1, 4, 0x3F, 0},
    {&PlatDevPresence::presence1, 5, 0x6C, 8},
    {&PlatDevPresence::presence1, 6, 0x77, 16},
    {&PlatDevPresence::presence1, 7, 0xEF, 24},
    {&PlatDevPresence::presence2, 8, 0xFF, 0},
    {&PlatDevPresence::presence3, 10, 0xFF, 0},
    {&PlatDevPresence::presence3, 11, 0x1F, 8},
    {&PlatDevPresence::presence4, 14, 0x0F, 0},
    {&PlatDevPresence::presence4, 15, 0x08, 4},
    {&PlatDevPresence::presence6, 12, 0xFF, 0},
}};

/** Presence layout by platform type; other types have none. */
constexpr std::array<std::span<const PresenceBits>, 2> presenceLayouts{
    type0Presence, type1Presence};

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
    if (platformType < 0 ||
        static_cast<std::size_t>(platformType) >= presenceLayouts.size())
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
    for (const auto& [member, byte, mask, shift] :
         presenceLayouts[platformType])
    {
        decoded.*member |= static_cast<std::uint32_t>(
                               static_cast<std::uint8_t>(regs[byte]) & mask)
                           << shift;
    }
    presence = decoded;
    return 0;
}

} // namespace tavrin_fpga
