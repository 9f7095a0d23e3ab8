// Scratch folders and unfinished outputs that an interrupted kzpack (Ctrl-C,
// a closed terminal, a cancelled CI job) would leave behind: they are
// removed before it ends. Scratch files may live in memory (/dev/shm), where
// a leftover would hold memory until the next reboot.
#pragma once

#include <string>

namespace kzpack {

// Once, at the start, before any thread is started.
void InstallInterruptCleanup();
// `path` (a file or a folder) is removed on an interruption until forgotten.
void RemoveOnInterrupt(const std::string& path);
void ForgetOnInterrupt(const std::string& path);

}  // namespace kzpack
