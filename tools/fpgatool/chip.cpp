// SPDX-License-Identifier: Apache-2.0
// The chips of the command line, the library calls that move their bytes,
// and the checks made before any byte moves.

#include "fpgatool.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <libfpga.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <iostream>

namespace fpgatool
{
namespace
{

namespace lib = tavrin_fpga;
using layout::Mode;
using lib::Location;
using lib::Operation;

using Run = int (*)(std::size_t index, Operation op, const Address& a,
                    std::span<char> buffer);

/** A library call that moves bytes, by the kind of chip and the mode. For
 *  "hpm" the block is passed as a Block, which the library translates. */
struct TransferCall
{
    Chip::Kind kind;
    Mode mode;
    std::string_view name;
    Run run;
};

constexpr std::array<TransferCall, 6> transferCalls = {{
    {Chip::Kind::local, Mode::normal, "rawNormalAccess",
     [](std::size_t, Operation op, const Address& a, std::span<char> b) {
         return lib::rawNormalAccess(op, a.block, a.offset, b.size(), b);
     }},
    {Chip::Kind::local, Mode::adi, "rawAdiAccess",
     [](std::size_t, Operation op, const Address& a, std::span<char> b) {
         return lib::rawAdiAccess(op, a.block, a.offset, a.page,
                                  a.pageDataOffset, b.size(), b);
     }},
    {Chip::Kind::remote, Mode::normal, "rawRemoteNormalAccess",
     [](std::size_t i, Operation op, const Address& a, std::span<char> b) {
         return lib::rawRemoteNormalAccess(i, op, a.block, a.offset, b.size(),
                                           b);
     }},
    {Chip::Kind::remote, Mode::adi, "rawRemoteAdiAccess",
     [](std::size_t i, Operation op, const Address& a, std::span<char> b) {
         return lib::rawRemoteAdiAccess(i, op, a.block, a.offset, a.page,
                                        a.pageDataOffset, b.size(), b);
     }},
    {Chip::Kind::hpm, Mode::normal, "rawHpmNormalAccess",
     [](std::size_t, Operation op, const Address& a, std::span<char> b) {
         return lib::rawHpmNormalAccess(op, static_cast<lib::Block>(a.block),
                                        a.offset, b.size(), b);
     }},
    {Chip::Kind::hpm, Mode::adi, "rawHpmAdiAccess",
     [](std::size_t, Operation op, const Address& a, std::span<char> b) {
         return lib::rawHpmAdiAccess(op, static_cast<lib::Block>(a.block),
                                     a.offset, a.page, a.pageDataOffset,
                                     b.size(), b);
     }},
}};

const TransferCall& transferCall(const Chip& chip, Mode mode)
{
    return *std::ranges::find_if(transferCalls, [&](const TransferCall& c) {
        return c.kind == chip.kind && c.mode == mode;
    });
}

std::bitset<64> enabledBlocks(const Fpga& fpga)
{
    return guarded("getSupportedBlocks", [&] {
        return lib::getSupportedBlocks(fpga.location, fpga.index);
    });
}

/** Refuses an ADI transfer on a remote FPGA (also "hpm" on one) whose
 *  bytes reach a page above 0xFFF: a remote ADI node carries only the low
 *  12 bits of the page, so the node would get another page than the one
 *  asked for. */
void checkRemotePage(const Chip& chip, const Address& a, std::size_t count,
                     std::string_view verb)
{
    if (a.mode != Mode::adi || chip.fpga.location != Location::remote)
    {
        return;
    }
    const std::string where =
        " on " + chip.name +
        (chip.kind == Chip::Kind::hpm ? " (" + std::string(chip.fpga.name) + ")"
                                      : "") +
        ": the remote ADI page is 12 bits (0-0xFFF)";
    if (a.page > layout::remotePageMask)
    {
        throw UsageError(std::string(verb) + ": --page: " + pageText(a.page) +
                         " is out of range" + where + "; see fpgatool " +
                         std::string(verb) + " --help");
    }
    if (!layout::onRemotePages(a.page, a.pageDataOffset, count))
    {
        throw UsageError(
            std::string(verb) + ": " + std::to_string(count) +
            " bytes from page " + pageText(a.page) + " page offset " +
            std::to_string(a.pageDataOffset) + " run past page 0xFFF" + where +
            "; see fpgatool " + std::string(verb) + " --help");
    }
}

/** Refuses the HPM FPGA @p hpm when its interface version has no block
 *  table: the library would move the bytes of block 0 instead. */
void requireBlockTable(const Fpga& hpm)
{
    const std::uint32_t version = guarded("getIfaceVer", [&] {
        return lib::getIfaceVer(hpm.location, hpm.index);
    });
    const auto& tables = layout::blockTranslations;
    if (std::ranges::find(tables, version,
                          &layout::BlockTranslation::ifaceVer) != tables.end())
    {
        return;
    }
    const std::string versions =
        joined(tables, ", ", [](const layout::BlockTranslation& translation) {
            return hex(translation.ifaceVer, 1);
        });
    throw Failure("getIfaceVer",
                  "getIfaceVer: the interface version " + hex(version, 1) +
                      " of the HPM FPGA (" + std::string(hpm.name) +
                      ") has no block table (" + versions +
                      " have; a missing or malformed " +
                      std::string(layout::ifaceVerAttr) +
                      " reads as 0x0); nothing transferred");
}

} // namespace

std::vector<Chip> allChips()
{
    std::vector<Chip> chips;
    for (const Fpga& fpga : layout::fpgas)
    {
        const bool local = fpga.location == Location::local;
        chips.push_back({std::string(fpga.name),
                         local ? Chip::Kind::local : Chip::Kind::remote, fpga});
    }
    chips.push_back({"hpm", Chip::Kind::hpm, layout::fpgas.front()});
    return chips;
}

std::string chipNames(std::string_view separator)
{
    const std::vector<Chip> chips = allChips();
    const std::string between(separator);
    return chips.front().name + between + chips[1].name + "-" +
           chips.rbegin()[1].name + between + chips.back().name;
}

std::string chipNameError(std::string_view name)
{
    const std::vector<Chip> chips = allChips();
    if (std::ranges::find(chips, name, &Chip::name) != chips.end())
    {
        return "";
    }
    std::size_t index = 0;
    const char* last = name.data() + name.size();
    if (name.size() > 1 && name[0] == 'r' &&
        std::from_chars(name.data() + 1, last, index).ptr == last)
    {
        return "remote " + std::to_string(index) + " is out of range 0-" +
               std::to_string(layout::remoteCount - 1);
    }
    return "chip \"" + std::string(name) + "\" is not one of " +
           chipNames(", ");
}

int hpmLocation(Fpga& hpm)
{
    Location location = Location::local;
    std::size_t index = 0;
    const int result = guarded("getHPMLocation", [&] {
        return lib::getHPMLocation(location, index);
    });
    const std::optional<Fpga> named = layout::fpgaAt(location, index);
    if (result == 0 && !named)
    {
        throw Failure("getHPMLocation",
                      "getHPMLocation: " + std::string(layout::hpmChipAttr) +
                          " names remote " + std::to_string(index) +
                          ", an FPGA the driver does not have (remote 0-" +
                          std::to_string(layout::remoteCount - 1) + ")");
    }
    hpm = result == 0 ? *named : hpm;
    return result;
}

Chip chipOf(const std::string& name)
{
    const std::vector<Chip> chips = allChips();
    Chip chip = *std::ranges::find(chips, name, &Chip::name);
    if (chip.kind == Chip::Kind::hpm)
    {
        hpmLocation(chip.fpga);
        requireBlockTable(chip.fpga);
    }
    return chip;
}

bool detected(const Fpga& fpga)
{
    return guarded("chipDetected", [&] {
        return lib::chipDetected(fpga.location, fpga.index);
    });
}

std::string_view transferName(const Chip& chip, Mode mode)
{
    return transferCall(chip, mode).name;
}

void transfer(const Chip& chip, Operation op, const Address& a,
              std::span<char> buffer)
{
    const TransferCall& call = transferCall(chip, a.mode);
    checked(call.name,
            [&] { return call.run(chip.fpga.index, op, a, buffer); });
}

const layout::Node& nodeOf(const Fpga& fpga, Mode mode)
{
    return layout::node(fpga.location, fpga.index, mode);
}

std::uint64_t positionOf(const Fpga& fpga, const Address& a)
{
    return layout::position(a.mode, fpga.location,
                            {a.block, a.offset, a.page, a.pageDataOffset});
}

void checkTransfer(const Chip& chip, const Address& a, std::size_t count,
                   const Args& args, std::string_view verb)
{
    checkRemotePage(chip, a, count, verb);
    const std::uint64_t blocks =
        layout::blocksTouched(a.mode, positionOf(chip.fpga, a), count);
    if (blocks > 1 && !args.crossBlocks)
    {
        throw UsageError(
            std::string(verb) + ": " + std::to_string(count) +
            " bytes from block " + std::to_string(a.block) + " offset " +
            std::to_string(a.offset) +
            (a.mode == Mode::adi
                 ? " page " + pageText(a.page) + " page offset " +
                       std::to_string(a.pageDataOffset)
                 : "") +
            " run past the end of the block; add --cross-blocks "
            "to go on into the next blocks");
    }
    // Bytes over several blocks need each of them enabled; a dry run fails
    // where the real run would.
    const Fpga& fpga = chip.fpga;
    if (blocks == 1 && !args.dryRun)
    {
        return;
    }
    if (!detected(fpga))
    {
        if (!args.dryRun)
        {
            return; // the transfer fails with ENODEV and moves nothing
        }
        throw resultFailure(transferName(chip, a.mode), -ENODEV);
    }
    // An HPM block is translated for its FPGA; the bytes run on from there.
    const std::size_t first =
        chip.kind != Chip::Kind::hpm ? a.block : guarded("blockId", [&] {
            return lib::blockId(fpga.location, fpga.index,
                                static_cast<lib::Block>(a.block));
        });
    if (first + blocks - 1 > layout::maxBlock)
    {
        throw UsageError(
            std::string(verb) + ": the bytes run past block " +
            std::to_string(layout::maxBlock) +
            ", the last block; see fpgatool " + std::string(verb) + " --help");
    }
    const std::bitset<64> enabled = enabledBlocks(fpga);
    for (std::size_t block = first; block < first + blocks; ++block)
    {
        if (!enabled[block])
        {
            throw Failure("getSupportedBlocks",
                          "getSupportedBlocks: block " + std::to_string(block) +
                              " is not enabled on " + std::string(fpga.name) +
                              "; nothing transferred");
        }
    }
}

std::vector<Report::DumpRow> readEnabledBlocks(
    const Chip& chip,
    const std::function<void(std::size_t, const Failure&)>& failed)
{
    const std::bitset<64> blocks = enabledBlocks(chip.fpga);
    std::vector<Report::DumpRow> rows;
    for (std::size_t block = 0; block < blocks.size(); ++block)
    {
        if (!blocks[block])
        {
            continue;
        }
        std::vector<char> buffer(layout::registersPerBlock);
        try
        {
            transfer(chip, Operation::read, Address{block}, buffer);
            rows.emplace_back(block, buffer);
        }
        catch (const Failure& failure)
        {
            failed(block, failure);
            rows.emplace_back(block, std::nullopt);
        }
    }
    return rows;
}

std::string driverDirectory()
{
    return std::string(layout::probeDirOf(guarded("devAttrFilePath", [] {
        return lib::devAttrFilePath(std::string(layout::detectedAttr),
                                    Location::local, 0);
    })));
}

void requireDriver()
{
    if (driverDirectory().empty())
    {
        const std::string dirs =
            joined(layout::probeDirs, " or ",
                   [](std::string_view dir) { return std::string(dir); });
        throw Failure("devAttrFilePath", "no FPGA driver directory found (" +
                                             dirs + "): is the driver loaded?");
    }
}

int openError(const std::string& path, int flags)
{
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY);
    const int error = fd < 0 ? errno : 0;
    ::close(fd);
    return error;
}

std::optional<std::string> fileText(const std::string& path, int& error)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    std::string text;
    std::array<char, 4096> chunk{};
    ssize_t got = fd < 0 ? -1 : 1;
    while (got > 0)
    {
        got = ::read(fd, chunk.data(), chunk.size());
        text.append(chunk.data(),
                    static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    }
    error = got < 0 ? errno : 0;
    ::close(fd);
    return got == 0 ? std::optional(text) : std::nullopt;
}

void confirm(const Args& args, const std::string& question,
             std::string_view verb, std::string_view refused)
{
    if (args.yes)
    {
        return;
    }
    if (::isatty(STDIN_FILENO) == 0)
    {
        throw UsageError(std::string(verb) +
                         ": standard input is not a terminal: add -y to "
                         "change the hardware without being asked");
    }
    std::cerr << question << " [y/N] " << std::flush;
    std::string answer;
    std::getline(std::cin, answer);
    if (answer.empty() || (answer[0] != 'y' && answer[0] != 'Y'))
    {
        throw Failure(verb, std::string(verb) + ": not confirmed; " +
                                std::string(refused));
    }
}

std::shared_ptr<void> lockNode(std::string_view path)
{
    const int fd = ::open(std::string(path).c_str(),
                          O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    while (fd >= 0 && ::flock(fd, LOCK_EX) != 0 && errno == EINTR)
    {}
    return {nullptr, [fd](void*) {
                if (fd >= 0)
                {
                    ::close(fd);
                }
            }};
}

} // namespace fpgatool
