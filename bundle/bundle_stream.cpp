// Entry streams: random access to one entry's content through the chunk
// descriptors, with a small cache of inflated chunks per stream.
#include <algorithm>
#include <cstring>

#include "bundle/bundle.h"
#include "support/diag_log.h"
#include "support/script_lines.h"

using namespace bundle_format;

namespace {
void IndexChunks(std::vector<int64_t>* starts, const std::vector<ChunkDescriptor>& chunks) {
  starts->clear();
  int64_t start = 0;
  for (const ChunkDescriptor& chunk : chunks) {
    starts->push_back(start);
    start += chunk.originalSize;
  }
}
}  // namespace

BundleStream* Bundle::OpenStream(const std::string& name) {
  if (!open_) return nullptr;
  // The stream list is fixed in size: a stream beyond it is refused.
  if (streams_.size() >= kMaxOpenStreams) return nullptr;
  std::unique_ptr<BundleStream> stream(new BundleStream);
  stream->savedOffset_ = file_.Tell();
  stream->savedState_ = scrambler_.state();

  // Open validated every entry into the cache: a name not there is not in the file.
  const CachedEntry* cached = FindEntry(name);
  if (cached == nullptr) {
    Rewind();
    return nullptr;
  }
  stream->chunks_ = cached->chunks;
  stream->total_ = cached->totalSize;
  IndexChunks(&stream->chunkStarts_, stream->chunks_);
  streams_.push_back(std::move(stream));
  return streams_.back().get();
}

void Bundle::CloseStream(BundleStream* stream) {
  auto it = std::find_if(streams_.begin(), streams_.end(),
                         [stream](const std::unique_ptr<BundleStream>& s) { return s.get() == stream; });
  if (it == streams_.end()) return;
  file_.Seek((*it)->savedOffset_);
  scrambler_.set_state((*it)->savedState_);
  streams_.erase(it);
}

const unsigned char* Bundle::ChunkAtPosition(BundleStream* stream, uint32_t* available) {
  const int64_t position = stream->position_;
  // The last chunk that starts at or before the position holds it, unless it
  // ends before it (empty chunks hold nothing).
  auto next = std::upper_bound(stream->chunkStarts_.begin(), stream->chunkStarts_.end(), position);
  if (next == stream->chunkStarts_.begin()) {
    DiagLog("?!");
    return nullptr;
  }
  const size_t index = static_cast<size_t>(next - stream->chunkStarts_.begin()) - 1;
  const int64_t start = stream->chunkStarts_[index];
  const ChunkDescriptor& chunk = stream->chunks_[index];
  if (position >= start + chunk.originalSize) {
    DiagLog("?!");
    return nullptr;
  }
  const InflatedChunk* inflated = nullptr;
  for (const InflatedChunk& c : stream->inflatedCache_) {
    if (c.chunkIndex == index) {
      inflated = &c;
      break;
    }
  }
  if (inflated == nullptr) {
    while (stream->inflatedCache_.size() >= stream->cacheLimit_) stream->inflatedCache_.erase(stream->inflatedCache_.begin());
    InflatedChunk fresh;
    fresh.chunkIndex = index;
    ByteBuffer stored;
    if (fresh.data.Reserve(chunk.originalSize) == nullptr || stored.Reserve(chunk.storedSize) == nullptr) {
      DiagLog("Out of memory for a chunk\n");
      return nullptr;
    }
    const ChunkLoad load = LoadChunk(chunk, stored.data(), fresh.data.data());
    if (load != ChunkLoad::kDone) {
      DiagLog(load == ChunkLoad::kReadFailed ? "?!!" : "?!!!");
      return nullptr;
    }
    stream->inflatedCache_.push_back(std::move(fresh));
    inflated = &stream->inflatedCache_.back();
  }
  const uint32_t offset = static_cast<uint32_t>(position - start);
  *available = chunk.originalSize - offset;
  return inflated->data.data() + offset;
}

size_t Bundle::Read(void* buffer, size_t itemSize, size_t itemCount, BundleStream* stream) {
  if (stream == nullptr || itemSize == 0) return 0;
  const int64_t remaining = static_cast<int64_t>(stream->total_) - stream->position_;
  int64_t want = remaining;
  if (itemCount <= static_cast<size_t>(remaining) / itemSize) want = static_cast<int64_t>(itemSize * itemCount);
  const int64_t granted = want;
  if (want < 1) return 0;
  const int32_t before = stream->position_;
  unsigned char* out = static_cast<unsigned char*>(buffer);
  while (want > 0) {
    uint32_t available = 0;
    const unsigned char* bytes = ChunkAtPosition(stream, &available);
    if (bytes == nullptr) {
      stream->position_ = before;
      return 0;
    }
    uint32_t n = want < available ? static_cast<uint32_t>(want) : available;
    memcpy(out, bytes, n);
    out += n;
    stream->position_ += static_cast<int32_t>(n);
    want -= n;
  }
  return static_cast<size_t>(granted) / itemSize;
}

// Scans the inflated chunk directly; every byte moves the position exactly as
// one single-byte Read would. The cutting itself is the script reader's.
char* Bundle::ReadLine(char* buffer, int capacity, BundleStream* stream) {
  if (stream == nullptr || buffer == nullptr || capacity < 1) return nullptr;
  int stored = 0;
  bool lineDone = false;
  while (!lineDone && stored < capacity - 1 && stream->position_ < stream->total_) {
    uint32_t available = 0;
    const unsigned char* bytes = ChunkAtPosition(stream, &available);
    if (bytes == nullptr) break;  // logged; looks like the end of the content
    stream->position_ += static_cast<int32_t>(CutScriptLine(bytes, available, buffer, capacity, &stored, &lineDone));
  }
  if (stored == 0 && capacity > 1) return nullptr;
  buffer[stored] = '\0';
  return buffer;
}
