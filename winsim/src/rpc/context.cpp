#include "rpc/context.h"

#include <openssl/rand.h>

#include <cstring>
#include <stdexcept>

namespace winsim::rpc {
namespace {

// The table's key: the UUID's bytes, without an allocation per look-up.
std::array<uint8_t, sizeof(GUID)> Key(const GUID& g) {
  std::array<uint8_t, sizeof(GUID)> k;
  std::memcpy(k.data(), &g, sizeof(GUID));
  return k;
}

}  // namespace

ContextWire ContextTable::WireOf(const ContextRecord& record) {
  ContextWire w;
  w.attributes = 0;
  w.uuid = record.uuid;
  return w;
}

std::shared_ptr<ContextRecord> ContextTable::Acquire(const ContextWire& wire, uint32_t group) {
  if (wire.IsNull()) return nullptr;
  std::lock_guard<std::mutex> lock(m_lock);
  auto it = m_byUuid.find(Key(wire.uuid));
  if (it == m_byUuid.end()) return nullptr;
  const auto& record = it->second;
  if (record->closed || record->group != group || wire.attributes != 0) return nullptr;
  ++record->refs;
  return record;
}

std::shared_ptr<ContextRecord> ContextTable::Create(uint32_t group, void* value, NDR_RUNDOWN rundown) {
  auto record = std::make_shared<ContextRecord>();
  record->group = group;
  record->value = value;
  record->rundown = rundown;
  record->refs = 1;
  std::lock_guard<std::mutex> lock(m_lock);
  for (;;) {
    uint8_t bytes[sizeof(GUID)];
    if (RAND_bytes(bytes, sizeof(bytes)) != 1) throw RpcException{static_cast<DWORD>(RPC_S_OUT_OF_RESOURCES)};
    std::memcpy(&record->uuid, bytes, sizeof(GUID));
    if (ContextWire{0, record->uuid}.IsNull()) continue;
    if (m_byUuid.emplace(Key(record->uuid), record).second) break;
  }
  return record;
}

void* ContextTable::Value(const std::shared_ptr<ContextRecord>& record) {
  std::lock_guard<std::mutex> lock(m_lock);
  return record->value;
}

bool ContextTable::Update(const std::shared_ptr<ContextRecord>& record, void* value) {
  std::lock_guard<std::mutex> lock(m_lock);
  if (record->closed) return false;
  record->value = value;
  return true;
}

void ContextTable::Close(const std::shared_ptr<ContextRecord>& record) {
  std::lock_guard<std::mutex> lock(m_lock);
  if (record->closed) return;
  record->closed = true;
  m_byUuid.erase(Key(record->uuid));
}

void ContextTable::RunDown(const std::shared_ptr<ContextRecord>& record) {
  if (!record->rundown) return;
  try {
    record->rundown(record->value);
  } catch (...) {
    // A failing rundown routine has nobody to report to.
  }
}

void ContextTable::Release(const std::shared_ptr<ContextRecord>& record) {
  bool run = false;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    --record->refs;
    if (record->refs == 0 && record->groupEnded && !record->closed && !record->rundownDone) {
      record->rundownDone = true;
      record->closed = true;
      m_byUuid.erase(Key(record->uuid));
      run = true;
    }
  }
  if (run) RunDown(record);
}

void ContextTable::GroupEnded(uint32_t group) {
  std::vector<std::shared_ptr<ContextRecord>> now;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto it = m_byUuid.begin(); it != m_byUuid.end();) {
      auto& record = it->second;
      if (record->group != group) {
        ++it;
        continue;
      }
      record->groupEnded = true;
      if (record->refs == 0 && !record->closed && !record->rundownDone) {
        record->rundownDone = true;
        record->closed = true;
        now.push_back(record);
        it = m_byUuid.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const auto& record : now) RunDown(record);
}

void ContextTable::Clear() {
  std::lock_guard<std::mutex> lock(m_lock);
  m_byUuid.clear();
}

size_t ContextTable::OpenCount() {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_byUuid.size();
}

}  // namespace winsim::rpc
