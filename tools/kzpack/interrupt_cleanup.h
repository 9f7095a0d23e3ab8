// Scratch folders and unfinished outputs that an interrupted kzpack (Ctrl-C,
// a closed terminal, a cancelled CI job) would leave behind: they are
// removed before it ends, and the programs it runs are stopped. Scratch
// files may live in memory (/dev/shm), where a leftover would hold memory
// until the next reboot.
#pragma once

#include <functional>
#include <string>

namespace kzpack {

// Once, at the start, before any thread is started.
void InstallInterruptCleanup();
// `path` (a file or a folder) is removed on an interruption until forgotten.
// Registered before it is made: a path made first could be missed. Once the
// clean-up has run no path is taken (ToolError): the caller makes nothing.
void RemoveOnInterrupt(const std::string& path);
// Makes `path` with `make` (true: made) and registers it in one step, so the
// clean-up finds it either made and registered or not made at all.
// ToolError, without calling `make`, once the clean-up has run.
bool MakeRemovedOnInterrupt(const std::string& path, const std::function<bool()>& make);
void ForgetOnInterrupt(const std::string& path);

}  // namespace kzpack
