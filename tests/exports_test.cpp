// SPDX-License-Identifier: Apache-2.0
// The built library exports exactly the functions of its public header.

#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

std::string libraryPath;

TEST(Exports, ExactlyThePublicFunctions)
{
    ASSERT_FALSE(libraryPath.empty()) << "pass the library path";
    std::unique_ptr<FILE, int (*)(FILE*)> nm(
        popen(("nm -DC --defined-only '" + libraryPath + "'").c_str(), "r"),
        pclose);
    ASSERT_TRUE(nm);
    std::string output;
    char chunk[4096];
    std::size_t got = 0;
    while ((got = fread(chunk, 1, sizeof(chunk), nm.get())) > 0)
    {
        output.append(chunk, got);
    }
    std::set<std::string> names;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line))
    {
        // "<address> <type> <name>"; keep the name without its parameters
        // and ABI tag.
        const auto name = line.substr(line.find(' ', line.find(' ') + 1) + 1);
        names.insert(name.substr(0, name.find_first_of("([")));
    }
    EXPECT_THAT(
        names,
        ::testing::UnorderedElementsAre(
            "tavrin_fpga::devAttrFilePath", "tavrin_fpga::chipDetected",
            "tavrin_fpga::getChipId", "tavrin_fpga::getIfaceVer",
            "tavrin_fpga::getFirmwareVerStr", "tavrin_fpga::getFirmwareVer",
            "tavrin_fpga::getSupportedBlocks", "tavrin_fpga::blockSupported",
            "tavrin_fpga::getFirmwareInfo", "tavrin_fpga::rawNormalAccess",
            "tavrin_fpga::rawRemoteNormalAccess", "tavrin_fpga::rawAdiAccess",
            "tavrin_fpga::rawRemoteAdiAccess", "tavrin_fpga::getPlatformType",
            "tavrin_fpga::getHPMLocation", "tavrin_fpga::blockId",
            "tavrin_fpga::rawHpmNormalAccess", "tavrin_fpga::rawHpmAdiAccess",
            "tavrin_fpga::resetFpga", "tavrin_fpga::getPowerOnSource",
            "tavrin_fpga::getPowerOffSource",
            "tavrin_fpga::getPowerResetSource",
            "tavrin_fpga::getFrontButtonsEnabled",
            "tavrin_fpga::setFrontButtonsEnabled", "tavrin_fpga::getInterrupts",
            "tavrin_fpga::getThermals", "tavrin_fpga::getPlatform",
            "tavrin_fpga::getPlatDevPresence"))
        << output;
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (argc > 1)
    {
        libraryPath = argv[1];
    }
    return RUN_ALL_TESTS();
}
