// The log lines of a chain walk's outcome, shared by the extractions.
#pragma once

#include "attachments/trailer.h"

// Logs a failed walk with its text ("Not found!", "Header read fail",
// "Invalid pos"); true when the type was found.
bool ReportWalk(const WalkResult& walk);
