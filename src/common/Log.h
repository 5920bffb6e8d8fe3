// The diagnostic log shared by the service and the agent: one file per process run under
// <drive>:\Windows\Temp\_TorvexUtility_\, written at the level configured in the registry.
#pragma once
#include <windows.h>

#include <atomic>
#include <cstdarg>
#include <string>

#define LOG_LEVEL_NOLOG 0
#define LOG_LEVEL_DEBUG 1
#define LOG_LEVEL_INFO 2
#define LOG_LEVEL_WARNING 3
#define LOG_LEVEL_ERROR 4

#define REG_LOG_LEVEL_KEY L"SYSTEM\\CurrentControlSet\\Services\\Vantorel\\Logs"
#define REG_LOG_LEVEL_VALUE L"Level"

// Named after the program by each program's own definition; the entry point appends the run's GUID.
extern std::wstring g_wsModuleName;
// The configured level; -1 until the registry has been read.
extern std::atomic<LONG> g_nLogLevel;

void WriteLog(const wchar_t* tag, int reserved, int level, const wchar_t* format, ...);
void WriteLogLine(const wchar_t* tag, int reserved, int level, const wchar_t* format, va_list args);
std::wstring GetGuidString();
