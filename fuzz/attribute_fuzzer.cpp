// SPDX-License-Identifier: Apache-2.0
// libFuzzer target for the text of one chip attribute (ATTRIBUTE, set by
// the build: "detected", "chip_id", "iface_ver", "fw_version" or "blocks").
//
// Each input becomes the attribute file of the local chip in a simulated
// board, the library's reader reads it, and the outcome must equal what a
// standard stream's formatted extraction makes of the same text: a value,
// or for "blocks" the std::invalid_argument of std::bitset. A mismatch,
// a crash, a leak or any other exception is a finding.

#include "fuzz_world.hpp"

#include <libfpga.hpp>

#include <bitset>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

#ifndef ATTRIBUTE
#error "ATTRIBUTE must name the attribute this target reads"
#endif

namespace
{

using namespace tavrin_fpga;

/** How a reader and a stream treat one attribute text. */
struct Target
{
    std::string_view attribute;
    /** The library's outcome for the local chip's attribute. */
    std::string (*library)();
    /** What a stream's extraction makes of @p text. */
    std::string (*stream)(const std::string& text);
};

std::string hexByStream(const std::string& text)
{
    std::istringstream in(text);
    unsigned value = 0;
    in >> std::hex >> value;
    return std::to_string(value);
}

const Target targets[] = {
    {"detected",
     [] { return std::to_string(chipDetected(Location::local, 0)); },
     [](const std::string& text) {
         std::istringstream in(text);
         bool detected = false;
         in >> detected;
         return std::to_string(detected);
     }},
    {"chip_id", [] { return std::to_string(getChipId(Location::local, 0)); },
     hexByStream},
    {"iface_ver",
     [] { return std::to_string(getIfaceVer(Location::local, 0)); },
     hexByStream},
    {"fw_version",
     [] {
         return getFirmwareVerStr(Location::local, 0) + '|' +
                std::to_string(getFirmwareVer(Location::local, 0));
     },
     [](const std::string& text) {
         const std::string line = text.substr(0, text.find('\n'));
         std::istringstream version(line);
         unsigned major = 0;
         unsigned minor = 0;
         version >> major >> minor;
         return line + '|' +
                std::to_string(((major << 8) & 0xFFFF) + (minor & 0xFF));
     }},
    {"blocks",
     [] {
         return fpga_fuzz::outcomeOf([] {
             return getSupportedBlocks(Location::local, 0).to_string();
         });
     },
     [](const std::string& text) {
         return fpga_fuzz::outcomeOf([&] {
             std::istringstream in(text);
             std::string token;
             in >> token;
             return std::bitset<64>(token).to_string();
         });
     }},
};

const Target& target()
{
    for (const Target& t : targets)
    {
        if (t.attribute == ATTRIBUTE)
        {
            return t;
        }
    }
    std::fprintf(stderr, "no target for attribute %s\n", ATTRIBUTE);
    std::abort();
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
    static const Target& t = target();
    const std::string text(reinterpret_cast<const char*>(data), size);
    fpga_fuzz::world().writeAttr(
        fpga_sim::chipAttrName(t.attribute, Location::local, 0), text);
    fpga_fuzz::expectSame(t.library(), t.stream(text));
    return 0;
}
