// Fuzz target for the serial-number state file: any text found on the disk
// is opened, recovered from and handed out of, and no value the text shows
// on any line (reserved, used, failed or burned; whole line or not) goes to
// a board again, in this run or the next.
//
// Input: two bytes choose the job's fields, the rest is the state file.
//   byte 0 bits 0-1: the counter "serial" in le8, le16, dec3 or hex2
//          bit 2:    a list field "mac" (bytes2) as well
//          bits 3-4: the list's length, 2, 4, 6 or 8 lines
//          bit 5:    a value field "batch" as well
//          bit 6:    the counter steps by 3, not 1
//          bit 7:    the counter ends 12 steps after its start
//   byte 1 bits 0-2: boards reserved in each of the two runs, 1..8
//          bits 3-7: the counter's start, 0..31
// Failed boards follow FAILED_BURN, so nothing may ever be handed out twice.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "values/fields.h"
#include "values/serials.h"

namespace {

namespace fs = std::filesystem;

struct setup {
    std::vector<field_spec> fields;
    int boards = 1;
};

// A folder for one input, removed after it (libFuzzer ends the process
// without running exit handlers). fsync on tmpfs costs nothing, and the
// property does not depend on the disk.
struct scratch {
    fs::path dir;
    scratch()
    {
        fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        dir = base / ("serials_fuzz-" + std::to_string(getpid()));
        fs::create_directories(dir);
    }
    ~scratch() { fs::remove_all(dir); }
};

setup setup_of(uint8_t choice, uint8_t more, const fs::path& dir)
{
    setup s;
    const char* formats[] = {"le8", "le16", "dec3", "hex2"};
    field_spec serial;
    serial.name = "serial";
    std::string error;
    field_format_parse(formats[choice & 3], &serial.encoding, &serial.width, &error);
    serial.start = more >> 3;
    serial.step = choice & 0x40 ? 3 : 1;
    if (choice & 0x80)
        serial.last = serial.start + 12 * serial.step;
    s.fields.push_back(serial);
    if (choice & 0x04) {
        field_spec mac;
        mac.name = "mac", mac.kind = FIELD_LIST, mac.encoding = FIELD_BYTES, mac.width = 2;
        mac.list = (dir / "macs.txt").string();
        std::ofstream list(mac.list, std::ios::binary | std::ios::trunc);
        for (int i = 0; i < 2 * (1 + ((choice >> 3) & 3)); i++)
            list << "02:" << (i < 10 ? "0" : "") << i << "\n";
        s.fields.push_back(mac);
    }
    if (choice & 0x20) {
        field_spec batch;
        batch.name = "batch", batch.kind = FIELD_VALUE, batch.encoding = FIELD_TEXT, batch.width = 4;
        batch.value = "B7";
        s.fields.push_back(batch);
    }
    s.boards = 1 + (more & 7);
    return s;
}

// What the field writes for `text`, the way the image would get it; empty
// when the field cannot write it (so it can be no value handed out).
std::string bytes_of(const std::vector<field_spec>& fields, const std::string& name, const std::string& text)
{
    for (const field_spec& f : fields) {
        std::vector<uint8_t> bytes;
        std::string error;
        if (f.name == name && f.kind != FIELD_VALUE && field_encode(f, text, &bytes, &error))
            return name + ":" + std::string(bytes.begin(), bytes.end());
    }
    return "";
}

// Every value any whole line of the text shows, read on its own, apart from
// the code under test: a plain parse of each line.
std::set<std::string> shown(std::string_view text, const std::vector<field_spec>& fields)
{
    std::set<std::string> values;
    size_t from = 0;
    while (from < text.size()) {
        size_t end = std::min(text.find('\n', from), text.size());
        nlohmann::json line = nlohmann::json::parse(text.substr(from, end - from), nullptr, false);
        from = end + 1;
        if (!line.is_object() || !line.contains("values") || !line["values"].is_object())
            continue;
        for (auto& [name, value] : line["values"].items())
            if (value.is_string())
                values.insert(bytes_of(fields, name, value.get<std::string>()));
    }
    values.erase("");
    return values;
}

// One run: open, hand out, finish some boards; every value handed out must
// be new. false when the file was refused at open.
bool run(const std::string& path, const setup& s, std::set<std::string>* handed, uint64_t seed)
{
    serial_state state(path, "");
    std::string error;
    if (!state.open(s.fields, FAILED_BURN, &error))
        return false;
    std::vector<field_value> values;
    state.peek(&values, &error);
    for (int board = 0; board < s.boards; board++) {
        uint64_t ticket = 0;
        if (!state.reserve("fuzz", &values, &ticket, &error))
            break;
        for (const field_value& v : values) {
            std::string bytes = bytes_of(s.fields, v.name, v.text);
            if (!bytes.empty() && !handed->insert(bytes).second) {
                std::fprintf(stderr, "%s %s handed out again\n", v.name.c_str(), v.text.c_str());
                std::abort();
            }
        }
        if ((seed >> board) & 1)
            state.finish(ticket, (seed >> (board + 8)) & 1, false, &error);
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    scratch folder;
    setup s = setup_of(data[0], data[1], folder.dir);
    std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
    std::string path = (folder.dir / "station.serials").string();
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;

    std::set<std::string> handed = shown(text, s.fields);
    uint64_t seed = size * 2654435761u + data[0];
    if (!run(path, s, &handed, seed))
        return 0;  // refused: nothing handed out, which is safe
    // What the first run wrote must open again and hand out nothing it did.
    if (!run(path, s, &handed, seed >> 16)) {
        std::fprintf(stderr, "the state file did not open again after a run\n");
        std::abort();
    }
    return 0;
}
