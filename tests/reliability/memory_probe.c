/* memory_probe PROGRAM ENTRY: the memory of the running PROGRAM (an image
   name) before and after it extracts its bundle, in one line:
     before_ws_kib=<k> before_private_kib=<k> peak_private_kib=<k> after_ws_kib=<k> after_private_kib=<k>
   "before" is the last reading (every few milliseconds) taken before a file
   named ENTRY appears in a workspace (%TEMP%\ITMPD_*), which the installer
   creates just before it extracts that entry; "after" is read two seconds
   after a process named setup.exe has appeared, while setup waits. Exit 1
   when a moment never came (within two minutes). */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <psapi.h>
#include <stdio.h>
#include <tlhelp32.h>
#include <wchar.h>

/* The id of a process named `name`, 0 when there is none. */
static DWORD ProcessNamed(const wchar_t *name) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof entry;
  DWORD pid = 0;
  for (BOOL more = Process32FirstW(snapshot, &entry); more && !pid; more = Process32NextW(snapshot, &entry))
    if (_wcsicmp(entry.szExeFile, name) == 0) pid = entry.th32ProcessID;
  CloseHandle(snapshot);
  return pid;
}

/* True when some %TEMP%\ITMPD_*\ENTRY exists. */
static BOOL EntryExists(const wchar_t *entry) {
  wchar_t temp[MAX_PATH], pattern[MAX_PATH + 16], path[2 * MAX_PATH];
  if (!GetTempPathW(MAX_PATH, temp)) return FALSE;
  swprintf(pattern, sizeof pattern / sizeof *pattern, L"%lsITMPD_*", temp);
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(pattern, &found);
  if (find == INVALID_HANDLE_VALUE) return FALSE;
  BOOL exists = FALSE;
  do {
    swprintf(path, sizeof path / sizeof *path, L"%ls%ls\\%ls", temp, found.cFileName, entry);
    exists = GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
  } while (!exists && FindNextFileW(find, &found));
  FindClose(find);
  return exists;
}

/* Private bytes are PagefileUsage, the commit charge (Windows gives the same
   figure as PrivateUsage; wine fills only the basic counters, from the
   process's resident anonymous memory and swap). */
static BOOL Read(HANDLE process, PROCESS_MEMORY_COUNTERS *counters) {
  ZeroMemory(counters, sizeof *counters);
  counters->cb = sizeof *counters;
  return GetProcessMemoryInfo(process, counters, sizeof *counters);
}

int wmain(int argc, wchar_t **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: memory_probe PROGRAM ENTRY\n");
    return 2;
  }
  const DWORD limit = GetTickCount() + 120000;
  DWORD pid = 0;
  while (!(pid = ProcessNamed(argv[1])) && GetTickCount() < limit) Sleep(5);
  HANDLE process = pid ? OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid) : NULL;
  if (!process) {
    fprintf(stderr, "memory_probe: %ls not found\n", argv[1]);
    return 1;
  }
  PROCESS_MEMORY_COUNTERS before = {0}, after = {0}, now;
  while (!EntryExists(argv[2])) {
    if (GetTickCount() > limit || WaitForSingleObject(process, 0) == WAIT_OBJECT_0) {
      fprintf(stderr, "memory_probe: %ls never appeared\n", argv[2]);
      return 1;
    }
    if (Read(process, &now)) before = now;
    Sleep(2);
  }
  SIZE_T peak = 0;
  while (!ProcessNamed(L"setup.exe")) {
    if (GetTickCount() > limit || WaitForSingleObject(process, 0) == WAIT_OBJECT_0) {
      fprintf(stderr, "memory_probe: setup.exe never started\n");
      return 1;
    }
    if (Read(process, &now) && now.PagefileUsage > peak) peak = now.PagefileUsage;
    Sleep(5);
  }
  Sleep(2000);
  if (!before.cb || !Read(process, &after)) {
    fprintf(stderr, "memory_probe: the counters cannot be read\n");
    return 1;
  }
  printf("before_ws_kib=%lu before_private_kib=%lu peak_private_kib=%lu after_ws_kib=%lu after_private_kib=%lu\n",
         (unsigned long)(before.WorkingSetSize / 1024), (unsigned long)(before.PagefileUsage / 1024),
         (unsigned long)(peak / 1024),
         (unsigned long)(after.WorkingSetSize / 1024), (unsigned long)(after.PagefileUsage / 1024));
  return 0;
}
