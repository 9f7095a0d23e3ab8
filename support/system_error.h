// The system's reason for the first failed file operation of an
// installation, kept from where it happened until the outcome is reported:
// the cleanup and the log lines in between may change the system's own
// last-error value before the caller learns of the failure.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// Keeps the system error of the call that has just failed, unless one is
// kept already (the first failure is the cause, later ones follow from it).
void NoteSystemError();
// The kept error, 0 when the system gave none; forgets it.
uint32_t TakeSystemError();

// fwrite of all `size` bytes; false, with the system's reason noted, when
// they were not all written.
bool WriteOrNote(FILE* file, const void* data, size_t size);
// fclose that notes the reason when buffered bytes could not be written.
bool CloseOrNote(FILE* file);
// OpenStdioFile for writing (mode "wb") that notes why it failed.
FILE* CreateOrNote(const std::wstring& path);
