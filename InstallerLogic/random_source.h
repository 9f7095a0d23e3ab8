// 32-bit numbers from the system's cryptographic generator, for names that
// another process must not be able to predict.
#pragma once

#include <cstdint>

namespace installer {

// RtlGenRandom (advapi32); false when the generator refuses.
bool SystemRandom32(uint32_t* value);

}  // namespace installer
