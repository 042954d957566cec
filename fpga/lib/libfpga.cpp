// SPDX-License-Identifier: Apache-2.0
// Interrupt status and thermal records of the FPGA that carries the HPM
// blocks.

#include "base/device_layout.hpp"
#include "logging/lg2.hpp"

#include <libfpga.hpp>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tavrin_fpga
{
namespace
{

/** Where one interrupt mask bit comes from: a byte of the interrupt block
 *  and the bit of that byte. */
struct InterruptSource
{
    std::uint8_t byteIndex;
    std::uint8_t mask;
};

/** byteIndex of a mask bit that has no source. */
constexpr std::uint8_t noSource = 255;

namespace reg = layout::reg;

constexpr std::size_t interruptBlockSize = reg::interrupts0.length;
static_assert(reg::interrupts1.length == interruptBlockSize);

/** Mask bit n of Interrupt::status0/status1 is set when entry n's bit is set
 *  in the block. Bit 63 has a mask that matches nothing. */
constexpr std::array<InterruptSource, 64> interruptBitMap{{
    // 0 - 7
    {noSource, 0xFF},
    {noSource, 0xFF},
    {0, 0x01},
    {0, 0x02},
    {0, 0x04},
    {0, 0x08},
    {noSource, 0xFF},
    {noSource, 0xFF},
    // 8 - 15
    {0, 0x10},
    {0, 0x20},
    {0, 0x40},
    {0, 0x80},
    {1, 0x01},
    {1, 0x02},
    {1, 0x04},
    {1, 0x08},
    // 16 - 23
    {1, 0x10},
    {1, 0x20},
    {1, 0x40},
    {1, 0x80},
    {2, 0x01},
    {2, 0x02},
    {2, 0x04},
    {2, 0x08},
    // 24 - 31
    {2, 0x10},
    {2, 0x20},
    {2, 0x40},
    {2, 0x80},
    {3, 0x01},
    {3, 0x02},
    {3, 0x04},
    {3, 0x08},
    // 32 - 39
    {3, 0x10},
    {3, 0x20},
    {3, 0x40},
    {3, 0x80},
    {4, 0x01},
    {4, 0x02},
    {4, 0x04},
    {4, 0x08},
    // 40 - 47
    {4, 0x10},
    {4, 0x20},
    {4, 0x40},
    {4, 0x80},
    {5, 0x01},
    {5, 0x02},
    {5, 0x04},
    {5, 0x08},
    // 48 - 55
    {5, 0x10},
    {5, 0x20},
    {5, 0x40},
    {5, 0x80},
    {6, 0x01},
    {6, 0x02},
    {6, 0x04},
    {6, 0x08},
    // 56 - 63
    {6, 0x10},
    {6, 0x20},
    {6, 0x40},
    {6, 0x80},
    {noSource, 0xFF},
    {noSource, 0xFF},
    {noSource, 0xFF},
    {0, 0x00},
}};

std::uint64_t decodeInterrupts(std::span<const char, interruptBlockSize> block)
{
    std::uint64_t status = 0;
    for (std::size_t bit = 0; bit < interruptBitMap.size(); ++bit)
    {
        const auto& [byteIndex, mask] = interruptBitMap[bit];
        if (byteIndex != noSource &&
            (static_cast<std::uint8_t>(block[byteIndex]) & mask) != 0)
        {
            status |= std::uint64_t{1} << bit;
        }
    }
    return status;
}

// Thermal block: a normal-mode header, then records read in ADI mode.
namespace thermal = layout::thermal;
constexpr std::size_t thermalRecordPage = 0;
constexpr std::size_t thermalRecordPageDataOffset = 0;
constexpr std::size_t thermalRecordSize = reg::thermalRecords.length;

Thermal toThermal(std::span<const char, thermal::entrySize> entry)
{
    auto byte = [&entry](std::size_t i) -> std::uint32_t {
        return static_cast<std::uint8_t>(entry[i]);
    };
    return Thermal{byte(0), byte(1), byte(2), byte(3), byte(4), byte(5)};
}

} // namespace

int getInterrupts(Interrupt& interrupt)
{
    std::array<char, interruptBlockSize> block0{};
    int res =
        rawHpmNormalAccess(Operation::read, Block::interrupt0,
                           reg::interrupts0.offset, block0.size(), block0);
    if (res != 0)
    {
        return res;
    }

    std::array<char, interruptBlockSize> block1{};
    res = rawHpmNormalAccess(Operation::read, Block::interrupt1,
                             reg::interrupts1.offset, block1.size(), block1);
    if (res != 0)
    {
        return res;
    }

    interrupt.status0 = decodeInterrupts(block0);
    interrupt.status1 = decodeInterrupts(block1);
    return 0;
}

int getThermals(std::vector<Thermal>& thermals)
{
    std::array<char, reg::thermalHeader.length> header{};
    int res =
        rawHpmNormalAccess(Operation::read, Block::thermal,
                           reg::thermalHeader.offset, header.size(), header);
    if (res != 0)
    {
        return res;
    }

    if ((static_cast<std::uint8_t>(header[thermal::adiFlagByte]) &
         thermal::adiFlag) == 0)
    {
        lg2::error("ADI mode is not supported.\n");
        return -EIO;
    }

    // An odd last entry has no record of its own and is not read.
    const std::size_t recordCount = thermal::recordCount(
        static_cast<std::uint8_t>(header[thermal::entryCountByte]));
    std::vector<char> records(recordCount * thermalRecordSize);
    res = rawHpmAdiAccess(Operation::read, Block::thermal,
                          reg::thermalRecords.offset, thermalRecordPage,
                          thermalRecordPageDataOffset, records.size(), records);
    if (res != 0)
    {
        return res;
    }

    thermals.clear();
    const std::span<const char> area(records);
    for (std::size_t record = 0; record < area.size();
         record += thermalRecordSize)
    {
        for (const std::size_t start : thermal::entryStarts)
        {
            thermals.push_back(toThermal(
                area.subspan(record + start).first<thermal::entrySize>()));
        }
    }
    return 0;
}

} // namespace tavrin_fpga
