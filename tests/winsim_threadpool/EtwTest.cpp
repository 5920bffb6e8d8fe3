// ETW providers writing to the machine's event log, and `winsim events` reading it.
#include <gtest/gtest.h>

#include <unistd.h>

#include "MachineTest.h"
#include "core/fault.h"
#include "core/strings.h"
#include "etw/etw.h"
#include "evntprov.h"
#include "windows.h"

namespace winsim::test {
namespace {

// {6A3E1F02-9B4C-4D7E-A1B2-0C0FFEE0BEEF}
constexpr GUID kProvider = {0x6a3e1f02, 0x9b4c, 0x4d7e, {0xa1, 0xb2, 0x0c, 0x0f, 0xfe, 0xe0, 0xbe, 0xef}};
constexpr GUID kOther = {0x00000001, 0x0002, 0x0003, {0, 4, 0, 0, 0, 0, 0, 5}};

class EtwTest : public MachineTest {};

TEST_F(EtwTest, WrittenEventsLandInTheEventLog) {
  REGHANDLE handle = 0;
  ASSERT_EQ(EventRegister(&kProvider, nullptr, nullptr, &handle), static_cast<ULONG>(ERROR_SUCCESS));
  EXPECT_NE(handle, 0u);
  EXPECT_EQ(EventWriteString(handle, 4, 0x8000000000000001ull, L"Service started"), static_cast<ULONG>(ERROR_SUCCESS));
  EXPECT_EQ(EventWriteString(handle, 2, 0, L"Grüße ✓ 𝄞"), static_cast<ULONG>(ERROR_SUCCESS));
  EXPECT_EQ(EventUnregister(handle), static_cast<ULONG>(ERROR_SUCCESS));

  auto events = etw::ReadEvents();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].provider, "{6A3E1F02-9B4C-4D7E-A1B2-0C0FFEE0BEEF}");
  EXPECT_EQ(events[0].level, 4);
  EXPECT_EQ(events[0].keyword, 0x8000000000000001ull);
  EXPECT_EQ(events[0].text, L"Service started");
  EXPECT_EQ(events[0].pid, static_cast<int64_t>(getpid()));
  EXPECT_EQ(events[0].imageName, L"winsim_threadpool_tests");
  EXPECT_GT(events[0].timeMicros, 1600000000LL * 1000000);
  EXPECT_LE(events[0].timeMicros, events[1].timeMicros);
  EXPECT_EQ(events[1].level, 2);
  EXPECT_EQ(events[1].text, L"Grüße ✓ 𝄞");
}

// A stale handle fails; the zero handle of a failed registration is accepted and does nothing.
TEST_F(EtwTest, WritesWithoutALiveRegistration) {
  REGHANDLE handle = 0;
  ASSERT_EQ(EventRegister(&kProvider, nullptr, nullptr, &handle), static_cast<ULONG>(ERROR_SUCCESS));
  ASSERT_EQ(EventUnregister(handle), static_cast<ULONG>(ERROR_SUCCESS));
  EXPECT_EQ(EventWriteString(handle, 4, 0, L"after unregister"), static_cast<ULONG>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(EventUnregister(handle), static_cast<ULONG>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(EventWriteString(0, 4, 0, L"handle zero"), static_cast<ULONG>(ERROR_SUCCESS));
  EXPECT_EQ(EventUnregister(0), static_cast<ULONG>(ERROR_SUCCESS));
  EXPECT_TRUE(etw::ReadEvents().empty());
  REGHANDLE failed = 12345;
  InjectFault("EventRegister", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(EventRegister(&kProvider, nullptr, nullptr, &failed), static_cast<ULONG>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(failed, 0u);
}

TEST_F(EtwTest, ArgumentChecks) {
  REGHANDLE handle = 0;
  EXPECT_EQ(EventRegister(nullptr, nullptr, nullptr, &handle), static_cast<ULONG>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(EventRegister(&kProvider, nullptr, nullptr, nullptr), static_cast<ULONG>(ERROR_INVALID_PARAMETER));
  ASSERT_EQ(EventRegister(&kProvider, nullptr, nullptr, &handle), static_cast<ULONG>(ERROR_SUCCESS));
  EXPECT_EQ(EventWriteString(handle, 4, 0, nullptr), static_cast<ULONG>(ERROR_INVALID_PARAMETER));
  std::wstring tooLong(40000, L'x');  // 80 000 bytes in UTF-16, past the 64 KB event limit
  EXPECT_EQ(EventWriteString(handle, 4, 0, tooLong.c_str()), static_cast<ULONG>(ERROR_ARITHMETIC_OVERFLOW));
  EXPECT_TRUE(etw::ReadEvents().empty());
  EventUnregister(handle);
}

TEST_F(EtwTest, EnableCallbackHearsTheAlwaysOnSession) {
  struct Heard {
    int calls = 0;
    ULONG isEnabled = 99;
    GUID source{};
  } heard;
  REGHANDLE handle = 0;
  ASSERT_EQ(EventRegister(
                &kProvider,
                [](LPCGUID source, ULONG isEnabled, UCHAR, ULONGLONG, ULONGLONG, PEVENT_FILTER_DESCRIPTOR, PVOID ctx) {
                  auto* h = static_cast<Heard*>(ctx);
                  h->calls++;
                  h->isEnabled = isEnabled;
                  h->source = *source;
                },
                &heard, &handle),
            static_cast<ULONG>(ERROR_SUCCESS));
  EXPECT_EQ(heard.calls, 1);
  EXPECT_EQ(heard.isEnabled, static_cast<ULONG>(EVENT_CONTROL_CODE_ENABLE_PROVIDER));
  EXPECT_EQ(etw::GuidText(heard.source), etw::GuidText(kProvider));
  EventUnregister(handle);
}

TEST_F(EtwTest, FaultsAreInjectedAsStatuses) {
  REGHANDLE handle = 0;
  InjectFault("EventRegister", ERROR_NOT_ENOUGH_MEMORY, 1);
  EXPECT_EQ(EventRegister(&kProvider, nullptr, nullptr, &handle), static_cast<ULONG>(ERROR_NOT_ENOUGH_MEMORY));
  ASSERT_EQ(EventRegister(&kProvider, nullptr, nullptr, &handle), static_cast<ULONG>(ERROR_SUCCESS));
  InjectFault("EventWriteString", ERROR_MORE_DATA, 1);
  EXPECT_EQ(EventWriteString(handle, 4, 0, L"lost"), static_cast<ULONG>(ERROR_MORE_DATA));
  InjectFault("EventUnregister", ERROR_INVALID_PARAMETER, 1);
  EXPECT_EQ(EventUnregister(handle), static_cast<ULONG>(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(etw::ReadEvents().empty());
  EXPECT_EQ(EventUnregister(handle), static_cast<ULONG>(ERROR_SUCCESS));
}

TEST_F(EtwTest, WinsimEventsPrintsOneLinePerEventAndFiltersByProvider) {
  REGHANDLE a = 0, b = 0;
  ASSERT_EQ(EventRegister(&kProvider, nullptr, nullptr, &a), static_cast<ULONG>(ERROR_SUCCESS));
  ASSERT_EQ(EventRegister(&kOther, nullptr, nullptr, &b), static_cast<ULONG>(ERROR_SUCCESS));
  EventWriteString(a, 4, 1, L"first from A");
  EventWriteString(b, 3, 1, L"only from B");
  EventWriteString(a, 2, 1, L"second from A");
  EventUnregister(a);
  EventUnregister(b);

  auto all = Winsim({"events"});
  ASSERT_EQ(all.status, 0) << all.errors;
  auto lines = [](const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      out.push_back(text.substr(start, end - start));
      start = end + 1;
    }
    return out;
  };
  auto allLines = lines(all.output);
  ASSERT_EQ(allLines.size(), 3u) << all.output;
  auto events = etw::ReadEvents();
  EXPECT_EQ(allLines[0], etw::FormatTime(events[0].timeMicros) + " {6A3E1F02-9B4C-4D7E-A1B2-0C0FFEE0BEEF} 4 first from A");
  EXPECT_EQ(allLines[1], etw::FormatTime(events[1].timeMicros) + " {00000001-0002-0003-0004-000000000005} 3 only from B");

  // Any case, braces optional.
  auto onlyA = Winsim({"events", "--provider", "6a3e1f02-9b4c-4d7e-a1b2-0c0ffee0beef"});
  ASSERT_EQ(onlyA.status, 0) << onlyA.errors;
  auto aLines = lines(onlyA.output);
  ASSERT_EQ(aLines.size(), 2u) << onlyA.output;
  EXPECT_NE(aLines[0].find("first from A"), std::string::npos);
  EXPECT_NE(aLines[1].find("second from A"), std::string::npos);

  auto bad = Winsim({"events", "--provider", "not-a-guid"});
  EXPECT_NE(bad.status, 0);
  EXPECT_NE(bad.errors.find("not a GUID"), std::string::npos);
}

}  // namespace
}  // namespace winsim::test
