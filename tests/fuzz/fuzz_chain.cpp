// The attachment chain walk through its three readers: into a file
// (ExtractAttachmentToFile, both chain ends), into memory (ReadAttachment)
// and through a shared handle (ReadAttachmentByHandle, both modes).
//
// Selector bit 0 set: before the run every trailer met walking back from the
// end of the input gets the right digest, as a packing tool would write it,
// so payloads get past the digest check. Bits 1-2 pick the type name.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "attachments/extract.h"
#include "attachments/trailer.h"
#include "platform/platform.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

void RepairDigests(std::vector<uint8_t>* bytes) {
  int64_t pos = static_cast<int64_t>(bytes->size()) - static_cast<int64_t>(kTrailerSize);
  while (pos >= 0) {
    uint8_t* raw = bytes->data() + pos;
    AttachmentTrailer trailer = ParseTrailer(raw);
    if (trailer.magic != kAttachmentMagic) return;
    const int64_t start = pos - static_cast<int64_t>(trailer.payloadSize);
    if (start < 0) return;
    std::vector<uint8_t> plain(bytes->begin() + start, bytes->begin() + pos);
    ScrambleBytes(plain.data(), plain.size());
    PayloadDigest md5;
    md5.Restart();
    md5.Update(plain.data(), plain.size());
    md5.Final(trailer.digest);
    SerializeTrailer(trailer, raw);
    pos = start - static_cast<int64_t>(kTrailerSize);
  }
}

std::string ReadWhole(const std::wstring& path) {
  std::string bytes;
  FILE* file = platform::OpenStdioFile(path, L"rb");
  if (file == nullptr) return bytes;
  char block[4096];
  size_t n;
  while ((n = fread(block, 1, sizeof block, file)) > 0) bytes.append(block, n);
  fclose(file);
  return bytes;
}

bool Exists(const std::wstring& path) {
  FILE* file = platform::OpenStdioFile(path, L"rb");
  if (file == nullptr) return false;
  fclose(file);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kzfuzz::QuietInit();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const kzfuzz::Input input = kzfuzz::Split(data, size);
  if (input.data == nullptr) return 0;
  std::vector<uint8_t> bytes(input.data, input.data + input.size);
  if (input.selector & 1) RepairDigests(&bytes);
  const std::wstring container = kzfuzz::ScratchPath("container.exe");
  if (!kzfuzz::WriteBytes(container, bytes.data(), bytes.size())) return 0;
  static const char* const kTypes[] = {"LOAD", "IBND", "_SG2", "TYPE"};
  const std::string type = kTypes[(input.selector >> 1) & 3];
  const bool isImage = bytes.size() >= 2 && bytes[0] == 'M' && bytes[1] == 'Z';

  const std::wstring destination = kzfuzz::ScratchPath("payload.out");
  for (bool useImageEnd : {false, true}) {
    const bool extracted = ExtractAttachmentToFile(useImageEnd, container, type, destination, 0, 50);
    // A failed extraction leaves no destination behind.
    if (!extracted && Exists(destination)) abort();
    if (extracted && !useImageEnd && !isImage) {
      // Without PE headers the handle reader ends the chain at the end of
      // the file too: both readers must find the same payload.
      int32_t offset = -1;
      const std::string viaHandle = ReadAttachmentByHandle(container, type, &offset, 1);
      if (viaHandle != ReadWhole(destination)) abort();
      if (offset < 0) abort();
    }
    platform::DeleteFilePath(destination);
  }
  ReadAttachment(container, type);
  int32_t offset = -1;
  ReadAttachmentByHandle(container, type, &offset, 0);
  ReadAttachmentByHandle(container, type, nullptr, 1);
  ExtractAttachmentToFile(false, container, "LOA", destination, 50, 25);
  if (Exists(destination)) abort();
  return 0;
}
