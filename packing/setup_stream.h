// The setup program as it goes into the installer's "LOAD" attachment, made
// on the fly from its parts: the program file, its "_SG2" record and the
// bundle as "IBND" last. The setup program with its chain is never written
// on its own, which spares a write and a read of the whole bundle.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "attachments/trailer.h"

class ComputeLane;

class SetupStream {
 public:
  SetupStream();
  ~SetupStream();
  SetupStream(const SetupStream&) = delete;
  SetupStream& operator=(const SetupStream&) = delete;

  // `record`: the "_SG2" payload that signs the program file as it is.
  bool Open(const std::wstring& programPath, const std::string& record, const std::wstring& bundlePath,
            std::string* error);
  // Bytes of the setup program with its chain.
  uint64_t size() const;
  // The next `n` bytes, in order; false when a file cannot be read as measured.
  bool Read(uint8_t* out, size_t n);

 private:
  bool ReadBundle(uint8_t* out, size_t n);

  FILE* program_ = nullptr;
  FILE* bundle_ = nullptr;
  uint64_t programSize_ = 0;
  uint64_t bundleSize_ = 0;
  std::vector<uint8_t> recordAttachment_;  // "_SG2": scrambled payload and trailer
  uint64_t position_ = 0;
  // The bundle's digest (for the "IBND" trailer) runs on a second thread.
  PayloadDigest bundleDigest_;
  std::unique_ptr<ComputeLane> lane_;
  std::vector<uint8_t> blocks_;
  uint8_t trailer_[kTrailerSize] = {};
  bool trailerReady_ = false;
};
