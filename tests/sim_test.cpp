// SPDX-License-Identifier: Apache-2.0
// The board model: typed attribute values in board files become the
// driver's texts, every board survives a trip through its JSON form, a
// mistake is reported with the path of the field that has it, a change in
// the board's words gives the board it says or names the field, and a world
// without a driver directory keeps what lands under "/" to itself. What a
// board publishes, on the World and under fpga-sim alike, is in
// fpgasim_test.cpp.

#include "sim/board.hpp"
#include "sim/board_edit.hpp"
#include "sim/board_json.hpp"
#include "sim/world.hpp"
#include "support/world_test.hpp"

#include <unistd.h>

#include <filesystem>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using fpga_sim::Board;
using fpga_sim::boardFromJson;
using fpga_sim::boardFromText;
using fpga_sim::Mode;
using nlohmann::json;
using tavrin_fpga::Location;
using ::testing::HasSubstr;

TEST(BoardFile, TypedAttributesBecomeDriverTexts)
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
        // Text no JSON string can carry, and its canonical form.
        {"blocks", json{{"rawHex", "ff0A 31"}}, "\xff\n1"},
        {"fwVersion", json{{"rawHex", ""}}, ""},
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

TEST(BoardFile, EveryBoardSurvivesItsJsonForm)
{
    Board built;
    built.description = "all the trimmings";
    built.probe = fpga_sim::ProbeDirs::both;
    built.presentChip(Location::local, 0);
    built.local.detected = "01\n"; // not canonical: kept raw
    built.remotes[7].fwVersion = "two\nlines\n";
    built.remotes[1] = {};
    built.hpmChip = "Remote1";
    built.remotes[3].blocks = "\xff\n";   // not UTF-8: written in hex
    built.remotes[3].chipId = "\xc3\xa9"; // UTF-8: kept as text
    built.readOnlyReset = true;
    auto& node = built.node(Location::remote, 2, Mode::adi);
    node.fault = fpga_sim::NodeFault::truncated;
    node.truncatedSize = 0x100;
    node.maxRead = 3;
    node.mode = 0640;
    node.group = 1000;
    built.attributeGroup = 4294967294;
    node.failures = {{EAGAIN, fpga_sim::FaultOps::write, 8}, {}};
    // A remote ADI position whose page bits the 12-bit field cannot carry.
    node.bytes = {{0x000F0000, 1}, {0x08E00000, 0}, {0x08E00001, 2}};
    built.setBytes(Location::local, 0, Mode::normal, 14, {1, 2, 3, 4});
    // A run across a page of storage, zeros set on purpose kept.
    built.setBytes(Location::local, 0, Mode::adi, 0x3FE, {0, 5, 0, 0, 6});

    std::vector<Board> boards = {built, Board{}};
    for (const auto& file : std::filesystem::directory_iterator(BOARDS_DIR))
    {
        boards.push_back(fpga_sim::loadBoardFile(file.path()));
    }
    for (const Board& board : boards)
    {
        SCOPED_TRACE(board.description);
        EXPECT_EQ(boardFromText(fpga_sim::boardFileText(board)), board);
    }
}

TEST(BoardFile, ErrorsNameTheFieldAndTheProblem)
{
    const std::tuple<std::string, std::string, const char*> rows[] = {
        {R"({"probe": "spi2.1"})", "probe",
         R"("spi2.1" is not one of spi2.2, spi2.0, both, none)"},
        {R"({"chips": {"local": {"detected": "yes"}}})", "chips.local.detected",
         "expected true, false or an integer"},
        {R"({"chips": {"r1": {"chipId": "0x7g"}}})", "chips.r1.chipId",
         "expected a hexadecimal string"},
        {R"({"chips": {"r01": {}}})", "chips.r01", "a chip is"},
        {R"({"chips": {"r0": {"blocks": [0, "9-4"]}}})", "chips.r0.blocks[1]",
         "range \"9-4\" is reversed: write it \"4-9\""},
        {R"({"chips": {"r0": {"blocks": ["60-70"]}}})", "chips.r0.blocks[0]",
         "must lie within 0-63"},
        {R"({"hpmChip": "remote"})", "hpmChip", "\"local\" or \"remote0\""},
        {R"({"readOnlyReset": true, "resetAttribute": false})", "readOnlyReset",
         "no reset attribute"},
        {R"({"nodes": {"fpga-r4": {}}})", "nodes.fpga-r4",
         "no such device node (fpga-cdev, fpga-adi, fpga-r0 to fpga-r3, "
         "fpga-r0-adi to fpga-r3-adi)"},
        {R"({"nodes": {"fpga-cdev": {"fault": "truncated"}}})",
         "nodes.fpga-cdev", "needs a \"size\""},
        {R"({"nodes": {"fpga-cdev": {"size": 4}}})", "nodes.fpga-cdev.size",
         "only a \"truncated\" node"},
        {R"({"nodes": {"fpga-r1": {"registers": [{"block": 64,
            "offset": 0, "bytes": "01"}]}}})",
         "nodes.fpga-r1.registers[0].block", "64 is out of range 0-63"},
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
         "already set by nodes.fpga-cdev.registers[0]"},
        {R"({"nodes": {"fpga-cdev": {"registers": [
            {"block": 2, "offset": 4, "bytes": "01"},
            {"block": 3, "offset": 0, "bytes": "02"},
            {"block": 2, "offset": 0, "bytes": "00 00 00 00 00"}]}}})",
         "nodes.fpga-cdev.registers[2]",
         "position 0x24 is already set by nodes.fpga-cdev.registers[0]"},
        {R"({"chips": {"r0": {"blocks": {"rawHex": "f f"}}}})",
         "chips.r0.blocks.rawHex", "two digits each"},
        {R"({"hpmChip": {"raw": "a", "rawHex": "61"}})", "hpmChip",
         R"(expected {"raw": TEXT} or {"rawHex": )"},
        {R"({"nodes": {"fpga-cdev": {"registers": [{"block": 1,
            "offset": 0, "bytes": "0 1"}]}}})",
         "nodes.fpga-cdev.registers[0].bytes", "two digits each"},
        {R"({"nodes": {"fpga-cdev": {"registers": [{"block": 1,
            "offset": 0, "page": 0, "bytes": "01"}]}}})",
         "nodes.fpga-cdev.registers[0].page", "unknown field"},
        {R"({"nodes": {"fpga-r1": {"mode": "0o660"}}})", "nodes.fpga-r1.mode",
         R"(octal digits, such as "0660" (0-0777), got "0o660")"},
        {R"({"nodes": {"fpga-r1": {"mode": "1777"}}})", "nodes.fpga-r1.mode",
         "(0-0777)"},
        {R"({"nodes": {"fpga-r1": {"group": -1}}})", "nodes.fpga-r1.group",
         "-1 is out of range 0-4294967294"},
        {R"({"chips": {"r0": {"detected": 9223372036854775808}}})",
         "chips.r0.detected", "out of range -9223372036854775808 to 92233"},
        {R"({"attributeOwner": 4294967295})", "attributeOwner",
         "out of range 0-4294967294"},
        {R"({"nodes": {"fpga-r1": {"fail": [{"errno": "EWHAT"}]}}})",
         "nodes.fpga-r1.fail[0].errno", R"("EWHAT" is not an errno name)"},
        {R"({"nodes": {"fpga-r1": {"fail": [{"errno": "EIO"},
            {"errno": 600}]}}})",
         "nodes.fpga-r1.fail[1].errno", "600 is out of range 1-133"},
        {R"({"nodes": {"fpga-r1": {"fail": [{"errno": 41}]}}})",
         "nodes.fpga-r1.fail[0].errno", "not an errno a driver returns"},
        {R"({"nodes": {"fpga-r1": {"fail": [{"errno": "EINTR"}]}}})",
         "nodes.fpga-r1.fail[0].errno", "retry forever"},
        // Bytes that would break the line, or a character, are escaped.
        {R"({"nodes": {"local\n": {}}})", "nodes.local\\x0a", "no such"},
        {R"({"chips": {"r0": {"blocks": {"rawHex": "ï0"}}}})",
         "chips.r0.blocks.rawHex", R"('\xc3' is not a hex digit)"},
        {"{\n  \"probe\": \"spi2.2\",,\n}", "line 2, column 21",
         "not valid JSON"},
        // What the parser finds without a text position, found by the
        // field it is in.
        {R"({"nodes": {"fpga-r0": {"registers": [{"position": 1,
            "bytes": [1, 1e400]}]}}})",
         "nodes.fpga-r0.registers[0].bytes[1]", "number overflow"},
        {R"({"chips": {"r0": {"detected": 1}, "r0": {}}})", "chips.r0",
         "duplicate key"},
        {R"({"description": )" + std::string(40, '[') + std::string(40, ']') +
             "}",
         "description[0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0]"
         "[0][0][0][0][0][0][0][0][0][0][0][0]",
         "nested deeper than 32 levels"},
        // A scenario's steps meet the board the steps before them made.
        {R"({"scenario": [{"after": {"ms": 5}, "set": {"resetAttribute": false}},
            {"after": {"accesses": 1}, "set": {"readOnlyReset": true}}]})",
         "scenario[1].readOnlyReset", "no reset attribute"},
        {R"({"scenario": [{"after": {"accesses": 1, "of": "fpga-r4"},
            "unset": ["hpmChip"]}]})",
         "scenario[0].after.of", "no node or attribute of the driver"},
        // Opens of files the board a step meets lacks never reach fpga-sim.
        {R"({"chips": {"r0": {"detected": 1}}, "scenario": [{"after":
            {"accesses": 1}, "unset": ["chips.r0.detected"]}, {"after":
            {"accesses": 2, "of": "fpga_rmt0_detected"}, "unset": ["hpmChip"]}]})",
         "scenario[1].after.of", "the step would never run"},
        {[] {
             // No probe directory and no node.
             std::string text = R"({"probe": "none", "scenario": [{"after":
                 {"accesses": 0}, "unset": ["hpmChip"]}], "nodes": {)";
             for (const auto& node : fpga_sim::layout::nodes)
             {
                 text += "\"" + std::string(node.name) +
                         R"(": {"fault": "missing"},)";
             }
             return text.substr(0, text.size() - 1) + "}}";
         }(),
         "scenario[0].after.accesses", "has no file to open"},
        {R"({"scenario": [{"after": {"ms": 1, "accesses": 1}}]})",
         "scenario[0].after", "either \"accesses\" or \"ms\""},
        {R"({"scenario": [{"after": {"ms": 1}, "set": {"probe": "none"}}]})",
         "scenario[0].probe", "cannot change while the command runs"},
    };
    for (const auto& [text, path, problem] : rows)
    {
        SCOPED_TRACE(text);
        try
        {
            boardFromText(text);
            ADD_FAILURE() << "accepted";
        }
        catch (const fpga_sim::BoardError& e)
        {
            EXPECT_EQ(e.path(), path);
            EXPECT_THAT(e.problem(), ::testing::HasSubstr(problem));
        }
    }
}

TEST(BoardChange, AppliesInTheBoardsWordsOrNamesTheField)
{
    const Board board = boardFromText(
        R"({"chips": {"r0": {"detected": 1, "blocks": [4]}}, "nodes": {
            "fpga-r2": {"fail": [{"errno": "EIO"}]}, "fpga-r0-adi": {"fault":
            "missing"}, "fpga-r3": {"fault": "truncated", "size": 4},
            "fpga-r1-adi": {"fault": "fifo"}}})");
    // The change, and the value at a pointer into the board's JSON form
    // after it (null: absent), or the field and problem that refuse it.
    const std::tuple<const char*, const char*, json> rows[] = {
        {"set chips.r0.detected 0", "/chips/r0/detected", false},
        {"set hpmChip remote1", "/hpmChip", "remote1"},
        {R"(set  chips.r3.fwVersion "3 12" )", "/chips/r3/fwVersion", "3 12"},
        {"unset chips.r0.blocks", "/chips/r0/blocks", nullptr},
        {"unset chips.r7.detected", "/chips/r7", nullptr},
        {"unset chips.r0", "/chips/r0", nullptr},
        {R"(set chips {"local": {"detected": 1}})", "/chips/r0", nullptr},
        {"set nodes.fpga-r3.fault readOnly; unset nodes.fpga-r3.size",
         "/nodes/fpga-r3/fault", "readOnly"},
        {R"(set nodes {"fpga-r0-adi": {"fault": "missing"}, )"
         R"("fpga-r1-adi": {"fault": "fifo"}})",
         "/nodes/fpga-r2", nullptr},
        {"unset nodes", "nodes.fpga-r0-adi.fault", "while the command runs"},
        {"unset chips.r0.detetced", "chips.r0.detetced", "unknown field"},
        {"set chips.r0.detected.raw x", "chips.r0.detected", "holds a value"},
        {"set nodes.fpga-r1.fault fifo", "nodes.fpga-r1.fault",
         "while the command runs"},
        {"set nodes.fpga-r3.fault none", "nodes.fpga-r3.size",
         "only a \"truncated\" node"},
        {"set scenario []", "scenario", "cannot change the scenario"},
        {"set chips.r0.detected 0; set probe none", "probe",
         "cannot change while the command runs"},
        {"fault add fpga-r1 EWHAT", "nodes.fpga-r1.fail[0].errno",
         "not an errno name"},
        {"poke fpga-r1 4 16 30", "poke.fpga-r1[0].offset",
         "16 is out of range 0-15"},
        {"poke fpga-r1 4 x 30", "", "\"x\" is not a number"},
        {"poke hpm power.on-source 30 40", "",
         "2 bytes would run past power.on-source, which is 1 byte long"},
        {R"(set chips {"r0": {"detected": 7}, "r0": {}})", "", "duplicate key"},
        {"set nodes.fpga-r1.mode 644", "nodes.fpga-r1.mode", "\"0644\""},
        {"set chips.r0.detected", "", "usage: set FIELD VALUE"},
        {"fault clear fpga-r1 now", "", "unexpected \"now\""},
        {"frobnicate", "", "is not a change"},
    };
    for (const auto& [words, where, expected] : rows)
    {
        SCOPED_TRACE(words);
        Board changed = board;
        try
        {
            // Edits joined by "; " are applied together, as a step's are.
            fpga_sim::Change change;
            std::istringstream split(words);
            for (std::string one; std::getline(split, one, ';');)
            {
                const auto more = fpga_sim::changeFromWords(one).edits;
                change.edits.insert(change.edits.end(), more.begin(),
                                    more.end());
            }
            fpga_sim::applyChange(changed, change);
            const json form = fpga_sim::boardToJson(changed);
            const json::json_pointer at(where);
            EXPECT_EQ(form.contains(at) ? form.at(at) : json(), expected);
            EXPECT_EQ(boardFromJson(form), changed);
        }
        catch (const fpga_sim::BoardError& e)
        {
            EXPECT_EQ(e.path(), where);
            EXPECT_THAT(e.problem(), HasSubstr(expected.get<std::string>()));
            EXPECT_EQ(changed, board); // nothing half done
        }
    }
}

using fpga_test::WorldTest;

TEST_F(WorldTest, WithoutDriverDirectoryRootIsPrivate)
{
    const std::string path = "/fpga_world_test_marker";
    Board board;
    board.probe = fpga_sim::ProbeDirs::none;
    inWorld(board, [&](fpga_sim::World&) {
        fpga_sim::writeFile(path, "x");
        EXPECT_EQ(fpga_sim::readFile(path), "x");
        // No probe directory carries the mark.
        EXPECT_FALSE(std::filesystem::exists(
            std::string(fpga_sim::spi22Dir) + "/tavrin_fpga_wakeup"));
        // The rest of the system is still reachable.
        EXPECT_EQ(access("/proc/self/exe", F_OK), 0);
        EXPECT_EQ(access("/dev/fpga-cdev", F_OK), 0);
    });
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}

} // namespace
