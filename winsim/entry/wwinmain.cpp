// Start-up of a GUI-subsystem program: wWinMain gets the command line after the program name.
#include "entry/entry.h"

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nShowCmd);

int main(int, char**) {
  winsim::StartProgram();
  std::wstring line = winsim::CurrentCommandLine();
  // Skip the program name (quoted or up to the first blank) and the blanks after it.
  size_t i = 0;
  bool quoted = false;
  while (i < line.size()) {
    if (line[i] == L'"') {
      quoted = !quoted;
    } else if (!quoted && (line[i] == L' ' || line[i] == L'\t')) {
      break;
    }
    ++i;
  }
  while (i < line.size() && (line[i] == L' ' || line[i] == L'\t')) ++i;
  std::wstring rest = line.substr(i);
  int rc = wWinMain(reinterpret_cast<HINSTANCE>(0x140000000ull), nullptr, rest.data(), 10 /* SW_SHOWDEFAULT */);
  return winsim::FinishProgram(rc);
}
