#include "commands/lot_command.h"

#include <cstdio>

#include "lot/lot_conninfo.h"

namespace {

int refused()
{
    std::fprintf(stderr, "zelflash: %s\n", lot_conninfo_fault("").c_str());
    return 2;
}

}  // namespace

int lot_create_run(const std::string&)
{
    return refused();
}

int lot_extend_run(const std::string&)
{
    return refused();
}

int lot_status_run(const std::string&, bool)
{
    return refused();
}

int lot_recover_run(const std::string&, const std::string&, uint32_t, bool)
{
    return refused();
}
