// SPDX-License-Identifier: Apache-2.0
// thermal-watcher: a small service of the kind a BMC team writes on libfpga.
// Every interval it reads the thermal entries of the FPGA that carries the
// HPM blocks and logs one journal entry when a value crosses the threshold
// and one when it falls back below; likewise once when the entries cannot
// be read and once when they can again. With --lock-buttons it also keeps
// the front power and reset buttons disabled while a value is above the
// threshold. It runs until SIGTERM or SIGINT.
//
//     thermal-watcher [--interval MS] [--threshold N] [--field 0-5]
//                     [--lock-buttons]
//
// Its tests (thermal_watcher_test.cpp, scenario.sh) run it on a simulated
// board and change the board under it: the way to test a service of your
// own.

#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

#include <CLI/CLI.hpp>
#include <libfpga.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace tavrin_fpga;

namespace
{

std::atomic<bool> stopping = false;

void onSignal(int /*signal*/)
{
    stopping = true;
}

constexpr std::array<std::uint32_t Thermal::*, 6> fields = {
    &Thermal::value0, &Thermal::value1, &Thermal::value2,
    &Thermal::value3, &Thermal::value4, &Thermal::value5};

/** What the watcher last said, so that it says each thing once. */
struct Watch
{
    unsigned field;
    unsigned threshold;
    std::vector<bool> above; ///< per entry
    bool readable = true;
    bool lockButtons = false;
    bool locked = false;

    /** Disables the front buttons while a value is above, first the
     *  register, then the journal entry. */
    void lock()
    {
        const bool hot = std::find(above.begin(), above.end(), true) !=
                         above.end();
        if (!lockButtons || hot == locked || setFrontButtonsEnabled(!hot) != 0)
        {
            return;
        }
        locked = hot;
        sd_journal_send(hot ? "MESSAGE=Front buttons disabled while hot"
                            : "MESSAGE=Front buttons enabled again",
                        "PRIORITY=5", nullptr);
    }

    void look(int rc, const std::vector<Thermal>& thermals)
    {
        if (rc != 0)
        {
            if (readable)
            {
                sd_journal_send("MESSAGE=Thermal entries unreadable: %s",
                                std::strerror(-rc), "PRIORITY=3",
                                "THERMAL_RC=%d", rc, nullptr);
                readable = false;
            }
            return;
        }
        if (!readable)
        {
            sd_journal_send("MESSAGE=Thermal entries readable again",
                            "PRIORITY=5", nullptr);
            readable = true;
        }
        above.resize(thermals.size(), false);
        for (std::size_t entry = 0; entry < thermals.size(); ++entry)
        {
            const unsigned value = thermals[entry].*fields[field];
            const bool now = value > threshold;
            if (now == above[entry])
            {
                continue;
            }
            above[entry] = now;
            sd_journal_send(
                now ? "MESSAGE=Thermal entry %zu value%u at %u, above %u"
                    : "MESSAGE=Thermal entry %zu value%u back at %u, not "
                      "above %u",
                entry, field, value, threshold,
                now ? "PRIORITY=4" : "PRIORITY=5", "THERMAL_ENTRY=%zu", entry,
                "THERMAL_VALUE=%u", value, "THERMAL_THRESHOLD=%u", threshold,
                nullptr);
        }
        lock();
    }
};

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Log thermal entries of the HPM FPGA that cross a threshold",
                 "thermal-watcher"};
    unsigned interval = 200;
    Watch watch{1, 85, {}};
    app.add_option("--interval", interval, "milliseconds between reads")
        ->check(CLI::Range(1u, 3600000u));
    app.add_option("--threshold", watch.threshold,
                   "log a value that rises above this, and its return")
        ->check(CLI::Range(0u, 255u));
    app.add_option("--field", watch.field,
                   "which of an entry's six values to watch (value0-5)")
        ->check(CLI::Range(0u, 5u));
    app.add_flag("--lock-buttons", watch.lockButtons,
                 "disable the front buttons while a value is above");
    CLI11_PARSE(app, argc, argv);

    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    sd_journal_send("MESSAGE=Watching thermal value%u, threshold %u",
                    watch.field, watch.threshold, "PRIORITY=6", nullptr);
    std::vector<Thermal> thermals;
    while (!stopping)
    {
        watch.look(getThermals(thermals), thermals);
        std::this_thread::sleep_for(std::chrono::milliseconds(interval));
    }
    return 0;
}
