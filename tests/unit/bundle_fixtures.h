// Bundles for the bundle and certificate tests, made with the library's
// writer and the development keys.
#pragma once

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "bundle/certificate.h"
#include "packing/bundle_writer.h"
#include "packing/certificate_writer.h"
#include "tests/support/test_support.h"

namespace bundletest {

inline std::vector<unsigned char> DevKey(const std::string& file) {
  return kztest::ReadFileBytes(kztest::SourceDir() / "keys" / file);
}

inline std::vector<unsigned char> Certificate(const std::string& goal, int32_t expiry = 0x7FFFFFFF,
                                              const std::string& subject = "dev_bundle_signing.pub.der",
                                              const std::string& root = "dev_bundle_root.key.der") {
  std::vector<unsigned char> certificate;
  std::string error;
  EXPECT_TRUE(IssueCertificate(goal, expiry, DevKey(subject), DevKey(root), &certificate, &error)) << error;
  return certificate;
}

inline BundleSigning Signing(const std::string& goal = "IBND") {
  BundleSigning signing;
  signing.signingKeyPkcs8 = DevKey("dev_bundle_signing.key.der");
  signing.certificate = Certificate(goal);
  return signing;
}

struct Entry {
  std::string name;
  std::vector<unsigned char> content;
};

// Writes a signed bundle (unsigned when `signing` is null).
inline std::filesystem::path Make(const std::filesystem::path& path, const std::vector<Entry>& entries,
                                  const BundleSigning* signing, const BundleWriterOptions& options = {}) {
  BundleWriter writer;
  std::string error;
  EXPECT_TRUE(writer.Create(path.wstring(), options, signing, &error)) << error;
  for (const Entry& e : entries)
    EXPECT_TRUE(writer.AddEntryFromMemory(e.name, e.content.data(), e.content.size(), &error)) << error;
  EXPECT_TRUE(writer.Finish(&error)) << error;
  return path;
}

inline std::filesystem::path MakeSigned(const std::filesystem::path& path, const std::vector<Entry>& entries,
                                        const std::string& goal = "IBND", const BundleWriterOptions& options = {}) {
  BundleSigning signing = Signing(goal);
  return Make(path, entries, &signing, options);
}

inline std::vector<unsigned char> Text(const std::string& s) { return std::vector<unsigned char>(s.begin(), s.end()); }

inline bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  for (const auto& l : lines)
    if (l == line) return true;
  return false;
}

}  // namespace bundletest
