// Watches one folder from a thread of its own and calls back whenever an entry of one exact name
// is created, deleted or renamed directly in it.
#pragma once
#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

class DirectoryWatcher {
 public:
  DirectoryWatcher(const std::wstring& wsWatchDirectory, const std::wstring& wsWatchName,
                   std::function<void(std::wstring)> notifyCallback);
  ~DirectoryWatcher();
  DirectoryWatcher(const DirectoryWatcher&) = delete;
  DirectoryWatcher& operator=(const DirectoryWatcher&) = delete;

  bool UnWatch();

 private:
  DWORD WatchingImpl();
  DWORD ProcessDirectoryChanges(const BYTE* buffer);

  std::function<void(std::wstring)> m_notifyCallback;
  std::wstring m_wsWatchDirectory;
  std::wstring m_wsWatchName;
  std::thread* m_pWatchThread;
  std::atomic<bool> m_bStopWatching;
  // Created by the watching thread and closed by UnWatch after the join, so that a stop never
  // signals a handle that is already gone.
  std::atomic<HANDLE> m_hWatchEvent;
};
