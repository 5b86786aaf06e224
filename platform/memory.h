// Allocation for product code. The C++ allocation functions (even the nothrow ones) bring the
// exception machinery - unwinder, demangler, thread library, tens of kilobytes - into a program
// that never throws; these go to malloc and free directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace vm {

// A value-initialised T, or null when memory cannot be had.
template <typename T>
T* createObject() {
  void* memory = std::malloc(sizeof(T));
  return memory != nullptr ? new (memory) T() : nullptr;
}

// Destroys and frees what createObject made; null is allowed.
template <typename T>
void destroyObject(T* object) {
  if (object == nullptr) return;
  object->~T();
  std::free(object);
}

// `count` bytes, or null.
inline uint8_t* allocateBytes(std::size_t count) {
  return static_cast<uint8_t*>(std::malloc(count));
}

// Frees what allocateBytes gave; null is allowed.
inline void freeBytes(uint8_t* bytes) { std::free(bytes); }

}  // namespace vm
