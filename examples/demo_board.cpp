// demo-board: run a command on a simulated board.
//
//     demo-board COMMAND [ARGS...]
//
// Puts a small server board (a local FPGA of platform type 0, the HPM blocks
// on remote FPGA 1, thermal entries, interrupts and power sources set) at the
// driver's paths in a private mount namespace and runs COMMAND there. Nothing
// outside the namespace changes.

#include "sim/board.hpp"
#include "sim/world.hpp"

#include <unistd.h>

#include <cstdio>
#include <exception>

using fpga_sim::Board;
using fpga_sim::Mode;
using tavrin_fpga::Location;

namespace
{

Board demoBoard()
{
    Board board;
    board.presentChip(Location::local, 0, "0x7a", "0x2");
    board.local.fwVersion = "3 12\n";
    board.presentChip(Location::remote, 1, "0x51", "0x3");
    board.remotes[1].fwVersion = "1 7\n";
    board.remotes[0].detected = "0\n";
    board.hpmChip = "remote1\n";

    // Power block 4: front buttons enabled, power-on source 10, power-off
    // source 2, reset source 5.
    board.setBytes(Location::remote, 1, Mode::normal,
                   fpga_sim::normalPosition(4, 10), {0x03, 0xA7, 0x21});
    board.setBytes(Location::remote, 1, Mode::normal,
                   fpga_sim::normalPosition(4, 14), {0x50});
    // Interrupt blocks 6 and 7.
    board.setBytes(Location::remote, 1, Mode::normal,
                   fpga_sim::normalPosition(6, 0), {0x11, 0x00, 0x80});
    board.setBytes(Location::remote, 1, Mode::normal,
                   fpga_sim::normalPosition(7, 0), {0x00, 0x04});
    // Thermal block 8: ADI mode, four entries in two records.
    board.setBytes(Location::remote, 1, Mode::normal,
                   fpga_sim::normalPosition(8, 0), {0x01});
    board.setBytes(Location::remote, 1, Mode::normal,
                   fpga_sim::normalPosition(8, 13), {4});
    board.setBytes(Location::remote, 1, Mode::adi,
                   fpga_sim::adiPosition(Location::remote, 8, 14, 0, 0),
                   {0, 40, 41, 42, 43, 44, 45, 50, 51, 52, 53, 54, 55, 0, 0,
                    0, 0,  60, 61, 62, 63, 64, 65, 70, 71, 72, 73, 74, 75});
    return board;
}

} // namespace

int main(int argc, char** argv)
try
{
    if (argc < 2)
    {
        std::fprintf(stderr, "usage: demo-board COMMAND [ARGS...]\n");
        return 2;
    }
    fpga_sim::World world(demoBoard());
    ::execvp(argv[1], argv + 1);
    std::perror(argv[1]);
    return 127;
}
catch (const std::exception& e)
{
    std::fprintf(stderr, "demo-board: %s\n", e.what());
    return 1;
}
