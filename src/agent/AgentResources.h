// Owners of what the agent obtains from the system, so that every path releases it: blocks of the
// local heap (the argument array of CommandLineToArgvW), blocks of the process heap, the thread's
// COM apartment and COM interface pointers.
#pragma once
#include <windows.h>
#include <objbase.h>

#include <cstdint>
#include <utility>

// A block that LocalAlloc made (or a function that documents LocalFree as its release).
template <class T>
class UniqueLocalMemory {
 public:
  explicit UniqueLocalMemory(T* block = nullptr) : m_block(block) {}
  ~UniqueLocalMemory() {
    if (m_block) LocalFree(reinterpret_cast<HLOCAL>(m_block));
  }
  UniqueLocalMemory(const UniqueLocalMemory&) = delete;
  UniqueLocalMemory& operator=(const UniqueLocalMemory&) = delete;

  T* get() const { return m_block; }
  explicit operator bool() const { return m_block != nullptr; }

 private:
  T* m_block;
};

// An array of `count` elements of T on the process heap, freed with it. A size that does not fit
// into the address space fails like an allocation that the heap refuses: the array stays empty.
template <class T>
class HeapArray {
 public:
  explicit HeapArray(uint64_t count) {
    if (count > SIZE_MAX / sizeof(T)) return;
    HANDLE heap = GetProcessHeap();
    if (heap == nullptr) return;
    m_items = static_cast<T*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, static_cast<SIZE_T>(count * sizeof(T))));
    if (m_items) m_heap = heap;
  }
  ~HeapArray() {
    if (m_items) HeapFree(m_heap, 0, m_items);
  }
  HeapArray(const HeapArray&) = delete;
  HeapArray& operator=(const HeapArray&) = delete;

  T* get() const { return m_items; }
  explicit operator bool() const { return m_items != nullptr; }

 private:
  HANDLE m_heap = nullptr;
  T* m_items = nullptr;
};

// The calling thread's membership of a COM apartment: joined on construction, left on destruction
// when the join succeeded (S_FALSE, already a member, counts and is balanced too).
class ComApartment {
 public:
  explicit ComApartment(DWORD coInit) : m_hr(CoInitializeEx(nullptr, coInit)) {}
  ~ComApartment() {
    if (SUCCEEDED(m_hr)) CoUninitialize();
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

  HRESULT Result() const { return m_hr; }

 private:
  HRESULT m_hr;
};

// One reference to a COM interface, released on destruction.
template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() { Reset(); }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;

  T* operator->() const { return m_ptr; }
  T* Get() const { return m_ptr; }
  explicit operator bool() const { return m_ptr != nullptr; }
  // Releases what is held and gives the place for a new reference, as the out parameter of
  // CoCreateInstance takes it.
  void** PutVoid() {
    Reset();
    return reinterpret_cast<void**>(&m_ptr);
  }
  void Reset() {
    if (m_ptr) {
      T* ptr = std::exchange(m_ptr, nullptr);
      ptr->Release();
    }
  }

 private:
  T* m_ptr = nullptr;
};
