// The signed bytes of a bundle reach its signature filter on the compute
// lane: the worker copies them, in file order, into 1 MiB pieces and reads
// on (and moves the scrambler along) while SHA-256 runs over the piece before.
#pragma once

#include <cstddef>
#include <exception>
#include <memory>

#include "support/byte_buffer.h"
#include "support/compute_lane.h"

namespace CryptoPP {
class BufferedTransformation;
}

class VerifierFeed {
 public:
  explicit VerifierFeed(CryptoPP::BufferedTransformation* filter);
  // Waits until the lane has stopped using the filter.
  ~VerifierFeed() = default;
  VerifierFeed(const VerifierFeed&) = delete;
  VerifierFeed& operator=(const VerifierFeed&) = delete;
  // False when its pieces could not be had: nothing may be put then.
  bool valid() const { return pieces_.data() != nullptr; }

  void Put(const unsigned char* bytes, size_t size);
  // For reading straight into the feed: room in the piece being filled
  // (`*room` bytes, at least 1), then Commit of the bytes placed there.
  unsigned char* Space(size_t* room);
  void Commit(size_t size);
  // Hands over the rest and waits until the filter holds every byte put so
  // far; afterwards the caller may use the filter itself. Raises what the
  // filter raised on the lane.
  void Finish();

 private:
  void SubmitPiece();

  CryptoPP::BufferedTransformation* filter_;
  ByteBuffer pieces_;
  unsigned char* piece_ = nullptr;  // the one being filled
  size_t fill_ = 0;
  std::exception_ptr error_;  // written on the lane, read after a drain
  ComputeLane lane_;          // last: stops before the rest goes
};
