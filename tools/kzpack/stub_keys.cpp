#include "tools/kzpack/stub_keys.h"

#include <cryptopp/sha.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "attachments/trailer.h"
#include "bundle/certificate.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "support/byte_order.h"
#include "support/root_key_block.h"
#include "tools/kzpack/cli_support.h"
#include "tools/kzpack/key_files.h"
#include "tools/kzpack/pe_info.h"

namespace kzpack {
namespace {

const unsigned char kMarker[kRootKeyMarkerSize] = {KZ_ROOT_KEY_MARKER_BYTES};
// Larger files are no stub; their images are not searched for a key block.
constexpr uint64_t kMaxStubSize = 64u << 20;

// Canonical DER of `spki` when it is an RSA key of `bits` (and `exponent`,
// unless 0); else a sentence saying what it is instead, in `*problem`.
std::vector<uint8_t> Fit(const std::vector<uint8_t>& spki, unsigned int bits, long exponent, std::string* problem) {
  const auto key = DecodeRsaPublicKeyDer(spki.data(), spki.size());
  if (!key) {
    *problem = "not an RSA public key";
    return {};
  }
  const unsigned int have = static_cast<unsigned int>(key->GetModulus().BitCount());
  const bool exponentFits = exponent == 0 || key->GetPublicExponent() == CryptoPP::Integer(exponent);
  if (have != bits || !exponentFits) {
    *problem = "an RSA-" + std::to_string(have) + " key" +
               (exponentFits ? "" : " with exponent " + CryptoPP::IntToString<CryptoPP::Integer>(key->GetPublicExponent(), 10)) +
               "; the stub's key block takes RSA-" + std::to_string(bits) +
               (exponent ? " with exponent " + std::to_string(exponent) : "");
    return {};
  }
  return CanonicalPublicKey(spki);
}

std::vector<uint8_t> Require(const std::vector<uint8_t>& spki, unsigned int bits, long exponent,
                             const std::string& name) {
  std::string problem;
  std::vector<uint8_t> der = Fit(spki, bits, exponent, &problem);
  if (der.empty()) throw ToolError(name + ": " + problem);
  return der;
}

// The block at `at` (marker included) read and checked for the canonical form.
void ReadBlockAt(const uint8_t* at, StubKeyBlock* block) {
  const std::vector<uint8_t> bundle(at + kBundleRootKeyOffset, at + kBundleRootKeyOffset + kBundleRootKeySize);
  const size_t imageLength = LoadLe32(at + kImageRootLengthOffset);
  std::string problem;
  if (Fit(bundle, 2048, 65537, &problem) != bundle) {
    block->state = KeyBlockState::kMalformed;
    block->problem = "the bundle root in its key block is not an RSA-2048 key with exponent 65537 in canonical DER form";
    return;
  }
  const uint8_t* image = at + kImageRootKeyOffset;
  const bool fits = imageLength <= kImageRootKeyRoom &&
                    std::all_of(image + std::min(imageLength, kImageRootKeyRoom), image + kImageRootKeyRoom,
                                [](uint8_t b) { return b == 0; });
  const std::vector<uint8_t> imageRoot(image, image + (fits ? imageLength : 0));
  if (!fits || Fit(imageRoot, 4096, 0, &problem) != imageRoot) {
    block->state = KeyBlockState::kMalformed;
    block->problem = "the image root in its key block is not an RSA-4096 key in canonical DER form";
    return;
  }
  block->state = KeyBlockState::kFound;
  block->roots.bundleRoot = bundle;
  block->roots.imageRoot = imageRoot;
}

bool EndsWithTrailer(const std::vector<uint8_t>& bytes, uint64_t end) {
  return end >= kTrailerSize && end <= bytes.size() && LoadLe32(&bytes[end - 4]) == kAttachmentMagic;
}

}  // namespace

StubKeyBlock ReadStubKeyBlock(const std::vector<uint8_t>& bytes, uint64_t searchEnd) {
  StubKeyBlock block;
  const auto end = bytes.begin() + static_cast<std::ptrdiff_t>(std::min<uint64_t>(searchEnd, bytes.size()));
  auto first = end;
  for (auto at = std::search(bytes.begin(), end, kMarker, kMarker + kRootKeyMarkerSize); at != end;
       at = std::search(at + 1, end, kMarker, kMarker + kRootKeyMarkerSize)) {
    if (block.markers++ == 0) first = at;
  }
  if (block.markers == 0) return block;
  if (block.markers > 1) {
    block.state = KeyBlockState::kDoubled;
    block.problem = "the key block's marker occurs " + std::to_string(block.markers) +
                    " times; a stub has it exactly once, so which keys it uses cannot be told";
    return block;
  }
  block.offset = static_cast<uint64_t>(first - bytes.begin());
  if (block.offset + kRootKeyBlockSize > static_cast<uint64_t>(end - bytes.begin())) {
    block.state = KeyBlockState::kMalformed;
    block.problem = "its key block is cut off by the end of the image";
    return block;
  }
  ReadBlockAt(&bytes[block.offset], &block);
  return block;
}

StubKeyBlock ReadStubKeyBlockOfFile(const std::string& path) {
  PeInfo info;
  std::string reason;
  if (!ReadPeInfoFromFile(path, &info, &reason)) return {};
  // The image only: an installer's chain (and a setup program's payload)
  // may be gigabytes and is no part of the stub.
  uint64_t end = std::min<uint64_t>(info.sectionDataEnd, info.fileSize);
  if (!info.sections.empty() && info.sections.back().name == ".KZBNDL") end = info.sections.back().rawPointer;
  if (end > kMaxStubSize) return {};
  std::vector<uint8_t> bytes(static_cast<size_t>(end));
  FILE* file = platform::OpenStdioFile(WidePath(path), L"rb");
  const bool read = file && fread(bytes.data(), 1, bytes.size(), file) == bytes.size();
  if (file) fclose(file);
  if (!read) throw ToolError(path + ": cannot read the file");
  return ReadStubKeyBlock(bytes, end);
}

RootKeys RootsForFile(const std::string& path, const std::string& bundleRootPath, const std::string& imageRootPath) {
  const StubKeyBlock block = ReadStubKeyBlockOfFile(path);
  RootKeys roots = block.found() ? block.roots : BuiltInRootKeys();
  if (!bundleRootPath.empty()) roots.bundleRoot = LoadPublicKey(bundleRootPath);
  if (!imageRootPath.empty()) roots.imageRoot = LoadPublicKey(imageRootPath);
  return roots;
}

std::vector<uint8_t> BlockBundleRoot(const std::vector<uint8_t>& spki, const std::string& name) {
  return Require(spki, 2048, 65537, name);
}

std::vector<uint8_t> BlockImageRoot(const std::vector<uint8_t>& spki, const std::string& name) {
  return Require(spki, 4096, 0, name);
}

LoadedStub LoadStub(const std::string& path) {
  LoadedStub stub;
  PeInfo& info = stub.info;
  std::string reason;
  if (!ReadPeInfoFromFile(path, &info, &reason)) throw ToolError(path + ": " + reason);
  if (!info.sections.empty() && info.sections.back().name == ".KZBNDL")
    throw ToolError(path + ": already has a .KZBNDL section (it is an installer, not a stub)");
  if (info.certificateTableSize != 0)
    throw ToolError(path + ": carries an Authenticode signature; use an unsigned stub and sign the installer");
  if (info.fileSize > kMaxStubSize)
    throw ToolError(path + ": " + std::to_string(info.fileSize) + " bytes; a stub is about 1 MiB (is it an installer?)");
  stub.bytes = ReadWholeFile(path);
  if (EndsWithTrailer(stub.bytes, stub.bytes.size()) || EndsWithTrailer(stub.bytes, info.sectionDataEnd))
    throw ToolError(path + ": already carries attachments; start from the stub as it was built or installed");
  stub.block = ReadStubKeyBlock(stub.bytes, stub.bytes.size());
  if (stub.block.state == KeyBlockState::kDoubled || stub.block.state == KeyBlockState::kMalformed)
    throw ToolError(path + ": " + stub.block.problem + "; use the stub as it was built or installed");
  return stub;
}

std::vector<uint8_t> StampRoots(const LoadedStub& stub, const RootKeys& roots) {
  if (!stub.block.found()) throw ToolError("internal: no key block to stamp");
  if (roots.bundleRoot.size() != kBundleRootKeySize || roots.imageRoot.size() > kImageRootKeyRoom)
    throw ToolError("internal: root keys not in the key block's form");
  std::vector<uint8_t> bytes = stub.bytes;
  uint8_t* at = &bytes[stub.block.offset];
  memcpy(at + kBundleRootKeyOffset, roots.bundleRoot.data(), kBundleRootKeySize);
  StoreLe32(at + kImageRootLengthOffset, static_cast<uint32_t>(roots.imageRoot.size()));
  memset(at + kImageRootKeyOffset, 0, kImageRootKeyRoom);
  memcpy(at + kImageRootKeyOffset, roots.imageRoot.data(), roots.imageRoot.size());
  return bytes;
}

std::string KeyFingerprint(const std::vector<uint8_t>& spki) {
  uint8_t digest[CryptoPP::SHA256::DIGESTSIZE];
  CryptoPP::SHA256().CalculateDigest(digest, spki.data(), spki.size());
  return HexOf(digest, sizeof digest);
}

std::string FindInstalledStub(std::vector<std::string>* looked) {
  std::vector<std::string> places;
  const char* fromEnvironment = std::getenv("KZ_STUB");
  if (fromEnvironment && *fromEnvironment) {
    places.push_back(fromEnvironment);
  } else {
    const std::string self = platform::OwnExecutablePath();
    if (!self.empty()) {
      const std::filesystem::path folder = FsPath(self).parent_path();
      places.push_back((folder / "Stub.exe").u8string());
      places.push_back((folder.parent_path() / "share" / "kzpack" / "Stub.exe").u8string());
    }
  }
  if (looked) *looked = places;
  for (const std::string& place : places)
    if (FileExists(place)) return place;
  return "";
}

std::string RequireInstalledStub(const std::string& instead) {
  std::vector<std::string> looked;
  const std::string found = FindInstalledStub(&looked);
  if (!found.empty()) return found;
  std::string where;
  for (const std::string& place : looked) where += (where.empty() ? "" : ", ") + place;
  const char* fromEnvironment = std::getenv("KZ_STUB");
  throw ToolError(std::string(fromEnvironment && *fromEnvironment ? "KZ_STUB names no file (" : "no stub installed with kzpack (looked at ") +
                  (where.empty() ? "nothing: kzpack's own path is unknown" : where) + "); " + instead);
}

}  // namespace kzpack
