#include "support/progress.h"

#include "support/diag_log.h"

namespace {
// Written once before the worker starts, only read afterwards.
ProgressSink g_progressSink = nullptr;
}  // namespace

void SetProgressSink(ProgressSink sink) { g_progressSink = sink; }

void ReportProgress(int base, int offset) {
  const int value = base + offset;
  UngatedLog("Progress %d%%", value);
  if (g_progressSink) g_progressSink(value);
}
