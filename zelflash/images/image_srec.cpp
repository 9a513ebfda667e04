#include "images/image_srec.h"

#include <array>
#include <span>
#include <vector>

#include "images/image_records.h"
#include "base/texts.h"

namespace {

enum srec_role : int32_t {
    SREC_HEADER = 0,    // S0: free text, ignored
    SREC_DATA = 1,      // S1, S2, S3
    SREC_COUNT = 2,     // S5, S6: how many data records came before
    SREC_END = 3,       // S7, S8, S9: start address, ignored; ends the file
    SREC_RESERVED = 4,  // S4
};
struct srec_kind {
    int32_t role;
    size_t address_size;  // bytes
};
// Indexed by the type digit.
constexpr std::array<srec_kind, 10> srec_kinds{{
    {SREC_HEADER, 2}, {SREC_DATA, 2}, {SREC_DATA, 3}, {SREC_DATA, 4}, {SREC_RESERVED, 0},
    {SREC_COUNT, 2}, {SREC_COUNT, 3}, {SREC_END, 4}, {SREC_END, 3}, {SREC_END, 2},
}};

struct srec_state {
    records_block data;
    uint64_t data_records = 0;
    uint32_t end_line = 0;   // line of the termination record; 0 before it
    uint32_t records = 0;    // lines that were not blank
    std::vector<uint8_t> record;
};

bool srec_apply(srec_state* t, const srec_kind& kind, uint32_t number, std::string* what)
{
    const std::vector<uint8_t>& r = t->record;
    uint64_t address = records_get_be(&r[1], kind.address_size);
    std::span<const uint8_t> data(r.data() + 1 + kind.address_size, r[0] - kind.address_size - 1);
    switch (kind.role) {
    case SREC_DATA:
        ++t->data_records;
        return records_collect(&t->data, address, data, number, what);
    case SREC_COUNT: {
        // A count field too narrow for the number of records holds its low bits.
        uint64_t expected = t->data_records & ((uint64_t{1} << (8 * kind.address_size)) - 1);
        if (address == expected)
            return true;
        *what = "the count record says " + std::to_string(address) + " data records, the file has " +
                std::to_string(t->data_records) + " before it";
        return false;
    }
    case SREC_END:
        t->end_line = number;
        return true;
    default:  // the header
        return true;
    }
}

// The kind of record the digit after 'S' names.
bool srec_type(std::string_view line, const srec_kind** kind, std::string* what)
{
    if (line.size() < 2) {
        *what = "the record type is missing after 'S'";
        return false;
    }
    char digit = line[1];
    if (digit >= '0' && digit <= '9') {
        *kind = &srec_kinds[static_cast<size_t>(digit - '0')];
        if ((*kind)->role != SREC_RESERVED)
            return true;
    }
    // The type is told as typed when it can be read, and as a byte when it
    // is a control character: a CR in the text would break the line.
    auto value = static_cast<unsigned char>(digit);
    if (value >= 0x20 && value < 0x7F)
        *what = "unknown record type S" + std::string(1, digit);
    else
        *what = "unknown record type: " + records_char_text(digit) + " after 'S'";
    return false;
}

// The count byte against the length of the line, and the count against the
// least the record's type holds.
bool srec_check_count(const std::vector<uint8_t>& r, const srec_kind& kind, char digit, std::string* what)
{
    if (r.empty() || r.size() != r[0] + size_t{1}) {
        *what = "the byte count says " +
                (r.empty() ? std::string("nothing follows") : counted(r[0], "byte follows", "bytes follow")) +
                " it, the line holds " + std::to_string(r.empty() ? 0 : r.size() - 1);
        return false;
    }
    if (r[0] < kind.address_size + 1) {
        *what = "an S" + std::string(1, digit) + " record holds at least " +
                std::to_string(kind.address_size + 1) + " bytes (address, checksum), this one " +
                std::to_string(r[0]);
        return false;
    }
    return true;
}

bool srec_line(srec_state* t, std::string_view line, uint32_t number, std::string* what)
{
    if (line.empty())
        return true;
    if (t->end_line != 0) {
        *what = records_after_end_text(t->end_line);
        return false;
    }
    const srec_kind* kind = nullptr;
    if (!records_check_mark(line, 'S', t->records++ == 0, what) || !srec_type(line, &kind, what) ||
        !records_decode_hex(line.substr(2), 3, &t->record, what) ||
        !srec_check_count(t->record, *kind, line[1], what))
        return false;
    const std::vector<uint8_t>& r = t->record;
    uint8_t computed = static_cast<uint8_t>(~records_sum(std::span(r).first(r.size() - 1)));
    return records_check_sum(computed, r.back(), what) && srec_apply(t, *kind, number, what);
}

}  // namespace

bool image_parse_srec(std::string_view text, std::string_view name, const image_rules& rules, image* out,
                      std::string* error, image_placement placement)
{
    srec_state state;
    state.data = records_block_for(rules);
    return records_read_lines(text, name, &state, srec_line, error) &&
           records_check_end(state.end_line, state.records, name, "an S7, S8 or S9 record", error) &&
           records_assemble(&state.data, name, IMAGE_SREC, rules, placement, out, error);
}
