#include "tools/kzpack/development_keys.h"

#include <cryptopp/rsa.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "attachments/extract.h"
#include "bundle/certificate.h"
#include "bundle/format.h"
#include "platform/platform.h"
#include "tools/kzpack/bundle_scan.h"
#include "tools/kzpack/cli_support.h"
#include "tools/kzpack/image_signing.h"
#include "tools/kzpack/installer_check.h"
#include "tools/kzpack/pe_info.h"

namespace kzpack {
namespace {

// A stub is about 1 MiB; an image this large is not searched further.
constexpr uint64_t kMaxSearchedImage = 64u << 20;

bool Contains(const std::vector<uint8_t>& haystack, const std::vector<uint8_t>& needle) {
  return !needle.empty() && std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

// The modulus, big-endian without leading zeros: whatever the encoding of
// the key around it, these bytes are in it.
std::vector<uint8_t> ModulusBytes(const std::vector<uint8_t>& spki) {
  const auto key = DecodeRsaPublicKeyDer(spki.data(), spki.size());
  if (!key) return {};
  std::vector<uint8_t> bytes(key->GetModulus().MinEncodedSize());
  key->GetModulus().Encode(bytes.data(), bytes.size());
  return bytes;
}

// The same RSA key (modulus and exponent), however it is encoded.
bool SameKey(const std::vector<uint8_t>& spki, const std::vector<uint8_t>& other) {
  if (spki == other) return true;
  const auto a = DecodeRsaPublicKeyDer(spki.data(), spki.size());
  const auto b = DecodeRsaPublicKeyDer(other.data(), other.size());
  return a && b && a->GetModulus() == b->GetModulus() && a->GetPublicExponent() == b->GetPublicExponent();
}

// From the certificate in a bundle's signature block, whichever root the
// scan checked it against.
void CertificateFindings(const BundleScan& scan, std::vector<std::string>* findings) {
  if (!scan.certificateParses) return;
  const std::vector<unsigned char>& cert = scan.block.pssCertificate;
  bool underDevelopmentRoot = false;
  try {
    underDevelopmentRoot = CheckPublicKeyCertificateWithRoot(cert.data(), cert.size(), "IBND",
                                                             kDevelopmentBundleRootKey.data(),
                                                             kDevelopmentBundleRootKey.size()) != nullptr;
  } catch (const std::exception&) {
  }
  if (underDevelopmentRoot)
    findings->push_back("the bundle's certificate verifies under the development bundle root key");
  if (SameKey(scan.certificate.keyDer, kDevelopmentBundleSigningKey))
    findings->push_back("the bundle is signed with the development bundle signing key");
}

void BundleFindings(const std::string& path, std::vector<std::string>* findings) {
  CertificateFindings(ScanBundleTrailer(path, "IBND", kDevelopmentBundleRootKey), findings);
}

void ImageFindings(const std::string& path, const std::string& what, std::vector<std::string>* findings) {
  PeInfo info;
  std::string reason;
  if (!ReadPeInfoFromFile(path, &info, &reason)) return;
  uint64_t imageEnd = info.fileSize;
  if (!info.sections.empty() && info.sections.back().name == ".KZBNDL") imageEnd = info.sections.back().rawPointer;
  if (imageEnd <= kMaxSearchedImage) {
    std::vector<uint8_t> image = ReadWholeFile(path);
    image.resize(std::min<uint64_t>(image.size(), imageEnd));
    if (Contains(image, ModulusBytes(kDevelopmentImageRootKey)))
      findings->push_back(what + " embeds the development image root key");
    if (Contains(image, ModulusBytes(kDevelopmentBundleRootKey)))
      findings->push_back(what + " embeds the development bundle root key");
  }
  if (CheckEmbeddedSignature(path, kDevelopmentImageRootKey).valid())
    findings->push_back(what + "'s \"_SG2\" verifies under the development image root key");
}

}  // namespace

std::string DevelopmentKeyName(const std::vector<uint8_t>& publicKeySpki) {
  if (SameKey(publicKeySpki, kDevelopmentBundleRootKey)) return "development bundle root key";
  if (SameKey(publicKeySpki, kDevelopmentImageRootKey)) return "development image root key";
  if (SameKey(publicKeySpki, kDevelopmentBundleSigningKey)) return "development bundle signing key";
  return "";
}

std::vector<std::string> DevelopmentKeyFindings(const std::string& path) {
  std::vector<std::string> findings;
  unsigned char magic[sizeof bundle_format::kMagic] = {};
  if (FILE* file = platform::OpenStdioFile(WidePath(path), L"rb")) {
    if (fread(magic, 1, sizeof magic, file) != sizeof magic) memset(magic, 0, sizeof magic);
    fclose(file);
  }
  if (memcmp(magic, bundle_format::kMagic, sizeof magic) == 0) {
    BundleFindings(path, &findings);
    return findings;
  }
  ImageFindings(path, "the file", &findings);
  ScratchDir scratch;
  std::string setupPath = path;
  const std::string extracted = scratch.path() + "setup.exe";
  if (ExtractAttachmentToFile(true, WidePath(path), "LOAD", WidePath(extracted), 0, 0)) {
    setupPath = extracted;
    ImageFindings(extracted, "the setup program", &findings);
  }
  const std::string bundle = scratch.path() + "ibnd";
  if (ExtractAttachmentToFile(false, WidePath(setupPath), "IBND", WidePath(bundle), 0, 0))
    BundleFindings(bundle, &findings);
  return findings;
}

std::vector<std::string> DevelopmentKeyFindingsOfChecked(const std::string& installerPath,
                                                         const std::string& setupPath, const BundleScan& bundle) {
  std::vector<std::string> findings;
  ImageFindings(installerPath, "the file", &findings);
  ImageFindings(setupPath, "the setup program", &findings);
  CertificateFindings(bundle, &findings);
  return findings;
}

std::string DevelopmentKeyLine(const std::vector<std::string>& findings) {
  if (findings.empty()) return "";
  std::string line = "DEVELOPMENT KEYS (anyone can sign with them; not for release): ";
  for (size_t i = 0; i < findings.size(); ++i) line += (i ? "; " : "") + findings[i];
  return line;
}

void RefuseDevelopmentKey(const std::vector<uint8_t>& publicKeySpki, const std::string& name, bool allowed) {
  const std::string which = DevelopmentKeyName(publicKeySpki);
  if (which.empty() || allowed) return;
  throw ToolError(name + ": is the " + which +
                  " from keys/, whose private half is in the repository, so anyone can sign with it; use your own "
                  "keys (kzpack keygen), or pass --development-keys for tests and demos");
}

}  // namespace kzpack
