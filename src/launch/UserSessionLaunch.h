// Starting programs in the interactive user's session: the service runs as LocalSystem in the
// services session, but the agent has to run on the console user's desktop with that user's token
// and environment.
#pragma once
#include <windows.h>

#include <string>

// The agent, expected in the service's own folder.
#define AGENT_IMAGE_NAME L"Quenlet.exe"
// The agent's two commands; the launch command is followed by the command text as received.
#define AGENT_ACTIVATION_COMMAND L" -LaunchTorvexUtilityAppx"
#define AGENT_LAUNCH_COMMAND L" -LauchApp "
// The interactive desktop of the user's session.
#define USER_SESSION_DESKTOP L"winsta0\\default"
// Paths, command lines and directories are copied into MAX_PATH buffers with their terminator.
#define USER_SESSION_LAUNCH_MAX_LENGTH (MAX_PATH - 1)

// Starts the command line in the active console session under the signed-in user's token, with
// that user's environment, on the interactive desktop. Empty strings are passed as null. TRUE when
// the process was created; the record (whose two handles the caller then owns) is filled only then.
// A string longer than USER_SESSION_LAUNCH_MAX_LENGTH is refused with an ERROR line, before any
// token is taken.
BOOL CreateProcessInUserSession(std::wstring wsApplicationName, std::wstring wsCommandLine,
                                std::wstring wsCurrentDirectory, PROCESS_INFORMATION* pProcessInfo);

// Has the agent verified, starts it with the activation command in the user's session and waits
// until it has ended. TRUE when the agent ran and its exit code was read into *pdwExitCode (which
// is 0 on every other outcome).
BOOL LaunchTorvexUtilityAppx(DWORD* pdwExitCode);

// Starts the agent with the launch command and the command text, without verification and without
// waiting for it.
void LaunchAgentWithCommand(const wchar_t* pwszCommand);

// The agent's path: the service executable's folder and AGENT_IMAGE_NAME. FALSE, with the last
// error set, when the executable's path cannot be had whole.
BOOL GetAgentPath(std::wstring& wsAgentPath);

// A seam for tests: when set, LaunchTorvexUtilityAppx calls it after the agent has been accepted,
// while it holds the agent's file open against writing and deletion, just before the process is
// created. Null in the service.
extern void (*g_pfnBeforeAgentProcessCreation)(const std::wstring& wsAgentPath);
