// Quenlet, the agent that the service starts in the interactive user's session: a GUI-subsystem
// program without windows that carries out the one command on its command line, logs what it did
// and ends. Its exit code is the only answer the service gets.
//
//   Quenlet.exe -LaunchTorvexUtilityAppx [ignored...]   activate the companion app (/ also accepted)
//   Quenlet.exe -LauchApp FILE [PARAMETERS]             open FILE through the shell
#include <windows.h>
#include <shellapi.h>

#include <string>

#include "agent/Agent.h"
#include "agent/AgentResources.h"
#include "agent/AppActivation.h"
#include "agent/StringTrim.h"
#include "common/Log.h"
#include "common/UtilityApp.h"

std::wstring g_wsModuleName = L"Quenlet";

namespace {

int RunActivationCommand() {
  bool preloaded = IsPackageFamilyPreloaded(UTILITY_PACKAGE_FAMILY_NAME);
  WriteLog(L"", 1, LOG_LEVEL_INFO, L"%s WinMain The \"%s\" app is %spreloaded.\n", AGENT_IMAGE_NAME,
           UTILITY_PACKAGE_FAMILY_NAME, preloaded ? L"" : L"NOT ");
  // A package that is not there will not appear by trying again.
  if (!preloaded) return AGENT_EXIT_NOT_PRELOADED;

  HRESULT hr = S_OK;
  for (int attempt = 1; attempt <= AGENT_ACTIVATION_ATTEMPTS; ++attempt) {
    hr = ActivateTorvexUtilityAppx(true);
    WriteLog(L"", 1, LOG_LEVEL_INFO, L"%s WinMain The status of launch torvex utility appx is: %s.\n",
             AGENT_IMAGE_NAME, SUCCEEDED(hr) ? L"True" : L"False");
    if (SUCCEEDED(hr)) return AGENT_EXIT_SUCCESS;
    if (attempt < AGENT_ACTIVATION_ATTEMPTS) Sleep(AGENT_ACTIVATION_PAUSE_MS);
  }
  // The HRESULT's 32 bits become the exit code as they are.
  return static_cast<int>(hr);
}

// argc is 3 (a file) or 4 (a file and its parameters); anything else was refused before.
int RunLaunchCommand(int argc, LPWSTR* argv) {
  const std::wstring wsQuote = L"\"";
  std::wstring wsAppName = Trim(argv[2], AGENT_WHITESPACE);
  std::wstring wsAppCmdLine = argc == 4 ? Trim(argv[3], AGENT_WHITESPACE) : std::wstring();
  // Never filled by any command, but handled like the others.
  std::wstring wsAppCurrentDir;

  // The split consumed the quotes: put them back, so that the file may hold blanks and the program
  // receives the whole parameters text as one argument.
  for (std::wstring* field : {&wsAppName, &wsAppCmdLine, &wsAppCurrentDir}) {
    if (!field->empty()) *field = wsQuote + *field + wsQuote;
  }
  auto shown = [](const std::wstring& field) { return field.empty() ? L"\"\"" : field.c_str(); };
  WriteLog(L"", 1, LOG_LEVEL_INFO, L"%s WinMain wsAppName: %s, wsAppCmdLine: %s, wsAppCurrentDir: %s",
           AGENT_IMAGE_NAME, shown(wsAppName), shown(wsAppCmdLine), shown(wsAppCurrentDir));

  // The agent does not wait for the program it opened.
  HINSTANCE result = ShellExecuteW(nullptr, L"open", wsAppName.c_str(),
                                   wsAppCmdLine.empty() ? nullptr : wsAppCmdLine.c_str(),
                                   wsAppCurrentDir.empty() ? nullptr : wsAppCurrentDir.c_str(), SW_SHOWNORMAL);
  LONG value = static_cast<LONG>(reinterpret_cast<INT_PTR>(result));
  if (reinterpret_cast<INT_PTR>(result) > 32) return AGENT_EXIT_SUCCESS;
  WriteLog(L"", 1, LOG_LEVEL_ERROR, L"%s WinMain ShellExecute error: %ld", AGENT_IMAGE_NAME, value);
  return AGENT_EXIT_SHELL_FAILED;
}

}  // namespace

// The four parameters are not used: the agent reads the process's command line itself.
int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nShowCmd) {
  // Every run logs into a file of its own; without a GUID text, into the bare module name's file.
  g_wsModuleName += GetGuidString();

  LPWSTR commandLine = GetCommandLineW();
  if (commandLine == nullptr) {
    WriteLog(L"", 1, LOG_LEVEL_ERROR, L"%s WinMain GetCommandLine() return fail! error: %d\n", AGENT_IMAGE_NAME,
             GetLastError());
    return AGENT_EXIT_NO_COMMAND_LINE;
  }

  int argc = 0;
  UniqueLocalMemory<LPWSTR> argv(CommandLineToArgvW(commandLine, &argc));
  if (!argv) {
    WriteLog(L"", 1, LOG_LEVEL_ERROR, L"%s WinMain CommandLineToArgvW() return fail! error: %d\n", AGENT_IMAGE_NAME,
             GetLastError());
    return AGENT_EXIT_SPLIT_FAILED;
  }
  // Argument 0, the program's path, is never looked at. An unquoted path with blanks has been
  // split into several arguments, and the command word is then a piece of the path.
  if (argc < 2) return AGENT_EXIT_BAD_ARGUMENTS;

  std::wstring command = Trim(argv.get()[1], AGENT_WHITESPACE);
  if (command == AGENT_ACTIVATE_COMMAND_SLASH || command == AGENT_ACTIVATE_COMMAND_DASH) {
    // Further arguments are ignored.
    return RunActivationCommand();
  }
  if (command == AGENT_LAUNCH_COMMAND_SLASH || command == AGENT_LAUNCH_COMMAND_DASH) {
    if (argc != 3 && argc != 4) return AGENT_EXIT_BAD_ARGUMENTS;
    return RunLaunchCommand(argc, argv.get());
  }
  return AGENT_EXIT_BAD_ARGUMENTS;
}
