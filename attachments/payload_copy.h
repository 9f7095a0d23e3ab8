// Streaming one found payload out of its container into a file: read in
// blocks, descramble, digest on a compute lane, write. Optionally a region
// of the payload that is itself an attachment of the payload's own chain is
// written to a second file in the same pass: both levels are scrambled with
// one key, so there the container's bytes are that inner payload's plain
// bytes. Logs nothing; the callers own the messages.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "attachments/trailer.h"

// A trailer of the payload's own chain as the walk read it before the copy
// (plain bytes, `offset` within the payload). The copy checks that the bytes
// it writes are the same, so the inner attachment was located on the very
// bytes that end up in the outer file.
struct ReadTrailer {
  int64_t offset = 0;
  uint8_t bytes[kTrailerSize] = {};
};

struct InnerCopy {
  FILE* file = nullptr;        // null: the region is not written
  int64_t start = 0;           // within the outer payload
  uint32_t size = 0;
  std::vector<ReadTrailer> trailers;
  // Results: bytes written before a write failed (the file is then left
  // alone), and the digest of every byte written.
  bool writeFailed = false;
  uint32_t written = 0;
  uint8_t digest[kDigestSize] = {};
};

// kTrailerChanged: an inner trailer's bytes differ from those the walk read.
enum class CopyResult { kCopied, kReadFailure, kTrailerChanged, kWriteFailure, kOutOfMemory };

// Copies the payload found by `walk` from `container` (any position) into
// `destination` and leaves its MD5 in `digest`. Progress progressBase + share
// of progressSpan is reported before every 1 MiB block. The outer copy
// stops at its first failure; an inner write failure only ends the inner copy.
CopyResult CopyPayload(FILE* container, const WalkResult& walk, FILE* destination, int32_t progressBase,
                       int32_t progressSpan, InnerCopy* inner, uint8_t digest[kDigestSize]);

// The 1 MiB block the copies read, write and report progress by.
constexpr uint32_t kPayloadBlockSize = 0x100000;
