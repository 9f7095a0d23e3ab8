// Read-only inspection of a bundle for the build tool: its trailer and
// certificate as stored, whether it validates, and its entries.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bundle/certificate.h"
#include "bundle/validation.h"

struct BundleEntryInfo {
  std::string name;
  int32_t size = 0;
  uint32_t chunkCount = 0;
};

struct BundleInspection {
  bool signatureBlockFound = false;  // "KZSG" and a block that parses
  SignatureBlock signatureBlock;
  bool certificateParsed = false;
  PublicKeyCertificate certificate;  // goal and expiry as stored
  bool certificateValid = false;     // signed by the built-in bundle root
  bool signatureValid = false;       // the bundle opens for its certificate's goal
  std::vector<BundleEntryInfo> entries;  // filled when the bundle opens
};

// False only when the file cannot be read; `error` then says why.
bool InspectBundle(const std::wstring& path, int32_t sizeLimit, BundleInspection* out, std::string* error);
