// zelflash job check: reads a job file, loads and checks its image and
// fields as write and watch would, and prints what a run would do -- the
// image, its size and address, the link, the ports, the fields and the next
// values they would hand out -- without touching a port or the state file,
// and checks that the state file and the board log can be written.
// zelflash job init: makes the job's state file for a new lot.
#pragma once

#include <string>

// The exit status: 0 when the job would run, 2 when it is refused.
int job_check_run(const std::string& path);
// The exit status: 0 when the state file was made (its path printed), 2
// when it is refused (it exists, or the job's board log already shows
// values of its fields).
int job_init_run(const std::string& path);
