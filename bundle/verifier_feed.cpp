#include "bundle/verifier_feed.h"

#include <cryptopp/cryptlib.h>

#include <cstring>

namespace {
constexpr size_t kPieceSize = 1 << 20;
constexpr size_t kPieces = 2;
}  // namespace

VerifierFeed::VerifierFeed(CryptoPP::BufferedTransformation* filter)
    : filter_(filter), lane_(kPieces) {
  pieces_.Reserve(kPieceSize * kPieces);
}

void VerifierFeed::Put(const unsigned char* bytes, size_t size) {
  while (size > 0) {
    size_t room = 0;
    unsigned char* at = Space(&room);
    const size_t n = size < room ? size : room;
    memcpy(at, bytes, n);
    bytes += n;
    size -= n;
    Commit(n);
  }
}

unsigned char* VerifierFeed::Space(size_t* room) {
  if (piece_ == nullptr) {
    piece_ = pieces_.data() + lane_.Reserve() * kPieceSize;
    fill_ = 0;
  }
  *room = kPieceSize - fill_;
  return piece_ + fill_;
}

void VerifierFeed::Commit(size_t size) {
  fill_ += size;
  if (fill_ == kPieceSize) SubmitPiece();
}

void VerifierFeed::SubmitPiece() {
  const unsigned char* piece = piece_;
  const size_t n = fill_;
  piece_ = nullptr;
  fill_ = 0;
  lane_.Submit([this, piece, n] {
    if (error_) return;
    try {
      filter_->Put(piece, n);
    } catch (...) {
      error_ = std::current_exception();
    }
  });
}

void VerifierFeed::Finish() {
  if (piece_ != nullptr && fill_ > 0) SubmitPiece();
  piece_ = nullptr;
  lane_.Drain();
  if (error_) std::rethrow_exception(error_);
}
