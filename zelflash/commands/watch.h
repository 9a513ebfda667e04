// zelflash watch: programs every serial port that appears, as boards are
// plugged in on a bench.
//
// A port is programmed once per attachment: it is taken when it appears
// (or at start with --include-present), programmed, and left alone until it
// goes away; when it comes back (a new board on the same cable) it is taken
// again. With --fixture the ports are a fixture's slots instead, open all
// day, and each board that arrives in a slot is programmed once
// (station/fixture_station.h). At most --jobs boards run at once; the others queue in the order
// they appeared. The main thread only looks for ports and displays; each
// board runs on its own thread.
#pragma once

#include "commands/options.h"
#include "station/station.h"

// The exit status.
// `setup`: the station's fields, state file, labels and pin; `ports`: a
// fixture's ports (-p, or the job's), its slots in this order.
int watch_run(const flash_options& o, const watch_options& w, const std::vector<std::string>& ports,
              const station_setup& setup);
