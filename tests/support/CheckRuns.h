// The companion-app check in a log, as the session tests see it: each run of the check shortened
// to its opening (without the thread id), the console user it named and, when the user gate
// stopped it, that line. What the check does after the gate has its own tests.
#pragma once
#include <string>
#include <vector>

namespace winsim::test {

inline const std::string kCheckOpened = "[INFO] ::UtilityPackageCheckDelayTimerCallback  +++++++++++++++++++++ ";
inline const std::string kCheckClosed = "[INFO] ::UtilityPackageCheckDelayTimerCallback  --------------------- ";
inline const std::string kCheckOtherUser =
    "[INFO]  UtilityPackageCheckDelayTimerCallback Current user is not the user that need check utility process, so "
    "skip the check of utility process of current user.";

// The line with which a run names the console user.
inline std::string CheckedUser(const std::string& name, const std::string& md5) {
  return "[INFO]  UtilityPackageCheckDelayTimerCallback current user name: \"" + name + "\", MD5: \"" + md5 + "\"";
}

inline std::vector<std::string> SummarizeCheckRuns(const std::vector<std::string>& messages) {
  std::vector<std::string> summary;
  bool inCheck = false;
  for (const std::string& message : messages) {
    if (message.rfind(kCheckOpened, 0) == 0) {
      summary.push_back(kCheckOpened);
      inCheck = true;
    } else if (!inCheck) {
      summary.push_back(message);
    } else if (message.rfind(kCheckClosed, 0) == 0) {
      inCheck = false;
    } else if (message.rfind("[INFO] GetCurrentUserNameAndMD5 ", 0) == 0 ||
               message.rfind("[INFO]  UtilityPackageCheckDelayTimerCallback current user name: ", 0) == 0 ||
               message == kCheckOtherUser) {
      summary.push_back(message);
    }
  }
  return summary;
}

}  // namespace winsim::test
