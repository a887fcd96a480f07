#pragma once
// <windows.h> for the Win32 units of platform/os, without the macros that would rename this
// layer's own functions (DeleteFile, AnsiUpper, OemToAnsi, ... are macros there).

#include <windows.h>

#undef DeleteFile
#undef AnsiUpper
#undef AnsiLower
#undef AnsiToOem
#undef OemToAnsi
