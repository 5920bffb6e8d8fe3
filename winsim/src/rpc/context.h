// The server's context handles. Each context is known by a random UUID (from a secure generator:
// a handle is never a pointer and cannot be guessed) and belongs to the association group whose
// call created it; a handle presented on a connection of another group is unknown there. Calls
// hold a reference to each context they use. When a group's last connection has closed, each
// context still open in it runs its rundown routine exactly once, as soon as no call holds it.
#pragma once
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "rpcndr.h"
#include "winsim/rpcstub.h"

namespace winsim::rpc {

struct ContextRecord {
  GUID uuid{};
  uint32_t group = 0;
  void* value = nullptr;
  NDR_RUNDOWN rundown = nullptr;
  int refs = 0;
  bool closed = false;       // closed by its client: no rundown
  bool groupEnded = false;   // its group has no connection left: rundown when unreferenced
  bool rundownDone = false;
};

class ContextTable {
 public:
  // The open context of this wire form in this group, with a reference for the caller; null when
  // there is none (closed, unknown, or another group's).
  std::shared_ptr<ContextRecord> Acquire(const ContextWire& wire, uint32_t group);
  // A new context with a fresh UUID and a reference for the caller.
  std::shared_ptr<ContextRecord> Create(uint32_t group, void* value, NDR_RUNDOWN rundown);
  void* Value(const std::shared_ptr<ContextRecord>& record);
  // Stores a new value (a context closed meanwhile is not reopened: false).
  bool Update(const std::shared_ptr<ContextRecord>& record, void* value);
  // The client closed it: forgotten at once, no rundown.
  void Close(const std::shared_ptr<ContextRecord>& record);
  // Drops a call's reference; runs the rundown if this was the last use of a context whose group
  // has ended.
  void Release(const std::shared_ptr<ContextRecord>& record);
  // The group's last connection has closed.
  void GroupEnded(uint32_t group);
  // Forgets every context (the server is being reset).
  void Clear();
  size_t OpenCount();

  static ContextWire WireOf(const ContextRecord& record);

 private:
  static void RunDown(const std::shared_ptr<ContextRecord>& record);
  std::mutex m_lock;
  std::map<std::array<uint8_t, sizeof(GUID)>, std::shared_ptr<ContextRecord>> m_byUuid;
};

}  // namespace winsim::rpc
