// SPDX-License-Identifier: Apache-2.0
#pragma once

// How getPlatform() and getPlatDevPresence() decode their registers: the fan
// wirings and codes per platform type and the presence byte map, as data
// that tools/registers-doc prints into docs/registers.md. Not installed.

#include "base/device_layout.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace tavrin_fpga::layout
{

/**
 * The fan positions of a platform, as getPlatform() reads them from remote
 * FPGA 0: on types 4 and 5 a 2-bit code per position in reg::fanTypes,
 * wired by the fan configuration; on type 6 reg::fanStatus.
 */
namespace fans
{
/** fanTypeCodes: the code of an empty position, then of fan kinds 1 to 3;
 *  noKind for a kind the platform does not have. */
using TypeCodes = std::array<std::uint8_t, 4>;
inline constexpr std::uint8_t noKind = 0xff;

/** A 2-bit fan-type field of reg::fanTypes: its byte (0: register 11,
 *  1: register 12) and the position of its low bit. */
struct Field
{
    std::uint8_t byte;
    std::uint8_t shift;
};
inline constexpr std::uint8_t fieldMask = 0x03;
inline constexpr std::uint8_t reg11 = 0;
inline constexpr std::uint8_t reg12 = 1;

/** Where each fan position of a platform type reads its code: position n
 *  takes fields[n]. */
struct Wiring
{
    int platformType;
    std::string_view when; ///< the fan configuration that selects it
    TypeCodes codes;
    std::span<const Field> fields;
};

// clang-format off
inline constexpr std::array<Field, 6> type4SixFanFields{{
    {reg12, 2}, {reg12, 0}, {reg11, 6}, {reg11, 4}, {reg11, 2}, {reg11, 0}}};
inline constexpr std::array<Field, 8> type4FirstFields{{
    {reg12, 2}, {reg12, 2}, {reg12, 0}, {reg12, 0},
    {reg11, 4}, {reg11, 4}, {reg11, 2}, {reg11, 2}}};
inline constexpr std::array<Field, 8> type4SecondFields{{
    {reg12, 2}, {reg12, 2}, {reg11, 6}, {reg11, 6},
    {reg11, 2}, {reg11, 2}, {reg11, 0}, {reg11, 0}}};
inline constexpr std::array<Field, 6> type5Fields{{
    {reg11, 0}, {reg11, 2}, {reg11, 4}, {reg11, 6}, {reg12, 0}, {reg12, 2}}};
// clang-format on

inline constexpr TypeCodes type4Codes{0x03, 0x01, 0x02, 0x00};
inline constexpr TypeCodes type4SecondCodes{0x03, 0x02, noKind, noKind};
inline constexpr TypeCodes type5Codes{0x03, 0x00, 0x01, 0x02};
inline constexpr TypeCodes type6Codes{0x00, noKind, 0x11, 0x01};

inline constexpr Wiring type4SixFans{4, "fanConfig 2", type4Codes,
                                     type4SixFanFields};
inline constexpr Wiring type4First{
    4, "fanConfig 1, configuration byte other than 2", type4Codes,
    type4FirstFields};
inline constexpr Wiring type4Second{4, "fanConfig 1, configuration byte 2",
                                    type4SecondCodes, type4SecondFields};
inline constexpr Wiring type5{5, "any fanConfig", type5Codes, type5Fields};

/** Every wiring, for those who list them. */
inline constexpr std::array<Wiring, 4> wirings{type4SixFans, type4First,
                                               type4Second, type5};

/** A fanConfig that leaves the caller's value in place. */
inline constexpr std::uint8_t keepFanConfig = 0;
/** Type 4: fanConfig by the configuration byte (reg::fanConfig), modulo
 *  the table's size: the narrow table while the selector (reg::fanSelector)
 *  is below type4WideSelector, else the wide one. Other fanConfigs have no
 *  wiring: no positions. */
inline constexpr std::uint8_t type4WideSelector = 2;
inline constexpr std::array<std::uint8_t, 4> type4NarrowFanConfigs{
    2, 1, keepFanConfig, keepFanConfig};
inline constexpr std::array<std::uint8_t, 8> type4WideFanConfigs{
    1, 2, 1, 2, keepFanConfig, keepFanConfig, keepFanConfig, keepFanConfig};
/** With fanConfig 1, this configuration byte selects type4Second. */
inline constexpr std::uint8_t type4SecondWiringConfig = 2;
/** Type 5: fanConfig by the configuration byte, when below the size. */
inline constexpr std::array<std::uint8_t, 2> type5FanConfigs{2, 3};

/** Type 6: one status byte; bit n set marks position n occupied, and the
 *  byte shifted right by n, masked with type6CodeMask (bits n and n + 4),
 *  is its code. */
inline constexpr std::size_t type6FanCount = 4;
inline constexpr std::uint8_t type6CodeMask = 0x11;
} // namespace fans

/** Where getPlatDevPresence() finds each device-presence bit in the bytes of
 *  reg::presence, by platform type. */
namespace presence
{
/** A field of PlatDevPresence and its name. */
struct Field
{
    std::string_view name;
    std::uint32_t PlatDevPresence::*member;
};
inline constexpr std::array<Field, 7> fields{{
    {"presence0", &PlatDevPresence::presence0},
    {"presence1", &PlatDevPresence::presence1},
    {"presence2", &PlatDevPresence::presence2},
    {"presence3", &PlatDevPresence::presence3},
    {"presence4", &PlatDevPresence::presence4},
    {"presence5", &PlatDevPresence::presence5},
    {"presence6", &PlatDevPresence::presence6},
}};

/** One group of presence bits: @p mask of register byte @p byte, shifted
 *  left by @p shift into the field fields[field]. */
struct Bits
{
    std::uint8_t field;
    std::uint8_t byte;
    std::uint8_t mask;
    std::uint8_t shift;
};

// clang-format off
/** Type 0. Bytes 9 and 13 are presence bytes on neither type. */
inline constexpr std::array<Bits, 14> type0{{
    {0, 0, 0xFF, 0}, {0, 1, 0xFF, 8}, {0, 2, 0xFF, 16}, {0, 3, 0xFF, 24},
    {1, 4, 0xFF, 0}, {1, 5, 0xFF, 8}, {1, 6, 0xFF, 16}, {1, 7, 0xFF, 24},
    {2, 8, 0xFF, 0},
    {3, 10, 0xFF, 0}, {3, 11, 0xFF, 8},
    {4, 15, 0x0F, 4},
    {5, 14, 0x7F, 0},
    {6, 12, 0xFF, 0},
}};
/** Type 1 has fewer devices: presence1 masked with 0xef776c3f, presence3
 *  of 13 bits, presence4 regrouped, presence5 always 0. */
inline constexpr std::array<Bits, 14> type1{{
    {0, 0, 0xFF, 0}, {0, 1, 0xFF, 8}, {0, 2, 0xFF, 16}, {0, 3, 0xFF, 24},
    {1, 4, 0x3F, 0}, {1, 5, 0x6C, 8}, {1, 6, 0x77, 16}, {1, 7, 0xEF, 24},
    {2, 8, 0xFF, 0},
    {3, 10, 0xFF, 0}, {3, 11, 0x1F, 8},
    {4, 14, 0x0F, 0}, {4, 15, 0x08, 4},
    {6, 12, 0xFF, 0},
}};
// clang-format on

/** The map of platform type N is byPlatformType[N]; other types have
 *  none. */
inline constexpr std::array<std::span<const Bits>, 2> byPlatformType{
    type0, type1};
} // namespace presence

} // namespace tavrin_fpga::layout
