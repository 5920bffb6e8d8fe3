// Utility.exe, the stand-in for the companion store app's process. It runs until its session ends
// (a logoff ends every process of the session) or it is killed, and does nothing else but say how
// it was started (common/StandIn.h): its command line goes to C:\ProgramData\Utility\<pid>.cmdline
// and, as "Utility.exe command line: <the same text>", to standard output.
//
// Package activation starts it: `winsim package install` installs it as the program of a package
// by default.
#include "StandIn.h"

int wmain(int, wchar_t**) { standin::RecordAndRun("Utility.exe", L"Utility"); }
