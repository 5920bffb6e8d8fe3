// Process creation on the machine, as CreateProcessW and CreateProcessAsUserW do it: the program
// found by Windows' rules, the program file held as a running image, the process started as an
// identity in a session with a command line, an environment, a current directory and a desktop.
// The subsystems that start programs for a user (the application activation manager, the shell)
// call CreateMachineProcess.
#pragma once
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "core/identity.h"
#include "minwindef.h"
#include "process/processobject.h"

namespace winsim {

struct ProcessCreation {
  // The program as given (no search, no extension added); nullopt: the command line's first token.
  std::optional<std::wstring> applicationName;
  // What the process's GetCommandLineW returns, exactly.
  std::wstring commandLine;
  // Who the process runs as, and in which session.
  Identity identity;
  // Its Windows environment.
  std::map<std::wstring, std::wstring> environment;
  // Its current directory (a Windows path, relative to the caller's); empty: the caller's.
  std::wstring currentDirectory;
  // The desktop it is started on ("winsta0\default"); empty: the caller's.
  std::wstring desktop;
  bool suspended = false;
  // No console of the caller's: its standard input and output lead nowhere.
  bool noConsole = false;
};

struct CreatedProcess {
  std::shared_ptr<ProcessObject> process;
  std::wstring imagePath;  // the program's full Windows path
};

// Starts the program: ERROR_SUCCESS and the process, or the Win32 error that CreateProcessW gives.
DWORD CreateMachineProcess(const ProcessCreation& creation, CreatedProcess* created);

// The program that CreateProcessW would run for these arguments: ERROR_SUCCESS with its full
// Windows path, or ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND or ERROR_ACCESS_DENIED (a folder).
DWORD FindProgram(const std::optional<std::wstring>& applicationName, const std::wstring& commandLine,
                  std::wstring* program);

// The handles that PROCESS_INFORMATION carries for a created process.
void InsertProcessHandles(const CreatedProcess& created, HANDLE* process, HANDLE* thread);

}  // namespace winsim
