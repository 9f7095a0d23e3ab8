#include "packing/setup_stream.h"

#include <algorithm>
#include <cstring>

#include "packing/chain_writer.h"
#include "platform/platform.h"
#include "support/compute_lane.h"
#include "support/strings.h"

namespace {
constexpr size_t kBlockSize = 4 * 0x100000;
constexpr size_t kBlocks = 3;

int64_t Measure(FILE* file) {
  if (file == nullptr || !platform::SeekStdio(file, 0, SEEK_END)) return -1;
  const int64_t size = platform::TellStdio(file);
  return size >= 0 && platform::SeekStdio(file, 0, SEEK_SET) ? size : -1;
}
}  // namespace

SetupStream::SetupStream() = default;

SetupStream::~SetupStream() {
  lane_.reset();  // its jobs read blocks_
  if (program_) fclose(program_);
  if (bundle_) fclose(bundle_);
}

bool SetupStream::Open(const std::wstring& programPath, const std::string& record, const std::wstring& bundlePath,
                       std::string* error) {
  program_ = platform::OpenStdioFile(programPath, L"rb");
  bundle_ = platform::OpenStdioFile(bundlePath, L"rb");
  const int64_t programSize = Measure(program_);
  const int64_t bundleSize = Measure(bundle_);
  if (programSize < 0 || bundleSize < 0) {
    if (error) *error = "cannot read " + WideToUtf8(programSize < 0 ? programPath : bundlePath);
    return false;
  }
  programSize_ = static_cast<uint64_t>(programSize);
  bundleSize_ = static_cast<uint64_t>(bundleSize);
  recordAttachment_ = MakeAttachment("_SG2", reinterpret_cast<const uint8_t*>(record.data()), record.size());
  blocks_.resize(kBlockSize * kBlocks);
  lane_.reset(new ComputeLane(kBlocks));
  return true;
}

uint64_t SetupStream::size() const {
  return programSize_ + recordAttachment_.size() + AttachmentRecordSize(bundleSize_);
}

// The payload of "IBND" inside the setup program is the bundle scrambled;
// its digest is over the bundle as it is.
bool SetupStream::ReadBundle(uint8_t* out, size_t n) {
  while (n > 0) {
    const size_t m = n < kBlockSize ? n : kBlockSize;
    uint8_t* block = blocks_.data() + lane_->Reserve() * kBlockSize;
    if (fread(block, 1, m, bundle_) != m) return false;
    lane_->Submit([this, block, m] { bundleDigest_.Update(block, m); });
    memcpy(out, block, m);
    ScrambleBytes(out, m);
    out += m;
    n -= m;
  }
  return true;
}

bool SetupStream::Read(uint8_t* out, size_t n) {
  const uint64_t recordEnd = programSize_ + recordAttachment_.size();
  const uint64_t bundleEnd = recordEnd + bundleSize_;
  while (n > 0) {
    size_t m = 0;
    if (position_ < programSize_) {
      m = static_cast<size_t>(std::min<uint64_t>(n, programSize_ - position_));
      if (fread(out, 1, m, program_) != m) return false;
    } else if (position_ < recordEnd) {
      m = static_cast<size_t>(std::min<uint64_t>(n, recordEnd - position_));
      memcpy(out, recordAttachment_.data() + (position_ - programSize_), m);
    } else if (position_ < bundleEnd) {
      m = static_cast<size_t>(std::min<uint64_t>(n, bundleEnd - position_));
      if (!ReadBundle(out, m)) return false;
    } else if (position_ < bundleEnd + kTrailerSize) {
      if (!trailerReady_) {
        lane_->Drain();
        AttachmentTrailer trailer;
        bundleDigest_.Final(trailer.digest);
        trailer.payloadSize = static_cast<uint32_t>(bundleSize_);
        trailer.typeCode = TypeCodeOf("IBND");
        trailer.magic = kAttachmentMagic;
        SerializeTrailer(trailer, trailer_);
        trailerReady_ = true;
      }
      m = static_cast<size_t>(std::min<uint64_t>(n, bundleEnd + kTrailerSize - position_));
      memcpy(out, trailer_ + (position_ - bundleEnd), m);
    } else {
      return false;
    }
    position_ += m;
    out += m;
    n -= m;
  }
  return true;
}
