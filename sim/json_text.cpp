// SPDX-License-Identifier: Apache-2.0
#include "json_text.hpp"

#include <algorithm>
#include <vector>

namespace fpga_sim
{

using nlohmann::json;

namespace
{

/** "line L, column C" of byte @p offset of @p text (counted from 1). */
std::string textPlace(std::string_view text, std::size_t offset)
{
    offset = std::min(offset, text.size());
    const auto line = 1 + std::count(text.begin(), text.begin() + offset, '\n');
    const auto lineStart = text.rfind('\n', offset == 0 ? 0 : offset - 1);
    const std::size_t column = lineStart == std::string::npos || offset == 0
                                   ? offset
                                   : offset - lineStart - 1;
    return "line " + std::to_string(line) + ", column " +
           std::to_string(column + 1);
}

/** What nlohmann's message says after its "[json.exception...] " and
 *  "parse error at line L, column C: " prefixes. */
std::string reason(const json::exception& e)
{
    std::string text = e.what();
    const auto bracket = text.find("] ");
    text = bracket == std::string::npos ? text : text.substr(bracket + 2);
    const auto colon = text.find(": ");
    return e.id < 200 && colon != std::string::npos
               ? text.substr(colon + 2)
               : text;
}

/**
 * Builds the document from the parser's events (nlohmann's SAX interface),
 * knowing at each the path of the value being read. Its own builder: the
 * library's callback parser looks through the whole enclosing list each
 * time an object in it ends, which makes a long scenario quadratic.
 */
class StrictBuilder
{
  public:
    explicit StrictBuilder(std::string_view text) : text(text) {}

    bool null()
    {
        return put(nullptr);
    }
    bool boolean(bool value)
    {
        return put(value);
    }
    bool number_integer(json::number_integer_t value)
    {
        return put(value);
    }
    bool number_unsigned(json::number_unsigned_t value)
    {
        return put(value);
    }
    bool number_float(json::number_float_t value, const std::string&)
    {
        return put(value);
    }
    bool string(std::string& value)
    {
        return put(std::move(value));
    }
    bool binary(json::binary_t& value)
    {
        return put(std::move(value));
    }
    bool start_object(std::size_t)
    {
        return open(json::object());
    }
    bool start_array(std::size_t)
    {
        return open(json::array());
    }
    bool end_object()
    {
        open_.pop_back();
        return true;
    }
    bool end_array()
    {
        open_.pop_back();
        return true;
    }
    bool key(std::string& name)
    {
        Level& level = open_.back();
        level.key = std::move(name);
        if (level.value->contains(level.key))
        {
            bad(path(), "duplicate key");
        }
        return true;
    }
    template <typename Exception>
    bool parse_error(std::size_t position, const std::string&,
                     const Exception& e)
    {
        // A number no double holds has no place in the text worth giving;
        // the path says where it is.
        if constexpr (std::is_same_v<Exception, json::parse_error>)
        {
            throw NotJson(textPlace(text, position == 0 ? 0 : position - 1),
                          "not valid JSON: " + reason(e));
        }
        bad(path(), "not valid JSON: " + reason(e));
    }

    json document;

  private:
    struct Level
    {
        json* value;
        std::string key;
    };

    /** The path of the value being read ("nodes.fpga-r1.registers[2]"). */
    std::string path() const
    {
        std::string out;
        for (std::size_t i = 0; i < open_.size(); ++i)
        {
            // An enclosing list holds the value being read as its last;
            // the innermost has not added it yet.
            const json& value = *open_[i].value;
            const std::size_t added = i + 1 < open_.size() ? 1 : 0;
            out = value.is_array() ? element(out, value.size() - added)
                                   : field(out, open_[i].key);
        }
        return out;
    }

    /** The place of the value being read, made. */
    json& place()
    {
        if (open_.empty())
        {
            return document;
        }
        Level& level = open_.back();
        if (level.value->is_array())
        {
            return level.value->emplace_back();
        }
        return (*level.value)[level.key];
    }

    bool put(json value)
    {
        place() = std::move(value);
        return true;
    }

    bool open(json container)
    {
        if (open_.size() == maxJsonDepth)
        {
            bad(path(), "nested deeper than " + std::to_string(maxJsonDepth) +
                            " levels");
        }
        json& made = place();
        made = std::move(container);
        open_.push_back({&made, {}});
        return true;
    }

    std::string_view text;
    /** The objects and lists open, outermost first. A value is only added
     *  to the innermost, so the pointers stay valid. */
    std::vector<Level> open_;
};

} // namespace

json parseStrictJson(std::string_view text)
{
    StrictBuilder builder(text);
    json::sax_parse(text, &builder);
    return std::move(builder.document);
}

} // namespace fpga_sim
