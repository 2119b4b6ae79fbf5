// What a parsed request may hold on the heap: tens of times the bytes it was
// sent, whatever their shape. A fuzz input that holds more has found a fault.
#pragma once

#include "heapinuse.h"

inline void checkHeldBytes(size_t before, size_t inputSize)
{
    constexpr size_t kHeldPerInputByte = 64;
    constexpr size_t kFixedAllowance = 256 * 1024;
    const size_t now = heapInUse();
    if (now > before && now - before > kHeldPerInputByte * inputSize + kFixedAllowance)
        __builtin_trap();
}
