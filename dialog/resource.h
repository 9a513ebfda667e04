// Symbolic ids shared by the resource script and the code.
#pragma once

#define IDC_PORT 3     // the port list
#define IDC_PROGRAM 4  // the "Program" button
#define IDC_STATUS 5   // the read-only status field
#define IDT_POLL 6     // the poll timer of the main window

#define ZEL_VERSION_MAJOR 1
#define ZEL_VERSION_MINOR 0
#define ZEL_VERSION_TEXT "1.0.0"
