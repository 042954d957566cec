// SPDX-License-Identifier: Apache-2.0
#include "canonical.hpp"

#include "base/device_layout.hpp"

#include <algorithm>
#include <utility>
#include <vector>

namespace fpga_sim
{

using nlohmann::json;
namespace layout = tavrin_fpga::layout;

namespace
{

/** Where @p key goes among its siblings in the canonical text. */
std::pair<std::size_t, std::string> keyOrder(const std::string& key)
{
    static const std::vector<std::string> order = [] {
        // clang-format off
        std::vector<std::string> keys = {
            "description", "probe", "hpmChip", "resetAttribute",
            "readOnlyReset", "readOnlyDriverDir", "attributeOwner",
            "attributeGroup", "chips", "nodes", "scenario", "after",
            "accesses", "of", "ms", "set", "unset", "poke",
            "detected", "chipId", "ifaceVer", "fwVersion", "blocks",
            "mode", "owner", "group", "fault", "size", "maxRead", "fail", "registers",
            "errno", "on"};
        // clang-format on
        // A register entry's coordinates, in the order of its node's mode.
        for (const layout::ModeInfo& mode : layout::modes)
        {
            for (std::size_t i = 0; i < mode.count; ++i)
            {
                const std::string key(mode.coordinates[i].key);
                if (std::find(keys.begin(), keys.end(), key) == keys.end())
                {
                    keys.push_back(key);
                }
            }
        }
        for (const char* key : {"position", "bytes", "raw", "rawHex", "local"})
        {
            keys.emplace_back(key);
        }
        for (const layout::Node& node : layout::nodes)
        {
            keys.emplace_back(node.name);
        }
        return keys;
    }();
    const auto known = std::find(order.begin(), order.end(), key);
    // Remote chips "r<N>" in numeric order: shorter names first.
    return {static_cast<std::size_t>(known - order.begin()),
            std::string(known == order.end() ? key.size() : 0, ' ') + key};
}

bool scalarsOnly(const json& value)
{
    return std::none_of(value.begin(), value.end(), [](const json& v) {
        return v.is_structured();
    });
}

void printJson(const json& value, std::size_t depth, std::string& out)
{
    const std::string pad(2 * depth, ' ');
    if (value.is_object() && !value.empty())
    {
        std::vector<std::string> keys;
        for (const auto& [key, v] : value.items())
        {
            keys.push_back(key);
        }
        std::sort(keys.begin(), keys.end(), [](const auto& a, const auto& b) {
            return keyOrder(a) < keyOrder(b);
        });
        const bool inline_ = depth >= 3 && scalarsOnly(value);
        out += inline_ ? "{" : "{\n";
        for (std::size_t i = 0; i < keys.size(); ++i)
        {
            out += inline_ ? (i == 0 ? "" : ", ") : pad + "  ";
            out += json(keys[i]).dump() + ": ";
            printJson(value.at(keys[i]), depth + 1, out);
            out += inline_ ? "" : (i + 1 < keys.size() ? ",\n" : "\n");
        }
        out += inline_ ? "}" : pad + "}";
    }
    else if (value.is_array() && !value.empty() && !scalarsOnly(value))
    {
        out += "[\n";
        for (std::size_t i = 0; i < value.size(); ++i)
        {
            out += pad + "  ";
            printJson(value[i], depth + 1, out);
            out += i + 1 < value.size() ? ",\n" : "\n";
        }
        out += pad + "]";
    }
    else if (value.is_array())
    {
        out += "[";
        for (std::size_t i = 0; i < value.size(); ++i)
        {
            out += (i == 0 ? "" : ", ") + value[i].dump();
        }
        out += "]";
    }
    else
    {
        out += value.dump();
    }
}

} // namespace

std::string canonicalText(const json& value)
{
    std::string text;
    printJson(value, 0, text);
    return text + "\n";
}

} // namespace fpga_sim
