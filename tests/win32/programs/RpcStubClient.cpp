// Drives the service's manager routines through the Windows build's stubs under the platform's RPC
// run-time (Wine in the Windows check): starts RpcStubServer.exe (the routines on the service's
// endpoint), runs the Windows build of Utility.exe, the companion app's stand-in, against it with a
// table of action lists, and compares every line that Utility.exe prints, and the lines that the
// routines print on the server's side. Prints one line per case ("ok", "FAILED" with what differed,
// or "SKIPPED" with the reason) and exits with the number of failures.
#include <windows.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

int g_failures = 0;

void Report(bool ok, const std::string& step, const std::string& detail = "") {
  if (ok) {
    std::printf("ok       %s\n", step.c_str());
  } else {
    std::printf("FAILED   %s: %s\n", step.c_str(), detail.c_str());
    ++g_failures;
  }
  std::fflush(stdout);
}

void Skip(const std::string& step, const std::string& reason) {
  std::printf("SKIPPED  %s: %s\n", step.c_str(), reason.c_str());
  std::fflush(stdout);
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += "[" + line + "]";
  return text;
}

std::wstring Folder() {
  wchar_t self[MAX_PATH] = {};
  DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path(self, length);
  return path.substr(0, path.find_last_of(L'\\') + 1);
}

// A started program whose standard output is read line by line into `lines`.
struct Child {
  PROCESS_INFORMATION process{};
  std::thread reader;
  std::mutex lock;
  std::vector<std::string> lines;

  bool Start(const std::wstring& commandLine) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return false;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    std::wstring command = commandLine;
    BOOL started = CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    CloseHandle(writeEnd);
    if (!started) {
      CloseHandle(readEnd);
      return false;
    }
    reader = std::thread([this, readEnd] {
      std::string pending;
      char buffer[512];
      DWORD count = 0;
      while (ReadFile(readEnd, buffer, sizeof buffer, &count, nullptr) && count > 0) {
        pending.append(buffer, count);
        for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
          std::string line = pending.substr(0, end);
          if (!line.empty() && line.back() == '\r') line.pop_back();
          pending.erase(0, end + 1);
          std::lock_guard<std::mutex> guard(lock);
          lines.push_back(line);
        }
      }
      CloseHandle(readEnd);
    });
    return true;
  }

  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> guard(lock);
    return lines;
  }

  // Waits up to `ms` for a line; true when it came.
  bool WaitForLine(const std::string& wanted, DWORD ms) {
    for (DWORD waited = 0; waited <= ms; waited += 50) {
      for (const auto& line : Lines()) {
        if (line == wanted) return true;
      }
      Sleep(50);
    }
    return false;
  }

  // Waits up to `ms` for the end (ending the process after that); the exit code, or -1 when it
  // had to be ended.
  long Finish(DWORD ms) {
    long code = -1;
    if (WaitForSingleObject(process.hProcess, ms) == WAIT_OBJECT_0) {
      DWORD exitCode = 0;
      GetExitCodeProcess(process.hProcess, &exitCode);
      code = static_cast<long>(exitCode);
    } else {
      TerminateProcess(process.hProcess, 1);
      WaitForSingleObject(process.hProcess, 5000);
    }
    if (reader.joinable()) reader.join();
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return code;
  }
};

// Runs Utility.exe --rpc with the actions; its lines, or a failure when it did not end with 0.
bool RunUtility(const std::wstring& actions, std::vector<std::string>& lines, std::string& problem) {
  Child utility;
  if (!utility.Start(L"\"" + Folder() + L"Utility.exe\" --rpc " + actions)) {
    problem = "cannot start Utility.exe: " + std::to_string(GetLastError());
    return false;
  }
  long code = utility.Finish(30000);
  lines = utility.Lines();
  // The first line echoes the command line.
  if (!lines.empty() && lines[0].rfind("Utility.exe command line: ", 0) == 0) lines.erase(lines.begin());
  if (code != 0) {
    problem = code == -1 ? "Utility.exe did not end within 30 s" : "Utility.exe exited with " + std::to_string(code);
    return false;
  }
  return true;
}

// Whether `wanted` occur in `lines` in this order (other lines may come between).
bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& wanted) {
  size_t next = 0;
  for (const auto& line : lines) {
    if (next < wanted.size() && line == wanted[next]) ++next;
  }
  return next == wanted.size();
}

const char kCommendLine[] = "getcommend: length 35 text \"rrrrrrrr  GetCommendSvr RpcServer \" last 0";

}  // namespace

int wmain() {
  Child server;
  if (!server.Start(L"\"" + Folder() + L"RpcStubServer.exe\"")) {
    Report(false, "start RpcStubServer.exe", std::to_string(GetLastError()));
    return 1;
  }
  bool listening = server.WaitForLine("listening", 20000);
  Report(listening, "RpcStubServer.exe listens on the service's endpoint", Joined(server.Lines()));
  if (!listening) {
    server.Finish(0);
    return g_failures;
  }

  // Action lists whose every printed line is known. A fault ends the list: after one, Wine's
  // client sends the next call on a new connection, which its server refuses.
  const struct {
    const char* name;
    const wchar_t* actions;
    std::vector<std::string> expected;
    std::vector<std::string> serverSays;  // in this order, after what the earlier cases said
  } cases[] = {
      {"open, GetCommend, SetMeteringPeriod, close",
       L"open getcommend setperiod:250 setperiod:-7 setperiod:5000 close",
       {"open: ok", kCommendLine, "setperiod: ok", "setperiod: ok", "setperiod: ok", "close: ok"},
       {"opening rpc endpoint", "start GetCommend", "closing rpc endpoint"}},
      {"GetCommend twice on one context gives the same text", L"open getcommend getcommend close",
       {"open: ok", kCommendLine, kCommendLine, "close: ok"},
       {"opening rpc endpoint", "start GetCommend", "start GetCommend", "closing rpc endpoint"}},
      {"a closed context is refused by the client's stub (1775)", L"open close getcommend",
       {"open: ok", "close: ok", "getcommend: fault 1775"},
       {"opening rpc endpoint", "closing rpc endpoint"}},
      {"SetXMLCommend from a caller that is not the console user's app is refused (5)",
       L"open \"setxml:notepad.exe C:\\x.txt\"", {"open: ok", "setxml: fault 5"}, {"opening rpc endpoint"}},
  };
  size_t serverSeen = 0;
  for (const auto& row : cases) {
    std::vector<std::string> lines;
    std::string problem;
    bool ran = RunUtility(row.actions, lines, problem);
    if (!ran) {
      Report(false, row.name, problem + " " + Joined(lines));
      continue;
    }
    Report(lines == row.expected, row.name, "expected " + Joined(row.expected) + ", got " + Joined(lines));
    // The routines' lines for this case: they may follow Utility's end by a moment.
    std::vector<std::string> said;
    for (int i = 0; i < 40; ++i) {
      std::vector<std::string> all = server.Lines();
      said.assign(all.begin() + static_cast<long>(serverSeen), all.end());
      if (InOrder(said, row.serverSays)) break;
      Sleep(50);
    }
    Report(InOrder(said, row.serverSays), std::string(row.name) + ": the routines' lines",
           "expected " + Joined(row.serverSays) + " in order, got " + Joined(said));
    serverSeen += said.size();
  }

  // Metering calls the client back on the thread that waits in StartMetering: two ticks with the
  // caller's value, then StopMetering from a second thread ends the loop.
  {
    std::vector<std::string> lines;
    std::string problem;
    bool ran = RunUtility(L"open meter:10:77:2 close", lines, problem);
    bool ticked = false;
    std::string fault;
    for (const auto& line : lines) {
      if (line.rfind("tick ", 0) == 0) ticked = true;
      if (line.rfind("meter: fault ", 0) == 0) fault = line.substr(13);
    }
    if (ran && !ticked && !fault.empty()) {
      // Wine 8: the server's NDR engine finds no binding for a call back to the client (1702), so
      // the routine's first MeteringTick fails and StartMetering ends with that failure.
      Skip("StartMetering with MeteringTick callbacks",
           "the run-time cannot call the client back: StartMetering ends with fault " + fault +
               " before any MeteringTick arrives");
    } else {
      bool ok = ran && lines.size() == 6 && lines[0] == "open: ok" &&
                lines[1].rfind("tick 1 tickCount ", 0) == 0 && lines[1].find(" callerValue 77") != std::string::npos &&
                lines[2].rfind("tick 2 tickCount ", 0) == 0 && lines[2].find(" callerValue 77") != std::string::npos &&
                lines[3] == "stop: ok" && lines[4] == "meter: ok" && lines[5] == "close: ok";
      Report(ok, "StartMetering with MeteringTick callbacks, ended by StopMetering", problem + " " + Joined(lines));
    }
  }

  server.Finish(0);
  std::printf("%d failed\n", g_failures);
  return g_failures;
}
