// zelflash list: the system's serial ports with what it knows of each, as
// lines or as a JSON array.
#pragma once

// The exit status.
int list_run(bool json);
