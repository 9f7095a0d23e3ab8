#include "packing/bundle_writer.h"

#include <cryptopp/sha.h>

#include <cstring>

#include "bundle/format.h"
#include "bundle/validation.h"
#include "packing/certificate_writer.h"
#include "packing/chunk_deflater.h"
#include "packing/deflate_pool.h"
#include "platform/platform.h"

using namespace bundle_format;

std::vector<unsigned char> SerializeSignatureBlock(const SignatureBlock& block) {
  std::vector<unsigned char> out;
  for (const std::vector<unsigned char>* field :
       {&block.pkcsSignature, &block.pkcsCertificate, &block.pssSignature, &block.pssCertificate}) {
    unsigned char length[4];
    StoreLe32(length, static_cast<uint32_t>(field->size()));
    out.insert(out.end(), length, length + 4);
    out.insert(out.end(), field->begin(), field->end());
  }
  return out;
}

BundleWriter::BundleWriter() : sha1_(new CryptoPP::SHA1) {}

BundleWriter::~BundleWriter() {
  if (file_ != nullptr) {
    fclose(file_);
    platform::DeleteFilePath(path_);
  }
}

bool BundleWriter::Fail(const std::string& message, std::string* error) {
  failed_ = true;
  if (error) *error = message;
  return false;
}

bool BundleWriter::Create(const std::wstring& path, const BundleWriterOptions& options, const BundleSigning* signing,
                          std::string* error) {
  if (file_ != nullptr) return Fail("the writer is already writing a bundle", error);
  if (options.chunkSize < 1 || options.chunkSize > static_cast<uint32_t>(kInstallerSizeLimit))
    return Fail("chunk size must be 1 to 26214400 bytes", error);
  if (options.deflateLevel < 0 || options.deflateLevel > kMaxDeflateLevel)
    return Fail("deflate level must be 0 to " + std::to_string(kMaxDeflateLevel), error);
  options_ = options;
  failed_ = false;
  entryCount_ = 0;
  chunksLeft_ = 0;
  sha1_->Restart();
  scrambler_.Reset();
  signer_.reset();
  signing_.reset();
  queued_.clear();
  pool_.reset();
  if (signing != nullptr) {
    signing_.reset(new BundleSigning(*signing));
    signer_.reset(new PssSigner);
    if (signing->signDigest) {
      signer_->InitWithDigestSigner(signing->signDigest);
    } else if (!signer_->Init(signing->signingKeyPkcs8, error)) {
      failed_ = true;
      return false;
    }
  }
  file_ = platform::OpenStdioFile(path, L"wb");
  if (file_ == nullptr) return Fail("cannot create the bundle file", error);
  path_ = path;
  pool_.reset(new DeflatePool(options.deflateLevel, options.chunkSize, options.threads));
  unsigned char header[kHeaderSize];
  memcpy(header, kMagic, sizeof kMagic);
  header[12] = kVersion;
  for (int i = 0; i < 3; ++i) StoreLe32(header + 13 + 4 * i, options.headerValues[i]);
  return WriteStored(header, sizeof header, error);
}

bool BundleWriter::WriteStored(const unsigned char* data, size_t size, std::string* error) {
  if (file_ == nullptr || failed_) return Fail("the bundle is not being written", error);
  if (size && fwrite(data, 1, size, file_) != size) return Fail("cannot write the bundle file", error);
  if (signer_) signer_->Update(data, size);
  return true;
}

// Plain entry-stream bytes: digested as they are, written scrambled.
bool BundleWriter::EmitPlain(const void* data, size_t size, std::string* error) {
  if (file_ == nullptr || failed_) return Fail("the bundle is not being written", error);
  const unsigned char* plain = static_cast<const unsigned char*>(data);
  sha1_->Update(plain, size);
  if (scratch_.size() < size) scratch_.resize(size);
  if (size) memcpy(scratch_.data(), plain, size);  // an empty vector may have no storage
  scrambler_.Scramble(scratch_.data(), size);
  return WriteStored(scratch_.data(), size, error);
}

bool BundleWriter::EmitLe32(uint32_t value, std::string* error) {
  unsigned char bytes[4];
  StoreLe32(bytes, value);
  return EmitPlain(bytes, 4, error);
}

bool BundleWriter::WritePlainField(const void* data, size_t size, std::string* error) {
  if (file_ == nullptr || failed_) return Fail("the bundle is not being written", error);
  if (queued_.empty()) return EmitPlain(data, size, error);
  const unsigned char* plain = static_cast<const unsigned char*>(data);
  queued_.push_back({false, std::vector<unsigned char>(plain, plain + size)});
  return true;
}

bool BundleWriter::WriteLe32(uint32_t value, std::string* error) {
  unsigned char bytes[4];
  StoreLe32(bytes, value);
  return WritePlainField(bytes, 4, error);
}

bool BundleWriter::WriteQueued(bool all, std::string* error) {
  while (!queued_.empty()) {
    Queued item = std::move(queued_.front());
    queued_.pop_front();
    if (!item.chunk) {
      if (!EmitPlain(item.plain.data(), item.plain.size(), error)) return false;
      continue;
    }
    const unsigned char* stored = nullptr;
    uint32_t storedSize = 0, originalSize = 0;
    if (!pool_->TakeOldest(&stored, &storedSize, &originalSize)) return Fail("deflate failed", error);
    if (!EmitLe32(storedSize, error) || !EmitLe32(originalSize, error) || !EmitPlain(stored, storedSize, error))
      return false;
    if (!all) return true;
  }
  return true;
}

unsigned char* BundleWriter::NextChunkBuffer(std::string* error) {
  if (file_ == nullptr || failed_) {
    Fail("the bundle is not being written", error);
    return nullptr;
  }
  while (pool_->full())
    if (!WriteQueued(false, error)) return nullptr;
  return pool_->input();
}

// The chunk's record (sizes, stream) follows once the pool has compressed it.
bool BundleWriter::SubmitChunk(uint32_t size, std::string* error) {
  if (chunksLeft_ == 0) return Fail("no chunk is expected", error);
  entryTotal_ += size;
  if (entryTotal_ > INT32_MAX) return Fail("an entry holds less than 2 GiB", error);
  pool_->Submit(size);
  queued_.push_back({true, {}});
  --chunksLeft_;
  return true;
}

bool BundleWriter::AppendPlain(const void* data, size_t size, std::string* error) {
  return WritePlainField(data, size, error);
}

bool BundleWriter::BeginEntry(const std::string& name, uint32_t chunkCount, std::string* error) {
  if (chunksLeft_ != 0) return Fail("the previous entry is missing chunks", error);
  if (name.empty() || name.size() > kMaxNameLength) return Fail("entry names are 1 to 255 bytes: '" + name + "'", error);
  if (entryCount_ >= kMaxEntries) return Fail("a bundle holds at most 256 entries", error);
  if (!WriteLe32(static_cast<uint32_t>(name.size()), error) || !WritePlainField(name.data(), name.size(), error) ||
      !WriteLe32(chunkCount, error))
    return false;
  ++entryCount_;
  chunksLeft_ = chunkCount;
  entryTotal_ = 0;
  return true;
}

bool BundleWriter::AddStoredChunk(const void* stored, uint32_t storedSize, uint32_t originalSize, std::string* error) {
  if (chunksLeft_ == 0) return Fail("no chunk is expected", error);
  entryTotal_ += originalSize;
  if (entryTotal_ > INT32_MAX) return Fail("an entry holds less than 2 GiB", error);
  if (!WriteLe32(storedSize, error) || !WriteLe32(originalSize, error) ||
      !WritePlainField(stored, storedSize, error))
    return false;
  --chunksLeft_;
  return true;
}

bool BundleWriter::AddEntryFromMemory(const std::string& name, const void* data, size_t size, std::string* error) {
  if (size > INT32_MAX) return Fail("an entry holds less than 2 GiB: " + name, error);
  const uint32_t chunkCount = static_cast<uint32_t>((size + options_.chunkSize - 1) / options_.chunkSize);
  if (!BeginEntry(name, chunkCount, error)) return false;
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  for (size_t offset = 0; offset < size; offset += options_.chunkSize) {
    const uint32_t n = static_cast<uint32_t>(size - offset < options_.chunkSize ? size - offset : options_.chunkSize);
    unsigned char* buffer = NextChunkBuffer(error);
    if (buffer == nullptr) return false;
    memcpy(buffer, bytes + offset, n);
    if (!SubmitChunk(n, error)) return false;
  }
  return true;
}

bool BundleWriter::AddEntryFromFile(const std::string& name, const std::wstring& sourcePath, std::string* error) {
  platform::ScopedFile source(platform::OpenFileForRead(sourcePath, platform::ShareMode::kReadOnly));
  int64_t size = 0;
  if (!source.valid() || !platform::GetFileSize64(source.get(), &size))
    return Fail("cannot read the file for entry " + name, error);
  if (size > INT32_MAX) return Fail("an entry holds less than 2 GiB: " + name, error);
  const uint32_t chunkCount = static_cast<uint32_t>((size + options_.chunkSize - 1) / options_.chunkSize);
  if (!BeginEntry(name, chunkCount, error)) return false;
  for (int64_t offset = 0; offset < size; offset += options_.chunkSize) {
    const uint32_t n = static_cast<uint32_t>(size - offset < options_.chunkSize ? size - offset : options_.chunkSize);
    unsigned char* buffer = NextChunkBuffer(error);
    if (buffer == nullptr) return false;
    if (!platform::ReadExact(source.get(), buffer, n))
      return Fail("the file for entry " + name + " changed while it was read", error);
    if (!SubmitChunk(n, error)) return false;
  }
  return true;
}

bool BundleWriter::Finish(std::string* error) {
  if (chunksLeft_ != 0) return Fail("the last entry is missing chunks", error);
  if (!WriteLe32(0, error) || !WriteQueued(true, error)) return false;  // end marker
  if (!WriteStored(options_.junk.data(), options_.junk.size(), error)) return false;
  if (signer_) {
    SignatureBlock block;
    block.pkcsSignature = signing_->pkcsSignature;
    block.pkcsCertificate = signing_->pkcsCertificate;
    block.pssCertificate = signing_->certificate;
    if (!signer_->Final(&block.pssSignature, error)) return Fail(error ? *error : "signing failed", error);
    signer_.reset();
    std::vector<unsigned char> bytes = SerializeSignatureBlock(block);
    if (bytes.size() > kMaxSignatureBlockLength) return Fail("the signature block exceeds 8192 bytes", error);
    unsigned char length[4];
    StoreLe32(length, static_cast<uint32_t>(bytes.size()));
    if (!WriteStored(bytes.data(), bytes.size(), error) || !WriteStored(length, 4, error) ||
        !WriteStored(kSignatureMagic, 4, error))
      return false;
  }
  unsigned char digest[kDigestSize];
  sha1_->Final(digest);
  if (!WriteStored(digest, sizeof digest, error)) return false;
  FILE* file = file_;
  file_ = nullptr;
  if (fclose(file) != 0) {
    platform::DeleteFilePath(path_);
    return Fail("cannot write the bundle file", error);
  }
  return true;
}
