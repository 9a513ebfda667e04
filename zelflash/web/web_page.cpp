#include "web/web_page.h"

web_page::web_page(const web_server_config& config, const std::map<std::string, std::string>* labels,
                   web_values_source values)
    : config_(config), listener_(&feed_, labels, std::move(values)), server_(&feed_)
{
}

web_page::~web_page()
{
    feed_.close();
}

bool web_page::start(session* s, display* d)
{
    s->subscribe(&listener_);
    feed_.on_command([s] { s->nudge(); });
    std::string error;
    if (!server_.start(config_, &error)) {
        d->problem(error);
        return false;
    }
    std::string host = config_.address.host.find(':') == std::string::npos ? config_.address.host
                                                                            : "[" + config_.address.host + "]";
    d->notice("the station's page: http://" + host + ":" + std::to_string(server_.port()) + "/" +
              (config_.token.empty() ? "" : " (control with the token of --http-token-file)"));
    return true;
}

void web_page::pass(session* s, display* d)
{
    for (web_command c : feed_.take_commands()) {
        if (c == web_command::stop && s->taking()) {
            d->notice("stop asked on the station's page: no new boards are taken, the running ones finish");
            s->stop_taking();
        }
        if (c == web_command::pause && !paused_)
            d->notice("paused on the station's page: no new boards are started until it resumes");
        if (c == web_command::resume && paused_)
            d->notice("resumed on the station's page");
        if (c != web_command::stop)
            paused_ = c == web_command::pause;
    }
    listener_.loop_state(web_loop_state{s->waiting(), s->taking(), paused_, !config_.token.empty()});
}
