// Building attachment chains: records in memory, and a writer that puts an
// image and the chain after it into an output file, optionally as the raw
// data of a new last PE section `.KZBNDL`. Nothing follows the chain.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

// One attachment record: the scrambled payload, then its trailer. Empty when
// `type` is not exactly four bytes or the payload does not fit its size field.
std::vector<uint8_t> MakeAttachment(const std::string& type, const uint8_t* data, size_t size);

// Bytes a payload of `payloadSize` bytes takes in a chain.
constexpr uint64_t AttachmentRecordSize(uint64_t payloadSize) { return payloadSize + 28; }

// Writes one output file front to back:
//   1. BeginImageWithSection (or BeginAfterFile) writes the image;
//   2. AppendAttachment / AppendAttachmentFromFile add records in chain order;
//   3. Finish checks the chain's length and flushes.
// Between appends the caller may Flush() and read the output back, e.g. to
// sign every byte written so far before appending the signature record.
// Errors come back as false with a sentence in `*error`.
class ChainWriter {
 public:
  using Tap = std::function<void(const uint8_t* data, size_t size)>;

  // `output` is opened for binary writing by the caller and stays theirs.
  explicit ChainWriter(FILE* output) : output_(output) {}
  ChainWriter(const ChainWriter&) = delete;
  ChainWriter& operator=(const ChainWriter&) = delete;

  // Every byte written from now on is also handed to `tap`, in file order.
  void SetTap(Tap tap) { tap_ = std::move(tap); }

  // Copies the PE32 or PE32+ image at `imagePath` with one more section,
  // `.KZBNDL`, whose raw data will be the chain of exactly `chainLength`
  // bytes (PlanImageWithSection says what changes and what is refused;
  // its notes land in notes()).
  bool BeginImageWithSection(const std::wstring& imagePath, uint64_t chainLength, std::string* error);
  // Copies any file unchanged; the chain then ends at the end of the output.
  bool BeginAfterFile(const std::wstring& path, std::string* error);

  bool AppendAttachment(const std::string& type, const uint8_t* data, size_t size, std::string* error);
  // Streams the payload from a file in 4 MiB blocks.
  bool AppendAttachmentFromFile(const std::string& type, const std::wstring& payloadPath, std::string* error);
  // Fills `out` with the next `size` plain payload bytes; false when it cannot.
  using PayloadReader = std::function<bool(uint8_t* out, size_t size)>;
  // Streams a payload of `size` bytes from `read`, for payloads made on the
  // fly; `name` says in errors what could not be read.
  bool AppendAttachmentFromReader(const std::string& type, uint64_t size, const PayloadReader& read,
                                  const std::string& name, std::string* error);

  bool Flush(std::string* error);
  // With a section: the chain must have exactly the length announced.
  bool Finish(std::string* error);

  int64_t position() const { return position_; }      // bytes written so far
  int64_t chainStart() const { return chainStart_; }  // first byte of the chain
  // Changes made to the image besides the new section, one sentence each.
  const std::vector<std::string>& notes() const { return notes_; }

 private:
  bool Write(const uint8_t* data, size_t size, std::string* error);
  bool WriteZeros(uint64_t count, std::string* error);
  bool CopyRange(FILE* input, uint64_t count, std::string* error);
  bool CheckRoom(const std::string& type, uint64_t payloadSize, std::string* error);
  bool WriteTrailer(const std::string& type, uint32_t payloadSize, const uint8_t* digest, std::string* error);

  FILE* output_;
  Tap tap_;
  bool begun_ = false;
  int64_t position_ = 0;
  int64_t chainStart_ = 0;
  int64_t chainLength_ = -1;  // -1: no section, any length
  std::vector<std::string> notes_;
};
