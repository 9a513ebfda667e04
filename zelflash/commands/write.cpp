#include "commands/write.h"

#include <chrono>
#include <memory>
#include <set>

#include "outputs/display_factory.h"
#include "platform/interrupts.h"
#include "outputs/logbook.h"
#include "platform/port_identity.h"
#include "engine/session.h"
#include "station/station.h"

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

static port_info port_named(const std::string& path)
{
    port_info p;
    p.path = path;
    return p;
}

static session_rules write_rules(const flash_options& o)
{
    session_rules rules;
    rules.baud = o.baud;
    rules.limits = options_limits(o);
    rules.interrupts_to_stop = 1;
    rules.keep_ended = true;  // every board stays on screen, and in the table
    rules.unstarted_hint = "program it in another run";
    return rules;
}

// Every port is opened before a byte goes to any of them; then all start
// at once, and the session takes no more boards. The display hears of each
// board before the board log.
static int program(const flash_options& o, const std::vector<std::string>& ports, const image& img, display* d,
                   station* st, logbook* log)
{
    session s(write_rules(o), img, st);
    station_waker waker(*st, s);
    display_listener shown(d);
    s.subscribe(&shown);
    s.subscribe(log);
    for (const std::string& p : ports)
        s.queue(port_named(p));
    if (!s.open_queued())
        return EXIT_BAD_INPUT;
    s.start_queued();
    auto wake = d->wake(std::chrono::milliseconds(IDLE_WAKE_MS));
    while (!s.over()) {
        if (s.taking() && s.waiting() == 0)
            s.stop_taking();  // every board has started (a lot's may wait for values first)
        s.take_news(wake);
        s.look_at_interrupts();
        s.start_queued();
        s.redraw();
    }
    d->summary(s.rows());
    int status = s.exit_status();
    if (status == EXIT_INTERRUPTED)
        d->notice("interrupted; the ports' settings are put back");
    return status;
}

int write_run(const flash_options& o, const std::vector<std::string>& ports, const station_setup& setup)
{
    interrupts_catch();
    std::unique_ptr<display> d = display_for(o.json, o.quiet, stdout, stderr);
    image img;
    std::string error;
    if (!options_load_image(o, &img, &error)) {
        d->problem(error);
        return EXIT_BAD_INPUT;
    }
    if (!check_ports(ports, d.get()))
        return EXIT_BAD_INPUT;
    logbook log(&setup.labels);
    station st(setup, nullptr);
    if (!st.open(img, d.get()) || !log.open(setup.log_path, d.get()))
        return EXIT_BAD_INPUT;
    int status = program(o, ports, img, d.get(), &st, &log);
    std::string log_error, lost = st.close();
    bool closed = log.close(&log_error);
    for (const std::string& why : {log_error, lost})
        if (!why.empty())
            d->failure(why);
    return status == EXIT_PROGRAMMED && !(closed && lost.empty()) ? EXIT_FAILED : status;
}
