// The root keys a stub file carries in its key block (support/root_key_block.h):
// finding the block by its marker, reading and checking it, writing other
// roots into a copy, and finding the stub installed with kzpack.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/kzpack/installer_check.h"
#include "tools/kzpack/pe_info.h"

namespace kzpack {

enum class KeyBlockState {
  kAbsent,     // no marker: a stub built before key blocks, its roots compiled in
  kFound,      // one marker and a block in canonical form
  kDoubled,    // the marker more than once: which block the stub reads is unknown
  kMalformed,  // one marker, but the block is not in canonical form
};

struct StubKeyBlock {
  KeyBlockState state = KeyBlockState::kAbsent;
  uint64_t offset = 0;  // of the marker (kFound, kMalformed)
  size_t markers = 0;
  RootKeys roots;       // kFound: the block's keys as stored
  std::string problem;  // kDoubled, kMalformed: one sentence without the file name
  bool found() const { return state == KeyBlockState::kFound; }
};

// The block in `bytes[0, searchEnd)`.
StubKeyBlock ReadStubKeyBlock(const std::vector<uint8_t>& bytes, uint64_t searchEnd);
// The block of a stub or installer file: its image, in front of a .KZBNDL section.
StubKeyBlock ReadStubKeyBlockOfFile(const std::string& path);

// The roots a file is checked against when no pins are asked for: the
// block's when it has one, else kzpack's built-in ones; either replaced by a
// public key file given (non-empty path).
RootKeys RootsForFile(const std::string& path, const std::string& bundleRootPath, const std::string& imageRootPath);

// The keys as the block holds them (canonical DER); ToolError naming `name`
// when the key does not fit: the bundle root must be RSA-2048 with exponent
// 65537, the image root RSA-4096.
std::vector<uint8_t> BlockBundleRoot(const std::vector<uint8_t>& spki, const std::string& name);
std::vector<uint8_t> BlockImageRoot(const std::vector<uint8_t>& spki, const std::string& name);

// A stub file read for stamping: a PE image, not yet an installer (no
// .KZBNDL section, no attachments, no Authenticode signature), whose block
// is absent or found. ToolError naming the file otherwise.
struct LoadedStub {
  PeInfo info;
  std::vector<uint8_t> bytes;
  StubKeyBlock block;
};
LoadedStub LoadStub(const std::string& path);

// `stub.bytes` with `roots` (canonical, see above) in its block, which must be found.
std::vector<uint8_t> StampRoots(const LoadedStub& stub, const RootKeys& roots);

// Lower-case hex SHA-256 of a key's DER bytes (what sha256sum prints for a .pub.der file).
std::string KeyFingerprint(const std::vector<uint8_t>& spki);

// The stub installed with kzpack: the file KZ_STUB names when it is set,
// else Stub.exe beside kzpack's own executable, else ../share/kzpack/Stub.exe
// relative to that folder (the same rule on Windows and Linux). "" when none
// exists; `looked` receives the places tried.
std::string FindInstalledStub(std::vector<std::string>* looked = nullptr);
// The same, or ToolError saying where it looked and what to do instead (`instead`).
std::string RequireInstalledStub(const std::string& instead);

}  // namespace kzpack
