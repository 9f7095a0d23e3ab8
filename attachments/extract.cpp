#include "attachments/extract.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "attachments/payload_copy.h"
#include "attachments/pe_chain_end.h"
#include "attachments/trailer.h"
#include "attachments/walk_report.h"
#include "platform/platform.h"
#include "support/diag_log.h"
#include "support/strings.h"

namespace {

constexpr size_t kStringBlockSize = 0x2000;

void LogFoundAttachment(const AttachmentTrailer& trailer) {
  DiagLog("Found attachment: %s\n", TypeCodeText(trailer.typeCode).c_str());
}

TrailerReader StreamTrailerReader(FILE* file) {
  return [file](int64_t position, uint8_t* bytes) {
    return platform::SeekStdio(file, position, SEEK_SET) && fread(bytes, 1, kTrailerSize, file) == kTrailerSize;
  };
}

// Seek to the end and take the position; -1 (no chain) if that fails.
int64_t StreamSize(FILE* file) {
  if (!platform::SeekStdio(file, 0, SEEK_END)) return -1;
  return platform::TellStdio(file);
}

bool DigestMatches(PayloadDigest& md5, const AttachmentTrailer& trailer) {
  uint8_t digest[kDigestSize];
  md5.Final(digest);
  return memcmp(digest, trailer.digest, kDigestSize) == 0;
}

// Closes a stdio stream at scope end unless released.
struct StdioCloser {
  void operator()(FILE* file) const {
    if (file) fclose(file);
  }
};
using ScopedStdio = std::unique_ptr<FILE, StdioCloser>;

// A failed close loses buffered data: the file is then not the payload.
bool CloseWritten(ScopedStdio* file, const std::wstring& path) {
  if (fclose(file->release()) != 0) {
    DiagLog("write fail\n");
    platform::DeleteFilePath(path);
    return false;
  }
  return true;
}


// Reads a found payload in small blocks, descrambles it and checks its
// digest; `read` fetches the next `n` bytes from the container. Both string
// readers share this; they differ only in how they reach the file.
template <typename ReadBlock>
std::string ReadPayloadString(const WalkResult& walk, ReadBlock read) {
  if (walk.trailer.payloadSize > kMaxStringPayload) {
    DiagLog("Payload too large: %u bytes\n", walk.trailer.payloadSize);
    return std::string();
  }
  PayloadDigest md5;
  md5.Restart();
  std::string payload;
  uint8_t block[kStringBlockSize];
  uint32_t remaining = walk.trailer.payloadSize;
  while (remaining > 0) {
    const uint32_t n = remaining < kStringBlockSize ? remaining : static_cast<uint32_t>(kStringBlockSize);
    if (!read(block, n)) {
      DiagLog("read fail\n");
      return std::string();
    }
    ScrambleBytes(block, n);
    md5.Update(block, n);
    payload.append(reinterpret_cast<const char*>(block), n);
    remaining -= n;
  }
  if (!DigestMatches(md5, walk.trailer)) {
    DiagLog("hash fail\n");
    return std::string();
  }
  DiagLog("Extracted\n");
  return payload;
}

}  // namespace

bool ReportWalk(const WalkResult& walk) {
  switch (walk.outcome) {
    case WalkOutcome::kFound:
      return true;
    case WalkOutcome::kNotFound:
      DiagLog("Not found!\n");
      return false;
    case WalkOutcome::kHeaderReadFailure:
      DiagLog("Header read fail\n");
      return false;
    case WalkOutcome::kInvalidPosition:
      DiagLog("Invalid pos\n");
      return false;
  }
  return false;
}

bool ReportCopy(CopyResult result) {
  switch (result) {
    case CopyResult::kCopied:
      return true;
    case CopyResult::kReadFailure:
    case CopyResult::kTrailerChanged:  // the file changed under the copy: its bytes cannot be trusted
      DiagLog("read fail\n");
      return false;
    case CopyResult::kWriteFailure:
      DiagLog("write fail\n");
      return false;
    case CopyResult::kOutOfMemory:
      DiagLog("Out of memory for the copy\n");
      return false;
  }
  return false;
}

bool ExtractAttachmentToFile(bool useImageEnd, const std::wstring& containerPath, const std::string& typeName,
                             const std::wstring& destinationPath, int32_t progressBase, int32_t progressSpan) {
  ScopedStdio container(platform::OpenStdioFile(containerPath, L"rb"));
  if (!container) {
    DiagLog("Could not open container: %s\n", WideToUtf8(containerPath).c_str());
    return false;
  }
  ScopedStdio destination(platform::OpenStdioFile(destinationPath, L"wb"));
  if (!destination) {
    DiagLog("Could not open destination: %s\n", WideToUtf8(destinationPath).c_str());
    return false;
  }
  // From here on every failure closes both files and deletes the destination.
  auto fail = [&]() {
    container.reset();
    destination.reset();
    platform::DeleteFilePath(destinationPath);
    return false;
  };

  if (typeName.size() != 4) {
    DiagLog("Invalid type to extract: %s\n", typeName.c_str());
    return fail();
  }
  DiagLog("Going to extract file: %s\n", typeName.c_str());

  const int64_t chainEnd = useImageEnd ? PeRawDataEnd(container.get()) : StreamSize(container.get());
  const WalkResult walk =
      WalkChain(chainEnd, TypeCodeOf(typeName), StreamTrailerReader(container.get()), LogFoundAttachment);
  if (!ReportWalk(walk)) return fail();

  uint8_t digest[kDigestSize];
  if (!ReportCopy(CopyPayload(container.get(), walk, destination.get(), progressBase, progressSpan, nullptr, digest)))
    return fail();
  container.reset();
  if (!CloseWritten(&destination, destinationPath)) return false;
  if (memcmp(digest, walk.trailer.digest, kDigestSize) != 0) {
    DiagLog("hash fail\n");
    platform::DeleteFilePath(destinationPath);
    return false;
  }
  DiagLog("Extracted\n");
  return true;
}

std::string ReadAttachment(const std::wstring& containerPath, const std::string& typeName) {
  ScopedStdio container(platform::OpenStdioFile(containerPath, L"rb"));
  if (!container) {
    DiagLog("Could not open container: %s\n", WideToUtf8(containerPath).c_str());
    return std::string();
  }
  if (typeName.size() != 4) {
    DiagLog("Invalid type to extract: %s\n", typeName.c_str());
    return std::string();
  }
  DiagLog("Going to extract file: %s\n", typeName.c_str());

  const WalkResult walk = WalkChain(PeRawDataEnd(container.get()), TypeCodeOf(typeName),
                                    StreamTrailerReader(container.get()), LogFoundAttachment);
  if (!ReportWalk(walk)) return std::string();
  if (!platform::SeekStdio(container.get(), walk.payloadStart, SEEK_SET)) {
    DiagLog("read fail\n");
    return std::string();
  }
  FILE* stream = container.get();
  return ReadPayloadString(walk, [stream](uint8_t* block, uint32_t n) { return fread(block, 1, n, stream) == n; });
}

std::string ReadAttachmentByHandle(const std::wstring& containerPath, const std::string& typeName,
                                   int32_t* payloadOffset, uint16_t belowCertificate) {
  platform::ScopedFile container(platform::OpenFileForRead(containerPath, platform::ShareMode::kReadWriteDelete));
  if (!container.valid()) {
    DiagLog("Could not open container: %s\n", WideToUtf8(containerPath).c_str());
    return std::string();
  }
  if (typeName.size() != 4) {
    DiagLog("Invalid type to extract: %s\n", typeName.c_str());
    return std::string();
  }
  DiagLog("Going to extract file: %s\n", typeName.c_str());

  int64_t size = 0;
  if (!platform::GetFileSize64(container.get(), &size)) size = -1;  // no chain
  const uint32_t sizeHint = size >= 0 && size < 0xFFFFFFFF ? static_cast<uint32_t>(size) : 0xFFFFFFFFu;
  // A zero hint would make the size be queried again; an empty file has no chain anyway.
  const int64_t chainEnd = size > 0 ? size - PeTrailingDataSize(container.get(), sizeHint, belowCertificate) : size;

  const platform::FileHandle handle = container.get();
  const WalkResult walk = WalkChain(chainEnd, TypeCodeOf(typeName), [handle](int64_t position, uint8_t* bytes) {
    return platform::SeekFile(handle, position, platform::SeekFrom::kBegin) &&
           platform::ReadExact(handle, bytes, kTrailerSize);
  });
  if (!ReportWalk(walk)) return std::string();
  // The offset is handed out as a signed 32-bit position.
  if (walk.payloadStart > kMaxChainPosition) {
    DiagLog("Invalid pos\n");
    return std::string();
  }
  if (payloadOffset) *payloadOffset = static_cast<int32_t>(walk.payloadStart);
  if (!platform::SeekFile(handle, walk.payloadStart, platform::SeekFrom::kBegin)) {
    DiagLog("read fail\n");
    return std::string();
  }
  return ReadPayloadString(walk, [handle](uint8_t* block, uint32_t n) { return platform::ReadExact(handle, block, n); });
}
