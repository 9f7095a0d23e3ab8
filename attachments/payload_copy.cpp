#include "attachments/payload_copy.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "platform/platform.h"
#include "support/byte_buffer.h"
#include "support/compute_lane.h"
#include "support/progress.h"
#include "support/system_error.h"

namespace {

// Blocks in flight: the worker reads and writes ahead of the digests.
constexpr size_t kBlocks = 3;

// True when the plain bytes of block [offset, offset + n) agree with every
// inner trailer they overlap.
bool TrailersUnchanged(const InnerCopy& inner, int64_t offset, const uint8_t* plain, size_t n) {
  for (const ReadTrailer& trailer : inner.trailers) {
    const int64_t from = std::max(offset, trailer.offset);
    const int64_t to = std::min(offset + static_cast<int64_t>(n), trailer.offset + static_cast<int64_t>(kTrailerSize));
    if (from < to && memcmp(plain + (from - offset), trailer.bytes + (from - trailer.offset),
                            static_cast<size_t>(to - from)) != 0)
      return false;
  }
  return true;
}

}  // namespace

CopyResult CopyPayload(FILE* container, const WalkResult& walk, FILE* destination, int32_t progressBase,
                       int32_t progressSpan, InnerCopy* inner, uint8_t digest[kDigestSize]) {
  if (!platform::SeekStdio(container, walk.payloadStart, SEEK_SET)) return CopyResult::kReadFailure;
  PayloadDigest md5;
  md5.Restart();
  PayloadDigest innerMd5;
  innerMd5.Restart();
  // Blocks as read and, where an inner copy needs the raw bytes too, their
  // plain copies. The lanes come after the buffers, so that on every way out
  // they have finished with them before the buffers go; a slot's buffers are
  // reused only after the lanes finished the jobs that read them.
  const bool innerCopied = inner && inner->file;
  ByteBuffer raws[kBlocks], plains[kBlocks];  // one block each, so that no allocation is large
  for (size_t i = 0; i < kBlocks; ++i) {
    if (raws[i].Reserve(kPayloadBlockSize) == nullptr) return CopyResult::kOutOfMemory;
    if (innerCopied && plains[i].Reserve(kPayloadBlockSize) == nullptr) return CopyResult::kOutOfMemory;
  }
  // The outer digest on one lane and, where another processor can take it,
  // the inner one on a second lane, side by side; on a single processor a
  // second thread would only take turns with the others, so the worker
  // computes the inner digest itself (as it does without memory for a lane).
  ComputeLane lane(kBlocks);
  std::unique_ptr<ComputeLane> innerLane;
  if (innerCopied && platform::UsableProcessorCount() > 1) innerLane.reset(new (std::nothrow) ComputeLane(kBlocks));

  const uint32_t total = walk.trailer.payloadSize;
  uint32_t remaining = total;
  while (remaining > 0) {
    const double share = static_cast<double>(total - remaining) * static_cast<double>(progressSpan) /
                         static_cast<double>(total);
    ReportProgress(progressBase, static_cast<int32_t>(share));
    const size_t n = remaining < kPayloadBlockSize ? remaining : kPayloadBlockSize;
    const size_t slot = lane.Reserve();
    if (innerLane) innerLane->Reserve();  // same slot: both lanes get one job per block
    uint8_t* raw = raws[slot].data();
    uint8_t* plain = innerCopied ? plains[slot].data() : raw;
    if (fread(raw, 1, n, container) != n) return CopyResult::kReadFailure;
    if (plain != raw) memcpy(plain, raw, n);
    ScrambleBytes(plain, n);
    const int64_t offset = static_cast<int64_t>(total - remaining);
    if (inner && !TrailersUnchanged(*inner, offset, plain, n)) return CopyResult::kTrailerChanged;
    lane.Submit([&md5, plain, n] { md5.Update(plain, n); });
    if (innerCopied) {
      const int64_t from = std::max(offset, inner->start);
      const int64_t to = std::min(offset + static_cast<int64_t>(n), inner->start + int64_t{inner->size});
      const uint8_t* part = raw + (from - offset);
      const size_t length = from < to && !inner->writeFailed ? static_cast<size_t>(to - from) : 0;
      if (length > 0 && !WriteOrNote(inner->file, part, length)) inner->writeFailed = true;
      if (length > 0 && !inner->writeFailed) {
        inner->written += static_cast<uint32_t>(length);
        if (innerLane)
          innerLane->Submit([&innerMd5, part, length] { innerMd5.Update(part, length); });
        else
          innerMd5.Update(part, length);
      } else if (innerLane) {
        innerLane->Submit([] {});
      }
    }
    if (!WriteOrNote(destination, plain, n)) return CopyResult::kWriteFailure;
    remaining -= static_cast<uint32_t>(n);
  }
  lane.Drain();
  md5.Final(digest);
  if (innerCopied) {
    if (innerLane) innerLane->Drain();
    innerMd5.Final(inner->digest);
  }
  return CopyResult::kCopied;
}
