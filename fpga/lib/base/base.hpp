// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <libfpga.hpp>

#include <cstddef>
#include <span>
#include <string>

// Internal functions of the access core, shared across its source files and
// with the platform services. None of them is exported.
namespace tavrin_fpga
{

/** The driver's sysfs directory, found once per process; "" if none yet. */
std::string fpgaSysfsDir();

/** Checked normal-mode transfer on the local (remote false) or a remote
 *  FPGA. Logs the failure it detects. */
int normalAccess(bool remote, std::size_t index, Operation op,
                 std::size_t block, std::size_t offset, std::size_t length,
                 std::span<char> buffer);

/** Checked ADI-mode transfer; as normalAccess() with a page and a page data
 *  offset. */
int adiAccess(bool remote, std::size_t index, Operation op, std::size_t block,
              std::size_t offset, std::size_t page, std::size_t pageDataOffset,
              std::size_t length, std::span<char> buffer);

/** One positioned read or write of min(length, buffer.size()) bytes on the
 *  node @p dev. Logs only a node that does not open. */
int deviceAccess(std::string dev, Operation op, std::size_t pos,
                 std::size_t length, std::span<char> buffer);

/** Read and parse the HPM attribute now, with no cache (getHPMLocation()
 *  keeps the first answer). @return 0, or the errno of an attribute that
 *  does not open; std::invalid_argument from std::stoi for "remote" with
 *  no digit at its end. @p location and @p index are set only on 0. */
int readHpmLocation(Location& location, std::size_t& index);

/** Write "1" (true) or "0" (false) to the reset attribute. */
void setResetGpio(bool value);

} // namespace tavrin_fpga
