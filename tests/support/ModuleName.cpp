// The log's module name, which each program defines for itself; tests name their files after the
// service.
#include <string>

std::wstring g_wsModuleName = L"TorvexUtilityService";
