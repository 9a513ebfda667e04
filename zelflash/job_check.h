// zelflash job check: reads a job file, loads and checks its image and
// fields as write and watch would, and prints what a run would do -- the
// image, its size and address, the link, the ports, the fields and the next
// values they would hand out -- without touching a port or the state file.
#pragma once

#include <string>

// The exit status: 0 when the job would run, 2 when it is refused.
int job_check_run(const std::string& path);
