#include "lot/lot_conninfo.h"

// The Windows build has no libpq: a job with a lot is refused as it is read.
std::string lot_conninfo_fault(const std::string&)
{
    return "this zelflash has no lot database support (the Windows build has no PostgreSQL client): run the "
           "station on Linux or macOS, or drop [lot] and give each Windows bench its own ranges";
}

std::string lot_redact(const std::string&)
{
    return "(a lot database)";
}
