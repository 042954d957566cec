// SPDX-License-Identifier: Apache-2.0
// Board files: typed attribute values become the driver's texts, every
// board survives a trip through its JSON form, and a mistake is reported
// with the path of the field that has it.

#include "sim/board.hpp"
#include "sim/board_json.hpp"

#include <filesystem>
#include <fstream>
#include <iterator>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using fpga_sim::Board;
using fpga_sim::BoardError;
using fpga_sim::boardFromJson;
using fpga_sim::boardFromText;
using fpga_sim::boardToJson;
using fpga_sim::FaultOps;
using fpga_sim::Mode;
using fpga_sim::NodeFault;
using nlohmann::json;
using tavrin_fpga::Location;
using ::testing::HasSubstr;

TEST(BoardJson, TypedAttributesBecomeDriverTexts)
{
    const std::tuple<const char*, json, std::string> rows[] = {
        {"detected", true, "1\n"},
        {"detected", 2, "2\n"},
        {"chipId", "0x7a", "0x7a\n"},
        {"chipId", 0x7b, "0x7b\n"},
        {"ifaceVer", "3", "3\n"},
        {"fwVersion", "3 12", "3 12\n"},
        {"blocks", json::array({0, "2-4", 63}),
         "1" + std::string(58, '0') + "11101\n"},
        {"blocks", "101", "101\n"},
        {"blocks", json{{"raw", "10x1"}}, "10x1"},
        {"detected", json{{"raw", ""}}, ""},
    };
    for (const auto& [key, value, text] : rows)
    {
        SCOPED_TRACE(value.dump());
        const Board board =
            boardFromJson({{"chips", {{"r2", {{key, value}}}}}});
        const auto& chip = board.remotes.at(2);
        const std::optional<std::string> fields[] = {
            chip.detected, chip.chipId, chip.ifaceVer, chip.fwVersion,
            chip.blocks};
        EXPECT_EQ(std::count(std::begin(fields), std::end(fields), text), 1);
    }
}

TEST(BoardJson, RegistersLandAtTheirNodePositions)
{
    const Board board = boardFromText(R"({"nodes": {
        "fpga-cdev": {"registers": [{"block": 4, "offset": 11,
                                     "bytes": "a7 0b"}]},
        "fpga-r1-adi": {"registers": [{"block": 8, "offset": 14,
                                       "page": 4095, "pageDataOffset": 2,
                                       "bytes": [1]}]},
        "fpga-adi": {"registers": [{"position": 16, "bytes": "ff"}]}}})");
    EXPECT_EQ(board.nodes.at("/dev/fpga-cdev").bytes,
              (std::map<std::uint64_t, std::uint8_t>{{75, 0xa7}, {76, 0x0b}}));
    EXPECT_EQ(board.nodes.at("/dev/fpga-r1-adi").bytes,
              (std::map<std::uint64_t, std::uint8_t>{{0x08E0FFF2, 1}}));
    EXPECT_EQ(board.nodes.at("/dev/fpga-adi").bytes,
              (std::map<std::uint64_t, std::uint8_t>{{16, 0xff}}));
}

TEST(BoardJson, EveryBoardSurvivesItsJsonForm)
{
    Board built;
    built.description = "all the trimmings";
    built.probe = fpga_sim::ProbeDirs::both;
    built.presentChip(Location::local, 0);
    built.local.detected = "01\n"; // not canonical: kept raw
    built.remotes[7].fwVersion = "two\nlines\n";
    built.remotes[1] = {};
    built.hpmChip = "Remote1";
    built.resetAttribute = true;
    built.readOnlyReset = true;
    auto& node = built.node(Location::remote, 2, Mode::adi);
    node.fault = NodeFault::truncated;
    node.truncatedSize = 0x100;
    node.maxRead = 3;
    node.failures = {{EAGAIN, FaultOps::write, 8}, {EIO, FaultOps::both, {}}};
    // A remote ADI position with page bits the 12-bit field cannot carry.
    node.bytes = {{0x000F0000, 1}, {0x08E00000, 0}, {0x08E00001, 2}};
    built.setBytes(Location::local, 0, Mode::normal, 14, {1, 2, 3, 4});

    std::vector<Board> boards = {built, Board{}};
    for (const auto& file : std::filesystem::directory_iterator(BOARDS_DIR))
    {
        boards.push_back(fpga_sim::loadBoardFile(file.path()));
        // The examples are kept in the form fpga-sim --print-board writes.
        std::ifstream in(file.path());
        const std::string text{std::istreambuf_iterator<char>(in), {}};
        EXPECT_EQ(text, fpga_sim::boardFileText(boards.back())) << file.path();
    }
    for (const Board& board : boards)
    {
        SCOPED_TRACE(board.description);
        EXPECT_EQ(boardFromText(boardToJson(board).dump()), board);
    }
}

TEST(BoardJson, ErrorsNameTheFieldAndTheProblem)
{
    const std::tuple<const char*, const char*, const char*> rows[] = {
        {R"({"chips": {"local": {"detected": "yes"}}})", "chips.local.detected",
         "expected true, false or an integer"},
        {R"({"chips": {"r01": {}}})", "chips.r01", "a chip is"},
        {R"({"chips": {"r0": {"blocks": [0, "9-4"]}}})", "chips.r0.blocks[1]",
         "must lie within 0-63"},
        {R"({"chips": {"r0": {"blocks": [64]}}})", "chips.r0.blocks[0]",
         "64 is out of range 0-63"},
        {R"({"hpmChip": "remote"})", "hpmChip", "\"local\" or \"remote0\""},
        {R"({"resetAtribute": false})", "resetAtribute", "unknown field"},
        {R"({"readOnlyReset": true, "resetAttribute": false})", "readOnlyReset",
         "no reset attribute"},
        {R"({"nodes": {"fpga-r4": {}}})", "nodes.fpga-r4", "no such device"},
        {R"({"nodes": {"fpga-cdev": {"fault": "truncated"}}})",
         "nodes.fpga-cdev", "needs a \"size\""},
        {R"({"nodes": {"fpga-cdev": {"size": 4}}})", "nodes.fpga-cdev.size",
         "only a \"truncated\" node"},
        {R"({"nodes": {"fpga-r0-adi": {"registers": [{"block": 0,
            "offset": 0, "page": 4096, "bytes": "00"}]}}})",
         "nodes.fpga-r0-adi.registers[0].page", "out of range 0-4095"},
        {R"({"nodes": {"fpga-cdev": {"registers": [{"block": 63,
            "offset": 15, "bytes": "00 01"}]}}})",
         "nodes.fpga-cdev.registers[0].bytes", "run past the end"},
        {R"({"nodes": {"fpga-cdev": {"registers": [
            {"block": 1, "offset": 0, "bytes": "00 01"},
            {"block": 1, "offset": 1, "bytes": "02"}]}}})",
         "nodes.fpga-cdev.registers[1]",
         "already set by "
         "nodes.fpga-cdev.registers[0]"},
        {R"({"nodes": {"fpga-cdev": {"registers": [{"block": 1,
            "offset": 0, "bytes": "0 1"}]}}})",
         "nodes.fpga-cdev.registers[0].bytes", "two digits each"},
        {R"({"nodes": {"fpga-cdev": {"registers": [{"block": 1,
            "offset": 0, "page": 0, "bytes": "01"}]}}})",
         "nodes.fpga-cdev.registers[0].page", "unknown field"},
        {R"({"nodes": {"fpga-cdev": {"fail": [{"errno": "EIO",
            "on": "open"}]}}})",
         "nodes.fpga-cdev.fail[0].on", "\"open\" is not one of read"},
        {"[1, 2]", "", "expected an object"},
        {"{\"probe\": \"none\"", "line 1, column 17", "not valid JSON"},
    };
    for (const auto& [text, path, problem] : rows)
    {
        SCOPED_TRACE(text);
        try
        {
            boardFromText(text);
            ADD_FAILURE() << "accepted";
        }
        catch (const BoardError& e)
        {
            EXPECT_EQ(e.path(), path);
            EXPECT_THAT(e.problem(), HasSubstr(problem));
        }
    }
}

} // namespace
