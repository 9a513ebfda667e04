// zelsim: a simulated target device for the zel flash tool. See options_help
// (zelsim --help) for what it does and how to drive it.
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <unistd.h>

#include "options.h"
#include "report.h"
#include "simloop.h"

enum exit_code : int {
    EXIT_OK = 0,
    EXIT_FAILURE_AT_RUN = 1,  // the line failed or an output file could not be written
    EXIT_USAGE = 2,
};

// SIGINT and SIGTERM only write a byte here; the loop sees it in its poll.
static int stop_pipe_write = -1;

static void on_stop_signal(int)
{
    if (stop_pipe_write >= 0) {
        char b = 1;
        ssize_t ignored = ::write(stop_pipe_write, &b, 1);
        (void)ignored;
    }
}

static bool install_stop_signals(unique_fd* read_end, unique_fd* write_end)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    read_end->reset(fds[0]);
    write_end->reset(fds[1]);
    stop_pipe_write = fds[1];
    struct sigaction action{};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return true;
}

static bool read_file(const std::string& path, std::vector<uint8_t>* out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

static bool write_file(const std::string& path, const void* bytes, size_t n)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(n));
    return static_cast<bool>(out);
}

static bool write_report(const std::string& path, const std::string& text)
{
    if (path == "-") {
        std::fputs(text.c_str(), stdout);
        return std::fflush(stdout) == 0;
    }
    return write_file(path, text.data(), text.size());
}

static bool open_line(line* io, const options& opt, std::string* error)
{
    if (!opt.device_path.empty())
        return line_open_device(io, opt.device_path, opt.baud, error);
    return line_open_pty(io, opt.link_path, error);
}

// Status lines go where the "listening" line goes, at once.
static void print_board_event(void*, int32_t board, int32_t event)
{
    std::printf("zelsim: board %d %s\n", static_cast<int>(board), event == BOARD_SEATED ? "seated" : "removed");
    std::fflush(stdout);
}

// The whole flash at the end; on the fixture FILE.1, FILE.2, ... one a board.
static bool write_flash_dumps(const simloop* sim)
{
    const std::string& path = sim->opt.flash_dump_path;
    if (path.empty())
        return true;
    if (!sim->opt.fixture)
        return write_file(path, sim->dev.memory.bytes.data(), sim->dev.memory.bytes.size());
    bool written = true;
    for (const board_record& b : sim->slot.boards)
        written = write_file(path + "." + std::to_string(b.number), b.flash.data(), b.flash.size()) && written;
    return written;
}

int main(int argc, char** argv)
{
    options opt;
    options_defaults(&opt);
    std::string error;
    if (!options_parse(&opt, std::vector<std::string>(argv + 1, argv + argc), &error)) {
        std::fprintf(stderr, "zelsim: %s (see --help)\n", error.c_str());
        return EXIT_USAGE;
    }
    if (opt.help) {
        std::fputs(options_help().c_str(), stdout);
        return EXIT_OK;
    }
    std::vector<uint8_t> image;
    if (!opt.image_path.empty() && !read_file(opt.image_path, &image)) {
        std::fprintf(stderr, "zelsim: cannot read image %s\n", opt.image_path.c_str());
        return EXIT_USAGE;
    }
    unique_fd stop_read, stop_write;
    if (!install_stop_signals(&stop_read, &stop_write)) {
        std::perror("zelsim: pipe");
        return EXIT_FAILURE_AT_RUN;
    }

    simloop sim;
    simloop_init(&sim, opt, simloop_now_us());
    sim.slot.image = image;
    sim.slot.on_board = print_board_event;
    if (!open_line(&sim.io, opt, &error)) {
        std::fprintf(stderr, "zelsim: %s\n", error.c_str());
        return EXIT_FAILURE_AT_RUN;
    }
    std::printf("%s\n", line_describe(&sim.io).c_str());
    std::fflush(stdout);

    int32_t end = simloop_run(&sim, stop_read.get());
    line_close(&sim.io);

    bool written = write_report(opt.report_path, report_json(&sim, image_check{!opt.image_path.empty(), opt.image_addr, image}));
    written = write_flash_dumps(&sim) && written;
    if (!written)
        std::fprintf(stderr, "zelsim: could not write the report or the flash dump\n");
    return written && end != SIMLOOP_LINE_ERROR ? EXIT_OK : EXIT_FAILURE_AT_RUN;
}
