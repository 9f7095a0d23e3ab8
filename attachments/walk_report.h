// The log lines of a chain walk's and a payload copy's outcome, shared by
// the extractions.
#pragma once

#include "attachments/payload_copy.h"
#include "attachments/trailer.h"

// Logs a failed walk with its text ("Not found!", "Header read fail",
// "Invalid pos"); true when the type was found.
bool ReportWalk(const WalkResult& walk);

// Logs a failed copy ("read fail", "write fail", "Out of memory for the
// copy"); true when it copied.
bool ReportCopy(CopyResult result);
