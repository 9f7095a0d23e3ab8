// Writes install bundles: entries of zlib chunks, scrambled, with optional
// junk, an optional RSA-PSS signature block and the SHA-1 of the plain entry
// stream. Chunks are compressed on every processor (packing/deflate_pool.h)
// and written in order as they finish; memory holds a few chunks per thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bundle/scrambler.h"
#include "bundle/validation.h"

class DeflatePool;
class PssSigner;
namespace CryptoPP {
class SHA1;
}

// The signature block as stored in the trailer: four length-prefixed fields.
std::vector<unsigned char> SerializeSignatureBlock(const SignatureBlock& block);

struct BundleWriterOptions {
  uint32_t chunkSize = 1024 * 1024;  // at most bundle_format::kInstallerSizeLimit
  int deflateLevel = 9;              // 0 to 9
  uint32_t threads = 0;              // compressing threads; 0: every usable processor
  uint32_t headerValues[3] = {0, 0, 0};
  std::vector<unsigned char> junk;   // written after the end marker, signed
};

// What signs a bundle: the signing key and the certificate that vouches for
// it. The two PKCS #1 v1.5 fields are carried as given (usually empty).
struct BundleSigning {
  std::vector<unsigned char> signingKeyPkcs8;
  // Instead of the key: signs the SHA-256 digest elsewhere (an external signer).
  std::function<bool(const std::vector<unsigned char>& sha256Digest, std::vector<unsigned char>* signature,
                     std::string* error)>
      signDigest;
  std::vector<unsigned char> certificate;
  std::vector<unsigned char> pkcsSignature;
  std::vector<unsigned char> pkcsCertificate;
};

class BundleWriter {
 public:
  BundleWriter();
  ~BundleWriter();  // an unfinished bundle is deleted
  BundleWriter(const BundleWriter&) = delete;
  BundleWriter& operator=(const BundleWriter&) = delete;

  // `signing` null: an unsigned bundle (which the installer refuses).
  bool Create(const std::wstring& path, const BundleWriterOptions& options, const BundleSigning* signing,
              std::string* error);
  bool AddEntryFromMemory(const std::string& name, const void* data, size_t size, std::string* error);
  bool AddEntryFromFile(const std::string& name, const std::wstring& sourcePath, std::string* error);

  // Lower level, for tools and tests that bring their own chunks: an entry
  // header followed by exactly `chunkCount` AddStoredChunk calls.
  bool BeginEntry(const std::string& name, uint32_t chunkCount, std::string* error);
  bool AddStoredChunk(const void* stored, uint32_t storedSize, uint32_t originalSize, std::string* error);
  // Plain bytes put into the entry stream as they are (scrambled, digested):
  // lets tests build streams no well-formed writer would.
  bool AppendPlain(const void* data, size_t size, std::string* error);

  // End marker, junk, signature block and trailer; closes the file.
  bool Finish(std::string* error);

  // Entries written so far.
  size_t entry_count() const { return entryCount_; }

 private:
  bool WriteStored(const unsigned char* data, size_t size, std::string* error);
  // Entry-stream bytes in order: written now, or queued behind the chunks
  // still being compressed.
  bool WritePlainField(const void* data, size_t size, std::string* error);
  bool EmitPlain(const void* data, size_t size, std::string* error);
  bool EmitLe32(uint32_t value, std::string* error);
  bool WriteLe32(uint32_t value, std::string* error);
  // Room for the next chunk's bytes, after writing what has to make room.
  unsigned char* NextChunkBuffer(std::string* error);
  bool SubmitChunk(uint32_t size, std::string* error);
  // Writes queued fields up to and including the oldest chunk (all: everything).
  bool WriteQueued(bool all, std::string* error);
  bool Fail(const std::string& message, std::string* error);

  FILE* file_ = nullptr;
  std::wstring path_;
  BundleWriterOptions options_;
  std::unique_ptr<BundleSigning> signing_;
  std::unique_ptr<PssSigner> signer_;
  std::unique_ptr<CryptoPP::SHA1> sha1_;
  Scrambler scrambler_;
  std::vector<unsigned char> scratch_;
  std::unique_ptr<DeflatePool> pool_;
  // What is waiting to be written, in order: plain fields, or (empty) the
  // pool's oldest chunk.
  struct Queued {
    bool chunk;
    std::vector<unsigned char> plain;
  };
  std::deque<Queued> queued_;
  size_t entryCount_ = 0;
  uint32_t chunksLeft_ = 0;  // of the entry being written
  int64_t entryTotal_ = 0;
  bool failed_ = false;
};
