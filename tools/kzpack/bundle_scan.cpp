#include "tools/kzpack/bundle_scan.h"

#include <cryptopp/filters.h>
#include <cryptopp/pssr.h>
#include <cryptopp/rsa.h>
#include <cryptopp/sha.h>
#include <zlib.h>

#include <cstring>

#include "bundle/format.h"
#include "platform/platform.h"
#include "tools/kzpack/cli_support.h"

using namespace bundle_format;

namespace kzpack {
namespace {

// Random-access reads of the bundle file, whole blocks at a time.
class FileReader {
 public:
  explicit FileReader(const std::string& path) : path_(path) {
    file_ = platform::OpenStdioFile(WidePath(path), L"rb");
    if (!file_) throw ToolError(path + ": cannot open the bundle");
    if (platform::SeekStdio(file_, 0, SEEK_END)) size_ = platform::TellStdio(file_);
    if (size_ < 0) throw ToolError(path + ": cannot measure the bundle");
  }
  ~FileReader() {
    if (file_) fclose(file_);
  }
  int64_t size() const { return size_; }
  bool Read(int64_t offset, void* out, size_t count) {
    if (offset < 0 || offset > size_ || static_cast<int64_t>(count) > size_ - offset) return false;
    return platform::SeekStdio(file_, offset, SEEK_SET) && fread(out, 1, count, file_) == count;
  }

 private:
  std::string path_;
  FILE* file_ = nullptr;
  int64_t size_ = -1;
};

// Reads the entry stream in order: descrambles and hashes what it reads.
struct StreamCursor {
  FileReader* file = nullptr;
  Scrambler scrambler;
  CryptoPP::SHA1 sha1;
  int64_t position = kHeaderSize;
  bool Read(void* out, size_t count) {
    if (!file->Read(position, out, count)) return false;
    auto* bytes = static_cast<unsigned char*>(out);
    scrambler.Descramble(bytes, count);
    sha1.Update(bytes, count);
    position += static_cast<int64_t>(count);
    return true;
  }
  bool ReadU32(uint32_t* value) {
    unsigned char bytes[4];
    if (!Read(bytes, 4)) return false;
    *value = LoadLe32(bytes);
    return true;
  }
};

void WalkEntries(FileReader& file, uint32_t sizeLimit, BundleScan* scan) {
  StreamCursor cursor;
  cursor.file = &file;
  std::vector<unsigned char> data;
  while (true) {
    uint32_t nameLength = 0;
    if (!cursor.ReadU32(&nameLength)) {
      scan->structureProblems.push_back("the entry list runs into the end of the file");
      scan->walkFailed = true;
      break;
    }
    if (nameLength == 0) {
      scan->walkComplete = true;
      break;
    }
    if (nameLength > kMaxNameLength) {
      scan->structureProblems.push_back("a name length of " + std::to_string(nameLength) +
                                        " ends the entry list early");
      break;
    }
    ScannedEntry entry;
    entry.name.resize(nameLength);
    uint32_t chunkCount = 0;
    if (!cursor.Read(&entry.name[0], nameLength) || !cursor.ReadU32(&chunkCount)) {
      scan->structureProblems.push_back("entry \"" + entry.name + "\" is truncated");
      scan->walkFailed = true;
      break;
    }
    bool good = true;
    for (uint32_t i = 0; i < chunkCount && good; ++i) {
      ScannedChunk chunk;
      if (!cursor.ReadU32(&chunk.storedSize) || !cursor.ReadU32(&chunk.originalSize)) {
        good = false;
        break;
      }
      if (chunk.originalSize > sizeLimit || chunk.storedSize > CompressBoundOf(sizeLimit)) {
        scan->structureProblems.push_back("entry \"" + entry.name + "\" has a chunk larger than the reader's limit");
        good = false;
        break;
      }
      chunk.dataOffset = cursor.position;
      chunk.state = cursor.scrambler.state();
      data.resize(chunk.storedSize);
      if (chunk.storedSize && !cursor.Read(data.data(), chunk.storedSize)) {
        good = false;
        break;
      }
      entry.size += chunk.originalSize;
      entry.chunks.push_back(chunk);
    }
    if (!good) {
      scan->walkFailed = true;
      if (scan->structureProblems.empty()) scan->structureProblems.push_back("entry \"" + entry.name + "\" is truncated");
      break;
    }
    if (entry.size > 0x7FFFFFFFu)
      scan->structureProblems.push_back("entry \"" + entry.name + "\" is larger than 2 GiB");
    scan->entries.push_back(std::move(entry));
  }
  if (scan->entries.size() > kMaxEntries)
  {
    scan->structureProblems.push_back("more than " + std::to_string(kMaxEntries) + " entries");
    scan->walkFailed = true;
  }
  scan->streamEnd = cursor.position;
  unsigned char expected[kDigestSize];
  unsigned char computed[kDigestSize];
  cursor.sha1.Final(computed);
  scan->digestMatches = file.size() >= kDigestSize && file.Read(file.size() - kDigestSize, expected, kDigestSize) &&
                        memcmp(expected, computed, kDigestSize) == 0;
}

// `verify` false: the block and the certificate only, without the pass
// over the signed region.
void CheckSignature(FileReader& file, const std::string& goal, const std::vector<uint8_t>& rootKeyDer, bool verify,
                    BundleScan* scan) {
  const int64_t size = file.size();
  unsigned char magic[4];
  if (size < 24 || !file.Read(size - 24, magic, 4) || memcmp(magic, kSignatureMagic, 4) != 0) {
    scan->signatureProblem = "the bundle is not signed (no \"KZSG\" trailer)";
    return;
  }
  scan->isSigned = true;
  unsigned char lengthBytes[4];
  if (!file.Read(size - 28, lengthBytes, 4)) {
    scan->signatureProblem = "the signature block length cannot be read";
    return;
  }
  const uint32_t length = LoadLe32(lengthBytes);
  std::vector<unsigned char> block(length <= kMaxSignatureBlockLength ? length : 0);
  const int64_t blockStart = size - 28 - static_cast<int64_t>(length);
  if (length > kMaxSignatureBlockLength || !file.Read(blockStart, block.data(), length) ||
      !ParseSignatureBlock(block.data(), length, &scan->block)) {
    scan->signatureProblem = "the signature block is malformed (length " + std::to_string(length) + ")";
    return;
  }
  scan->blockParses = true;
  const std::vector<unsigned char>& cert = scan->block.pssCertificate;
  scan->certificateParses = ParsePublicKeyCertificate(cert.data(), cert.size(), &scan->certificate);
  scan->certificateGoalMatches =
      scan->certificateParses && memcmp(scan->certificate.goal, goal.c_str(), 4) == 0;
  scan->junkLength = blockStart - scan->streamEnd;
  std::unique_ptr<CryptoPP::RSAFunction> key;
  try {
    key = CheckPublicKeyCertificateWithRoot(cert.data(), cert.size(), goal, rootKeyDer.data(), rootKeyDer.size());
  } catch (const std::exception&) {
    key.reset();  // a certified key that does not decode counts as a rejected certificate
  }
  scan->certificateValid = key != nullptr;
  if (!key) {
    if (!scan->certificateParses)
      scan->signatureProblem = "the certificate is truncated";
    else if (!scan->certificateGoalMatches)
      scan->signatureProblem = "the certificate's goal is \"" + std::string(scan->certificate.goal, 4) +
                               "\", the installer requires \"" + goal + "\"";
    else
      scan->signatureProblem = "the certificate is not signed by the bundle root key";
    return;
  }
  if (scan->junkLength < 0) {
    scan->signatureProblem = "the entry list runs into the signature block";
    return;
  }
  if (!verify) return;
  try {
    CryptoPP::RSASS<CryptoPP::PSSR, CryptoPP::SHA256>::Verifier verifier(*key);
    CryptoPP::SignatureVerificationFilter filter(verifier, nullptr,
                                                 CryptoPP::SignatureVerificationFilter::THROW_EXCEPTION);
    std::vector<unsigned char> buffer(0x10000);
    for (int64_t pos = 0; pos < blockStart;) {
      const size_t n = static_cast<size_t>(std::min<int64_t>(blockStart - pos, buffer.size()));
      if (!file.Read(pos, buffer.data(), n)) throw ToolError("read");
      filter.Put(buffer.data(), n);
      pos += static_cast<int64_t>(n);
    }
    filter.Put(scan->block.pssSignature.data(), scan->block.pssSignature.size());
    filter.MessageEnd();
    scan->signatureValid = true;
  } catch (const std::exception&) {
    scan->signatureProblem = "the RSA-PSS signature does not match the bundle's bytes";
  }
}

}  // namespace

namespace {
bool ReadHeader(FileReader& file, BundleScan* scan) {
  scan->fileSize = static_cast<uint64_t>(file.size());
  unsigned char header[kHeaderSize];
  if (!file.Read(0, header, kHeaderSize) || memcmp(header, kMagic, sizeof kMagic) != 0 || header[12] != kVersion) {
    scan->structureProblems.push_back("not a bundle (wrong magic or version)");
    scan->signatureProblem = "not a bundle";
    return false;
  }
  scan->headerValid = true;
  for (int i = 0; i < 3; ++i) scan->headerValues[i] = LoadLe32(header + 13 + 4 * i);
  return true;
}
}  // namespace

BundleScan ScanBundle(const std::string& path, const std::string& goal, const std::vector<uint8_t>& rootKeyDer,
                      uint32_t sizeLimit) {
  FileReader file(path);
  BundleScan scan;
  if (!ReadHeader(file, &scan)) return scan;
  WalkEntries(file, sizeLimit, &scan);
  CheckSignature(file, goal, rootKeyDer, true, &scan);
  return scan;
}

BundleScan ScanBundleTrailer(const std::string& path, const std::string& goal,
                             const std::vector<uint8_t>& rootKeyDer) {
  FileReader file(path);
  BundleScan scan;
  if (!ReadHeader(file, &scan)) return scan;
  scan.streamEnd = kHeaderSize;  // not walked: the junk length is not known
  CheckSignature(file, goal, rootKeyDer, false, &scan);
  scan.junkLength = 0;
  return scan;
}

void ReadScannedEntryChunks(const std::string& path, const ScannedEntry& entry,
                            const std::function<void(const uint8_t* data, size_t size)>& sink) {
  FileReader file(path);
  Scrambler scrambler;
  std::vector<uint8_t> content;
  std::vector<unsigned char> stored;
  for (const ScannedChunk& chunk : entry.chunks) {
    stored.resize(chunk.storedSize);
    if (chunk.storedSize && !file.Read(chunk.dataOffset, stored.data(), chunk.storedSize))
      throw ToolError(path + ": entry \"" + entry.name + "\" cannot be read");
    scrambler.set_state(chunk.state);
    scrambler.Descramble(stored.data(), stored.size());
    content.resize(chunk.originalSize);
    uLongf produced = chunk.originalSize;
    const int status = uncompress(content.data(), &produced, stored.data(), chunk.storedSize);
    if (status != Z_OK || produced != chunk.originalSize)
      throw ToolError(path + ": entry \"" + entry.name + "\" has a chunk that does not inflate to its size");
    sink(content.data(), content.size());
  }
}

std::vector<uint8_t> ReadScannedEntry(const std::string& path, const ScannedEntry& entry) {
  std::vector<uint8_t> content;
  ReadScannedEntryChunks(path, entry,
                         [&](const uint8_t* data, size_t size) { content.insert(content.end(), data, data + size); });
  return content;
}

}  // namespace kzpack
