// An independent walk over a bundle file for listing, extraction and
// diagnosis: it reads any bundle (signed or not, valid or not), records what
// it finds and says what is wrong, checking the signature against whichever
// root key it is given. The installer's own reader (Bundle) stays the judge
// of what the installer accepts; this walk explains. It cannot be that
// reader: it must list, extract and explain bundles the reader refuses
// before it indexes a single entry (unsigned, another goal, a bad signature).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bundle/scrambler.h"
#include "bundle/validation.h"
#include "bundle/certificate.h"

namespace kzpack {

struct ScannedChunk {
  int64_t dataOffset = 0;  // first stored byte of the chunk data
  uint32_t storedSize = 0;
  uint32_t originalSize = 0;
  ScrambleState state;     // scrambler state at dataOffset
};

struct ScannedEntry {
  std::string name;
  uint64_t size = 0;  // sum of the chunks' original sizes
  std::vector<ScannedChunk> chunks;
};

struct BundleScan {
  uint64_t fileSize = 0;
  bool headerValid = false;
  uint32_t headerValues[3] = {0, 0, 0};
  std::vector<ScannedEntry> entries;
  bool walkComplete = false;     // the walk reached a zero name length
  bool walkFailed = false;       // a truncated entry or a chunk over the limit: the reader fails
  int64_t streamEnd = 0;         // first byte after the walk
  std::vector<std::string> structureProblems;
  bool digestMatches = false;    // SHA-1 of the plain entry stream

  bool isSigned = false;         // "KZSG" in the trailer
  bool blockParses = false;
  SignatureBlock block;
  bool certificateParses = false;
  PublicKeyCertificate certificate;
  bool certificateGoalMatches = false;
  bool certificateValid = false; // goal, and signed by the given root
  int64_t junkLength = 0;        // between the walk's end and the signature block
  bool signatureValid = false;   // RSA-PSS over the signed region
  std::string signatureProblem;  // why the bundle is not trusted, "" when it is

  bool trusted() const { return signatureValid && certificateValid; }
};

// `goal`: the four characters the certificate must carry ("IBND" for an
// installer). `sizeLimit`: the largest chunk the reader will accept.
// `rootKeyDer`: the bundle root public key. Never throws for bad content; a
// file that cannot be read gives a ToolError.
BundleScan ScanBundle(const std::string& path, const std::string& goal, const std::vector<uint8_t>& rootKeyDer,
                      uint32_t sizeLimit);

// Header, signature block and certificate only (checked against the root):
// no walk over the entries and no pass over the signed region, so entries,
// digestMatches and signatureValid stay empty. For a bundle that the
// installer's reader has already accepted, when only its certificate matters.
BundleScan ScanBundleTrailer(const std::string& path, const std::string& goal, const std::vector<uint8_t>& rootKeyDer);

// The content of one scanned entry (chunks inflated and checked); ToolError
// when a chunk does not inflate to its declared size.
std::vector<uint8_t> ReadScannedEntry(const std::string& path, const ScannedEntry& entry);
// The same content one inflated chunk at a time, for entries too large to hold.
void ReadScannedEntryChunks(const std::string& path, const ScannedEntry& entry,
                            const std::function<void(const uint8_t* data, size_t size)>& sink);

}  // namespace kzpack
