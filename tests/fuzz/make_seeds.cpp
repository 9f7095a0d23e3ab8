// Writes the seed corpora of the fuzz targets with the project's own
// writers: `kz_fuzz_seeds <folder>` fills <folder>/<target>/ for every target.
// Extra arguments are real PE files to seed the PE and chain targets with.
#include <sys/stat.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bundle/format.h"
#include "bundle/scrambler.h"
#include "packing/bundle_writer.h"
#include "packing/certificate_writer.h"
#include "packing/chain_writer.h"
#include "packing/embedded_signer.h"
#include "platform/platform.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string gOut;
int gCount = 0;

void Put(const std::string& target, const std::string& name, uint8_t selector, bool withSelector, const Bytes& body) {
  const std::string dir = gOut + "/" + target;
  mkdir(dir.c_str(), 0755);
  std::ofstream out(dir + "/" + name, std::ios::binary);
  if (withSelector) out.put(static_cast<char>(selector));
  out.write(reinterpret_cast<const char*>(body.data()), static_cast<std::streamsize>(body.size()));
  ++gCount;
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

void Le16(Bytes* b, size_t at, uint16_t v) {
  (*b)[at] = static_cast<uint8_t>(v);
  (*b)[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Le32(Bytes* b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*b)[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A small well-formed image: headers in 0x200 bytes, `sections` sections of
// 0x200 raw bytes each.
Bytes MakeImage(bool pe32Plus, int sections) {
  const uint32_t e = 0x80;
  const uint16_t optionalSize = pe32Plus ? 240 : 224;
  Bytes image(0x200 + 0x200 * static_cast<size_t>(sections), 0);
  image[0] = 'M';
  image[1] = 'Z';
  Le32(&image, 0x3C, e);
  memcpy(&image[e], "PE\0\0", 4);
  Le16(&image, e + 4, pe32Plus ? 0x8664 : 0x014C);
  Le16(&image, e + 6, static_cast<uint16_t>(sections));
  Le16(&image, e + 20, optionalSize);
  Le16(&image, e + 22, 0x0102);
  const uint32_t o = e + 24;
  Le16(&image, o, pe32Plus ? 0x20B : 0x10B);
  Le32(&image, o + 16, 0x1000);                            // AddressOfEntryPoint
  Le32(&image, o + 32, 0x1000);                            // SectionAlignment
  Le32(&image, o + 36, 0x200);                             // FileAlignment
  Le16(&image, o + 40, 6);                                 // OS version
  Le16(&image, o + 48, 6);                                 // subsystem version
  Le32(&image, o + 56, 0x1000 * (1 + sections));          // SizeOfImage
  Le32(&image, o + 60, 0x200);                             // SizeOfHeaders
  Le16(&image, o + 68, 3);                                 // console
  Le32(&image, o + (pe32Plus ? 108 : 92), 16);             // NumberOfRvaAndSizes
  for (int i = 0; i < sections; ++i) {
    const size_t s = o + optionalSize + 40 * static_cast<size_t>(i);
    memcpy(&image[s], i == 0 ? ".text\0\0\0" : ".data\0\0\0", 8);
    Le32(&image, s + 8, 0x200);
    Le32(&image, s + 12, 0x1000 * (1 + i));
    Le32(&image, s + 16, 0x200);
    Le32(&image, s + 20, 0x200 * (1 + i));
    Le32(&image, s + 36, i == 0 ? 0x60000020 : 0xC0000040);
  }
  image[0x200] = 0xC3;
  return image;
}

// A certificate table behind the file, entered in the data directory.
Bytes WithCertificateTable(Bytes image) {
  const uint32_t e = 0x80;
  const bool pe32Plus = image[e + 4] == 0x64;
  while (image.size() % 8) image.push_back(0);
  const uint32_t at = static_cast<uint32_t>(image.size());
  Bytes table(0x300, 0);
  Le32(&table, 0, 0x300);
  Le16(&table, 4, 0x200);
  Le16(&table, 6, 2);
  image.insert(image.end(), table.begin(), table.end());
  const size_t entry = e + 24 + (pe32Plus ? 112 : 96) + 4 * 8;
  Le32(&image, entry, at);
  Le32(&image, entry + 4, 0x300);
  return image;
}

struct Payload {
  std::string type;
  Bytes data;
};

std::vector<Payload> InstallerPayloads() {
  return {{"TYPE", Text("gui")}, {"LOAD", Bytes(700, 0x5A)}, {"IBND", Text("KZBUNDLE!\r\n")},
          {"_SG2", Text("{\"sign\":\"00ff10\"}")}};
}

// Appends a chain after `base` (or as a new last section when `section`).
Bytes WithChain(const Bytes& base, bool section, const std::vector<Payload>& payloads) {
  const std::string scratch = kzfuzz::ScratchDir() + "/";
  const std::wstring in = kzfuzz::Wide(scratch + "in.bin"), out = kzfuzz::Wide(scratch + "out.bin");
  kzfuzz::WriteBytes(in, base.data(), base.size());
  FILE* file = platform::OpenStdioFile(out, L"wb");
  if (file == nullptr) return {};
  uint64_t chainLength = 0;
  for (const Payload& p : payloads) chainLength += AttachmentRecordSize(p.data.size());
  ChainWriter writer(file);
  std::string error;
  bool ok = section ? writer.BeginImageWithSection(in, chainLength, &error) : writer.BeginAfterFile(in, &error);
  for (const Payload& p : payloads) ok = ok && writer.AppendAttachment(p.type, p.data.data(), p.data.size(), &error);
  ok = ok && writer.Finish(&error);
  fclose(file);
  if (!ok) {
    fprintf(stderr, "seed chain: %s\n", error.c_str());
    return {};
  }
  return ReadFile(scratch + "out.bin");
}

struct Entry {
  std::string name;
  Bytes content;
};

std::vector<Entry> SampleEntries() {
  Bytes binary(5000);
  for (size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<uint8_t>(i * 7 + (i >> 5));
  return {{"install_script", Text("dep gui 0 0 a.dll files\\a.dll\r\ndep gui 0 0 b.txt b.txt\nlast line")},
          {"files\\a.dll", binary},
          {"b.txt", Text(std::string(300, 'x') + "\r\n\r\n\r" + std::string(40, 'y'))},
          {"empty", {}}};
}

Bytes WriteBundle(const std::vector<Entry>& entries, const BundleSigning* signing, uint32_t chunkSize) {
  const std::wstring path = kzfuzz::Wide(kzfuzz::ScratchDir() + "/seed.bnd");
  BundleWriterOptions options;
  options.chunkSize = chunkSize;
  BundleWriter writer;
  std::string error;
  bool ok = writer.Create(path, options, signing, &error);
  for (const Entry& e : entries) ok = ok && writer.AddEntryFromMemory(e.name, e.content.data(), e.content.size(), &error);
  ok = ok && writer.Finish(&error);
  if (!ok) fprintf(stderr, "seed bundle: %s\n", error.c_str());
  return ReadFile(kzfuzz::ScratchDir() + "/seed.bnd");
}

// The plain entry stream (without its end marker) of an unsigned bundle.
Bytes PlainEntryStream(const std::vector<Entry>& entries, uint32_t chunkSize) {
  Bytes file = WriteBundle(entries, nullptr, chunkSize);
  if (file.size() < bundle_format::kHeaderSize + 24) return {};
  Bytes stream(file.begin() + bundle_format::kHeaderSize, file.end() - bundle_format::kDigestSize);
  Scrambler scrambler;
  scrambler.Descramble(stream.data(), stream.size());
  stream.resize(stream.size() - 4);
  return stream;
}

void BundleSeeds() {
  BundleSigning signing;
  signing.signingKeyPkcs8 = kzfuzz::DevKey("dev_bundle_signing.key.der");
  std::string error;
  IssueCertificate("IBND", 0x7FFFFFFF, kzfuzz::DevKey("dev_bundle_signing.pub.der"),
                   kzfuzz::DevKey("dev_bundle_root.key.der"), &signing.certificate, &error);
  const std::vector<Entry> entries = SampleEntries();
  Put("bundle", "signed_file", 0x02, true, WriteBundle(entries, &signing, 1 << 20));
  Put("bundle", "signed_file_small_chunks", 0x00, true, WriteBundle(entries, &signing, 256));
  Put("bundle", "unsigned_file", 0x00, true, WriteBundle(entries, nullptr, 1 << 20));
  Put("bundle", "stream", 0x01, true, PlainEntryStream(entries, 1 << 20));
  Put("bundle", "stream_small_chunks_cap3", 0x01 | (3 << 2), true, PlainEntryStream(entries, 256));
  Put("bundle", "stream_cap2", 0x03 | (2 << 2), true, PlainEntryStream(entries, 64));
  Put("bundle", "stream_empty", 0x01, true, PlainEntryStream({}, 1 << 20));
}

// Streams as they are (selector bit 7 clear, the size in the next two bytes),
// and plain text that the target deflates itself in each of its ways.
void InflateSeeds() {
  const std::string text =
      "dep x86 gui vcredist.exe\ndep x64 gui dotnet.exe\n" + std::string(300, 'a') + "install_script setup.exe\n";
  Bytes stream(compressBound(text.size()));
  uLongf length = stream.size();
  compress2(stream.data(), &length, reinterpret_cast<const Bytef*>(text.data()), text.size(), 9);
  stream.resize(length);
  Bytes raw = {static_cast<uint8_t>(text.size() >> 8), static_cast<uint8_t>(text.size())};
  raw.insert(raw.end(), stream.begin(), stream.end());
  Put("inflate", "zlib_stream", 0x00, true, raw);
  // Static blocks, with the check value forged after any mutation.
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, 15, 8, Z_FIXED);
  Bytes fixed(deflateBound(&z, text.size()));
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = fixed.data();
  z.avail_out = static_cast<uInt>(fixed.size());
  deflate(&z, Z_FINISH);
  fixed.resize(z.total_out);
  deflateEnd(&z);
  Bytes forged = {static_cast<uint8_t>(text.size() >> 8), static_cast<uint8_t>(text.size())};
  forged.insert(forged.end(), fixed.begin(), fixed.end());
  Put("inflate", "fixed_forged", 0x40, true, forged);
  // Control bytes: level and window (c0), memory level and strategy (c1),
  // where to flip and what.
  const struct {
    const char* name;
    uint8_t selector, c0, c1, flipAt, flip;
  } kinds[] = {
      {"zlib9", 0x80, 9, 7, 0, 0},          {"zlib1_trailing", 0x81, 1, 7, 0, 0},
      {"raw", 0x80, 0x20 | 6, 7, 0, 0},     {"gzip", 0x80, 0x30 | 6, 7, 0, 0},
      {"dictionary", 0x80, 0x40 | 6, 7, 0, 0}, {"fixed", 0x80, 6, 7 | (4 << 3), 0, 0},
      {"huffman_short", 0x84, 6, 7 | (2 << 3), 0, 0}, {"rle_long", 0x86, 6, 7 | (3 << 3), 0, 0},
      {"fixed_flipped", 0x80, 6, 7 | (4 << 3), 9, 0x10}, {"zlib9_flipped", 0x80, 9, 7, 3, 0x01},
  };
  for (const auto& k : kinds) {
    Bytes body = {k.c0, k.c1, k.flipAt, k.flip};
    body.insert(body.end(), text.begin(), text.end());
    Put("inflate", k.name, k.selector, true, body);
  }
}

void JsonSeeds() {
  const char* const texts[] = {
      "{\"sign\":\"0a1b2c3d4e5f\"}",
      "{ \"sign\" : \"00\", \"extra\" : [1, -2, 3.5e3, true, false, null, {\"k\": \"v\"}] }",
      "[\"\\u00e9\\ud83d\\ude00\\n\\t\\\"\\\\\\/\", 0.25, -0, 1e-9, 123456789012345678]",
      "{\"a\":{\"b\":{\"c\":[[[[]]]]}}}",
      "  \"just a string\"  ",
      "{\"unterminated\": [1, 2",
      "{\"dup\":1,\"dup\":2}",
  };
  int i = 0;
  for (const char* t : texts) Put("json", "text" + std::to_string(i++), 0, false, Text(t));
  Put("json", "deep", 0, false, Text(std::string(300, '[') + std::string(300, ']')));
}

void PeAndChainSeeds(const std::vector<std::string>& realImages) {
  std::vector<std::pair<std::string, Bytes>> images = {
      {"pe32_1", MakeImage(false, 1)}, {"pe32_3", MakeImage(false, 3)}, {"pe64_2", MakeImage(true, 2)}};
  for (const std::string& path : realImages) {
    Bytes bytes = ReadFile(path);
    if (!bytes.empty()) images.push_back({"real_" + path.substr(path.find_last_of('/') + 1), bytes});
  }
  const std::vector<Payload> payloads = InstallerPayloads();
  for (const auto& image : images) {
    Put("pe", image.first, 0, false, image.second);
    Put("pe", image.first + "_cert", 0, false, WithCertificateTable(image.second));
    Bytes sectioned = WithChain(image.second, true, payloads);
    if (!sectioned.empty()) {
      Put("pe", image.first + "_section", 0, false, sectioned);
      Put("pe", image.first + "_section_cert", 0, false, WithCertificateTable(sectioned));
      Put("chain", image.first + "_section", 0x02, true, sectioned);
      Put("chain", image.first + "_section_cert", 0x00, true, WithCertificateTable(sectioned));
    }
    Bytes appended = WithChain(image.second, false, payloads);
    if (!appended.empty()) {
      Put("pe", image.first + "_appended_cert", 0, false, WithCertificateTable(appended));
      Put("chain", image.first + "_appended_cert", 0x04, true, WithCertificateTable(appended));
    }
  }
  // Setup programs: the chain at the end of the file, no PE headers needed.
  Put("chain", "plain_file", 0x02, true, WithChain(Text("not an image"), false, payloads));
  Put("chain", "plain_file_repair", 0x03, true, WithChain(Text("x"), false, {{"IBND", Bytes(100, 7)}}));
}

// Images and plain files with a valid "_SG2" record at their end, and the
// same unsigned for the target to sign itself.
void EmbeddedSignatureSeeds() {
  ImageSigningKey key;
  std::string error;
  if (!LoadImageSigningKey(kzfuzz::Wide(std::string(KZ_SOURCE_DIR) + "/keys/dev_image_root.key.der"), &key, &error)) {
    fprintf(stderr, "seed key: %s\n", error.c_str());
    return;
  }
  const std::wstring path = kzfuzz::Wide(kzfuzz::ScratchDir() + "/sign.exe");
  const std::vector<std::pair<std::string, Bytes>> inputs = {
      {"pe32", MakeImage(false, 2)}, {"pe64", MakeImage(true, 1)}, {"plain", Text("a setup program")}};
  for (const auto& [name, bytes] : inputs) {
    for (bool exclude : {false, true}) {
      if (exclude && name == "plain") continue;
      kzfuzz::WriteBytes(path, bytes.data(), bytes.size());
      if (AppendSignatureRecordToFile(path, exclude, key, &error))
        Put("embedded_signature", name + (exclude ? "_excluded" : "_plain"), 0x00, true,
            ReadFile(kzfuzz::ScratchDir() + "/sign.exe"));
      else
        fprintf(stderr, "seed signature %s: %s\n", name.c_str(), error.c_str());
    }
    Put("embedded_signature", name + "_to_sign", 0x01, true, bytes);
  }
}

void CertificateSeeds() {
  const auto root = kzfuzz::DevKey("dev_bundle_root.key.der");
  for (const char* goal : {"IBND", "AVSG"}) {
    Bytes certificate;
    std::string error;
    IssueCertificate(goal, 0x7FFFFFFF, kzfuzz::DevKey("dev_bundle_signing.pub.der"), root, &certificate, &error);
    Put("certificate", std::string("record_") + goal, 0x00, true, certificate);
  }
  for (const char* key : {"dev_bundle_signing.pub.der", "dev_image_root.pub.der", "dev_bundle_root.pub.der"}) {
    Bytes body = Text("IBND");
    body.insert(body.end(), {0xFF, 0xFF, 0xFF, 0x7F});
    const Bytes der = kzfuzz::DevKey(key);
    body.insert(body.end(), der.begin(), der.end());
    Put("certificate", std::string("signed_") + key, 0x01, true, body);
    Put("certificate", std::string("der_") + key, 0x00, true, der);
  }
}

}  // namespace

// Scripts for the agreement target: selector bits 0-1 the run type, 2-4 the chunk size.
void ScriptAgreementSeeds() {
  const std::string good = "# deps\r\ndep-gui,a,a\n  dep-x64-gui,b.dll,bin\\b.dll \ndep-w<6-silent,lib,lib\n";
  Put("script_agreement", "good", 0x00, true, Text(good));
  Put("script_agreement", "good_small_chunks", 0x04, true, Text(good));
  Put("script_agreement", "workspace_files", 0x09, true, Text("dep-silent,a,.\\SETUP.EXE \ndep-silent,a,ibnd.\n"));
  Put("script_agreement", "file_then_folder", 0x10, true, Text("dep-x64-gui,a,lib\ndep-gui,b.dll,LIB.\\b.dll\n"));
  static const char kMixed[] = "dep-gui,a,NUL\0.txt\ndep-gui\0-x64,a,b\ndep-gui,a,.\xC3.\\x.dll\n";
  Put("script_agreement", "zero_and_utf8", 0x14, true, Text(std::string(kMixed, sizeof kMixed - 1)));
  Put("script_agreement", "long_line", 0x0C, true, Text("dep-gui,a," + std::string(2040, 'x') + "\\..\\y\n"));
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s <output folder> [real PE files...]\n", argv[0]);
    return 2;
  }
  gOut = argv[1];
  mkdir(gOut.c_str(), 0755);
  kzfuzz::QuietInit();
  BundleSeeds();
  JsonSeeds();
  InflateSeeds();
  PeAndChainSeeds(std::vector<std::string>(argv + 2, argv + argc));
  CertificateSeeds();
  EmbeddedSignatureSeeds();
  ScriptAgreementSeeds();
  fprintf(stderr, "%d seeds written to %s\n", gCount, gOut.c_str());
  return 0;
}
