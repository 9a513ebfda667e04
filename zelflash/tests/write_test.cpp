// zelflash write end to end: the real executable against zelsim processes on
// ptys, judged by the devices' reports and flash dumps, its exit status and
// what it printed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>

#include "record_writer.h"
#include "zelflash_harness.h"

extern const uint8_t zel_image_data[];  // the image built into zelflash
extern const uint32_t zel_image_size;

namespace {

using namespace zelflash_harness;
using testing::HasSubstr;
using testing::Not;
using testing::Value;

// Commands the device got again right after themselves: the tool's retries
// (the polls of the erase wait, PROGRAM(0, 0), are none).
uint64_t repeated_commands(const json& report)
{
    const json& c = report["commands"];
    uint64_t n = 0;
    for (size_t i = 1; i < c.size(); ++i) {
        bool program = c[i]["name"] == "PROGRAM";
        bool same_chunk = c[i]["param1"] == c[i - 1]["param1"] && c[i]["param2"] == c[i - 1]["param2"];
        n += c[i]["name"] == c[i - 1]["name"] && (!program || (same_chunk && c[i]["param2"] != 0));
    }
    return n;
}

// The JSON events of a run by port, each checked for the fields every board
// event has.
std::map<std::string, std::vector<json>> events_by_port(const std::string& out, uint32_t total)
{
    std::map<std::string, std::vector<json>> events;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        json e = json::parse(line, nullptr, false);
        EXPECT_TRUE(e.is_object()) << line;
        for (const char* key : {"event", "port", "bytes", "total", "seconds", "retries"})
            EXPECT_TRUE(e.contains(key)) << key << " missing: " << line;
        EXPECT_EQ(e.value("total", 0u), total) << line;
        events[e.value("port", "")].push_back(e);
    }
    return events;
}

// A board's events: its start at 0 bytes, progress that never goes back,
// and its end.
void expect_one_board(const std::vector<json>& list)
{
    ASSERT_GE(list.size(), 3u);
    EXPECT_EQ(list.front()["event"], "start");
    EXPECT_EQ(list.front()["bytes"], 0);
    for (size_t k = 1; k + 1 < list.size(); ++k) {
        EXPECT_EQ(list[k]["event"], "progress");
        EXPECT_GE(list[k]["bytes"], list[k - 1]["bytes"]);
    }
    EXPECT_EQ(list.back()["event"], "done");
    EXPECT_EQ(list.back()["outcome"], "programmed");
}

struct write_test : bench {};

TEST_F(write_test, three_ports_one_faulty_all_programmed_with_json_events)
{
    const uint32_t size = 20000;
    write_image(size);
    start_device();
    start_device({"--seed", "7", "--drop-reply", "0.05", "--flip-reply", "0.05", "--noise", "0.1"});
    start_device();
    child_end r = zelflash({"write", image_path, "-p", port(0), "-p", port(1), "-p", port(2), "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::map<std::string, std::vector<json>> events = events_by_port(r.out, size);
    ASSERT_EQ(events.size(), 3u) << r.out;
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(port(i));
        expect_one_board(events[port(i)]);
        const json& done = events[port(i)].back();
        EXPECT_EQ(done["bytes"], size);
        json report = device_report(i);
        EXPECT_EQ(report["image_match"], true);
        EXPECT_EQ(done["retries"], repeated_commands(report));
        if (i == 1) {
            EXPECT_GT(done["retries"], 0);
        }
    }
}

TEST_F(write_test, mute_device_fails_its_port_only)
{
    write_image(3000);
    start_device();
    start_device({"--mute"});
    start_device();
    child_end r = zelflash({"write", image_path, "-p", port(0), "-p", port(1), "-p", port(2), "--retries", "3"});
    EXPECT_EQ(r.status, 1);
    // ERASE goes out at most twice: a device may still be erasing.
    EXPECT_THAT(r.err, HasSubstr(port(1) + ": no answer to ERASE at 0x00000000 after 2 attempts"));
    for (size_t i : {0, 2})
        EXPECT_EQ(device_report(i)["image_match"], true) << port(i);
    json mute = device_report(1);
    ASSERT_EQ(mute["commands"].size(), 2u);
    for (const json& c : mute["commands"])
        EXPECT_EQ(c["name"], "ERASE");
}

TEST_F(write_test, device_killed_mid_run_ends_the_run_at_once_without_spinning)
{
    write_image(60000);  // over 5 s of line time at 115200 baud
    start_device({"--baud", "115200"});
    child_process p = start_zelflash({"write", image_path, "-p", port(0)}, dir.path);
    steady::time_point begun = steady::now();
    ASSERT_TRUE(printed(p, port(0) + ":  20% ")) << "not writing the image";
    sims[0]->kill_now();
    steady::time_point killed = steady::now();
    child_end r = p.finish();
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr(port(0) + ": device disconnected during PROGRAM at 0x"));
    EXPECT_LT(std::chrono::duration<double>(r.ended - killed).count(), 1.0);
    double wall = std::chrono::duration<double>(r.ended - begun).count();
    EXPECT_LT(r.cpu_seconds, 0.3 * wall) << r.cpu_seconds << " s of CPU in " << wall << " s";
}

TEST_F(write_test, interrupt_puts_the_line_settings_back)
{
    write_image(60000);
    start_device({"--baud", "115200"});
    termios before{}, after{};
    line_settings(port(0), &before, true);
    child_process p = start_zelflash({"write", image_path, "-p", port(0)}, dir.path);
    ASSERT_TRUE(printed(p, port(0) + ":  10% ")) << "not writing the image";
    p.signal(SIGINT);
    child_end r = p.finish();
    EXPECT_EQ(r.status, 130) << r.err;
    EXPECT_THAT(r.err, HasSubstr(port(0) + ": interrupted before PROGRAM at 0x"));
    line_settings(port(0), &after, false);
    EXPECT_EQ(settings_key(after), settings_key(before));
}

// One reply late past the time-out makes zelflash send its command again and
// then see the late ACK; the frame the device misses ten frames on must still
// be sent again, not taken as answered by a stray ACK, and its chunk written.
TEST_F(write_test, late_reply_then_missed_frame_still_writes_every_chunk)
{
    // The built-in image, for the device's verdict; zelflash is given no IMAGE.
    write_file(image_path, std::string(zel_image_data, zel_image_data + zel_image_size));
    start_device({"--baud", "115200", "--late-frame", "20:150", "--miss-frame", "30"});
    child_end r = zelflash({"write", "-p", port(0)});
    EXPECT_EQ(r.status, 0) << r.err;
    json report = device_report(0);
    EXPECT_EQ(report["image_match"], true) << "the flash differs from the image, yet zelflash said: " << r.out;
    auto taken_as = [&](int frame) {  // the command the device took from frame `frame`
        for (const json& c : report["commands"])
            if (c["frame"] == frame)
                return c;
        return json::object();
    };
    EXPECT_EQ(taken_as(20).value("fault", ""), "late_reply");
    EXPECT_EQ(taken_as(21).value("param1", -1), taken_as(20).value("param1", -2)) << "frame 21 resends frame 20";
    EXPECT_EQ(report["frames"]["ignored"], 1);
    EXPECT_EQ(taken_as(30), json::object()) << "frame 30 was ignored";
}

// zelflash started with its standard output closed: the port it opens must
// not become descriptor 1, where the progress lines would go down the line
// to the device as noise among the frames.
TEST_F(write_test, closed_standard_output_is_not_taken_by_the_port)
{
    write_image(3000);
    start_device();
    child_io io;
    io.in = to_file("/dev/null");
    io.out = closed_stream();
    child_end r = start_zelflash({"write", image_path, "-p", port(0)}, dir.path, io).finish();
    EXPECT_EQ(r.status, 0) << r.err;
    json report = device_report(0);
    EXPECT_EQ(report["image_match"], true);
    EXPECT_EQ(report["bad_frames"], 0) << report["frames"];
}

// File and port names are bytes: a link named "dev\xff" and an image
// "image\xff.bin" go into the events with U+FFFD in place of the byte.
TEST_F(write_test, names_that_are_not_utf8_are_written_replaced_in_the_events)
{
    write_image(3000);
    std::string link = (dir.path / "dev\xff").string();
    start_device({}, link);
    fs::path odd_image = dir.path / "image\xff.bin";
    fs::copy_file(image_path, odd_image);
    child_end r = zelflash({"write", odd_image, "-p", link, "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::istringstream lines(r.out);
    std::map<std::string, json> last;  // by event
    for (std::string line; std::getline(lines, line);) {
        json e = json::parse(line, nullptr, false);
        ASSERT_TRUE(e.is_object()) << line;
        EXPECT_EQ(e["port"], (dir.path / "dev\xEF\xBF\xBD").string());
        last[e["event"]] = e;
    }
    EXPECT_EQ(last["start"]["image"], (dir.path / "image\xEF\xBF\xBD.bin").string());
    EXPECT_EQ(last["done"]["outcome"], "programmed");
    EXPECT_EQ(device_report(0)["image_match"], true);
}

// The events are what a script reads; losing them is a failure even when
// every board was programmed.
TEST_F(write_test, json_to_a_full_disk_exits_1_with_the_reason)
{
    write_image(3000);
    start_device();
    child_end r = start_zelflash({"write", image_path, "-p", port(0), "--json"}, dir.path, output_to("/dev/full")).finish();
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("zelflash: cannot write standard output (No space left on device)"));
    EXPECT_EQ(device_report(0)["image_match"], true) << "the board itself is programmed";
}

// Standard output is a FIFO that nobody reads: zelflash blocks on it until
// interrupted, then gives the output up and ends with its ports put back.
TEST_F(write_test, a_stuck_reader_is_given_up_after_an_interrupt)
{
    write_image(60000);  // about 100 events, far more than the pipe holds
    start_device({"--baud", "115200"});
    termios before{}, after{};
    line_settings(port(0), &before, true);
    fs::path fifo = dir.path / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    unique_fd reader(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK));  // there, never reading
    ASSERT_GE(reader.get(), 0);
    ASSERT_GT(fcntl(reader.get(), F_SETPIPE_SZ, 4096), 0);
    child_process p = start_zelflash({"write", image_path, "-p", port(0), "--json"}, dir.path, output_to(fifo.string()));
    int queued = 0;
    ASSERT_TRUE(eventually([&] { return ioctl(reader.get(), FIONREAD, &queued) == 0 && queued > 0; }))
        << "zelflash wrote nothing";
    // The rest of the pipe filled by the test, so that no event of
    // zelflash's fits any more.
    unique_fd filler(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
    ASSERT_GE(filler.get(), 0);
    const std::string block(512, '\n');
    while (::write(filler.get(), block.data(), block.size()) > 0 ||
           ::write(filler.get(), block.data(), 1) > 0) {
    }
    p.signal(SIGINT);
    p.signal(SIGTERM);
    child_end r = p.finish();
    EXPECT_EQ(r.status, 130) << r.err;
    EXPECT_THAT(r.err, HasSubstr("zelflash: cannot write standard output (nothing took the output for 1 s after the "
                                "interrupt, so the rest is dropped)"));
    line_settings(port(0), &after, false);
    EXPECT_EQ(settings_key(after), settings_key(before));
}

// A port another program holds: the error says so, and nothing is sent.
TEST_F(write_test, a_port_held_by_another_program_is_named_as_busy)
{
    write_image(1000);
    start_device();
    start_device();
    unique_fd holder(::open(port(1).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    ASSERT_EQ(flock(holder.get(), LOCK_EX | LOCK_NB), 0);
    child_end r = zelflash({"write", image_path, "-p", port(0), "-p", port(1)});
    EXPECT_EQ(r.status, 2);
    EXPECT_THAT(r.err, HasSubstr(port(1) + ": cannot open the port: Resource temporarily unavailable (another "
                                          "program holds it: close that program (a terminal, a monitor) first)"));
    for (size_t i : {0, 1})
        EXPECT_EQ(device_report(i)["line"]["bytes_to_device"], 0) << port(i);
}

// On a terminal, rows redrawn with cursor codes; on one that says it takes
// none (TERM=dumb), plain lines.
struct terminal_case {
    const char* term;
    bool cursor_codes;
    const char* shows;  // part of what reaches the screen (a live row is painted at least once)
};

class write_on_a_terminal : public write_test, public testing::WithParamInterface<terminal_case> {};

TEST_P(write_on_a_terminal, uses_cursor_codes_only_where_the_terminal_takes_them)
{
    write_image(3000);
    start_device();
    terminal screen(100, 30);
    std::string term = std::string("TERM=") + GetParam().term;
    child_process p = start_zelflash({"write", image_path, "-p", port(0)}, dir.path, on_terminal(screen.path(), {term}));
    EXPECT_TRUE(screen.read_until([](const std::string& text) { return Value(text, HasSubstr("retries\n")); }))
        << screen.text;  // the summary's head
    child_end r = p.finish();
    EXPECT_EQ(r.status, 0);
    testing::Matcher<const std::string&> cursor_codes = HasSubstr("\x1b[");
    EXPECT_THAT(screen.text, GetParam().cursor_codes ? cursor_codes : Not(cursor_codes));
    EXPECT_THAT(screen.text, HasSubstr(GetParam().shows));
}

INSTANTIATE_TEST_SUITE_P(write, write_on_a_terminal,
                         testing::Values(terminal_case{"dumb", false, ": writing "},
                                         terminal_case{"xterm", true, "\r\x1b[2K/tmp/zelflash-test-"}),
                         [](const auto& info) { return std::string(info.param.term); });

TEST(zelflash_help, shows_every_default_and_the_exit_statuses)
{
    temp_dir dir{"zelflash-help"};
    struct help_case {
        std::vector<std::string> args;
        std::vector<std::string> shows;
    };
    const std::vector<std::string> statuses = {"Exit status:", "  0    every board programmed",
                                               "  2    bad usage or input", "  130  interrupted"};
    const help_case cases[] = {
        {{"--help"}, statuses},
        {{"write", "--help"}, {"=115200", "--retries UINT:UINT in [1 - 1000000]=10", "=60\n", "-a,--address TEXT=0 ",
                               "--flash-size TEXT=0x200000", "--format TEXT:{auto,bin,ihex,srec}=auto"}},
        {{"watch", "--help"}, {"--jobs UINT:UINT in [1 - 256]=8", "=115200", "Exit status:"}},
    };
    for (const help_case& c : cases) {
        child_end r = start_zelflash(c.args, dir.path).finish();
        EXPECT_EQ(r.status, 0) << r.err;
        for (const std::string& part : c.shows)
            EXPECT_THAT(r.out, HasSubstr(part));
        EXPECT_THAT(r.out, Not(HasSubstr("=[]"))) << "an empty list is no default";
    }
}

struct placed_block {
    uint32_t addr;
    bytes data;
};

struct placement_case {
    const char* file;
    std::vector<placed_block> blocks;
    std::vector<std::string> options = {};
};

class write_placement : public write_test, public testing::WithParamInterface<placement_case> {};

TEST_P(write_placement, records_land_byte_for_byte_and_the_rest_stays_erased)
{
    const placement_case& c = GetParam();
    using record_writer_detail::ihex_record, record_writer_detail::srec_record;
    bool hex = fs::path(c.file).extension() == ".hex";
    std::string text = hex ? ihex_record(4, 0, bytes{0, 1}) : "";  // HEX: upper address 0x0001
    for (const placed_block& b : c.blocks)
        text += hex ? ihex_record(0, static_cast<uint16_t>(b.addr), b.data) : srec_record('3', b.addr, 4, b.data);
    text += hex ? ihex_record(1, 0, {}) : srec_record('7', 0, 4, {});
    write_file(dir.path / c.file, text);
    start_device();
    std::vector<std::string> args = {"write", dir.path / c.file, "-p", port(0)};
    args.insert(args.end(), c.options.begin(), c.options.end());
    child_end r = zelflash(args);
    EXPECT_EQ(r.status, 0) << r.err;

    bytes expected(2 * 1024 * 1024, 0xFF);
    for (const placed_block& b : c.blocks)
        std::copy(b.data.begin(), b.data.end(), expected.begin() + b.addr);
    json report = device_report(0);
    bytes dump = read_file(file("flash", 0));
    ASSERT_EQ(dump.size(), expected.size());
    auto diff = std::mismatch(dump.begin(), dump.end(), expected.begin());
    EXPECT_TRUE(diff.first == dump.end()) << "first difference at 0x" << std::hex << (diff.first - dump.begin());
    ASSERT_FALSE(report["commands"].empty());
    const json& erase = report["commands"][0];
    EXPECT_EQ(erase["name"], "ERASE");
    EXPECT_EQ(erase["param1"], c.blocks.front().addr);
    EXPECT_EQ(erase["param2"], c.blocks.back().addr + c.blocks.back().data.size());
}

// Data of n bytes holding the SLIP bytes, different for each seed.
bytes pattern(size_t n, uint8_t seed)
{
    bytes b = make_image(n);
    for (uint8_t& x : b)
        x = static_cast<uint8_t>(x ^ seed);
    b[0] = 0xC0;
    b[1] = 0xDB;
    return b;
}

INSTANTIATE_TEST_SUITE_P(write, write_placement,
                         testing::Values(placement_case{"image.hex", {{0x10000, pattern(32, 1)},  // gap of 0xFF
                                                                      {0x10400, pattern(48, 2)}}},
                                         placement_case{"image.s37", {{0x1F0F3, pattern(20, 3)},  // across a sector
                                                                      {0x20000, pattern(40, 4)}}},
                                         placement_case{"sparse.hex", {{0x10000, pattern(16, 5)},  // 8 KiB apart
                                                                       {0x12000, pattern(16, 6)}},
                                                        {"--fill-gaps"}}),
                         [](const auto& info) {
                             fs::path file = info.param.file;
                             return file.stem().string() + "_" + file.extension().string().substr(1);
                         });

// Bad input: zelflash ends before any byte goes to any port. In the
// arguments and the message DEV0, DEV1 stand for the devices' ports, PTS0 for
// the pty DEV0 links to, DIR for the test's folder.
struct bad_input_case {
    const char* name;
    std::vector<std::string> args;
    std::string message;  // part of standard error
};

class write_bad_input : public write_test, public testing::WithParamInterface<bad_input_case> {};

TEST_P(write_bad_input, exits_2_and_sends_nothing)
{
    write_image(1000);
    write_file(dir.path / "empty.bin", "");
    write_file(dir.path / "512.bin", std::string(512, 'x'));
    write_file(dir.path / "bad.hex", ":0400000001020304F2\n:0400040001020304F0\n:00000001FF\n");
    write_file(dir.path / "overlap.hex", ":0400000001020304F2\n:0400020001020304F0\n:00000001FF\n");
    write_file(dir.path / "good.hex", ":0400000001020304F2\n:00000001FF\n");
    write_file(dir.path / "cut.hex", ":0400000001020304F2\n");
    write_file(dir.path / "text.bin", ":0400000001020304F2\n:00000001FF\n");
    write_file(dir.path / "sparse.hex", ":0400000001020304F2\n:0420000001020304D2\n:00000001FF\n");
    write_file(dir.path / "high.hex", ":020000040801F1\n:0400000001020304F2\n:00000001FF\n");
    start_device();
    start_device();
    std::string pts = fs::read_symlink(port(0));
    auto fill = [&](std::string s) {
        for (auto [from, to] : {std::pair{"DEV0", port(0)}, {"DEV1", port(1)}, {"PTS0", pts}, {"DIR", dir.path}})
            for (size_t at; (at = s.find(from)) != std::string::npos;)
                s.replace(at, std::strlen(from), to);
        return s;
    };
    std::vector<std::string> args = {"write"};
    for (const std::string& a : GetParam().args)
        args.push_back(fill(a));
    child_end r = zelflash(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_THAT(r.err, HasSubstr(fill(GetParam().message)));
    for (size_t i = 0; i < 2; ++i) {
        json report = device_report(i);
        EXPECT_EQ(report["line"]["bytes_to_device"], 0) << port(i);
        EXPECT_TRUE(report["commands"].empty()) << port(i);
    }
}

const bad_input_case bad_inputs[] = {
    bad_input_case{"missing_file", {"DIR/none.bin", "-p", "DEV0", "-p", "DEV1"},
                   "DIR/none.bin: cannot open: No such file or directory"},
    bad_input_case{"empty_file", {"DIR/empty.bin", "-p", "DEV0", "-p", "DEV1"},
                   "DIR/empty.bin: the image is empty"},
    bad_input_case{"hex_checksum", {"DIR/bad.hex", "-p", "DEV0", "-p", "DEV1"},
                   "DIR/bad.hex line 2: checksum is 0xEE, the record says 0xF0"},
    bad_input_case{"hex_overlap", {"DIR/overlap.hex", "-p", "DEV0", "-p", "DEV1"},
                   "DIR/overlap.hex line 2: overlaps line 1: both write 0x00000002"},
    bad_input_case{"past_32_bits", {"DIR/512.bin", "--address", "0xFFFFFF00", "-p", "DEV0", "-p", "DEV1"},
                   "DIR/512.bin: 512 bytes at 0xFFFFFF00 run past the 32-bit address space"},
    bad_input_case{"address_with_hex", {"DIR/good.hex", "--address", "0x100", "-p", "DEV0", "-p", "DEV1"},
                   "--address is only for raw binary images"},
    bad_input_case{"port_twice", {"DIR/image.bin", "-p", "DEV0", "-p", "DEV1", "-p", "DEV0"},
                   "DEV0: port given twice"},
    bad_input_case{"link_and_its_pty", {"DIR/image.bin", "-p", "DEV0", "-p", "DEV1", "-p", "PTS0"},
                   "PTS0: port given twice"},
    bad_input_case{"port_absent", {"DIR/image.bin", "-p", "DEV0", "-p", "DEV1", "-p", "DIR/nodev"},
                   "DIR/nodev: cannot open the port: No such file or directory (no such device: check the name "
                   "with `zelflash list`, and that the board is plugged in)"},
    bad_input_case{"hex_cut_short", {"DIR/cut.hex", "-p", "DEV0", "-p", "DEV1"},
                   "zelflash: DIR/cut.hex: no end record; the file may be cut short"},
    bad_input_case{"hex_text_named_bin", {"DIR/text.bin", "-p", "DEV0", "-p", "DEV1"},
                   "DIR/text.bin: this is an Intel HEX file, not raw bytes; give --format ihex"},
    bad_input_case{"hex_sparse", {"DIR/sparse.hex", "-p", "DEV0", "-p", "DEV1"},
                   "DIR/sparse.hex: 8188 bytes between line 1 and line 2 (0x00000004 to 0x00001FFF) hold no "
                   "record, and writing the image would erase them and fill them with 0xFF; give --fill-gaps"},
    bad_input_case{"hex_past_flash", {"DIR/high.hex", "-p", "DEV0", "-p", "DEV1"},
                   "DIR/high.hex: the image lies at 0x08010000 to 0x08010003, beyond the device's flash "
                   "(0x00000000 to 0x001FFFFF, 2097152 bytes)"},
    bad_input_case{"bin_past_small_flash", {"DIR/image.bin", "--flash-size", "512", "-p", "DEV0", "-p", "DEV1"},
                   "DIR/image.bin: 1000 bytes, more than the device's flash holds (flash of 512 bytes)"},
    bad_input_case{"flash_size_zero", {"DIR/image.bin", "--flash-size", "0", "-p", "DEV0", "-p", "DEV1"},
                   "zelflash: --flash-size: '0' is not a flash size"},
    bad_input_case{"erase_timeout_nan", {"DIR/image.bin", "--erase-timeout", "nan", "-p", "DEV0", "-p", "DEV1"},
                   "zelflash: --erase-timeout: 'nan' is not a number of seconds from 0.1 to 86400"},
    bad_input_case{"erase_timeout_inf", {"DIR/image.bin", "--erase-timeout", "inf", "-p", "DEV0", "-p", "DEV1"},
                   "zelflash: --erase-timeout: 'inf' is not a number of seconds"},
    bad_input_case{"address_empty", {"DIR/image.bin", "-a", "", "-p", "DEV0", "-p", "DEV1"},
                   "zelflash: --address: '' is not a 32-bit address; give it in decimal, or in hex with 0x"},
    bad_input_case{"quiet_and_json", {"DIR/image.bin", "-q", "--json", "-p", "DEV0", "-p", "DEV1"},
                   "zelflash: -q and --json cannot go together"},
    bad_input_case{"unknown_option", {"DIR/image.bin", "--fill-holes", "-p", "DEV0", "-p", "DEV1"},
                   "zelflash: The following argument was not expected: --fill-holes"},
};

INSTANTIATE_TEST_SUITE_P(write, write_bad_input, testing::ValuesIn(bad_inputs),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
