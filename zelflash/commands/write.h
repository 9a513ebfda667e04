// zelflash write: programs the device on every port given, all at once.
// Every port is opened before a byte goes to any of them; a port that does
// not open ends the run with nothing sent. The first interrupt stops every
// board after its exchange in flight.
#pragma once

#include <string>
#include <vector>

#include "commands/options.h"
#include "station/station.h"

// The exit status. `setup`: the station's fields, state file and pin.
int write_run(const flash_options& o, const std::vector<std::string>& ports, const station_setup& setup);
