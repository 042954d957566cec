// SPDX-License-Identifier: Apache-2.0
#include "trace_record.hpp"

#include "base/device_layout.hpp"
#include "field_reader.hpp"

#include <algorithm>
#include <array>

namespace fpga_sim
{

using nlohmann::json;
namespace layout = tavrin_fpga::layout;

namespace
{

layout::Mode modeOf(const TraceRecord& r)
{
    const auto node = layout::nodeNamed(r.node);
    return node ? node->mode : layout::Mode::normal;
}

// Whether a record carries a field.
using Has = bool (*)(const TraceRecord&);

bool always(const TraceRecord&)
{
    return true;
}

bool onAdi(const TraceRecord& r)
{
    return modeOf(r) == layout::Mode::adi;
}

bool moved(const TraceRecord& r)
{
    return r.error.empty();
}

bool failed(const TraceRecord& r)
{
    return !r.error.empty();
}

bool explained(const TraceRecord& r)
{
    return !r.message.empty();
}

/** A field of the records of one type: its key and its member. */
struct Field
{
    const char* type;
    const char* key;
    Has has;
    json (*get)(const TraceRecord&);
    void (*set)(TraceRecord&, const json&);
};

template <auto Member>
Field plain(const char* type, const char* key, Has has = always)
{
    return {type, key, has,
            [](const TraceRecord& r) { return json(r.*Member); },
            [](TraceRecord& r, const json& v) { v.get_to(r.*Member); }};
}

/** Every field, in the order records give them. */
const std::array<Field, 18>& fields()
{
    static const std::array<Field, 18> table = {{
        plain<&TraceRecord::node>("transfer", "node"),
        plain<&TraceRecord::op>("transfer", "op"),
        plain<&TraceRecord::position>("transfer", "position"),
        plain<&TraceRecord::block>("transfer", "block"),
        plain<&TraceRecord::offset>("transfer", "offset"),
        plain<&TraceRecord::page>("transfer", "page", onAdi),
        plain<&TraceRecord::pageDataOffset>("transfer", "pageDataOffset",
                                            onAdi),
        plain<&TraceRecord::length>("transfer", "length"),
        plain<&TraceRecord::got>("transfer", "got", moved),
        {"transfer", "bytes", moved,
         [](const TraceRecord& r) {
             return json(hexText({reinterpret_cast<const char*>(r.bytes.data()),
                                  r.bytes.size()}));
         },
         [](TraceRecord& r, const json& v) {
             r.bytes = hexBytes(v.get<std::string>(), "bytes");
         }},
        plain<&TraceRecord::error>("transfer", "errno", failed),
        plain<&TraceRecord::message>("transfer", "message", explained),
        plain<&TraceRecord::written>("reset", "written"),
        plain<&TraceRecord::restored>("reset", "restored"),
        plain<&TraceRecord::who>("change", "who"),
        plain<&TraceRecord::change>("change", "change"),
        plain<&TraceRecord::applied>("change", "applied"),
        plain<&TraceRecord::message>("change", "message", explained),
    }};
    return table;
}

/** "pos=0x4b block=4 offset=11", with the page and pdo on ADI nodes. */
std::string describe(const TraceRecord& r)
{
    const layout::ModeInfo& mode = layout::modeInfo(modeOf(r));
    const std::array<std::uint64_t, 4> values = {r.block, r.offset, r.page,
                                                 r.pageDataOffset};
    std::string out = "pos=" + hex(r.position);
    for (std::size_t i = 0; i < mode.count; ++i)
    {
        const layout::Coordinate& c = mode.coordinates[i];
        out += " " + std::string(c.trace) + "=" +
               (c.hexInTrace ? hex(values[i]) : std::to_string(values[i]));
    }
    return out;
}

std::string transferText(const TraceRecord& r)
{
    std::string out = r.node + " " + r.op + " " + describe(r) +
                      " len=" + std::to_string(r.length);
    if (!r.error.empty())
    {
        return out + ": error " + r.error +
               (r.message.empty() ? "" : " (" + r.message + ")");
    }
    if (r.got != r.length)
    {
        out += " got=" + std::to_string(r.got);
    }
    return out + ": " +
           (r.got == 0 && r.length > 0
                ? "end of data"
                : hexText({reinterpret_cast<const char*>(r.bytes.data()),
                           r.bytes.size()}));
}

} // namespace

nlohmann::ordered_json recordToJson(const TraceRecord& record)
{
    nlohmann::ordered_json out = {{"seq", record.seq}, {"type", record.type}};
    for (const Field& f : fields())
    {
        if (record.type == f.type && f.has(record))
        {
            out[f.key] = f.get(record);
        }
    }
    return out;
}

TraceRecord recordFromJson(const json& value)
{
    TraceRecord record;
    value.at("seq").get_to(record.seq);
    value.at("type").get_to(record.type);
    for (const Field& f : fields())
    {
        if (record.type == f.type && value.contains(f.key))
        {
            f.set(record, value.at(f.key));
        }
    }
    return record;
}

std::string recordText(const TraceRecord& r)
{
    std::string line;
    if (r.type == "transfer")
    {
        line = transferText(r);
    }
    else if (r.type == "reset")
    {
        line = std::string(layout::resetAttr) + " write \"" + r.written + "\"" +
               (r.restored ? ": registers restored" : "");
    }
    else
    {
        // "control after 2 of fpga-r1: CHANGE", "control CHANGE".
        line = r.who + (r.who.find(' ') != std::string::npos ? ": " : " ") +
               r.change + ": " +
               (r.applied ? "applied" : "refused " + r.message);
    }
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(line.size());
    for (const char c : line)
    {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
        {
            text += {'\\', 'x', digits[byte >> 4], digits[byte & 0xF]};
            continue;
        }
        text += c;
    }
    return text;
}

} // namespace fpga_sim
