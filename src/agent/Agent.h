// The agent's fixed texts and results: what it is called in its log lines, the commands it
// accepts and the exit codes by which the service learns how a run went.
#pragma once

// The first argument of every line that the entry point logs.
#define AGENT_IMAGE_NAME L"Quenlet.exe"

// The characters that every trim of an argument strips: blank, tab, line feed, carriage return,
// vertical tab, form feed.
#define AGENT_WHITESPACE L" \t\n\r\v\f"

// Command words, compared exactly and with regard to case. The launch word is spelt "Lauch"
// (without an n); that is the word the service sends.
#define AGENT_ACTIVATE_COMMAND_SLASH L"/LaunchTorvexUtilityAppx"
#define AGENT_ACTIVATE_COMMAND_DASH L"-LaunchTorvexUtilityAppx"
#define AGENT_LAUNCH_COMMAND_SLASH L"/LauchApp"
#define AGENT_LAUNCH_COMMAND_DASH L"-LauchApp"

// Exit codes. A run whose three activation attempts all failed ends with the last attempt's
// HRESULT instead, its 32 bits as they are. There is no code 5.
#define AGENT_EXIT_SUCCESS 0
#define AGENT_EXIT_BAD_ARGUMENTS 1
#define AGENT_EXIT_NO_COMMAND_LINE 2
#define AGENT_EXIT_SPLIT_FAILED 3
#define AGENT_EXIT_NOT_PRELOADED 4
#define AGENT_EXIT_SHELL_FAILED 6

// The activation is tried this often, with this pause (in milliseconds) between two attempts.
#define AGENT_ACTIVATION_ATTEMPTS 3
#define AGENT_ACTIVATION_PAUSE_MS 30000
