// SPDX-License-Identifier: Apache-2.0
// read, write and dump: the bytes of registers, through the chip's transfer
// call.

#include "fpgatool.hpp"

#include <libfpga.hpp>

namespace fpgatool
{
namespace
{

using layout::Mode;
using tavrin_fpga::Operation;

/** The call transfer() would make, with its arguments, e.g.
 *  "rawRemoteNormalAccess(2, write, 4, 11, 1, [0xaa])". */
std::string describeWrite(const Chip& chip, const Address& a,
                          std::span<const char> buffer)
{
    std::string text = std::string(transferName(chip, a.mode)) + "(";
    text += chip.kind == Chip::Kind::remote
                ? std::to_string(chip.fpga.index) + ", "
                : "";
    text += "write, " + std::to_string(a.block) + ", " +
            std::to_string(a.offset) + ", ";
    text +=
        a.mode == Mode::adi
            ? pageText(a.page) + ", " + std::to_string(a.pageDataOffset) + ", "
            : "";
    return text + std::to_string(buffer.size()) + ", [" +
           joined(buffer, ", ",
                  [](char byte) {
                      return hex(static_cast<std::uint8_t>(byte), 2);
                  }) +
           "])";
}

/** The fields that say where an access goes; in JSON only. */
Report addressed(const Chip& chip, const Address& a)
{
    constexpr auto hidden = Report::Shown::hidden;
    const bool adi = a.mode == Mode::adi;
    Report report;
    report.field("chip", plain(chip.name), hidden)
        .field("fpga", plain(chip.fpga.name), hidden)
        .field("mode", plain(adi ? "adi" : "normal"), hidden)
        .field("block", number(a.block), hidden)
        .field("offset", number(a.offset), hidden)
        .field("page", adi ? number(a.page) : none(), hidden)
        .field("pageDataOffset", adi ? number(a.pageDataOffset) : none(),
               hidden)
        .field("node", plain(nodeOf(chip.fpga, a.mode).path), hidden)
        .field("position", number(positionOf(chip.fpga, a)), hidden);
    return report;
}

/** The bytes of write: as given, or with --mask the bits of the mask from
 *  them and the others from @p current. */
std::vector<char> bytesToWrite(const Args& args, std::span<const char> current)
{
    std::vector<char> buffer(args.bytes.begin(), args.bytes.end());
    for (std::size_t i = 0; args.mask && i < buffer.size(); ++i)
    {
        buffer[i] = static_cast<char>(
            (current[i] & ~*args.mask) | (args.bytes[i] & *args.mask));
    }
    return buffer;
}

void verifyWrite(const Chip& chip, const Address& a,
                 const std::vector<char>& written)
{
    std::vector<char> readBack(written.size());
    try
    {
        transfer(chip, Operation::read, a, readBack);
    }
    catch (const Failure& failure)
    {
        throw Failure("verify",
                      "verify: wrote " + bytes(written).text +
                          ", then the read back failed: " + failure.what());
    }
    if (readBack != written)
    {
        throw Failure("verify", "verify: wrote " + bytes(written).text +
                                    ", read back " + bytes(readBack).text);
    }
}

/** What write asks on a terminal: the bytes, or with --mask the bits it
 *  sets and their values, and where they go. */
std::string writeQuestion(const Chip& chip, const Address& a, const Args& args)
{
    std::vector<char> masked(args.bytes.begin(), args.bytes.end());
    for (char& byte : masked)
    {
        byte = static_cast<char>(byte & args.mask.value_or(0xFF));
    }
    const std::string where =
        chip.name + " block " + std::to_string(a.block) + " offset " +
        std::to_string(a.offset) + " (" +
        std::string(nodeOf(chip.fpga, a.mode).path) + " position " +
        hex(positionOf(chip.fpga, a), hexDigits(layout::window(a.mode) - 1)) +
        ")";
    return args.mask ? "Set the bits " + hex(*args.mask, 2) +
                           " of each byte to " + bytes(masked).text + " at " +
                           where + ", keeping the others?"
                     : "Write " + bytes(masked).text + " to " + where + "?";
}

} // namespace

Report readRegisters(const Args& args)
{
    const Chip chip = chipOf(args.chip);
    checkTransfer(chip, args.address, args.count, args, "read");
    std::vector<char> buffer(args.count);
    transfer(chip, Operation::read, args.address, buffer);
    return addressed(chip, args.address)
        .field("bytes", bytes(buffer), Report::Shown::bare);
}

Report writeRegisters(const Args& args)
{
    const Chip chip = chipOf(args.chip);
    const Address& a = args.address;
    checkTransfer(chip, a, args.bytes.size(), args, "write");
    if (!args.dryRun)
    {
        // Asked before the read of --mask, so that the bits outside the
        // mask are read right before the write, not before the answer.
        confirm(args, writeQuestion(chip, a, args), "write", "nothing written");
    }
    // From the read of --mask to the read of --verify.
    const auto lock =
        args.dryRun ? nullptr : lockNode(nodeOf(chip.fpga, a.mode).path);
    std::vector<char> current(args.mask ? args.bytes.size() : 0);
    if (args.mask)
    {
        transfer(chip, Operation::read, a, current);
    }
    const std::vector<char> buffer = bytesToWrite(args, current);
    Report report = addressed(chip, a);
    report
        .field("current", args.mask ? bytes(current) : none(),
               args.mask && args.dryRun ? Report::Shown::labelled
                                        : Report::Shown::hidden)
        .field("bytes", bytes(buffer), Report::Shown::hidden)
        .field("dryRun", flag(args.dryRun), Report::Shown::hidden);
    if (args.dryRun)
    {
        return report.field("wouldCall", plain(describeWrite(chip, a, buffer)));
    }
    std::vector<char> written = buffer;
    transfer(chip, Operation::write, a, written);
    if (args.verify)
    {
        verifyWrite(chip, a, buffer);
    }
    return report.field("verified", args.verify ? flag(true) : none(),
                        Report::Shown::hidden);
}

Report dumpChip(const Args& args)
{
    const Chip chip = chipOf(args.chip);
    if (!detected(chip.fpga))
    {
        throw Failure("chipDetected",
                      "chipDetected: " + std::string(chip.fpga.name) +
                          " is not detected; nothing to dump");
    }
    Report report;
    const auto rows =
        readEnabledBlocks(chip, [&](std::size_t, const Failure& failure) {
            report.problems.push_back(failure);
        });
    return report.field("chip", plain(chip.name))
        .field("fpga", plain(chip.fpga.name))
        .field("node", plain(nodeOf(chip.fpga, Mode::normal).path))
        .dump("blocks", rows);
}

} // namespace fpgatool
