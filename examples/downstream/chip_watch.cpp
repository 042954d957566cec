// SPDX-License-Identifier: Apache-2.0
// chip-watch: prints "remote N present" or "remote N gone" each time remote
// FPGA N (default 0) comes or goes, polling every 10 ms, until SIGTERM.
//
//     chip-watch [N]

#include <libfpga.hpp>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace
{

std::atomic<bool> stopping = false;

void onSignal(int /*signal*/)
{
    stopping = true;
}

} // namespace

int main(int argc, char** argv)
{
    const std::size_t index = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 0;
    std::signal(SIGTERM, onSignal);
    int said = -1;
    while (!stopping)
    {
        const int present =
            tavrin_fpga::chipDetected(tavrin_fpga::Location::remote, index);
        if (present != said)
        {
            std::printf("remote %zu %s\n", index, present ? "present" : "gone");
            std::fflush(stdout);
            said = present;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 0;
}
