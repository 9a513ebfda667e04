// Intel HEX and S-record text of an image, for checking zelflash's readers
// against a writer of their own: the text of an image read back must give
// the same image. The product only ever reads these formats.
//
// Records never cross a 64 KiB boundary (HEX offsets are 16 bits under the
// base of an 04 record). The first and last bytes of the image are always
// written, so the text places the image where it was. With leave_gaps, the
// 0xFF bytes in between are left out, for the reader to fill (read it with
// fill_gaps when the runs may be wider than a sector).
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

struct record_writing {
    size_t record_length = 16;  // most data bytes per record, 1..255 (S-records: up to 250)
    bool leave_gaps = false;
};

namespace record_writer_detail {

inline std::string hex_pairs(std::span<const uint8_t> bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

inline uint8_t sum_of(std::span<const uint8_t> bytes)
{
    unsigned sum = 0;
    for (uint8_t b : bytes)
        sum += b;
    return static_cast<uint8_t>(sum);
}

// The check byte that ends a record whose other bytes are `r`: the two's
// complement of their sum in Intel HEX, the ones' complement in S-records.
inline uint8_t ihex_check(std::span<const uint8_t> r)
{
    return static_cast<uint8_t>(-sum_of(r));
}

inline uint8_t srec_check(std::span<const uint8_t> r)
{
    return static_cast<uint8_t>(~sum_of(r));
}

inline void put_be(std::vector<uint8_t>* out, uint64_t value, size_t size)
{
    for (size_t i = size; i-- > 0;)
        out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// The runs of bytes [first, end) the records carry, in order, each within
// one 64 KiB page and at most `length` long.
struct run {
    size_t first;
    size_t end;
};

inline std::vector<run> runs_of(std::span<const uint8_t> bytes, uint64_t addr, const record_writing& how,
                                size_t length)
{
    std::vector<run> runs;
    auto left_out = [&](size_t i) { return how.leave_gaps && bytes[i] == 0xFF && i != 0 && i + 1 != bytes.size(); };
    for (size_t i = 0; i < bytes.size();) {
        if (left_out(i)) {
            ++i;
            continue;
        }
        size_t end = i + 1;
        while (end < bytes.size() && end - i < length && ((addr + end) & 0xFFFF) != 0 && !left_out(end))
            ++end;
        runs.push_back({i, end});
        i = end;
    }
    return runs;
}

// ':' count, offset, type, data, checksum (two's complement of the sum).
inline std::string ihex_record(uint8_t type, uint16_t offset, std::span<const uint8_t> data)
{
    std::vector<uint8_t> r{static_cast<uint8_t>(data.size())};
    put_be(&r, offset, 2);
    r.push_back(type);
    r.insert(r.end(), data.begin(), data.end());
    r.push_back(ihex_check(r));
    return ":" + hex_pairs(r) + "\n";
}

// 'S' type, count, address, data, checksum (ones' complement of the sum).
inline std::string srec_record(char type, uint64_t address, size_t address_size, std::span<const uint8_t> data)
{
    std::vector<uint8_t> r{static_cast<uint8_t>(address_size + data.size() + 1)};
    put_be(&r, address, address_size);
    r.insert(r.end(), data.begin(), data.end());
    r.push_back(srec_check(r));
    return std::string("S") + type + hex_pairs(r) + "\n";
}

}  // namespace record_writer_detail

// Data records (00) under an extended linear address record (04) for each
// 64 KiB page, a start record (05) and the end-of-file record.
inline std::string ihex_text_of(std::span<const uint8_t> bytes, uint32_t addr, const record_writing& how)
{
    using namespace record_writer_detail;
    std::string text;
    uint64_t page = ~uint64_t{0};
    for (const run& r : runs_of(bytes, addr, how, how.record_length)) {
        uint64_t at = addr + uint64_t{r.first};
        if (at >> 16 != page) {
            page = at >> 16;
            std::vector<uint8_t> base;
            put_be(&base, page, 2);
            text += ihex_record(0x04, 0, base);
        }
        text += ihex_record(0x00, static_cast<uint16_t>(at), bytes.subspan(r.first, r.end - r.first));
    }
    std::vector<uint8_t> start;
    put_be(&start, addr, 4);
    return text + ihex_record(0x05, 0, start) + ":00000001FF\n";
}

// A header (S0), data records (S1, S2 or S3, by the highest address), their
// count (S5 or S6) and the matching end record (S9, S8 or S7).
inline std::string srec_text_of(std::span<const uint8_t> bytes, uint32_t addr, const record_writing& how)
{
    using namespace record_writer_detail;
    uint64_t last = addr + uint64_t{bytes.size()} - 1;
    size_t address_size = last > 0xFFFFFF ? 4 : last > 0xFFFF ? 3 : 2;
    size_t length = std::min(how.record_length, 254 - address_size);
    const uint8_t header[] = {'z', 'e', 'l'};
    std::string text = srec_record('0', 0, 2, header);
    std::vector<run> runs = runs_of(bytes, addr, how, length);
    for (const run& r : runs)
        text += srec_record(static_cast<char>('0' + address_size - 1), addr + uint64_t{r.first}, address_size,
                            bytes.subspan(r.first, r.end - r.first));
    bool wide_count = runs.size() > 0xFFFF;
    text += srec_record(wide_count ? '6' : '5', runs.size(), wide_count ? 3 : 2, {});
    return text + srec_record(static_cast<char>('0' + 11 - address_size), addr, address_size, {});
}
