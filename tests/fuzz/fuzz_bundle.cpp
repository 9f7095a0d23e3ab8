// The bundle reader on hostile files: open and validation, entry streams
// (line and block reads, several streams at once), extraction into the
// scratch folder and the sequential walk.
//
// Selector bit 0 clear: the input is the whole file. Set: the input is the
// plain entry stream of a bundle that the development key signs, so the
// input passes the validation and reaches everything behind it. Bit 1 picks
// the installer's size limit instead of the default one; bits 2-7 pick the
// ReadLine capacity.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bundle/bundle.h"
#include "packing/bundle_writer.h"
#include "packing/certificate_writer.h"
#include "platform/platform.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

const BundleSigning& Signing() {
  static const BundleSigning signing = [] {
    BundleSigning s;
    s.signingKeyPkcs8 = kzfuzz::DevKey("dev_bundle_signing.key.der");
    std::string error;
    if (!IssueCertificate("IBND", 0x7FFFFFFF, kzfuzz::DevKey("dev_bundle_signing.pub.der"),
                          kzfuzz::DevKey("dev_bundle_root.key.der"), &s.certificate, &error))
      abort();
    return s;
  }();
  return signing;
}

bool WriteSignedBundle(const std::wstring& path, const uint8_t* plain, size_t size) {
  BundleWriter writer;
  std::string error;
  return writer.Create(path, BundleWriterOptions(), &Signing(), &error) &&
         writer.AppendPlain(plain, size, &error) && writer.Finish(&error);
}

std::vector<unsigned char> ReadWholeFile(const std::wstring& path) {
  std::vector<unsigned char> bytes;
  FILE* file = platform::OpenStdioFile(path, L"rb");
  if (file == nullptr) return bytes;
  unsigned char block[4096];
  size_t n;
  while ((n = fread(block, 1, sizeof block, file)) > 0) bytes.insert(bytes.end(), block, block + n);
  fclose(file);
  return bytes;
}

constexpr int32_t kOracleLimit = 1 << 20;  // entries up to this size are read three ways and compared

// Reads one entry by blocks, by lines and by extraction; when the block read
// succeeds the three must agree.
void ExerciseEntry(Bundle& bundle, const std::string& name, int capacity) {
  BundleStream* blocks = bundle.OpenStream(name);
  if (blocks == nullptr) return;
  const int32_t total = blocks->total();
  std::vector<unsigned char> content;
  bool blocksComplete = false;
  if (total <= kOracleLimit) {
    content.resize(static_cast<size_t>(total) + 7);
    // A partial item first, then the rest in uneven pieces.
    size_t got = bundle.Read(content.data(), 3, 5, blocks) * 3;
    if (got > 0 || total < 3) {
      got = static_cast<size_t>(blocks->position());
      while (got < static_cast<size_t>(total)) {
        size_t n = bundle.Read(content.data() + got, 1, 4099, blocks);
        if (n == 0) break;
        got += n;
      }
    }
    blocksComplete = got == static_cast<size_t>(total) && blocks->position() == total;
    content.resize(got);
    if (bundle.Read(content.data(), 1, 1, blocks) != 0 && blocksComplete) abort();  // nothing after the end
  } else {
    unsigned char piece[8192];
    for (int i = 0; i < 16 && bundle.Read(piece, 1, sizeof piece, blocks) > 0; ++i) {
    }
  }

  // Lines through a second stream while the first is still open.
  BundleStream* lines = bundle.OpenStream(name);
  std::string joined;
  bool sawZero = false;
  if (lines != nullptr) {
    std::vector<char> buffer(static_cast<size_t>(capacity) + 1);
    for (int i = 0; i < 200000; ++i) {
      const int32_t before = lines->position();
      char* line = bundle.ReadLine(buffer.data(), capacity, lines);
      if (line == nullptr) break;
      if (line != buffer.data()) abort();
      const size_t length = strlen(line);
      if (static_cast<int>(length) > capacity - 1) abort();
      joined.append(line, length);
      if (capacity == 1) break;  // consumes nothing, by design
      if (lines->position() == before) abort();  // a line that moves nothing would loop forever
    }
    bundle.CloseStream(lines);
  }
  bundle.CloseStream(blocks);

  const std::wstring out = kzfuzz::ScratchPath("entry.out");
  // Block reads never inflate a chunk that holds no bytes; extraction does,
  // so the two must agree only when every chunk carries content.
  bool everyChunkCarries = false;
  for (const auto& entry : bundle.entries()) {
    if (entry->name != name) continue;
    everyChunkCarries = true;
    for (const ChunkDescriptor& chunk : entry->chunks) everyChunkCarries = everyChunkCarries && chunk.originalSize > 0;
    break;
  }
  const bool extracted = bundle.ExtractEntry(out, name);
  if (blocksComplete && total <= kOracleLimit && everyChunkCarries) {
    if (!extracted) abort();  // every chunk inflated for the block read
    if (ReadWholeFile(out) != content) abort();
    std::string plain;
    for (unsigned char c : content) {
      if (c == 0) sawZero = true;
      if (c != 0x0D) plain.push_back(static_cast<char>(c));
    }
    if (!sawZero && capacity > 1 && joined != plain) abort();
  }
  platform::DeleteFilePath(out);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kzfuzz::QuietInit();
  Signing();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const kzfuzz::Input input = kzfuzz::Split(data, size);
  if (input.data == nullptr) return 0;
  const std::wstring path = kzfuzz::ScratchPath("ibnd");
  const bool signedStream = input.selector & 1;
  if (signedStream ? !WriteSignedBundle(path, input.data, input.size)
                   : !kzfuzz::WriteBytes(path, input.data, input.size))
    return 0;

  Bundle bundle;
  bundle.SetCertificateGoal("IBND");
  bundle.SetSizeLimit((input.selector & 2) ? bundle_format::kInstallerSizeLimit : bundle_format::kDefaultSizeLimit);
  const int capacities[] = {2048, 1, 2, 3, 7, 64};
  const int capacity = capacities[(input.selector >> 2) % 6];
  if (!bundle.Open(path)) {
    if (bundle.is_open() || !bundle.entries().empty()) abort();
    platform::DeleteFilePath(path);
    return 0;
  }
  if (bundle.entries().size() > bundle_format::kMaxEntries) abort();

  std::vector<std::string> names;
  for (const auto& entry : bundle.entries()) {
    if (names.size() == 6) break;
    names.push_back(entry->name);
  }
  names.push_back("install_script");
  names.push_back(std::string("absent\0name", 11));
  for (const std::string& name : names) ExerciseEntry(bundle, name, capacity);

  // The stream table holds; every stream closes.
  if (!names.empty()) {
    std::vector<BundleStream*> open;
    for (int i = 0; i < 40; ++i) {
      BundleStream* stream = bundle.OpenStream(names.front());
      if (stream == nullptr) break;
      open.push_back(stream);
    }
    if (bundle.open_stream_count() > bundle_format::kMaxOpenStreams) abort();
    for (auto it = open.rbegin(); it != open.rend(); ++it) bundle.CloseStream(*it);
    if (bundle.open_stream_count() != 0) abort();
  }

  // The sequential walk the older callers use.
  bundle.Rewind();
  std::string name;
  for (int i = 0; i < 300 && bundle.NextName(&name); ++i) {
    if (i == 0) {
      const std::wstring out = kzfuzz::ScratchPath("walk.out");
      bundle.WriteEntryToPath(out);
      platform::DeleteFilePath(out);
    } else if (!bundle.SkipEntry()) {
      break;
    }
  }
  if (!bundle.Close()) abort();
  platform::DeleteFilePath(path);
  return 0;
}
