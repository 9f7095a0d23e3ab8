/* A setup program that stays running until it is ended from outside, and
   notes that it started in the file KZ_SETUP_REPORT names. */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

int main(void) {
  const char* report = getenv("KZ_SETUP_REPORT");
  if (report) {
    FILE* f = fopen(report, "w");
    if (f) {
      fputs("started\n", f);
      fclose(f);
    }
  }
  Sleep(600000);
  return 0;
}
