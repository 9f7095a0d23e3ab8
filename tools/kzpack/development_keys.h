// The development keys: the key pairs committed in keys/, whose private
// halves anyone can read. Known here by their public halves, compared by
// value (modulus and exponent, so a re-encoded copy is still one), so that kzpack can refuse to sign with them and say when a stub,
// a certificate or an "_SG2" record trusts or uses them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kzpack {

extern const std::vector<uint8_t> kDevelopmentBundleRootKey;
extern const std::vector<uint8_t> kDevelopmentImageRootKey;
extern const std::vector<uint8_t> kDevelopmentBundleSigningKey;

// "development image root key" and so on; "" for any other key.
std::string DevelopmentKeyName(const std::vector<uint8_t>& publicKeySpki);

// What in a file (installer, setup program or bundle) is tied to the
// development keys, one finding per entry; empty when nothing is.
std::vector<std::string> DevelopmentKeyFindings(const std::string& path);
// The same for an installer that has just been checked: its setup program
// as the check extracted it and the check's scan of its bundle (the
// certificate is all that is looked at), so nothing is extracted twice.
struct BundleScan;
std::vector<std::string> DevelopmentKeyFindingsOfChecked(const std::string& installerPath,
                                                         const std::string& setupPath, const BundleScan& bundle);

// The one line that reports findings, or "" when there are none.
std::string DevelopmentKeyLine(const std::vector<std::string>& findings);

// ToolError unless `allowed` when `publicKeySpki` is a development key that
// `name` (a key file or a signer) would sign with.
void RefuseDevelopmentKey(const std::vector<uint8_t>& publicKeySpki, const std::string& name, bool allowed);

}  // namespace kzpack
