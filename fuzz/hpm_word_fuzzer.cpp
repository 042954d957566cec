// SPDX-License-Identifier: Apache-2.0
// libFuzzer target for the word of "tavrin_fpga_hpm_chip".
//
// getHPMLocation() reads that attribute once per process and keeps the
// answer; the reading and parsing it does the first time is
// readHpmLocation(), which this target calls for every input, in process
// (it links the library's objects, where that internal function is
// reachable). The outcome must be the one the word names: a word that
// starts with "remote" and ends in a digit gives that remote FPGA, one that
// starts with "remote" and ends otherwise (also "remote" itself)
// std::invalid_argument "stoi", any other word the local FPGA. A mismatch,
// a crash or any other exception is a finding.

#include "base/base.hpp"
#include "fuzz_world.hpp"

#include <libfpga.hpp>

#include <cstdint>
#include <sstream>
#include <string>

namespace
{

using tavrin_fpga::Location;

std::string locationText(Location location, std::size_t index)
{
    return (location == Location::remote ? "remote " : "local ") +
           std::to_string(index);
}

/** What the word in @p text names, read as a stream reads one word. */
std::string expectedOutcome(const std::string& text)
{
    return fpga_fuzz::outcomeOf([&] {
        std::istringstream in(text);
        std::string word;
        in >> word;
        if (word.starts_with("remote"))
        {
            return locationText(Location::remote,
                                static_cast<std::size_t>(
                                    std::stoi(word.substr(word.size() - 1))));
        }
        return locationText(Location::local, 0);
    });
}

std::string libraryOutcome()
{
    return fpga_fuzz::outcomeOf([] {
        // Values the library must overwrite.
        Location location = Location::remote;
        std::size_t index = 99;
        if (const int rc = tavrin_fpga::readHpmLocation(location, index);
            rc != 0)
        {
            return "error " + std::to_string(rc);
        }
        return locationText(location, index);
    });
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fpga_fuzz::enterWorld();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    fpga_fuzz::world().writeAttr(fpga_sim::hpmChipAttr, text);
    fpga_fuzz::expectSame(libraryOutcome(), expectedOutcome(text));
    return 0;
}
