// SPDX-License-Identifier: Apache-2.0
// buttons and reset: the changes of the hardware the library offers by
// name.

#include "fpgatool.hpp"

#include <fcntl.h>

#include <libfpga.hpp>

#include <cerrno>
#include <cstring>

namespace fpgatool
{
namespace
{

namespace lib = tavrin_fpga;

/** What --dry-run shows: the library call the verb would make. */
Report wouldCall(const std::string& call)
{
    return Report{}
        .field("dryRun", flag(true), Report::Shown::hidden)
        .field("wouldCall", plain(call));
}

} // namespace

Report buttons(const Args& args)
{
    const bool enable = args.state == "on";
    bool enabled = enable;
    const auto read = [&] {
        checked("getFrontButtonsEnabled",
                [&] { return lib::getFrontButtonsEnabled(enabled); });
    };
    if (!args.state.empty() && args.sampled)
    {
        throw UsageError("buttons: --repeat and --interval only apply to "
                         "showing the state; see fpgatool buttons --help");
    }
    // The library reads and writes the register through its HPM routing.
    const Chip hpm = chipOf("hpm");
    if (args.state.empty())
    {
        read();
        return Report{}.field("frontButtonsEnabled", flag(enabled));
    }
    if (args.dryRun)
    {
        return wouldCall(std::string("setFrontButtonsEnabled(") +
                         (enable ? "true" : "false") + ")");
    }
    confirm(args,
            std::string(enable ? "Enable" : "Disable") + " the front buttons?",
            "buttons", "nothing written");
    // The library reads the register, then writes it with bit 1 changed.
    const auto lock = lockNode(nodeOf(hpm.fpga, layout::Mode::normal).path);
    checked("setFrontButtonsEnabled",
            [&] { return lib::setFrontButtonsEnabled(enable); });
    // Read back, as it is now; the library's set returns before that.
    read();
    if (enabled != enable)
    {
        throw Failure("buttons",
                      std::string("buttons: the front buttons read ") +
                          (enabled ? "enabled" : "disabled") +
                          " after the change");
    }
    return Report{}.field("frontButtonsEnabled", flag(enabled),
                          Report::Shown::hidden);
}

Report resetFpga(const Args& args)
{
    // Opened for writing, without writing, so that a missing or forbidden
    // attribute is reported instead of a reset that silently did nothing.
    const std::string attribute =
        driverDirectory() + "/" + std::string(layout::resetAttr);
    if (const int error = openError(attribute, O_WRONLY); error != 0)
    {
        throw Failure("resetFpga", "resetFpga: nothing reset: " + attribute +
                                       ": " + std::strerror(error));
    }
    if (args.dryRun)
    {
        return wouldCall("resetFpga()");
    }
    confirm(args, "Reset the FPGA through " + attribute + "?", "reset",
            "nothing reset");
    guarded("resetFpga", lib::resetFpga);
    // The library returns nothing: the attribute reads 1 while the FPGA is
    // held in reset, as when its write of 0 failed.
    int error = 0;
    const std::optional<std::string> state = fileText(attribute, error);
    if (!state)
    {
        throw Failure("resetFpga", "resetFpga: cannot read " + attribute +
                                       " back: " + std::strerror(error));
    }
    const std::string text = state->substr(0, state->find('\n'));
    if (text != "0")
    {
        throw Failure("resetFpga",
                      "resetFpga: the FPGA is still held in "
                      "reset: " +
                          attribute + " reads " + driverText(text).text);
    }
    return {};
}

} // namespace fpgatool
