// zelflash write end to end: the real executable against zelsim processes on
// ptys. Each case checks what the devices received (their reports and flash
// dumps), the exit status and what zelflash printed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <sys/resource.h>
#include <termios.h>

#include "harness.h"

namespace {

using namespace zelsim_harness;
namespace fs = std::filesystem;
using json = nlohmann::json;
using clock_type = std::chrono::steady_clock;

enum write_test_constants : uint32_t {
    FLASH_SIZE = 2 * 1024 * 1024,
    RUN_LIMIT_S = 60,  // any run here ends far sooner
};

struct flash_run {
    int status = -1;  // exit status; 128 + the signal when killed by one
    std::string out, err;
    clock_type::time_point ended;
    double cpu_seconds = 0;
};

// One zelflash child process, its standard output and error in files.
class zelflash_process {
public:
    void start(std::vector<std::string> args, const fs::path& dir)
    {
        out_ = dir / "zelflash.out";
        err_ = dir / "zelflash.err";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        args.insert(args.begin(), ZELFLASH_PATH);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, ZELFLASH_PATH, &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ASSERT_GT(pid_, 0) << "zelflash did not start";
    }

    void signal(int number) { ::kill(pid_, number); }

    // Waits for the end (killed after RUN_LIMIT_S), with the child's own CPU time.
    flash_run finish()
    {
        flash_run r;
        int status = 0;
        rusage usage{};
        auto limit = clock_type::now() + std::chrono::seconds(RUN_LIMIT_S);
        while (wait4(pid_, &status, WNOHANG, &usage) == 0) {
            if (clock_type::now() > limit)
                ::kill(pid_, SIGKILL);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        pid_ = -1;
        r.ended = clock_type::now();
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        r.cpu_seconds = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                        (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        r.out = read_text(out_);
        r.err = read_text(err_);
        return r;
    }

    ~zelflash_process()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

private:
    pid_t pid_ = -1;
    fs::path out_, err_;
};

void write_file(const fs::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::string text_of(const bytes& b)
{
    return std::string(b.begin(), b.end());
}

// Commands the device got again right after themselves: the tool's retries.
// The polls of the erase wait are not retries.
uint64_t repeated_commands(const json& report)
{
    const json& c = report["commands"];
    uint64_t n = 0;
    for (size_t i = 1; i < c.size(); ++i) {
        bool same = c[i]["name"] == c[i - 1]["name"] &&
                    (c[i]["name"] != "PROGRAM" ||
                     (c[i]["param1"] == c[i - 1]["param1"] && c[i]["param2"] == c[i - 1]["param2"]));
        bool erase_wait = c[i]["name"] == "PROGRAM" && c[i]["param2"] == 0;
        n += same && !erase_wait;
    }
    return n;
}

struct write_test : testing::Test {
    temp_dir dir{"zelflash-test"};
    fs::path image_path = dir.path / "image.bin";
    std::vector<std::unique_ptr<zelsim_process>> sims;

    std::string port(size_t i) const { return (dir.path / ("dev" + std::to_string(i))).string(); }
    fs::path report_path(size_t i) const { return dir.path / ("report" + std::to_string(i) + ".json"); }
    fs::path dump_path(size_t i) const { return dir.path / ("flash" + std::to_string(i) + ".bin"); }

    void write_image(size_t n) { write_file(image_path, text_of(make_image(n))); }

    // Starts device number sims.size() on port(that number); --image names the
    // image it should end up holding.
    void start_device(std::vector<std::string> extra = {"--image", "IMAGE"})
    {
        size_t i = sims.size();
        for (std::string& e : extra)
            if (e == "IMAGE")
                e = image_path.string();
        std::vector<std::string> args = {"--link", port(i), "--report", report_path(i).string(), "--flash-dump",
                                         dump_path(i).string(), "--exit-after-reset-ms", "2000", "--time-limit-s",
                                         std::to_string(RUN_LIMIT_S)};
        args.insert(args.end(), extra.begin(), extra.end());
        sims.push_back(std::make_unique<zelsim_process>());
        std::string listening;
        ASSERT_TRUE(sims.back()->start(args, &listening)) << "zelsim did not start";
    }

    // Ends device i and reads its report.
    json device_report(size_t i)
    {
        int status = 0;
        sims[i]->terminate();
        EXPECT_TRUE(sims[i]->wait_exit(10000, &status)) << "zelsim " << i << " did not end";
        return json::parse(read_text(report_path(i)), nullptr, false);
    }

    flash_run zelflash(const std::vector<std::string>& args)
    {
        zelflash_process p;
        p.start(args, dir.path);
        return p.finish();
    }
};

TEST_F(write_test, three_ports_one_faulty_all_programmed_with_json_events)
{
    constexpr uint32_t size = 20000;
    write_image(size);
    start_device();
    start_device({"--image", "IMAGE", "--seed", "7", "--drop-reply", "0.05", "--flip-reply", "0.05", "--noise", "0.1"});
    start_device();
    flash_run r = zelflash({"write", image_path.string(), "-p", port(0), "-p", port(1), "-p", port(2), "--json"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");

    std::map<std::string, std::vector<json>> events;  // by port
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        json e = json::parse(line, nullptr, false);
        ASSERT_TRUE(e.is_object()) << line;
        for (const char* key : {"event", "port", "bytes", "total", "seconds", "retries"})
            ASSERT_TRUE(e.contains(key)) << key << " missing: " << line;
        events[e["port"]].push_back(e);
    }
    ASSERT_EQ(events.size(), 3u) << r.out;
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(port(i));
        const std::vector<json>& list = events[port(i)];
        ASSERT_GE(list.size(), 3u);
        EXPECT_EQ(list.front()["event"], "start");
        EXPECT_EQ(list.front()["bytes"], 0);
        uint32_t last = 0;
        for (size_t k = 1; k + 1 < list.size(); ++k) {
            EXPECT_EQ(list[k]["event"], "progress");
            EXPECT_GE(list[k]["bytes"], last);
            last = list[k]["bytes"];
        }
        const json& done = list.back();
        EXPECT_EQ(done["event"], "done");
        EXPECT_EQ(done["outcome"], "programmed");
        EXPECT_EQ(done["bytes"], size);
        for (const json& e : list)
            EXPECT_EQ(e["total"], size);
        json report = device_report(i);
        EXPECT_EQ(report["image_match"], true);
        EXPECT_EQ(done["retries"], repeated_commands(report));
        if (i == 1) {
            EXPECT_GT(done["retries"], 0);
            const json& f = report["faults"];
            EXPECT_GT(f["drop_reply"].get<int>() + f["flip_reply"].get<int>() + f["noise"].get<int>(), 0);
        }
    }
}

TEST_F(write_test, mute_device_fails_its_port_only)
{
    write_image(3000);
    start_device();
    start_device({"--mute"});
    start_device();
    flash_run r = zelflash({"write", image_path.string(), "-p", port(0), "-p", port(1), "-p", port(2), "--retries", "3"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, port(1) + ": no answer to ERASE at 0x00000000 after 3 attempts")) << r.err;
    for (size_t i : {0, 2})
        EXPECT_EQ(device_report(i)["image_match"], true) << port(i);
    json mute = device_report(1);
    ASSERT_EQ(mute["commands"].size(), 3u);
    for (const json& c : mute["commands"])
        EXPECT_EQ(c["name"], "ERASE");
}

TEST_F(write_test, device_killed_mid_run_ends_the_run_at_once_without_spinning)
{
    write_image(60000);  // over 5 s of line time at 115200 baud
    start_device({"--baud", "115200"});
    zelflash_process p;
    p.start({"write", image_path.string(), "-p", port(0)}, dir.path);
    auto begun = clock_type::now();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    sims[0]->kill_now();
    auto killed = clock_type::now();
    flash_run r = p.finish();
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, port(0) + ": device disconnected during PROGRAM at 0x")) << r.err;
    EXPECT_LT(std::chrono::duration<double>(r.ended - killed).count(), 1.0);
    double wall = std::chrono::duration<double>(r.ended - begun).count();
    EXPECT_LT(r.cpu_seconds, 0.3 * wall) << r.cpu_seconds << " s of CPU in " << wall << " s";
}

TEST_F(write_test, interrupt_puts_the_line_settings_back)
{
    write_image(60000);
    start_device({"--baud", "115200"});
    // Settings no protocol run would leave: 9600 baud, canonical input with
    // echo, output and input translation.
    termios before{};
    {
        unique_fd fd(::open(port(0).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
        ASSERT_GE(fd.get(), 0);
        ASSERT_EQ(tcgetattr(fd.get(), &before), 0);
        cfsetispeed(&before, B9600);
        cfsetospeed(&before, B9600);
        before.c_lflag |= ICANON | ECHO;
        before.c_iflag |= ICRNL;
        before.c_oflag |= OPOST | ONLCR;
        ASSERT_EQ(tcsetattr(fd.get(), TCSANOW, &before), 0);
        ASSERT_EQ(tcgetattr(fd.get(), &before), 0);
    }
    zelflash_process p;
    p.start({"write", image_path.string(), "-p", port(0)}, dir.path);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    p.signal(SIGINT);
    flash_run r = p.finish();
    EXPECT_EQ(r.status, 130) << r.err;
    EXPECT_TRUE(contains(r.err, port(0) + ": interrupted before PROGRAM at 0x")) << r.err;

    unique_fd fd(::open(port(0).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    ASSERT_GE(fd.get(), 0);
    termios after{};
    ASSERT_EQ(tcgetattr(fd.get(), &after), 0);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(cfgetispeed(&after), cfgetispeed(&before));
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
}

// Intel HEX and S-record lines: the record bytes, then their check byte.
std::string record(const std::string& mark, const bytes& body, bool ones_complement)
{
    uint32_t sum = 0;
    for (uint8_t b : body)
        sum += b;
    std::string line = mark;
    char hex[3];
    for (uint8_t b : body) {
        std::snprintf(hex, sizeof hex, "%02X", b);
        line += hex;
    }
    std::snprintf(hex, sizeof hex, "%02X", (ones_complement ? ~sum : 0x100 - sum) & 0xFF);
    return line + hex + "\n";
}

std::string ihex_data(uint16_t offset, const bytes& data)
{
    bytes body = {static_cast<uint8_t>(data.size()), static_cast<uint8_t>(offset >> 8),
                  static_cast<uint8_t>(offset), 0x00};
    body.insert(body.end(), data.begin(), data.end());
    return record(":", body, false);
}

std::string srec(const char* type, uint32_t addr, const bytes& data)
{
    bytes body = {static_cast<uint8_t>(4 + data.size() + 1), static_cast<uint8_t>(addr >> 24),
                  static_cast<uint8_t>(addr >> 16), static_cast<uint8_t>(addr >> 8), static_cast<uint8_t>(addr)};
    body.insert(body.end(), data.begin(), data.end());
    return record(type, body, true);
}

struct placed_block {
    uint32_t addr;
    bytes data;
};

struct placement_case {
    const char* name;
    const char* file;
    std::vector<placed_block> blocks;
};

class write_placement : public write_test, public testing::WithParamInterface<placement_case> {};

TEST_P(write_placement, records_land_byte_for_byte_and_the_rest_stays_erased)
{
    const placement_case& c = GetParam();
    std::string text;
    if (fs::path(c.file).extension() == ".hex") {
        text = record(":", {0x02, 0x00, 0x00, 0x04, 0x00, 0x01}, false);  // upper address 0x0001
        for (const placed_block& b : c.blocks)
            text += ihex_data(static_cast<uint16_t>(b.addr), b.data);
        text += ":00000001FF\n";
    } else {
        for (const placed_block& b : c.blocks)
            text += srec("S3", b.addr, b.data);
        text += srec("S7", 0, {});
    }
    fs::path file = dir.path / c.file;
    write_file(file, text);
    start_device({});
    flash_run r = zelflash({"write", file.string(), "-p", port(0)});
    EXPECT_EQ(r.status, 0) << r.err;

    bytes expected(FLASH_SIZE, 0xFF);
    for (const placed_block& b : c.blocks)
        std::copy(b.data.begin(), b.data.end(), expected.begin() + b.addr);
    json report = device_report(0);
    bytes dump = read_file(dump_path(0));
    ASSERT_EQ(dump.size(), expected.size());
    auto diff = std::mismatch(dump.begin(), dump.end(), expected.begin());
    EXPECT_TRUE(diff.first == dump.end()) << "first difference at 0x" << std::hex << (diff.first - dump.begin());
    uint32_t low = c.blocks.front().addr;
    uint32_t high = c.blocks.back().addr + static_cast<uint32_t>(c.blocks.back().data.size());
    ASSERT_FALSE(report["commands"].empty());
    EXPECT_EQ(report["commands"][0]["name"], "ERASE");
    EXPECT_EQ(report["commands"][0]["param1"], low);
    EXPECT_EQ(report["commands"][0]["param2"], high);
}

bytes pattern(size_t n, uint8_t seed)
{
    bytes b = make_image(n);
    for (uint8_t& x : b)
        x = static_cast<uint8_t>(x + seed);
    b[0] = 0xC0;  // the SLIP bytes, escaped on the way
    b[1] = 0xDB;
    return b;
}

INSTANTIATE_TEST_SUITE_P(write, write_placement,
                         testing::Values(placement_case{"ihex", "image.hex", {{0x10000, pattern(32, 1)},
                                                                              {0x10400, pattern(48, 2)}}},
                                         placement_case{"srec", "image.s37", {{0x1F0F3, pattern(20, 3)},
                                                                              {0x20000, pattern(40, 4)}}}),
                         [](const testing::TestParamInfo<placement_case>& info) { return info.param.name; });

// Bad input: zelflash stops before any byte goes to any port. In the
// arguments, DEV0/DEV1 stand for the two devices' ports, PTS0 for the pty
// DEV0 links to, DIR for the test's folder.
struct bad_input_case {
    const char* name;
    std::vector<std::string> args;
    std::string message;  // part of standard error, the same stand-ins
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
    start_device();
    start_device();
    std::string pts = fs::read_symlink(port(0)).string();
    auto fill = [&](std::string s) {
        for (auto [from, to] : {std::pair{"DEV0", port(0)}, {"DEV1", port(1)}, {"PTS0", pts},
                                {"DIR", dir.path.string()}})
            for (size_t at; (at = s.find(from)) != std::string::npos;)
                s.replace(at, std::strlen(from), to);
        return s;
    };
    std::vector<std::string> args = {"write"};
    for (const std::string& a : GetParam().args)
        args.push_back(fill(a));
    flash_run r = zelflash(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.err, fill(GetParam().message))) << r.err;
    for (size_t i = 0; i < 2; ++i) {
        json report = device_report(i);
        EXPECT_EQ(report["line"]["bytes_to_device"], 0) << port(i);
        EXPECT_TRUE(report["commands"].empty()) << port(i);
    }
}

const std::vector<std::string> both = {"-p", "DEV0", "-p", "DEV1"};

std::vector<std::string> with_ports(std::vector<std::string> args, const std::vector<std::string>& ports = both)
{
    args.insert(args.end(), ports.begin(), ports.end());
    return args;
}

INSTANTIATE_TEST_SUITE_P(
    write, write_bad_input,
    testing::Values(
        bad_input_case{"missing_file", with_ports({"DIR/missing.bin"}),
                       "DIR/missing.bin: cannot open: No such file or directory"},
        bad_input_case{"empty_file", with_ports({"DIR/empty.bin"}), "DIR/empty.bin: the image is empty"},
        bad_input_case{"hex_checksum", with_ports({"DIR/bad.hex"}),
                       "DIR/bad.hex line 2: checksum is 0xEE, the record says 0xF0"},
        bad_input_case{"hex_overlap", with_ports({"DIR/overlap.hex"}),
                       "DIR/overlap.hex line 2: overlaps line 1: both write 0x00000002"},
        bad_input_case{"past_32_bits", with_ports({"DIR/512.bin", "--address", "0xFFFFFF00"}),
                       "run past the 32-bit address space"},
        bad_input_case{"address_with_hex", with_ports({"DIR/good.hex", "--address", "0x100"}),
                       "--address is only for raw binary images"},
        bad_input_case{"port_twice", with_ports({"DIR/image.bin"}, {"-p", "DEV0", "-p", "DEV1", "-p", "DEV0"}),
                       "DEV0: port given twice"},
        bad_input_case{"link_and_its_pty", with_ports({"DIR/image.bin"}, {"-p", "DEV0", "-p", "DEV1", "-p", "PTS0"}),
                       "PTS0: port given twice"},
        bad_input_case{"port_absent", with_ports({"DIR/image.bin"}, {"-p", "DEV0", "-p", "DEV1", "-p", "DIR/nodev"}),
                       "DIR/nodev: cannot open the port: No such file or directory"}),
    [](const testing::TestParamInfo<bad_input_case>& info) { return info.param.name; });

}  // namespace
