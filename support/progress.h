// Progress reports of one installation: always a "Progress %d%%" line on the
// debug channel, and the progress bar when a window has registered for them.
#pragma once

// Shows base + offset.
void ReportProgress(int base, int offset);

// The installer's dialog moves its bar through this; null detaches it.
using ProgressSink = void (*)(int value);
void SetProgressSink(ProgressSink sink);
