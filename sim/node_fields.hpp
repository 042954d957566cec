// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "board.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

/**
 * @file node_fields.hpp
 * @brief A device node's fields in board files ("nodes.fpga-r1.fault").
 *
 * Each field has a reader, which checks the value alone (its type, its
 * range, register coordinates against the node's layout), and a way back to
 * the value a board file that leaves it out gives. The rules between two
 * fields of a node (a "truncated" node has a "size", and only it) are
 * checked by checkSize() once every field is read or changed.
 */
namespace fpga_sim
{

/** @brief A device node of the board file and the end of its window. */
struct NodeInfo
{
    const layout::Node& device;
    std::uint64_t window;
};

/** @brief The node at device path @p path. @throws std::out_of_range */
NodeInfo nodeInfo(const std::string& path);

/** @brief The node named @p name in board files ("fpga-r1").
 *  @throws BoardError at @p fieldPath when there is none */
const layout::Node& nodeNamedOrBad(const std::string& name,
                                   const std::string& fieldPath);

/** @brief One field of a node in board files. */
struct NodeField
{
    const char* key;
    /** Read @p value into @p node, whose field holds its default. */
    void (*read)(const nlohmann::json& value, const std::string& path,
                 const NodeInfo& info, Node& node);
    /** Give @p node's field the value a board file leaving it out gives. */
    void (*clear)(Node& node);
};

/** @brief A node's fields, in their canonical order. */
const NodeField* nodeField(const std::string& key);

/** @brief "unknown field (known: mode, owner, ...)". */
std::string unknownNodeField();

/** @brief Refuse a size without "truncated", and "truncated" without one.
 *  @param sizeGiven whether the node's "size" is given */
void checkSize(const Node& node, bool sizeGiven, const std::string& path);

/** @brief A whole node. @throws BoardError under @p path */
Node nodeFromJson(const nlohmann::json& value, const std::string& path,
                  const NodeInfo& info);

/** @brief The canonical form of @p node. */
nlohmann::json nodeToJson(const Node& node, const NodeInfo& info);

/** @brief Register entries, added to @p bytes; two entries may not set the
 *         same position. @throws BoardError under @p path */
void registersFromJson(const nlohmann::json& list, const std::string& path,
                       const NodeInfo& info, Registers& bytes);

/** @brief The position of a register entry's first byte, from its
 *         coordinates (or "position"), each checked against the node's
 *         layout; keys other than those and "bytes" are refused.
 *  @throws BoardError under @p path */
std::uint64_t registerPosition(const nlohmann::json& entry,
                               const std::string& path, const NodeInfo& info);

/** @brief One "fail" entry. @throws BoardError under @p path */
TransferFault failureFromJson(const nlohmann::json& entry,
                              const std::string& path);

/** @brief The names of NodeFault in board files. */
const char* faultName(NodeFault fault);

} // namespace fpga_sim
