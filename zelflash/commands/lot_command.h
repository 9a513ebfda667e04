// zelflash lot create|extend|status: the production lot of a job's [lot],
// in its PostgreSQL database. Exit status 0; 1 when the database cannot be
// reached or fails; 2 when the job is wrong or the lot refuses it (other
// fields, a newer schema, no such lot).
#pragma once

#include <cstdint>
#include <string>

// Makes the schema when missing, then the lot, once.
int lot_create_run(const std::string& job);
// Raises counters' last values and adds lines at lists' ends.
int lot_extend_run(const std::string& job);
// Where the lot stands, as text or one JSON document.
int lot_status_run(const std::string& job, bool json);
// Burns the values a station holds that will not come back: refused while
// it is live, and unless it was last seen `after` minutes ago or more, or
// `force`.
int lot_recover_run(const std::string& job, const std::string& station, uint32_t after, bool force);
