#include "packing/bundle_inspect.h"

#include <cryptopp/rsa.h>

#include <cstring>

#include "bundle/buffered_file.h"
#include "bundle/bundle.h"
#include "bundle/format.h"

using namespace bundle_format;

namespace {
// The signature block as the validation finds it, without checking anything.
void ReadTrailer(BufferedFile& file, BundleInspection* out) {
  int64_t size = 0;
  if (!file.Size(&size) || size < 28) return;
  unsigned char tail[8];
  if (!file.Seek(size - 28) || file.Read(tail, 8) != 8 || memcmp(tail + 4, kSignatureMagic, 4) != 0) return;
  const uint32_t length = LoadLe32(tail);
  if (length > kMaxSignatureBlockLength || static_cast<int64_t>(length) > size - 28) return;
  std::vector<unsigned char> block(length);
  if (!file.Seek(size - 28 - length) || file.Read(block.data(), length) != length) return;
  out->signatureBlockFound = ParseSignatureBlock(block.data(), length, &out->signatureBlock);
}
}  // namespace

bool InspectBundle(const std::wstring& path, int32_t sizeLimit, BundleInspection* out, std::string* error) {
  *out = BundleInspection();
  {
    BufferedFile file;
    if (!file.Open(path)) {
      if (error) *error = "cannot open the bundle";
      return false;
    }
    ReadTrailer(file, out);
  }
  if (out->signatureBlockFound) {
    const std::vector<unsigned char>& bytes = out->signatureBlock.pssCertificate;
    out->certificateParsed = ParsePublicKeyCertificate(bytes.data(), bytes.size(), &out->certificate);
  }
  if (!out->certificateParsed) return true;
  const std::string goal(out->certificate.goal, 4);
  out->certificateValid = CheckPublicKeyCertificate(out->signatureBlock.pssCertificate.data(),
                                                    out->signatureBlock.pssCertificate.size(), goal) != nullptr;
  Bundle bundle;
  bundle.SetCertificateGoal(goal);
  bundle.SetSizeLimit(sizeLimit);
  out->signatureValid = bundle.Open(path);
  if (out->signatureValid) {
    for (const auto& entry : bundle.entries())
      out->entries.push_back({entry->name, entry->totalSize, static_cast<uint32_t>(entry->chunks.size())});
  }
  return true;
}
