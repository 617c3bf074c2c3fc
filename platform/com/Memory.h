#pragma once
// Task memory and pointer probes. The probes really test the memory and never fault.
#include <cstddef>

void* CoTaskMemAlloc(std::size_t cb);
void* CoTaskMemRealloc(void* p, std::size_t cb);
void CoTaskMemFree(void* p);

// True when any byte of [p, p + cb) cannot be read by this process. cb == 0 is never bad.
bool IsBadReadPtr(const void* p, std::size_t cb);
// True when any byte of [p, p + cb) is not mapped writable in this process. cb == 0 is never bad.
bool IsBadWritePtr(void* p, std::size_t cb);
