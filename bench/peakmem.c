/* peakmem PROGRAM [ARGS...]: starts PROGRAM, waits for it, and prints its
   wall time and the peak working set of that process itself (not of the
   launcher or of wine's loader):
     elapsed_ms=<t> peak_ws_kib=<k> exit=<code>
   Under wine a process's counters are gone once it has exited, so they are
   read every few milliseconds while it runs; the peak is a high-water mark,
   so the last reading before the exit holds it. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <psapi.h>
#include <stdio.h>
#include <wchar.h>

/* The command tail after our own (possibly quoted) program name. */
static wchar_t *CommandTail(void) {
  wchar_t *p = GetCommandLineW();
  if (*p == L'"') {
    for (++p; *p && *p != L'"'; ++p) {}
    if (*p) ++p;
  } else {
    while (*p && *p != L' ' && *p != L'\t') ++p;
  }
  while (*p == L' ' || *p == L'\t') ++p;
  return p;
}

static SIZE_T PeakOf(HANDLE process, SIZE_T peak) {
  PROCESS_MEMORY_COUNTERS counters;
  counters.cb = sizeof counters;
  if (GetProcessMemoryInfo(process, &counters, sizeof counters) && counters.PeakWorkingSetSize > peak)
    return counters.PeakWorkingSetSize;
  return peak;
}

int wmain(void) {
  wchar_t *tail = CommandTail();
  if (!*tail) {
    fprintf(stderr, "usage: peakmem PROGRAM [ARGS...]\n");
    return 2;
  }
  STARTUPINFOW startup;
  PROCESS_INFORMATION info;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  if (!CreateProcessW(NULL, tail, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &info)) {
    fprintf(stderr, "peakmem: cannot start the program (error %lu)\n", GetLastError());
    return 2;
  }
  CloseHandle(info.hThread);
  SIZE_T peak = 0;
  while (WaitForSingleObject(info.hProcess, 4) == WAIT_TIMEOUT) peak = PeakOf(info.hProcess, peak);
  QueryPerformanceCounter(&end);
  peak = PeakOf(info.hProcess, peak); /* Windows keeps them after the exit */
  DWORD code = 0;
  GetExitCodeProcess(info.hProcess, &code);
  CloseHandle(info.hProcess);
  printf("elapsed_ms=%.1f peak_ws_kib=%lu exit=%lu\n",
         (double)(end.QuadPart - start.QuadPart) * 1000.0 / (double)frequency.QuadPart,
         (unsigned long)(peak / 1024), (unsigned long)code);
  return 0;
}
