// The service database: creating, opening and deleting services, rights, handles, faults.
#include <gtest/gtest.h>

#include "ServiceTestFixture.h"
#include "core/fault.h"

namespace winsim::test {
namespace {

class ServiceDatabaseTest : public ServiceTest {};

SC_HANDLE Create(SC_HANDLE scm, LPCWSTR name, DWORD type, DWORD start, DWORD errorControl, LPCWSTR binary,
                 LPCWSTR display = nullptr) {
  return CreateServiceW(scm, name, display, SERVICE_ALL_ACCESS, type, start, errorControl, binary, nullptr, nullptr,
                        nullptr, nullptr, nullptr);
}

TEST_F(ServiceDatabaseTest, CreateRejectsBadArgumentsWithWindowsErrors) {
  SC_HANDLE first = Install("Alpha");
  ASSERT_NE(first, nullptr);
  struct Case {
    const wchar_t* name;
    DWORD type, start, errorControl;
    const wchar_t* binary;
    const wchar_t* display;
    DWORD error;
  };
  const Case cases[] = {
      {L"ALPHA", SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, L"C:\\a.exe", nullptr,
       ERROR_SERVICE_EXISTS},  // names compare without regard to case
      {L"", SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, L"C:\\a.exe", nullptr, ERROR_INVALID_NAME},
      {L"a/b", SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, L"C:\\a.exe", nullptr, ERROR_INVALID_NAME},
      {L"a\\b", SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, L"C:\\a.exe", nullptr, ERROR_INVALID_NAME},
      {L"Beta", 0x40, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, L"C:\\a.exe", nullptr, ERROR_INVALID_PARAMETER},
      {L"Beta", SERVICE_WIN32_OWN_PROCESS, 9, SERVICE_ERROR_NORMAL, L"C:\\a.exe", nullptr, ERROR_INVALID_PARAMETER},
      {L"Beta", SERVICE_WIN32_OWN_PROCESS, SERVICE_BOOT_START, SERVICE_ERROR_NORMAL, L"C:\\a.exe", nullptr, ERROR_INVALID_PARAMETER},
      {L"Beta", SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, 7, L"C:\\a.exe", nullptr, ERROR_INVALID_PARAMETER},
      {L"Beta", SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, L"", nullptr, ERROR_INVALID_PARAMETER},
      {L"Beta", SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, L"C:\\a.exe", L"alpha",
       ERROR_DUPLICATE_SERVICE_NAME},
  };
  for (const auto& c : cases) {
    SetLastError(0);
    SC_HANDLE h = Create(m_scm, c.name, c.type, c.start, c.errorControl, c.binary, c.display);
    EXPECT_EQ(h, nullptr) << Utf8FromWide(c.name);
    EXPECT_EQ(GetLastError(), c.error) << Utf8FromWide(c.name);
  }
  EXPECT_EQ(services::ListServices().size(), 1u);
}

TEST_F(ServiceDatabaseTest, RecordKeepsWhatWasGiven) {
  SC_HANDLE h = CreateServiceW(m_scm, L"Gamma", L"Gamma Display", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                               SERVICE_AUTO_START, SERVICE_ERROR_SEVERE, L"\"C:\\Program Files\\g.exe\" -x", nullptr,
                               nullptr, L"Alpha\0Beta\0", nullptr, nullptr);
  ASSERT_NE(h, nullptr);
  m_open.push_back(h);
  auto info = services::FindService(L"gamma");
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->name, L"Gamma");
  EXPECT_EQ(info->displayName, L"Gamma Display");
  EXPECT_EQ(info->startType, SERVICE_AUTO_START);
  EXPECT_EQ(info->errorControl, SERVICE_ERROR_SEVERE);
  EXPECT_EQ(info->binaryPath, L"\"C:\\Program Files\\g.exe\" -x");
  EXPECT_FALSE(info->account.has_value());
  EXPECT_EQ(info->dependencies, (std::vector<std::wstring>{L"Alpha", L"Beta"}));
  SERVICE_STATUS s{};
  ASSERT_TRUE(QueryServiceStatus(h, &s));
  EXPECT_EQ(s.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(s.dwServiceType, SERVICE_WIN32_OWN_PROCESS);
}

TEST_F(ServiceDatabaseTest, DeleteMarksUntilLastHandleCloses) {
  SC_HANDLE h = Install("Delta");
  SC_HANDLE second = OpenServiceW(m_scm, L"delta", SERVICE_QUERY_STATUS);
  ASSERT_NE(second, nullptr);
  ASSERT_TRUE(DeleteService(h));
  EXPECT_FALSE(DeleteService(h));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
  EXPECT_EQ(Create(m_scm, L"DELTA", SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, L"C:\\a.exe"),
            nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
  EXPECT_FALSE(StartServiceW(h, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
  Close(h);
  ASSERT_TRUE(services::FindService(L"Delta").has_value()) << "one handle is still open";
  Close(second);
  EXPECT_FALSE(services::FindService(L"Delta").has_value());
  EXPECT_EQ(OpenServiceW(m_scm, L"Delta", SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  // The name is free again.
  EXPECT_NE(Install("Delta"), nullptr);
}

TEST_F(ServiceDatabaseTest, UsersMayConnectAndQueryButNotChange) {
  Install("Epsilon");
  AddUser("alice");
  RunAsUser(L"alice");
  EXPECT_EQ(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE);
  ASSERT_NE(scm, nullptr);
  m_open.push_back(scm);
  for (DWORD right : {static_cast<DWORD>(DELETE), static_cast<DWORD>(SERVICE_STOP), static_cast<DWORD>(SERVICE_START),
                      static_cast<DWORD>(SERVICE_CHANGE_CONFIG), static_cast<DWORD>(SERVICE_ALL_ACCESS)}) {
    EXPECT_EQ(OpenServiceW(scm, L"Epsilon", right), nullptr) << right;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << right;
  }
  SC_HANDLE svc = OpenServiceW(scm, L"Epsilon", SERVICE_QUERY_STATUS | SERVICE_INTERROGATE);
  ASSERT_NE(svc, nullptr);
  m_open.push_back(svc);
  EXPECT_EQ(StatusOf(svc), static_cast<DWORD>(SERVICE_STOPPED));
  // The manager handle lacks the right to create; the check is the handle's.
  RunAsAdministrator();
  EXPECT_EQ(Create(scm, L"Zeta", SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, L"C:\\a.exe"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(ServiceDatabaseTest, CallsNeedTheRightInTheHandle) {
  Install("Eta");
  SC_HANDLE q = OpenServiceW(m_scm, L"Eta", SERVICE_QUERY_STATUS);
  ASSERT_NE(q, nullptr);
  m_open.push_back(q);
  SERVICE_STATUS s{};
  EXPECT_FALSE(StartServiceW(q, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(DeleteService(q));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(ControlService(q, SERVICE_CONTROL_STOP, &s));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  SC_HANDLE none = OpenServiceW(m_scm, L"Eta", SERVICE_START);
  ASSERT_NE(none, nullptr);
  m_open.push_back(none);
  EXPECT_FALSE(QueryServiceStatus(none, &s));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(ServiceDatabaseTest, BadHandlesAndNames) {
  SERVICE_STATUS s{};
  EXPECT_FALSE(QueryServiceStatus(nullptr, &s));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  // A manager handle is not a service handle, and the other way round.
  EXPECT_FALSE(QueryServiceStatus(m_scm, &s));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  SC_HANDLE h = Install("Theta");
  EXPECT_EQ(OpenServiceW(h, L"Theta", SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(OpenServiceW(m_scm, L"Nope", SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  EXPECT_EQ(OpenServiceW(m_scm, L"", SERVICE_QUERY_STATUS), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
  Close(h);
  EXPECT_FALSE(CloseServiceHandle(h));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(OpenSCManagerW(nullptr, L"NoSuchDatabase", SC_MANAGER_CONNECT), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DATABASE_DOES_NOT_EXIST));
}

TEST_F(ServiceDatabaseTest, QueryServiceStatusExSizing) {
  SC_HANDLE h = Install("Iota");
  DWORD needed = 0;
  EXPECT_FALSE(QueryServiceStatusEx(h, SC_STATUS_PROCESS_INFO, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(needed, sizeof(SERVICE_STATUS_PROCESS));
  SERVICE_STATUS_PROCESS p{};
  EXPECT_FALSE(QueryServiceStatusEx(h, static_cast<SC_STATUS_TYPE>(1), reinterpret_cast<LPBYTE>(&p), sizeof(p), &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
  ASSERT_TRUE(QueryServiceStatusEx(h, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&p), sizeof(p), &needed));
  EXPECT_EQ(p.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(p.dwProcessId, 0u);
}

TEST_F(ServiceDatabaseTest, OpenSCManagerFaultsAsInjected) {
  InjectFault("OpenSCManagerW", ERROR_ACCESS_DENIED, 1);
  EXPECT_EQ(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  SC_HANDLE again = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  EXPECT_NE(again, nullptr);
  if (again) CloseServiceHandle(again);
  // The same through the command, for a whole process.
  Install("Kappa");
  auto r = Winsim({"service", "query", "Kappa"}, {{"WINSIM_FAULTS", "OpenSCManagerW=1722"}});
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(r.errors, "winsim: OpenSCManager failed: error 1722\n");
  auto missing = Winsim({"service", "query", "Nope"});
  EXPECT_NE(missing.status, 0);
  EXPECT_EQ(missing.errors, "winsim: no service Nope on this machine (error 1060)\n");
}

}  // namespace
}  // namespace winsim::test
