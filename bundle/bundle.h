// The reader of install bundles: opens and validates a bundle, finds entries
// by name, reads an entry as a stream or writes it to a file.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bundle/buffered_file.h"
#include "bundle/chunk_slots.h"
#include "bundle/format.h"
#include "bundle/scrambler.h"
#include "support/byte_buffer.h"

namespace CryptoPP {
class RSAFunction;
class SHA1;
}  // namespace CryptoPP
class VerifierFeed;

// Where one chunk's data starts, its sizes, and the scrambler state that
// holds at its first byte, so it can be read without the chunks before it.
struct ChunkDescriptor {
  int64_t fileOffset = 0;
  uint32_t storedSize = 0;
  uint32_t originalSize = 0;
  ScrambleState state;
};

struct CachedEntry {
  std::string name;
  int32_t totalSize = 0;
  std::vector<ChunkDescriptor> chunks;
  // Where the entry ends, so that an extraction through the cache leaves the
  // bundle where a sequential scan would have left it.
  int64_t endOffset = 0;
  ScrambleState endState;
};

struct InflatedChunk {
  size_t chunkIndex = 0;
  ByteBuffer data;
};

class BundleStream {
 public:
  int32_t total() const { return total_; }
  int32_t position() const { return position_; }

 private:
  friend class Bundle;
  int32_t total_ = 0;
  int32_t position_ = 0;
  std::vector<ChunkDescriptor> chunks_;
  std::vector<int64_t> chunkStarts_;  // content offset of each chunk
  std::vector<InflatedChunk> inflatedCache_;  // oldest first
  size_t cacheLimit_ = 10;
  int64_t savedOffset_ = 0;
  ScrambleState savedState_;
};

class Bundle {
 public:
  Bundle();
  ~Bundle();
  Bundle(const Bundle&) = delete;
  Bundle& operator=(const Bundle&) = delete;

  // Both take effect at the next Open. The goal is four characters.
  void SetCertificateGoal(const std::string& goal) { certificateGoal_ = goal; }
  void SetSizeLimit(int32_t limit) { sizeLimit_ = limit; }
  bool SetScrambleTable(const unsigned char* table, size_t n) { return scrambler_.SetScrambleTable(table, n); }
  // The check of the signing key's certificate: the key it vouches for, or
  // null. Unset, the built-in bundle root decides (the installer never sets
  // it); kzpack sets one to check installers made for another root.
  using CertificateCheck =
      std::function<std::unique_ptr<CryptoPP::RSAFunction>(const unsigned char* bytes, size_t length,
                                                           const std::string& goal)>;
  void SetCertificateCheck(CertificateCheck check) { certificateCheck_ = std::move(check); }

  bool Open(const std::wstring& path);
  bool Close();
  bool is_open() const { return open_; }

  // Streams are owned by the bundle; at most 32 are open at a time.
  BundleStream* OpenStream(const std::string& name);
  char* ReadLine(char* buffer, int capacity, BundleStream* stream);
  size_t Read(void* buffer, size_t itemSize, size_t itemCount, BundleStream* stream);
  void CloseStream(BundleStream* stream);

  bool ExtractEntry(const std::wstring& destinationPath, const std::string& name);
  // Frees the chunk buffers and ends the compute threads, which only reads
  // and extractions use; the bundle stays open and its file held. A later
  // read or extraction takes them again.
  void ReleaseWorkingMemory();

  // Sequential access from the current position.
  bool Rewind();
  // The next entry's name; false at the end of the list (which rewinds).
  bool NextName(std::string* name);
  bool SkipEntry();
  bool WriteEntryToPath(const std::wstring& path);
  bool WriteEntryTo(FILE* file);

  // Every entry the validation met, in file order.
  const std::vector<std::unique_ptr<CachedEntry>>& entries() const { return entries_; }
  size_t open_stream_count() const { return streams_.size(); }
  int64_t file_offset() const { return file_.Tell(); }
  const ScrambleState& scramble_state() const { return scrambler_.state(); }

 private:
  bool ValidateBundle();
  // Walks one entry's chunk table from just behind its name: the chunk
  // count, then per chunk its two sizes (checked against the limits when
  // `checkLimits`, and their sum against the signed 32-bit entry size) and
  // `onChunk`, which must read past the chunk's stored bytes. False at the
  // first short read, limit or failing `onChunk`; `*total` (optional) gets
  // the sum of the original sizes.
  using ChunkVisitor = std::function<bool(const ChunkDescriptor& chunk)>;
  bool WalkChunks(bool feedIntegrity, bool checkLimits, const ChunkVisitor& onChunk, int64_t* total);
  bool CacheEntry(const std::string& name, bool advanceOnly);
  const CachedEntry* FindEntry(const std::string& name) const;
  size_t ReadRaw(void* buffer, size_t itemSize, size_t itemCount, bool feedIntegrity, bool advanceOnly);
  // Reads and drops `size` bytes through ReadRaw in bounded pieces.
  bool ReadRawSpan(uint32_t size, bool feedIntegrity, bool advanceOnly);
  bool ReadU32(uint32_t* value, bool feedIntegrity);
  bool WriteCachedEntry(const CachedEntry& entry, FILE* file);
  // Reads a chunk where its descriptor places it, descrambled; `stored`
  // holds storedSize bytes.
  bool ReadChunk(const ChunkDescriptor& chunk, unsigned char* stored);
  enum class ChunkLoad { kDone, kReadFailed, kInflateFailed };
  // ReadChunk, then inflates it into `out` (originalSize bytes).
  ChunkLoad LoadChunk(const ChunkDescriptor& chunk, unsigned char* stored, unsigned char* out);
  bool WriteChunk(const ChunkDescriptor& chunk, FILE* file);
  // Inflated bytes of the chunk holding the stream position; null after a
  // logged failure.
  const unsigned char* ChunkAtPosition(BundleStream* stream, uint32_t* available);
  void CloseFile();
  // Chunk buffers live from their first use until the bundle is closed, so
  // extracting entry after entry does not allocate and touch new memory for
  // every chunk. Null (logged) when the memory cannot be had.
  static unsigned char* Scratch(ByteBuffer* buffer, size_t size);
  void ReleaseScratch();
  // Seek to the first entry with a fresh scrambler, open or not.
  void SeekToEntries();
  // sizeLimit taken as unsigned; a negative limit admits nothing.
  uint32_t EffectiveSizeLimit() const;

  BufferedFile file_;
  int32_t sizeLimit_ = bundle_format::kDefaultSizeLimit;
  bool open_ = false;
  Scrambler scrambler_;
  std::unique_ptr<CryptoPP::SHA1> sha1_;
  std::string certificateGoal_ = "AVSG";
  CertificateCheck certificateCheck_;
  std::vector<std::unique_ptr<BundleStream>> streams_;
  std::vector<std::unique_ptr<CachedEntry>> entries_;
  // The stored bytes go to the signature filter through this while it validates.
  VerifierFeed* feed_ = nullptr;
  ByteBuffer spanScratch_;      // data passed over, 64 KiB pieces
  ByteBuffer storedScratch_;    // one chunk as stored
  ByteBuffer inflatedScratch_;  // the same chunk inflated
  // Extraction keeps chunks in flight in slots (chunk_slots.h): the worker
  // reads one chunk's stored bytes into a slot while the compute pool
  // descrambles and inflates others, and writes them out in order.
  struct SlotBuffer {
    std::unique_ptr<unsigned char[]> bytes;
    size_t capacity = 0;
  };
  // Slot buffers for `slots` (at most kMaxChunkSlots) chunks of at most
  // these sizes, within the slot budget; false when memory runs out.
  bool PrepareSlots(size_t slots, size_t storedSize, size_t originalSize);
  void ReleaseSlots(size_t from);
  // Fixed in number, so that taking a slot never allocates more than its bytes.
  SlotBuffer slotStored_[kMaxChunkSlots];
  SlotBuffer slotInflated_[kMaxChunkSlots];
  // Whether each slot's chunk inflated; written by the job that fills it.
  bool slotInflatedOk_[kMaxChunkSlots] = {};
  // The first chunks of an entry handed to the pool before it was asked for
  // (entry_extract.cpp): in flight until taken or dropped.
  struct ReadAhead {
    const CachedEntry* entry = nullptr;
    size_t chunks = 0;     // its first `chunks` chunks
    size_t firstJob = 0;   // the pool's number for the first of them
    size_t firstSlot = 0;  // its slot; the others follow round the ring
    size_t slots = 0;      // the ring's size then
  };
  ReadAhead ahead_;
  // Lets every job finish and forgets what was read ahead; before the slots,
  // the entries or the pool go.
  void DiscardReadAhead();
  const CachedEntry* EntryAfter(const CachedEntry& entry) const;
  // The scrambler whose tables the jobs copy: set only while no job runs.
  Scrambler jobScrambler_;
  // Null until the first extraction, and where it could not be had: then
  // the worker inflates each chunk itself.
  std::unique_ptr<ComputePool> pool_;
};
