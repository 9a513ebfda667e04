#include "list.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "options.h"
#include "ports.h"
#include "terminal.h"
#include "texts.h"

int list_run(bool json)
{
    std::vector<port_info> all;
    std::string why;
    if (!ports_list(&all, &why)) {
        std::fprintf(stderr, "zelflash: cannot read the system's serial ports (%s)\n", why.c_str());
        return EXIT_FAILED;
    }
    std::string text;
    if (json)
        text = json_text(ports_json(all), 2) + "\n";
    for (const port_info& p : all)
        text += json ? "" : ports_line(p) + "\n";
    std::string error;
    if (!terminal_write(stdout, text, &error)) {
        std::fprintf(stderr, "zelflash: cannot write standard output (%s)\n", error.c_str());
        return EXIT_FAILED;
    }
    if (all.empty())
        std::fprintf(stderr, "zelflash: no serial ports found\n");
    return EXIT_PROGRAMMED;
}
