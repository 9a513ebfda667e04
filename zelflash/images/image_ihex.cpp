#include "images/image_ihex.h"

#include <array>
#include <span>
#include <vector>

#include "images/image_records.h"
#include "base/texts.h"

namespace {

enum ihex_type : int32_t {
    IHEX_DATA = 0x00,
    IHEX_EOF = 0x01,
    IHEX_SEGMENT_BASE = 0x02,   // base of the offsets = value * 16
    IHEX_SEGMENT_START = 0x03,  // CS:IP to start at; nothing a programmer uses
    IHEX_LINEAR_BASE = 0x04,    // base of the offsets = value << 16
    IHEX_LINEAR_START = 0x05,   // EIP to start at; nothing a programmer uses
};
constexpr size_t IHEX_OVERHEAD = 5;     // count, offset (2), type, checksum
constexpr size_t IHEX_DATA_FIRST = 4;   // index of the first data byte
constexpr int32_t ANY_LENGTH = -1;

struct ihex_kind {
    std::string_view name;
    int32_t data_length;  // the only length allowed, or ANY_LENGTH
};
// Indexed by record type.
constexpr std::array<ihex_kind, 6> ihex_kinds{{
    {"data", ANY_LENGTH},
    {"end-of-file", 0},
    {"extended segment address", 2},
    {"start segment address", 4},
    {"extended linear address", 2},
    {"start linear address", 4},
}};

struct ihex_state {
    records_block data;
    uint64_t base = 0;       // from the last 02 or 04 record
    uint32_t eof_line = 0;   // line of the end-of-file record; 0 before it
    uint32_t records = 0;    // lines that were not blank
    std::vector<uint8_t> record;
};

bool ihex_check_length(uint8_t type, size_t length, std::string* what)
{
    int32_t wanted = ihex_kinds[type].data_length;
    if (wanted == ANY_LENGTH || static_cast<size_t>(wanted) == length)
        return true;
    *what = "an " + std::string(ihex_kinds[type].name) + " record (" + records_byte_text(type) + ") holds " +
            std::to_string(wanted) + " data bytes, this one " + std::to_string(length);
    return false;
}

bool ihex_apply(ihex_state* t, uint32_t number, std::string* what)
{
    const std::vector<uint8_t>& r = t->record;
    uint8_t type = r[3];
    if (type >= ihex_kinds.size()) {
        *what = "unknown record type " + records_byte_text(type);
        return false;
    }
    std::span<const uint8_t> data(r.data() + IHEX_DATA_FIRST, r[0]);
    if (!ihex_check_length(type, data.size(), what))
        return false;
    switch (type) {
    case IHEX_DATA:
        return records_collect(&t->data, t->base + records_get_be(&r[1], 2), data, number, what);
    case IHEX_EOF:
        t->eof_line = number;
        return true;
    case IHEX_SEGMENT_BASE:
        t->base = records_get_be(data.data(), 2) * 16;
        return true;
    case IHEX_LINEAR_BASE:
        t->base = records_get_be(data.data(), 2) << 16;
        return true;
    default:  // start addresses
        return true;
    }
}

bool ihex_line(ihex_state* t, std::string_view line, uint32_t number, std::string* what)
{
    if (line.empty())
        return true;
    if (t->eof_line != 0) {
        *what = records_after_end_text(t->eof_line);
        return false;
    }
    if (!records_check_mark(line, ':', t->records++ == 0, what) ||
        !records_decode_hex(line.substr(1), 2, &t->record, what))
        return false;
    const std::vector<uint8_t>& r = t->record;
    if (r.size() < IHEX_OVERHEAD) {
        *what = "a record holds at least 5 bytes (count, address, type, checksum), this one " +
                std::to_string(r.size());
        return false;
    }
    if (r.size() != r[0] + IHEX_OVERHEAD) {
        *what = "the byte count says " + counted(r[0], "data byte", "data bytes") + ", the line holds " +
                std::to_string(r.size() - IHEX_OVERHEAD);
        return false;
    }
    uint8_t computed = static_cast<uint8_t>(-records_sum(std::span(r).first(r.size() - 1)));
    return records_check_sum(computed, r.back(), what) && ihex_apply(t, number, what);
}

}  // namespace

bool image_parse_ihex(std::string_view text, std::string_view name, const image_rules& rules, image* out,
                      std::string* error, image_placement placement)
{
    ihex_state state;
    state.data = records_block_for(rules);
    return records_read_lines(text, name, &state, ihex_line, error) &&
           records_check_end(state.eof_line, state.records, name, ":00000001FF", error) &&
           records_assemble(&state.data, name, IMAGE_IHEX, rules, placement, out, error);
}
