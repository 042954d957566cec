// SPDX-License-Identifier: Apache-2.0
// libFuzzer target for fpga-sim's board files.
//
// A text either reads into a Board or is refused with a BoardError; a board
// that was read writes out as canonical text that reads back into a board
// with the same canonical text. A crash, a leak, any other exception or a
// canonical text that changes is a finding.

#include "sim/board_json.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string canonical;
    try
    {
        canonical = fpga_sim::boardFileText(fpga_sim::boardFromText(text));
    }
    catch (const fpga_sim::BoardError&)
    {
        return 0;
    }
    if (fpga_sim::boardFileText(fpga_sim::boardFromText(canonical)) !=
        canonical)
    {
        std::fprintf(stderr, "canonical text does not read back:\n%s\n",
                     canonical.c_str());
        std::abort();
    }
    return 0;
}
