// SPDX-License-Identifier: Apache-2.0
// FPGA reset through the driver's reset attribute.

#include "base/base.hpp"
#include "base/device_layout.hpp"
#include "logging/lg2.hpp"

#include <fstream>

namespace tavrin_fpga
{

void setResetGpio(bool value)
{
    const std::string dir = fpgaSysfsDir();
    const std::string path = dir + "/" + std::string(layout::resetAttr);
    // Without a driver directory there is no reset attribute: the path would
    // name a file under "/", which must not be created.
    std::ofstream attr;
    if (!dir.empty())
    {
        attr.open(path);
    }
    if (!attr.is_open())
    {
        lg2::error("{PATH} not found!\n", "PATH", path);
        return;
    }
    // The close hands the single character to the driver in one write.
    attr << (value ? '1' : '0');
    attr.close();
}

void resetFpga()
{
    setResetGpio(true);
    setResetGpio(false);
}

} // namespace tavrin_fpga
