#include "write.h"

#include <memory>
#include <set>

#include "interrupts.h"
#include "port_identity.h"

enum write_constants : int {
    IDLE_WAKE_MS = 250,  // the longest sleep between looks at Ctrl-C
};

static bool check_ports(const std::vector<std::string>& ports, display* d)
{
    std::set<std::string> seen;
    for (const std::string& p : ports)
        if (!seen.insert(port_identity(p)).second) {
            d->problem(p + ": port given twice; give each port once", p);
            return false;
        }
    return true;
}

static int exit_status(const std::vector<board_view>& all, const display& d)
{
    bool interrupted = false;
    bool failed = !d.output_error().empty();  // the events a script reads are lost
    for (const board_view& v : all) {
        interrupted |= v.result.outcome == RUN_INTERRUPTED;
        failed |= !board_programmed(v.result.outcome);
    }
    return interrupted ? EXIT_INTERRUPTED : failed ? EXIT_FAILED : EXIT_PROGRAMMED;
}

static std::vector<board_view> views(const std::vector<std::unique_ptr<board>>& boards)
{
    std::vector<board_view> all;
    for (const auto& b : boards)
        all.push_back(b->view());
    return all;
}

// Every port is opened before a byte goes to any of them; false after the
// first that does not open (the ones opened put their ports back as they go).
static bool open_all(const std::vector<std::string>& ports, const flash_options& o, const image& img,
                     board_news* news, std::vector<std::unique_ptr<board>>* boards, display* d)
{
    for (const std::string& p : ports) {
        boards->push_back(std::make_unique<board>(static_cast<int>(boards->size()), p, "", news));
        std::string error;
        if (!boards->back()->open(o.baud, &error)) {
            d->finished(board_unstarted(p, "", BOARD_NOT_OPENED, error, static_cast<uint32_t>(img.bytes.size())));
            return false;
        }
    }
    return true;
}

// Shows the boards' news until every board has finished; the first
// interrupt stops them all after their exchange in flight.
static void follow(const std::vector<std::unique_ptr<board>>& boards, board_news* news, display* d)
{
    size_t finished = 0;
    std::vector<bool> shown(boards.size(), false);  // its end has been displayed
    int interrupts_seen = 0;
    auto wake = d->wake(std::chrono::milliseconds(IDLE_WAKE_MS));
    while (finished < boards.size()) {
        for (int i : news->take(wake)) {
            board_view v = boards[static_cast<size_t>(i)]->view();
            if (v.state != BOARD_FINISHED) {
                d->progressed(v);
            } else if (!shown[static_cast<size_t>(i)]) {
                shown[static_cast<size_t>(i)] = true;
                d->finished(v);
                finished += 1;
            }
        }
        if (interrupts_count() > interrupts_seen) {
            d->interrupted();
            interrupts_seen = interrupts_count();
            for (auto& b : boards)
                b->stop();
        }
        d->redraw(views(boards));
    }
}

int write_run(const flash_options& o, const std::vector<std::string>& ports)
{
    interrupts_catch();
    display d(options_display_mode(o), stdout, stderr);
    image img;
    std::string error;
    if (!options_load_image(o, &img, &error)) {
        d.problem(error);
        return EXIT_BAD_INPUT;
    }
    if (!check_ports(ports, &d))
        return EXIT_BAD_INPUT;
    board_news news;
    std::vector<std::unique_ptr<board>> boards;
    if (!open_all(ports, o, img, &news, &boards, &d))
        return EXIT_BAD_INPUT;

    run_limits limits = options_limits(o);
    for (auto& b : boards) {
        b->start(&img, limits);
        d.started(b->view(), img);
    }
    follow(boards, &news, &d);
    for (auto& b : boards)
        b->join();
    std::vector<board_view> all = views(boards);
    d.summary(all);
    int status = exit_status(all, d);
    if (status == EXIT_INTERRUPTED)
        d.notice("interrupted; the ports' settings are put back");
    return status;
}
