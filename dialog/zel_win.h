// Application state of the Windows program, in static storage.
#pragma once

#include <windows.h>

extern HINSTANCE zel_instance;  // the program instance, kept by WinMain
extern HWND zel_dialog;         // the main dialog; null until it exists
