#include "outputs/display_factory.h"

#include "outputs/display_json.h"
#include "outputs/display_live.h"
#include "outputs/display_plain.h"
#include "outputs/display_quiet.h"
#include "platform/terminal.h"

std::unique_ptr<display> display_for(bool json, bool quiet, FILE* out, FILE* err)
{
    if (json)
        return display_of(DISPLAY_JSON, out, err);
    if (quiet)
        return display_of(DISPLAY_QUIET, out, err);
    bool live = terminal_is(out) && terminal_enable_ansi(out);
    return display_of(live ? DISPLAY_LIVE : DISPLAY_PLAIN, out, err);
}

std::unique_ptr<display> display_of(display_mode mode, FILE* out, FILE* err)
{
    display_streams s{out, err, terminal_is(out), terminal_is(err), false};
    s.err_ansi = s.err_terminal && terminal_enable_ansi(err);
    switch (mode) {
    case DISPLAY_LIVE: return std::make_unique<display_live>(s);
    case DISPLAY_JSON: return std::make_unique<display_json>(s);
    case DISPLAY_QUIET: return std::make_unique<display_quiet>(s);
    default: return std::make_unique<display_plain>(s);
    }
}
