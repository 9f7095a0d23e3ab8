// An attachment and the attachment at the end of its own chain (the setup
// program and the bundle it carries) out of a container in one read: the
// inner payload's place is found from the outer payload's trailers before
// the copy, and both files are written and digested in the same pass.
//
// The outer extraction logs and reports progress as ExtractAttachmentToFile
// would. The inner one's lines and progress are kept and given out later by
// FinishInnerExtraction, after whatever the caller does in between, exactly
// as a second ExtractAttachmentToFile of the written outer file would have
// given them (its progress values in one burst).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "attachments/trailer.h"

struct InnerExtraction {
  std::wstring path;
  std::string typeName;
  bool opened = false;                // the destination could be created
  std::vector<uint32_t> seenTypes;    // trailers with a valid magic, as walked
  WalkOutcome outcome = WalkOutcome::kNotFound;
  uint32_t payloadSize = 0;
  bool writeFailed = false;           // writing or closing the destination
  uint32_t written = 0;               // bytes written before a write failure
  bool digestMatches = false;
};

// Extracts `outerType` from the chain ending at PeRawDataEnd of `containerPath`
// into `outerPath` and, in the same pass, `innerType` from the outer
// payload's chain into `innerPath`. False when the outer extraction failed;
// `innerPath` then does not exist and `inner` holds nothing to report.
bool ExtractAttachmentPair(const std::wstring& containerPath, const std::string& outerType,
                           const std::wstring& outerPath, int32_t progressBase, int32_t progressSpan,
                           const std::string& innerType, const std::wstring& innerPath, InnerExtraction* inner);

// Logs the inner extraction and reports its progress; true when its file
// holds the whole plain payload with a matching digest, else the file is
// deleted.
bool FinishInnerExtraction(const InnerExtraction& inner, int32_t progressBase, int32_t progressSpan);
