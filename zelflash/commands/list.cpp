#include "commands/list.h"

#include <memory>
#include <string>
#include <vector>

#include "outputs/display_factory.h"
#include "engine/exit_status.h"
#include "platform/ports.h"

int list_run(bool json)
{
    std::unique_ptr<display> d = display_for(json, false, stdout, stderr);
    std::vector<port_info> all;
    std::string why;
    if (!ports_list(&all, &why)) {
        d->failure("cannot read the system's serial ports (" + why + ")");
        return EXIT_FAILED;
    }
    if (!d->ports(all))
        return EXIT_FAILED;
    if (all.empty())
        d->notice("no serial ports found");
    return EXIT_PROGRAMMED;
}
