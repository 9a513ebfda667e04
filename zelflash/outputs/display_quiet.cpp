#include "outputs/display_quiet.h"

void display_quiet::finished(const board_view& v)
{
    if (!v.message.empty())
        problem(v.message, v.port);
}
