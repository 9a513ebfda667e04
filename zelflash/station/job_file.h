// The station's job file: everything a production bench needs to program its
// boards, in one versioned TOML file handed to an operator. The command-line
// options override it; what neither gives keeps the default the options
// define. Every key is checked: an unknown key, a wrong type or a value out
// of range refuses the whole file, never silently ignored.
//
//   version = 1                        # required; 1 is the only version
//
//   [image]
//   path = "firmware.hex"              # relative to the job file's folder
//   sha256 = "9f86d0..."               # 64 hex digits: the image file must have this digest
//   format = "auto"                    # auto | bin | ihex | srec
//   address = 0x1F000                  # raw images only; 0 to 0xFFFFFFFF
//   fill_gaps = false
//   flash_size = 0x200000              # 1 to 0xFFFFFFFF bytes
//
//   [link]
//   baud = 115200                      # 1 to 4000000
//   retries = 10                       # 1 to 1000000
//   erase_timeout = 60.0               # seconds, 0.1 to 86400, integer or float
//
//   [station]
//   ports = ["/dev/ttyUSB0"]           # write, and a fixture's slots: these ports (at least one, no repeats)
//   glob = "/dev/ttyUSB*"              # watch: the paths matching this (wildcards in the last part)
//   match = ["0403:6001"]              # watch: USB ports with these VID:PID (hex); not with glob
//   jobs = 8                           # 1 to 256 boards at once
//   include_present = false
//   log = "boards.jsonl"               # board log, relative to the job file's folder
//   state = "station.serials"          # field state, relative; default: the job file's
//                                      # name with .serials for its extension, beside it
//   on_failure = "burn"                # burn | reuse: what becomes of a failed board's values
//   mode = "ports"                     # ports (a port per board) | fixture (the ports are slots)
//   present = "probe"                  # fixture: probe | dsr | cts | dcd | ri | enter
//   probe_ms = 250                     # fixture: between two probes of a slot, 20 to 60000
//   leave_ms = 1000                    # fixture: unheard this long, a board has left; 100 to 600000
//
//   [labels]                           # strings copied into every board-log record;
//   product = "thermo-2"               # key names of letters, digits, '_' and '-'
//
//   [[field]]                          # per-board data patched into each board's image copy
//   name = "serial"                    # [A-Za-z_][A-Za-z0-9_]*, unique
//   address = 0x1F000                  # its bytes, address to address + width - 1, overlap
//                                      # no other field's and end at or below 0xFFFFFFFF
//   kind = "counter"                   # counter | list | value (see fields.h)
//   format = "le32"                    # le32, be16, dec10, hex8, bytes6, text16 (see fields.h)
//   start = 1000                       # counter only, default 0
//   step = 1                           # counter only, at least 1, default 1
//   last = 1999                        # counter only, at least start; default: no end
//   list = "macs.txt"                  # list only, and required there; relative to the job file
//
//   [lot]                              # a production lot shared by stations through PostgreSQL
//   database = "postgresql:///zel?host=/run/postgresql"   # libpq connection string or URI, required;
//                                      # never a password (~/.pgpass, PGPASSFILE or PGPASSWORD)
//   name = "L2026-1208"                # required, 1 to 64 of A-Z a-z 0-9 _ . -
//   station = "bench-3"                # this station in the lot, as name; default: the host name
//   lease = 8                          # values a station takes at a time, 1 to 10000
//
// Integers are TOML integers (0x1F000 is one); a number in a string is a
// wrong type. No string setting may be empty: leave the key out instead. A counter's start and last must fit its format: the width's
// bits for le and be, its digits for dec, hex and text (bytes is left to the
// field's own check). A value field takes its value per run (--set), not
// from the file.
//
// Errors are one line: the file as named, the line, the key, what is wrong
// and what is allowed:
//   "station.toml line 12: [link] baud: 0 is not a line speed from 1 to 4000000"
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "values/fields.h"
#include "station/settings.h"

// [lot]: the lot this station shares with others.
struct job_lot {
    std::string database;  // a connection string holding no password (lot_conninfo.h)
    std::string name;
    std::string station;   // empty: the host name, taken when a station starts
    uint32_t lease = 8;
    uint32_t line = 0;     // of [lot]
};

struct job_field {
    field_spec field;   // list resolved against the job file's folder
    uint32_t line = 0;  // of its address, where an overlap or a misplacement is seen
};

// The settings of [image], [link] and [station] are the rows of the
// settings table (settings.h): `given` marks those the file gives, with the
// line of each key, so that a check made later (an image that does not
// match its sha256, a field outside the image) can name the place. Paths are
// stored resolved against the job file's folder (kept as given when
// absolute), an address as hex text, the sha256 in lower case; the state
// file is always given, its default with line 0.
struct station_job {
    std::string name;  // the job file as named; error texts start with it
    setting_values values;  // the settings the file gives; the others keep their defaults
    setting_marks given;
    std::map<std::string, std::string> labels;
    std::vector<job_field> fields;  // in the file's order
    std::optional<job_lot> lot;
};

enum job_file_limits : uint32_t {
    JOB_FILE_MAX_SIZE = 1u << 20,  // bytes; a job file is a page of text, so more is not one
};

// Reads and checks the job file at `path`. false with a one-line error; *out
// is then unchanged.
bool job_file_read(const std::string& path, station_job* out, std::string* error);
// The same on text already read; `name` labels the errors and its folder is
// where relative paths start.
bool job_file_parse(std::string_view text, const std::string& name, station_job* out, std::string* error);
// "station.toml line 12", how an error about a setting found later begins.
std::string job_file_where(const station_job& job, uint32_t line);
