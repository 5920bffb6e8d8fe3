// notepad.exe, a stand-in for a desktop program that the shell opens. Like Utility.exe it only
// says how it was started (common/StandIn.h): its command line goes to
// C:\ProgramData\notepad\<pid>.cmdline and, as "notepad.exe command line: <the same text>", to
// standard output; then it runs until it is killed or its session ends.
//
// `winsim init` installs it into C:\Windows\System32, where ShellExecuteW finds it by name.
#include "StandIn.h"

int wmain(int, wchar_t**) { standin::RecordAndRun("notepad.exe", L"notepad"); }
