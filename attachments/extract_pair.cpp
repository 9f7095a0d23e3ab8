#include "attachments/extract_pair.h"

#include <cstdio>
#include <cstring>

#include "attachments/payload_copy.h"
#include "attachments/pe_chain_end.h"
#include "attachments/walk_report.h"
#include "platform/platform.h"
#include "support/diag_log.h"
#include "support/progress.h"
#include "support/strings.h"
#include "support/system_error.h"

namespace {

struct Files {
  FILE* container = nullptr;
  FILE* outer = nullptr;
  FILE* inner = nullptr;
  ~Files() {
    if (container) fclose(container);
    if (outer) fclose(outer);
    if (inner) fclose(inner);
  }
};

// A failed close loses buffered data.
bool Close(FILE** file) {
  const bool closed = CloseOrNote(*file);
  *file = nullptr;
  return closed;
}

// Walks the outer payload's own chain (it ends where the payload ends)
// through the container, descrambling each trailer; every trailer read is
// kept so that the copy can check it writes the same bytes.
WalkResult WalkInner(FILE* container, const WalkResult& outer, uint32_t typeCode, InnerExtraction* inner,
                     std::vector<ReadTrailer>* trailers) {
  return WalkChain(
      outer.trailer.payloadSize, typeCode,
      [&](int64_t position, uint8_t* bytes) {
        if (!platform::SeekStdio(container, outer.payloadStart + position, SEEK_SET) ||
            fread(bytes, 1, kTrailerSize, container) != kTrailerSize)
          return false;
        ScrambleBytes(bytes, kTrailerSize);
        ReadTrailer kept;
        kept.offset = position;
        memcpy(kept.bytes, bytes, kTrailerSize);
        trailers->push_back(kept);
        return true;
      },
      [inner](const AttachmentTrailer& trailer) { inner->seenTypes.push_back(trailer.typeCode); });
}

}  // namespace

bool ExtractAttachmentPair(const std::wstring& containerPath, const std::string& outerType,
                           const std::wstring& outerPath, int32_t progressBase, int32_t progressSpan,
                           const std::string& innerType, const std::wstring& innerPath, InnerExtraction* inner) {
  *inner = InnerExtraction();
  inner->path = innerPath;
  inner->typeName = innerType;
  Files files;
  files.container = platform::OpenStdioFile(containerPath, L"rb");
  if (!files.container) {
    NoteSystemError();
    DiagLog("Could not open container: %s\n", WideToUtf8(containerPath).c_str());
    return false;
  }
  files.outer = CreateOrNote(outerPath);
  if (!files.outer) {
    DiagLog("Could not open destination: %s\n", WideToUtf8(outerPath).c_str());
    return false;
  }
  // Its failure is the inner extraction's first line, given out later.
  files.inner = CreateOrNote(innerPath);
  inner->opened = files.inner != nullptr;
  // From here on every failure deletes both destinations.
  auto fail = [&]() {
    if (files.outer) fclose(files.outer);
    if (files.inner) fclose(files.inner);
    files.outer = files.inner = nullptr;
    platform::DeleteFilePath(outerPath);
    if (inner->opened) platform::DeleteFilePath(innerPath);
    return false;
  };

  if (outerType.size() != 4) {
    DiagLog("Invalid type to extract: %s\n", outerType.c_str());
    return fail();
  }
  DiagLog("Going to extract file: %s\n", outerType.c_str());
  const WalkResult walk =
      WalkChain(PeRawDataEnd(files.container), TypeCodeOf(outerType),
                [&](int64_t position, uint8_t* bytes) {
                  return platform::SeekStdio(files.container, position, SEEK_SET) &&
                         fread(bytes, 1, kTrailerSize, files.container) == kTrailerSize;
                },
                [](const AttachmentTrailer& trailer) {
                  DiagLog("Found attachment: %s\n", TypeCodeText(trailer.typeCode).c_str());
                });
  if (!ReportWalk(walk)) return fail();

  InnerCopy copy;
  WalkResult innerWalk;
  // A type name of another length is refused when the inner lines are given out.
  if (innerType.size() == 4) innerWalk = WalkInner(files.container, walk, TypeCodeOf(innerType), inner, &copy.trailers);
  inner->outcome = innerWalk.outcome;
  if (innerWalk.outcome == WalkOutcome::kFound) {
    inner->payloadSize = innerWalk.trailer.payloadSize;
    copy.file = files.inner;
    copy.start = innerWalk.payloadStart;
    copy.size = innerWalk.trailer.payloadSize;
  }
  uint8_t outerDigest[kDigestSize];
  if (!ReportCopy(CopyPayload(files.container, walk, files.outer, progressBase, progressSpan, &copy, outerDigest)))
    return fail();
  fclose(files.container);
  files.container = nullptr;
  if (!Close(&files.outer)) {
    DiagLog("write fail\n");
    return fail();
  }
  if (memcmp(outerDigest, walk.trailer.digest, kDigestSize) != 0) {
    DiagLog("hash fail\n");
    return fail();
  }
  DiagLog("Extracted\n");
  if (files.inner && !Close(&files.inner)) inner->writeFailed = true;
  inner->writeFailed = inner->writeFailed || copy.writeFailed;
  inner->written = copy.written;
  inner->digestMatches = memcmp(copy.digest, innerWalk.trailer.digest, kDigestSize) == 0;
  return true;
}

bool FinishInnerExtraction(const InnerExtraction& inner, int32_t progressBase, int32_t progressSpan) {
  if (!inner.opened) {
    DiagLog("Could not open destination: %s\n", WideToUtf8(inner.path).c_str());
    return false;
  }
  auto fail = [&]() {
    platform::DeleteFilePath(inner.path);
    return false;
  };
  if (inner.typeName.size() != 4) {
    DiagLog("Invalid type to extract: %s\n", inner.typeName.c_str());
    return fail();
  }
  DiagLog("Going to extract file: %s\n", inner.typeName.c_str());
  for (const uint32_t type : inner.seenTypes) DiagLog("Found attachment: %s\n", TypeCodeText(type).c_str());
  WalkResult walk;
  walk.outcome = inner.outcome;
  if (!ReportWalk(walk)) return fail();
  // The values a block-by-block copy reports before each block, up to the
  // block a write failed in.
  const uint32_t total = inner.payloadSize;
  for (uint32_t done = 0; done < total; done += kPayloadBlockSize) {
    if (inner.writeFailed && done > inner.written) break;
    const double share =
        static_cast<double>(done) * static_cast<double>(progressSpan) / static_cast<double>(total);
    ReportProgress(progressBase, static_cast<int32_t>(share));
    if (total - done <= kPayloadBlockSize) break;
  }
  if (inner.writeFailed) {
    DiagLog("write fail\n");
    return fail();
  }
  if (!inner.digestMatches) {
    DiagLog("hash fail\n");
    return fail();
  }
  DiagLog("Extracted\n");
  return true;
}
