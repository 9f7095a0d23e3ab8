// Opening, closing and sequential access of a bundle, and the chunk walk
// and chunk copy that the validation, the sequential reads and the
// extraction share. The validation that Open runs is in validation.cpp; the
// streams live in bundle_stream.cpp.
#include "bundle/bundle.h"

#include <cryptopp/filters.h>
#include <cryptopp/sha.h>

#include <cstring>

#include "bundle/chunk_inflate.h"
#include "bundle/verifier_feed.h"
#include "platform/platform.h"
#include "support/compute_pool.h"
#include "support/diag_log.h"
#include "support/system_error.h"

using namespace bundle_format;

namespace {
constexpr uint32_t kSpanPiece = 64 * 1024;
}

Bundle::Bundle() : sha1_(new CryptoPP::SHA1) {}

Bundle::~Bundle() {
  if (open_) Close();
  CloseFile();
  pool_.reset();
}

uint32_t Bundle::EffectiveSizeLimit() const { return sizeLimit_ < 0 ? 0u : static_cast<uint32_t>(sizeLimit_); }

// The scratch goes first: jobs read ahead may still use the entries.
void Bundle::CloseFile() {
  ReleaseScratch();
  file_.Close();
  entries_.clear();
}

void Bundle::ReleaseScratch() {
  DiscardReadAhead();
  spanScratch_.Release();
  storedScratch_.Release();
  inflatedScratch_.Release();
  ReleaseSlots(0);
}

void Bundle::ReleaseWorkingMemory() {
  ReleaseScratch();
  pool_.reset();
}

bool Bundle::Open(const std::wstring& path) {
  if (open_) Close();
  scrambler_.Reset();
  if (!file_.Open(path)) {
    DiagLog("Couldn't open file %ls!\n", path.c_str());
    return false;
  }
  unsigned char header[kHeaderSize];
  if (file_.Read(header, sizeof kMagic) != sizeof kMagic || memcmp(header, kMagic, sizeof kMagic) != 0 ||
      file_.Read(header + 12, 1) != 1 || header[12] != kVersion ||
      file_.Read(header + 13, kHeaderSize - 13) != kHeaderSize - 13) {
    CloseFile();
    return false;
  }
  sha1_->Restart();
  entries_.clear();
  if (!ValidateBundle()) {
    DiagLog("%s", "Invalid SHA1 encountered!\n");
    CloseFile();
    return false;
  }
  open_ = true;
  Rewind();
  return true;
}

bool Bundle::Close() {
  if (!open_) return false;
  ReleaseScratch();
  while (!streams_.empty()) CloseStream(streams_.front().get());
  while (!entries_.empty()) entries_.pop_back();
  file_.Close();
  open_ = false;
  return true;
}

void Bundle::SeekToEntries() {
  file_.Seek(kHeaderSize);
  scrambler_.Reset();
}

bool Bundle::Rewind() {
  if (!open_) return false;
  SeekToEntries();
  return true;
}

size_t Bundle::ReadRaw(void* buffer, size_t itemSize, size_t itemCount, bool feedIntegrity, bool advanceOnly) {
  if (itemSize == 0 || itemCount > 0xFFFFFFFFu / itemSize) return 0;
  uint32_t want = static_cast<uint32_t>(itemSize * itemCount);
  unsigned char* bytes = static_cast<unsigned char*>(buffer);
  uint32_t got = file_.Read(bytes, want);
  if (feedIntegrity && feed_ != nullptr) feed_->Put(bytes, got);
  if (advanceOnly) {
    scrambler_.Advance(bytes, got);
  } else {
    scrambler_.Descramble(bytes, got);
    if (feedIntegrity) sha1_->Update(bytes, got);
  }
  return got / itemSize;
}

unsigned char* Bundle::Scratch(ByteBuffer* buffer, size_t size) {
  // Grows only: the bytes are always written before they are read, and a
  // buffer kept from one chunk to the next costs no new pages.
  unsigned char* bytes = buffer->Reserve(size);
  if (bytes == nullptr) DiagLog("Out of memory for %lu bytes\n", static_cast<unsigned long>(size));
  return bytes;
}

bool Bundle::ReadRawSpan(uint32_t size, bool feedIntegrity, bool advanceOnly) {
  if (feedIntegrity && advanceOnly && feed_ != nullptr) {
    // Chunk data under validation: read straight into the verifier's pieces.
    while (size > 0) {
      size_t room = 0;
      unsigned char* at = feed_->Space(&room);
      const uint32_t n = size < room ? size : static_cast<uint32_t>(room);
      if (file_.Read(at, n) != n) return false;
      scrambler_.Advance(at, n);
      feed_->Commit(n);
      size -= n;
    }
    return true;
  }
  unsigned char* piece = Scratch(&spanScratch_, size < kSpanPiece ? size : kSpanPiece);
  if (piece == nullptr) return false;
  while (size > 0) {
    uint32_t n = size < kSpanPiece ? size : kSpanPiece;
    if (ReadRaw(piece, 1, n, feedIntegrity, advanceOnly) != n) return false;
    size -= n;
  }
  return true;
}

bool Bundle::ReadU32(uint32_t* value, bool feedIntegrity) {
  unsigned char b[4];
  if (ReadRaw(b, 4, 1, feedIntegrity, false) != 1) return false;
  *value = LoadLe32(b);
  return true;
}

bool Bundle::WalkChunks(bool feedIntegrity, bool checkLimits, const ChunkVisitor& onChunk, int64_t* total) {
  uint32_t chunkCount = 0;
  if (!ReadU32(&chunkCount, feedIntegrity)) return false;
  const uint32_t originalLimit = EffectiveSizeLimit();
  const uint32_t storedLimit = CompressBoundOf(originalLimit);
  int64_t sum = 0;
  // The count comes from the file: nothing is reserved for it up front.
  for (uint32_t i = 0; i < chunkCount; ++i) {
    uint32_t storedSize = 0, originalSize = 0;
    if (!ReadU32(&storedSize, feedIntegrity) || !ReadU32(&originalSize, feedIntegrity)) return false;
    // Sizes are checked before they size a buffer.
    if (checkLimits && (storedSize > storedLimit || originalSize > originalLimit)) return false;
    // An entry's size is a signed 32-bit value; refuse a sum beyond it.
    if (sum + originalSize > INT32_MAX) return false;
    ChunkDescriptor chunk;
    chunk.fileOffset = file_.Tell();
    chunk.storedSize = storedSize;
    chunk.originalSize = originalSize;
    chunk.state = scrambler_.state();
    sum += originalSize;
    if (!onChunk(chunk)) return false;
  }
  if (total) *total = sum;
  return true;
}

bool Bundle::CacheEntry(const std::string& name, bool advanceOnly) {
  // The entry table is fixed in size; a bundle with more entries is refused.
  if (entries_.size() >= kMaxEntries) return false;
  std::unique_ptr<CachedEntry> entry(new CachedEntry);
  entry->name = name;
  int64_t total = 0;
  const bool walked = WalkChunks(
      true, true,
      [&](const ChunkDescriptor& chunk) {
        entry->chunks.push_back(chunk);
        return ReadRawSpan(chunk.storedSize, true, advanceOnly);
      },
      &total);
  if (!walked) return false;
  entry->totalSize = static_cast<int32_t>(total);
  entry->endOffset = file_.Tell();
  entry->endState = scrambler_.state();
  entries_.push_back(std::move(entry));
  return true;
}

const CachedEntry* Bundle::FindEntry(const std::string& name) const {
  // The cache holds the entries in file order, so the first match is the
  // entry a scan from the first entry would meet.
  for (const auto& entry : entries_)
    if (entry->name == name) return entry.get();
  return nullptr;
}

bool Bundle::NextName(std::string* name) {
  if (!open_) return false;
  uint32_t length = 0;
  if (!ReadU32(&length, false)) return false;
  if (length >= 1 && length <= kMaxNameLength) {
    std::string text(length, '\0');
    if (ReadRaw(&text[0], length, 1, false, false) != 1) return false;
    *name = text;
    return true;
  }
  // The end of the list leaves the bundle at its first entry.
  Rewind();
  return false;
}

bool Bundle::SkipEntry() {
  if (!open_) return false;
  return WalkChunks(
      false, false, [&](const ChunkDescriptor& chunk) { return ReadRawSpan(chunk.storedSize, false, true); }, nullptr);
}

bool Bundle::WriteEntryToPath(const std::wstring& path) {
  if (!open_) return false;
  FILE* file = platform::OpenStdioFile(path, L"wb");
  if (file == nullptr) return false;
  bool ok = WriteEntryTo(file);
  if (fclose(file) != 0) ok = false;
  if (!ok) platform::DeleteFilePath(path);
  return ok;
}

bool Bundle::WriteEntryTo(FILE* file) {
  // Each chunk starts where its sizes end; WriteChunk reads it from there.
  return WalkChunks(
      false, true,
      [&](const ChunkDescriptor& chunk) { return WriteChunk(chunk, file); }, nullptr);
}

bool Bundle::ReadChunk(const ChunkDescriptor& chunk, unsigned char* stored) {
  file_.Seek(chunk.fileOffset);
  scrambler_.set_state(chunk.state);
  return ReadRaw(stored, 1, chunk.storedSize, false, false) == chunk.storedSize;
}

Bundle::ChunkLoad Bundle::LoadChunk(const ChunkDescriptor& chunk, unsigned char* stored, unsigned char* out) {
  if (!ReadChunk(chunk, stored)) return ChunkLoad::kReadFailed;
  if (!InflateChunk(stored, chunk.storedSize, out, chunk.originalSize)) return ChunkLoad::kInflateFailed;
  return ChunkLoad::kDone;
}

bool Bundle::WriteChunk(const ChunkDescriptor& chunk, FILE* file) {
  unsigned char* stored = Scratch(&storedScratch_, chunk.storedSize);
  unsigned char* original = Scratch(&inflatedScratch_, chunk.originalSize);
  if (stored == nullptr || original == nullptr) return false;
  if (LoadChunk(chunk, stored, original) != ChunkLoad::kDone) return false;
  return chunk.originalSize == 0 || WriteOrNote(file, original, chunk.originalSize);
}

// The entry cache holds the same entries, in the same order, that a scan from
// the first entry would meet, so the first cached match is the entry a scan
// would extract; reading it through its descriptors costs only its own bytes.
bool Bundle::ExtractEntry(const std::wstring& destinationPath, const std::string& name) {
  if (!open_) return false;
  const CachedEntry* found = FindEntry(name);
  if (found == nullptr) {
    Rewind();
    return false;
  }
  FILE* file = CreateOrNote(destinationPath);
  if (file == nullptr) return false;
  bool ok = WriteCachedEntry(*found, file);
  if (!CloseOrNote(file)) ok = false;
  if (!ok) {
    platform::DeleteFilePath(destinationPath);
    return false;
  }
  // Leave the bundle just behind the entry, where a scan would stand.
  file_.Seek(found->endOffset);
  scrambler_.set_state(found->endState);
  return true;
}
