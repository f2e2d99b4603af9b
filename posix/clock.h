// The POSIX build's clock, shared by its platform operations and its HTTP
// stand-in.
#pragma once

#include <cstdint>

// Milliseconds of the monotonic clock; never fails.
uint64_t posix_now_ms();
