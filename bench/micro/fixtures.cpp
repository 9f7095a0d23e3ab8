#include "bench/micro/fixtures.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>

#include "packing/bundle_writer.h"
#include "packing/certificate_writer.h"
#include "packing/chain_writer.h"
#include "packing/embedded_signer.h"

namespace kzbench {
namespace {

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void Check(bool ok, const std::string& error) {
  if (!ok) throw std::runtime_error(error);
}

std::string KeyPath(const char* name) { return std::string(KZ_SOURCE_DIR) + "/keys/" + name; }

// xorshift64*: fast and the same everywhere.
struct Generator {
  uint64_t state;
  explicit Generator(uint64_t seed) : state(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint64_t Next() {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 0x2545F4914F6CDD1Dull;
  }
};

struct Scratch {
  std::string path;
  Scratch() {
    std::filesystem::path base = std::filesystem::temp_directory_path() / "kz_micro_bench_XXXXXX";
    std::string pattern = base.string();
    if (!mkdtemp(&pattern[0])) throw std::runtime_error("cannot create a scratch folder");
    path = pattern;
  }
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};

}  // namespace

std::vector<uint8_t> RandomContent(size_t size, uint32_t seed) {
  Generator g(seed);
  std::vector<uint8_t> out(size);
  for (size_t i = 0; i < size; i += 8) {
    uint64_t v = g.Next();
    for (size_t k = 0; k < 8 && i + k < size; ++k) out[i + k] = static_cast<uint8_t>(v >> (8 * k));
  }
  return out;
}

std::vector<uint8_t> TextContent(size_t size, uint32_t seed) {
  Generator g(seed);
  std::vector<std::string> vocabulary(480);
  for (std::string& word : vocabulary) {
    const size_t length = 2 + g.Next() % 8;
    for (size_t i = 0; i < length; ++i) word += static_cast<char>('a' + g.Next() % 26);
  }
  std::vector<uint8_t> out;
  out.reserve(size + 128);
  while (out.size() < size) {
    const size_t words = 5 + g.Next() % 10;
    for (size_t i = 0; i < words; ++i) {
      const std::string& word = vocabulary[g.Next() % vocabulary.size()];
      out.insert(out.end(), word.begin(), word.end());
      out.push_back(i + 1 < words ? ' ' : '.');
    }
    out.push_back('\n');
  }
  out.resize(size);
  return out;
}

std::vector<uint8_t> MixedContent(size_t index, size_t size) {
  return index % 2 == 0 ? RandomContent(size, static_cast<uint32_t>(index + 1))
                        : TextContent(size, static_cast<uint32_t>(index + 1));
}

const std::string& ScratchDir() {
  static Scratch scratch;
  return scratch.path;
}

std::wstring Wide(const std::string& path) { return std::wstring(path.begin(), path.end()); }

std::string AttachmentContainer(size_t payloadMiB) {
  static std::map<size_t, std::string> made;
  std::string& path = made[payloadMiB];
  if (!path.empty()) return path;
  const std::string front = ScratchDir() + "/front.bin";
  WriteAll(front, RandomContent(4096, 7));
  std::vector<uint8_t> payload;
  for (size_t i = 0; i < payloadMiB; ++i) {
    std::vector<uint8_t> part = MixedContent(i, 1 << 20);
    payload.insert(payload.end(), part.begin(), part.end());
  }
  path = ScratchDir() + "/container_" + std::to_string(payloadMiB) + ".bin";
  FILE* out = fopen(path.c_str(), "wb");
  Check(out != nullptr, "cannot create " + path);
  ChainWriter writer(out);
  std::string error;
  Check(writer.BeginAfterFile(Wide(front), &error) &&
            writer.AppendAttachment("LOAD", payload.data(), payload.size(), &error) && writer.Finish(&error),
        error);
  fclose(out);
  return path;
}

std::string SignedBundle(size_t entries, size_t entryKiB) {
  static std::map<std::pair<size_t, size_t>, std::string> made;
  std::string& path = made[{entries, entryKiB}];
  if (!path.empty()) return path;
  BundleSigning signing;
  signing.signingKeyPkcs8 = ReadAll(KeyPath("dev_bundle_signing.key.der"));
  std::string error;
  Check(IssueCertificate("IBND", 0x7FFFFFFF, ReadAll(KeyPath("dev_bundle_signing.pub.der")),
                         ReadAll(KeyPath("dev_bundle_root.key.der")), &signing.certificate, &error),
        error);
  path = ScratchDir() + "/bundle_" + std::to_string(entries) + "x" + std::to_string(entryKiB) + ".kzb";
  BundleWriter writer;
  Check(writer.Create(Wide(path), BundleWriterOptions(), &signing, &error), error);
  // The same content whatever the cut: 1 MiB pieces, random and text-like
  // in turn, cut into the entries.
  std::vector<uint8_t> content;
  for (size_t i = 0; i * 1024 < entries * entryKiB; ++i) {
    std::vector<uint8_t> part = MixedContent(i, 1 << 20);
    content.insert(content.end(), part.begin(), part.end());
  }
  const size_t entrySize = entryKiB * 1024;
  for (size_t i = 0; i < entries; ++i) {
    Check(writer.AddEntryFromMemory("entry" + std::to_string(i), content.data() + i * entrySize, entrySize, &error),
          error);
  }
  Check(writer.Finish(&error), error);
  return path;
}

std::string SignedImage(size_t sizeMiB) {
  static std::map<size_t, std::string> made;
  std::string& path = made[sizeMiB];
  if (!path.empty()) return path;
  path = ScratchDir() + "/image_" + std::to_string(sizeMiB) + ".bin";
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < sizeMiB; ++i) {
    std::vector<uint8_t> part = MixedContent(i, 1 << 20);
    bytes.insert(bytes.end(), part.begin(), part.end());
  }
  WriteAll(path, bytes);
  ImageSigningKey key;
  std::string error;
  Check(LoadImageSigningKey(Wide(KeyPath("dev_image_root.key.der")), &key, &error), error);
  Check(AppendSignatureRecordToFile(Wide(path), false, key, &error), error);
  return path;
}

}  // namespace kzbench
