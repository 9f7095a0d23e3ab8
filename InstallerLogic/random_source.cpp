#include "InstallerLogic/random_source.h"

#include <windows.h>
// RtlGenRandom is exported by advapi32 as SystemFunction036.
#include <ntsecapi.h>

namespace installer {

bool SystemRandom32(uint32_t* value) {
  return RtlGenRandom(value, sizeof *value) != FALSE;
}

}  // namespace installer
