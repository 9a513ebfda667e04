#include "report/report_lot.h"

#include "lot/lot_conninfo.h"

// The Windows build has no PostgreSQL client: refused as the lot commands are.
report_lot_result report_lot_read(const job_lot&, report_data*, std::string* error, uint32_t)
{
    *error = lot_conninfo_fault("");
    return REPORT_LOT_REFUSED;
}

