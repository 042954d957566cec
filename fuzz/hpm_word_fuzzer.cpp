// SPDX-License-Identifier: Apache-2.0
// libFuzzer target for the word of "tavrin_fpga_hpm_chip".
//
// The library reads that attribute once per process and keeps the answer,
// so each input is read by a fresh forked child: it writes nothing back, and
// libFuzzer sees no coverage from it, so this target mutates its seeds
// without guidance. The outcome must be the one the word names: a word
// that starts with "remote" and ends in a digit gives that remote FPGA, one
// that starts with "remote" and ends otherwise (also "remote" itself)
// std::invalid_argument "stoi", any other word the local FPGA. A mismatch,
// a crash or any other exception is a finding.

#include "fuzz_world.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <libfpga.hpp>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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
        if (const int rc = tavrin_fpga::getHPMLocation(location, index);
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
    const std::string expected = expectedOutcome(text);

    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0)
    {
        fpga_fuzz::expectSame(libraryOutcome(), expected);
        ::_exit(0);
    }
    int status = 0;
    pid_t waited = -1;
    do
    {
        // libFuzzer's timer interrupts the wait every second.
        waited = child < 0 ? -1 : ::waitpid(child, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited != child)
    {
        std::perror("fork or wait");
        std::abort();
    }
    if (WIFSIGNALED(status) || WEXITSTATUS(status) != 0)
    {
        std::fprintf(stderr, "the child reading the HPM word %s %d\n",
                     WIFSIGNALED(status) ? "died of signal" : "exited with",
                     WIFSIGNALED(status) ? WTERMSIG(status)
                                         : WEXITSTATUS(status));
        std::abort();
    }
    return 0;
}
