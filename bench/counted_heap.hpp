// The heap's bytes in use, and their highest since the last reset, for the
// benchmarks that measure memory. Every allocation of the program goes
// through the operators below: include this in one file of a benchmark
// only, which runs on one thread.
#pragma once

#include <malloc.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <new>

inline std::size_t g_heap_live = 0;
inline std::size_t g_heap_peak = 0;

__attribute__((visibility("default"))) void* operator new(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  g_heap_live += malloc_usable_size(p);
  g_heap_peak = std::max(g_heap_peak, g_heap_live);
  return p;
}
__attribute__((visibility("default"))) void operator delete(void* p) noexcept {
  if (p == nullptr) return;
  g_heap_live -= malloc_usable_size(p);
  std::free(p);
}
__attribute__((visibility("default"))) void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
