// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

/**
 * @file change.hpp
 * @brief A change to a running board, in the board file's own vocabulary.
 *
 * A change names board-file fields ("chips.r0.detected") and gives them
 * values as a board file would. It is plain data: its edits as written,
 * each value as JSON. board_edit.hpp applies it to a board with the board
 * file's own field readers, so a refused change gets the same
 * field-naming message as --check and leaves the board as it was.
 *
 * Written as words (fpga-sim ctl, the control socket):
 *
 *     set FIELD VALUE            VALUE is JSON; text that is not JSON is a
 *                                string
 *     unset FIELD                the field as if the board file left it out
 *     poke NODE ENTRY            ENTRY: a register entry of the board file
 *     poke NODE BLOCK OFFSET HEX...   the same, for a normal node
 *     poke TARGET REGISTER HEX...     the same at a named register
 *     fault add NODE ERRNO [read|write|both] [block N]
 *     fault clear NODE
 *
 * or as a scenario step's JSON ({"set": {FIELD: VALUE}, "unset": [FIELD],
 * "poke": {NODE: [ENTRY]}}). REGISTER is a name of the layout's register
 * table ("power.front-buttons"); TARGET is then a node of the register's
 * mode or a chip ("local", "r0" to "r3", "hpm"), resolved against the
 * board when the change is applied.
 *
 * A line of the control socket is a change, a read of the board, or a
 * change to make at a later open (Request):
 *
 *     get FIELD
 *     peek NODE BLOCK OFFSET [LENGTH] | peek NODE ENTRY
 *     peek TARGET REGISTER [LENGTH]
 *     board
 *     after N [of FILE] CHANGE...
 *
 * docs/fpga-sim.md has the grammar.
 */
namespace fpga_sim
{

/** @brief One or more edits applied together. */
struct Change
{
    enum class Op
    {
        set,      ///< target: field path, value: its JSON value
        unset,    ///< target: field path
        poke,     ///< target: node name, value: a register entry
        addFault, ///< target: node name, value: a "fail" entry
        /** target: a node or chip, value: {"register": NAME, "bytes":
         *  HEX}; words only */
        pokeNamed,
    };

    struct Edit
    {
        Op op;
        std::string target;
        nlohmann::json value;

        bool operator==(const Edit&) const = default;
    };

    std::vector<Edit> edits;

    bool operator==(const Change&) const = default;

    /** @brief The change in words, edits joined by "; ". */
    std::string text() const;
};

/** @brief Longest line a change may take on the control socket. */
inline constexpr std::size_t maxChangeLine = 4096;

/** @brief Why @p line is not one line of text that the control socket
 *         takes as a change ("a change is one line of text, without control
 *         characters such as 0x0a"), or "" when it is. */
std::string notOneLine(std::string_view line);

/** @brief Parse a change from its words. @throws BoardError naming the
 *         word that is wrong ("" for the grammar as a whole) */
Change changeFromWords(std::string_view line);

/** @brief Parse a scenario step's change (its "set", "unset" and "poke";
 *         other keys are the caller's). @throws BoardError under @p path */
Change changeFromJson(const nlohmann::json& step, const std::string& path);

/** @brief The JSON form of a change made of set, unset and poke edits. */
nlohmann::json changeToJson(const Change& change);

/** @brief Whether @p name is a file the driver may publish, whose opens a
 *         trigger may count: a node ("fpga-r1") or an attribute of its
 *         directory ("fpga_rmt0_detected", "tavrin_fpga_hpm_chip"). */
bool driverFile(const std::string& name);

/** @brief Why @p name is refused where driverFile() is asked. */
std::string notDriverFile(const std::string& name);

/** @brief A read of the running board. */
struct Read
{
    enum class Kind
    {
        field,     ///< get FIELD: target is the field path
        registers, ///< peek: target is a node, or a chip with a name
        board,     ///< board: the whole board
    };

    Kind kind = Kind::board;
    std::string target;
    /** peek by name: a register of the layout's table; else "". */
    std::string registerName;
    /** peek: a register entry with "length" in place of "bytes" (by name:
     *  at most the "length"), as given; "length" absent: the default. */
    nlohmann::json entry = nlohmann::json::object();

    bool operator==(const Read&) const = default;
};

/** @brief One line of the control socket. */
struct Request
{
    enum class Kind
    {
        change, ///< make the change now
        read,   ///< answer with a value
        later,  ///< make the change as a later open begins
    };

    Kind kind = Kind::change;
    Change change;
    Read read;
    /** later: opens to let pass first, counted from when it is queued */
    std::uint64_t accesses = 0;
    /** later: the file whose opens count ("": every file's) */
    std::string of;
};

/** @brief Parse a line of the control socket. @throws BoardError as
 *         changeFromWords() does */
Request requestFromWords(std::string_view line);

} // namespace fpga_sim
