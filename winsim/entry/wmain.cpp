// Start-up of a console program: wmain gets the arguments that the C runtime splits from the
// Windows command line.
#include "entry/entry.h"

int wmain(int argc, wchar_t** argv);

int main(int, char**) {
  winsim::StartProgram();
  std::vector<std::wstring> args = winsim::SplitCrtCommandLine(winsim::CurrentCommandLine());
  std::vector<wchar_t*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int rc = wmain(static_cast<int>(args.size()), argv.data());
  return winsim::FinishProgram(rc);
}
