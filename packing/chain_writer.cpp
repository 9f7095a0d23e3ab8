#include "packing/chain_writer.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "attachments/trailer.h"
#include "packing/section_writer.h"
#include "platform/platform.h"
#include "support/compute_lane.h"
#include "support/strings.h"

namespace {

constexpr size_t kBlockSize = 0x100000;
// Payload files are copied in larger blocks, several in flight: the digest
// of one block runs on a second thread while the next is read, scrambled
// and written.
constexpr size_t kPayloadBlockSize = 4 * 0x100000;
constexpr size_t kPayloadBlocks = 3;
// A payload's size field is 32-bit (a check that only bites where size_t is wider).
bool FitsSizeField(uint64_t size) { return size <= 0xFFFFFFFFu; }

bool Fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  return false;
}

struct StdioCloser {
  void operator()(FILE* file) const {
    if (file) fclose(file);
  }
};
using ScopedStdio = std::unique_ptr<FILE, StdioCloser>;

int64_t OpenAndMeasure(const std::wstring& path, ScopedStdio* file, std::string* error) {
  file->reset(platform::OpenStdioFile(path, L"rb"));
  if (!*file) {
    Fail(error, "cannot open " + WideToUtf8(path));
    return -1;
  }
  int64_t size = -1;
  if (platform::SeekStdio(file->get(), 0, SEEK_END)) size = platform::TellStdio(file->get());
  if (size < 0 || !platform::SeekStdio(file->get(), 0, SEEK_SET)) {
    Fail(error, "cannot measure " + WideToUtf8(path));
    return -1;
  }
  return size;
}

}  // namespace

std::vector<uint8_t> MakeAttachment(const std::string& type, const uint8_t* data, size_t size) {
  if (type.size() != 4 || !FitsSizeField(size)) return {};
  std::vector<uint8_t> record(size + kTrailerSize);
  if (size) memcpy(record.data(), data, size);
  AttachmentTrailer trailer;
  PayloadDigest md5;
  md5.Update(record.data(), size);
  md5.Final(trailer.digest);
  ScrambleBytes(record.data(), size);
  trailer.payloadSize = static_cast<uint32_t>(size);
  trailer.typeCode = TypeCodeOf(type);
  trailer.magic = kAttachmentMagic;
  SerializeTrailer(trailer, record.data() + size);
  return record;
}

bool ChainWriter::Write(const uint8_t* data, size_t size, std::string* error) {
  if (size == 0) return true;
  if (tap_) tap_(data, size);
  if (fwrite(data, 1, size, output_) != size) return Fail(error, "cannot write the output file");
  position_ += static_cast<int64_t>(size);
  return true;
}

bool ChainWriter::WriteZeros(uint64_t count, std::string* error) {
  static const uint8_t zeros[4096] = {};
  while (count > 0) {
    const size_t n = count < sizeof zeros ? static_cast<size_t>(count) : sizeof zeros;
    if (!Write(zeros, n, error)) return false;
    count -= n;
  }
  return true;
}

bool ChainWriter::CopyRange(FILE* input, uint64_t count, std::string* error) {
  std::unique_ptr<uint8_t[]> block(new uint8_t[kBlockSize]);
  while (count > 0) {
    const size_t n = count < kBlockSize ? static_cast<size_t>(count) : kBlockSize;
    if (fread(block.get(), 1, n, input) != n) return Fail(error, "cannot read the input image");
    if (!Write(block.get(), n, error)) return false;
    count -= n;
  }
  return true;
}

bool ChainWriter::BeginAfterFile(const std::wstring& path, std::string* error) {
  if (!output_) return Fail(error, "no output file");
  if (begun_) return Fail(error, "the output already holds an image");
  ScopedStdio input;
  const int64_t size = OpenAndMeasure(path, &input, error);
  if (size < 0) return false;
  if (size > kMaxChainPosition) return Fail(error, "the file is larger than 2 GiB; a chain after it is unreachable");
  if (!CopyRange(input.get(), static_cast<uint64_t>(size), error)) return false;
  begun_ = true;
  chainStart_ = position_;
  chainLength_ = -1;
  return true;
}

bool ChainWriter::BeginImageWithSection(const std::wstring& imagePath, uint64_t chainLength, std::string* error) {
  if (!output_) return Fail(error, "no output file");
  if (begun_) return Fail(error, "the output already holds an image");
  ScopedStdio input;
  const int64_t signedSize = OpenAndMeasure(imagePath, &input, error);
  if (signedSize < 0) return false;
  const std::string name = WideToUtf8(imagePath);
  ImageWithSection plan;
  const bool planned =
      PlanImageWithSection(input.get(), static_cast<uint64_t>(signedSize), name, chainLength, &plan, error);
  notes_.insert(notes_.end(), plan.notes.begin(), plan.notes.end());
  if (!planned) return false;

  if (!Write(plan.headers.data(), plan.headers.size(), error)) return false;
  if (!platform::SeekStdio(input.get(), static_cast<int64_t>(plan.headers.size()), SEEK_SET))
    return Fail(error, "cannot read " + name);
  if (!CopyRange(input.get(), plan.dataEnd - plan.headers.size(), error)) return false;
  if (!WriteZeros(plan.chainStart - plan.dataEnd, error)) return false;
  begun_ = true;
  chainStart_ = position_;
  chainLength_ = static_cast<int64_t>(chainLength);
  return true;
}

bool ChainWriter::CheckRoom(const std::string& type, uint64_t payloadSize, std::string* error) {
  if (!begun_) return Fail(error, "write the image before its attachments");
  if (type.size() != 4) return Fail(error, "attachment type '" + type + "' is not four bytes long");
  if (!FitsSizeField(payloadSize)) return Fail(error, "the " + type + " payload is larger than 4 GiB");
  const uint64_t end = static_cast<uint64_t>(position_) + AttachmentRecordSize(payloadSize);
  if (chainLength_ >= 0 && end > static_cast<uint64_t>(chainStart_ + chainLength_))
    return Fail(error, "the " + type + " attachment does not fit the chain length announced in the section");
  if (end > static_cast<uint64_t>(kMaxChainPosition)) return Fail(error, "the chain would pass 2 GiB");
  return true;
}

bool ChainWriter::WriteTrailer(const std::string& type, uint32_t payloadSize, const uint8_t* digest,
                               std::string* error) {
  AttachmentTrailer trailer;
  memcpy(trailer.digest, digest, kDigestSize);
  trailer.payloadSize = payloadSize;
  trailer.typeCode = TypeCodeOf(type);
  trailer.magic = kAttachmentMagic;
  uint8_t bytes[kTrailerSize];
  SerializeTrailer(trailer, bytes);
  return Write(bytes, sizeof bytes, error);
}

bool ChainWriter::AppendAttachment(const std::string& type, const uint8_t* data, size_t size, std::string* error) {
  if (!CheckRoom(type, size, error)) return false;
  PayloadDigest md5;
  std::unique_ptr<uint8_t[]> block(new uint8_t[kBlockSize]);
  size_t done = 0;
  while (done < size) {
    const size_t n = std::min(size - done, kBlockSize);
    memcpy(block.get(), data + done, n);
    md5.Update(block.get(), n);
    ScrambleBytes(block.get(), n);
    if (!Write(block.get(), n, error)) return false;
    done += n;
  }
  uint8_t digest[kDigestSize];
  md5.Final(digest);
  return WriteTrailer(type, static_cast<uint32_t>(size), digest, error);
}

bool ChainWriter::AppendAttachmentFromFile(const std::string& type, const std::wstring& payloadPath,
                                           std::string* error) {
  ScopedStdio input;
  const int64_t size = OpenAndMeasure(payloadPath, &input, error);
  if (size < 0) return false;
  FILE* file = input.get();
  return AppendAttachmentFromReader(
      type, static_cast<uint64_t>(size), [file](uint8_t* out, size_t n) { return fread(out, 1, n, file) == n; },
      WideToUtf8(payloadPath) + " (did it shrink?)", error);
}

bool ChainWriter::AppendAttachmentFromReader(const std::string& type, uint64_t size, const PayloadReader& read,
                                             const std::string& name, std::string* error) {
  if (!CheckRoom(type, size, error)) return false;
  PayloadDigest md5;
  std::unique_ptr<uint8_t[]> blocks(new uint8_t[kPayloadBlockSize * kPayloadBlocks]);
  std::unique_ptr<uint8_t[]> scrambled(new uint8_t[kPayloadBlockSize]);
  {
    // A block is read again only after its digest job ran (Reserve waits).
    ComputeLane lane(kPayloadBlocks);
    uint64_t remaining = static_cast<uint64_t>(size);
    while (remaining > 0) {
      const size_t n = remaining < kPayloadBlockSize ? static_cast<size_t>(remaining) : kPayloadBlockSize;
      uint8_t* block = blocks.get() + lane.Reserve() * kPayloadBlockSize;
      if (!read(block, n)) return Fail(error, "cannot read " + name);
      lane.Submit([&md5, block, n] { md5.Update(block, n); });
      memcpy(scrambled.get(), block, n);
      ScrambleBytes(scrambled.get(), n);
      if (!Write(scrambled.get(), n, error)) return false;
      remaining -= n;
    }
  }
  uint8_t digest[kDigestSize];
  md5.Final(digest);
  return WriteTrailer(type, static_cast<uint32_t>(size), digest, error);
}

bool ChainWriter::Flush(std::string* error) {
  if (fflush(output_) != 0) return Fail(error, "cannot write the output file");
  return true;
}

bool ChainWriter::Finish(std::string* error) {
  if (!begun_) return Fail(error, "nothing was written");
  if (chainLength_ >= 0 && position_ - chainStart_ != chainLength_)
    return Fail(error, "the chain is " + std::to_string(position_ - chainStart_) + " bytes but the section announced " +
                           std::to_string(chainLength_));
  return Flush(error);
}
