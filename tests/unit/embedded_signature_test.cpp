// Embedded image signatures: the check's two attempts and what it logs, the
// signer, and (natively) records signed by OpenSSL, images built by mingw
// and Authenticode-signed by osslsigncode.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "integrity/embedded_signature.h"
#include "integrity/pe_ranges.h"
#include "packing/chain_writer.h"
#include "packing/embedded_signer.h"
#include "platform/platform.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using kztest::TempDir;

const char kMismatch[] = "Signature not valid: VerifierFilter: digital signature not valid\n";

std::wstring W(const fs::path& p) { return p.wstring(); }
fs::path KeyDer() { return kztest::SourceDir() / "keys" / "dev_image_root.key.der"; }

const ImageSigningKey& DevKey() {
  static ImageSigningKey key;
  static bool loaded = false;
  if (!loaded) {
    std::string error;
    loaded = LoadImageSigningKey(W(KeyDer()), &key, &error);
    EXPECT_TRUE(loaded) << error;
  }
  return key;
}

void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A PE32 image with standard headers at e_lfanew 0x80 and `sections` sections
// of 0x200 bytes from 0x400 on; the content is deterministic.
constexpr uint32_t kE = 0x80;
std::vector<uint8_t> SyntheticPe(uint16_t machine = 0x14C, uint16_t sections = 3) {
  std::vector<uint8_t> b = kztest::RandomBytes(0x400 + 0x200 * sections, 7);
  std::fill(b.begin(), b.begin() + 0x400, 0);
  b[0] = 'M';
  b[1] = 'Z';
  Put32(b, 0x3C, kE);
  std::memcpy(&b[kE], "PE\0\0", 4);
  Put16(b, kE + 4, machine);
  Put16(b, kE + 6, sections);
  Put16(b, kE + 20, 224);
  Put16(b, kE + 24, 0x10B);
  for (int i = 0; i < sections; ++i) {
    size_t entry = kE + 248 + 40 * i;
    std::memcpy(&b[entry], ".sect", 5);
    Put32(b, entry + 16, 0x200);
    Put32(b, entry + 20, 0x400 + 0x200 * i);
  }
  return b;
}

void AppendRecord(const fs::path& file, const std::string& record) {
  std::vector<uint8_t> bytes = kztest::ReadFileBytes(file);
  std::vector<uint8_t> att = MakeAttachment("_SG2", reinterpret_cast<const uint8_t*>(record.data()), record.size());
  bytes.insert(bytes.end(), att.begin(), att.end());
  kztest::WriteFileBytes(file, bytes);
}

// Runs the check with the switch on and keeps what it logged.
struct Check {
  bool valid = false;
  std::vector<std::string> messages;
  int Count(const std::string& text) const {
    return static_cast<int>(std::count(messages.begin(), messages.end(), text));
  }
};
Check Verify(const fs::path& file) {
  kztest::DiagSwitchOn on;
  kztest::DebugCapture capture;
  Check c;
  c.valid = VerifyEmbeddedSignature(W(file), false);
  c.messages = capture.Messages();
  return c;
}

void Flip(const fs::path& file, size_t offset) {
  std::vector<uint8_t> bytes = kztest::ReadFileBytes(file);
  bytes.at(offset) ^= 0x01;
  kztest::WriteFileBytes(file, bytes);
}

TEST(EmbeddedSignature, PlainRecordVerifiesAndTamperingIsLoggedOnce) {
  TempDir dir;
  fs::path file = dir / "image.exe";
  kztest::WriteFileBytes(file, SyntheticPe());
  std::string error;
  ASSERT_TRUE(AppendSignatureRecordToFile(W(file), false, DevKey(), &error)) << error;
  Check c = Verify(file);
  EXPECT_TRUE(c.valid);
  EXPECT_EQ(c.Count("Going to extract file: _SG2\n"), 1);  // the first attempt sufficed
  EXPECT_EQ(c.Count(kMismatch), 0);

  int64_t signedLength = 0;
  auto record = ReadSignatureRecord(W(file), &signedLength);
  EXPECT_EQ(signedLength, 0x400 + 3 * 0x200);
  EXPECT_EQ(record.at("sign").AsString().size(), 1024u);
  EXPECT_EQ(SignatureRecordSize(DevKey()), 1036u);

  // A changed byte in front of the record fails both attempts, logged once.
  Flip(file, 0x500);
  c = Verify(file);
  EXPECT_FALSE(c.valid);
  EXPECT_EQ(c.Count("Going to extract file: _SG2\n"), 2);
  EXPECT_EQ(c.Count(kMismatch), 1);
}

TEST(EmbeddedSignature, ExcludedFormSurvivesHeaderChanges) {
  TempDir dir;
  fs::path file = dir / "image.exe";
  kztest::WriteFileBytes(file, SyntheticPe());
  std::string error;
  ASSERT_TRUE(AppendSignatureRecordToFile(W(file), true, DevKey(), &error)) << error;
  Check c = Verify(file);
  EXPECT_TRUE(c.valid);
  EXPECT_EQ(c.Count("Going to extract file: _SG2\n"), 2);  // passed on the second attempt
  EXPECT_TRUE(c.Count(kMismatch) == 0);

  // What Authenticode signing changes is left out...
  std::vector<uint8_t> bytes = kztest::ReadFileBytes(file);
  Put32(bytes, kE + 0x50, 0x12345);          // SizeOfImage
  Put32(bytes, kE + 0x58, 0xCAFEBABE);       // CheckSum
  Put32(bytes, kE + 0x98, 0x4000);           // certificate table entry
  Put32(bytes, kE + 0x9C, 0x600);
  bytes[kE + 248 + 3 * 40 + 5] = 0x77;       // behind the section table
  kztest::WriteFileBytes(file, bytes);
  c = Verify(file);
  EXPECT_TRUE(c.valid);
  EXPECT_EQ(c.Count(kMismatch), 0);

  // ...but nothing else.
  for (size_t offset : {size_t{0x02}, size_t{kE + 0x54}, size_t{kE + 248 + 2 * 40 + 20}, size_t{0x400}, size_t{0x9FF}}) {
    SCOPED_TRACE(offset);
    fs::path copy = dir / "tampered.exe";
    kztest::WriteFileBytes(copy, bytes);
    Flip(copy, offset);
    c = Verify(copy);
    EXPECT_FALSE(c.valid);
    EXPECT_EQ(c.Count(kMismatch), 1);
  }
}

TEST(EmbeddedSignature, RecordsWithoutAUsableSignature) {
  TempDir dir;
  const std::vector<uint8_t> image = SyntheticPe();
  auto withRecord = [&](const std::string& name, const std::string& record) {
    fs::path file = dir / name;
    kztest::WriteFileBytes(file, image);
    AppendRecord(file, record);
    return file;
  };
  // Missing, empty or non-string "sign", or not an object: false at once, no second attempt.
  for (const std::string& record : {std::string("{\"sign\": 12}"), std::string("{\"other\": \"00\"}"),
                                    std::string("{\"sign\": \"\"}"), std::string("[\"00\"]")}) {
    SCOPED_TRACE(record);
    testing::internal::CaptureStdout();
    Check c = Verify(withRecord("r.exe", record));
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(c.valid);
    EXPECT_EQ(c.Count("Going to extract file: _SG2\n"), 1);
    EXPECT_EQ(c.Count(kMismatch), 0);
  }
  // No record at all.
  fs::path bare = dir / "bare.exe";
  kztest::WriteFileBytes(bare, image);
  EXPECT_FALSE(Verify(bare).valid);
  EXPECT_FALSE(Verify(dir / "missing.exe").valid);

  // A signature of odd length loses its last digit and fails.
  fs::path good = dir / "good.exe";
  kztest::WriteFileBytes(good, image);
  std::string record, error;
  ASSERT_TRUE(SignImagePrefix(W(good), static_cast<int64_t>(image.size()), false, DevKey(), &record, &error)) << error;
  std::string odd = record;
  odd.erase(odd.size() - 3, 1);
  Check c = Verify(withRecord("odd.exe", odd));
  EXPECT_FALSE(c.valid);
  EXPECT_EQ(c.Count(kMismatch), 1);
  EXPECT_TRUE(Verify(withRecord("even.exe", record)).valid);

  // A changed signature digit.
  std::string other = record;
  other[20] = other[20] == '0' ? '1' : '0';
  EXPECT_FALSE(Verify(withRecord("other.exe", other)).valid);
}

TEST(EmbeddedSignature, SecondAttemptNeedsAHandledImage) {
  TempDir dir;
  // ARM64 and 16 sections: a plain signature passes the first attempt, and a
  // header change then fails quietly, since the second attempt refuses the image.
  for (auto image : {SyntheticPe(0xAA64, 3), SyntheticPe(0x14C, 16)}) {
    fs::path file = dir / "image.exe";
    kztest::WriteFileBytes(file, image);
    std::string error;
    EXPECT_FALSE(AppendSignatureRecordToFile(W(file), true, DevKey(), &error));
    EXPECT_FALSE(error.empty());
    ASSERT_TRUE(AppendSignatureRecordToFile(W(file), false, DevKey(), &error)) << error;
    EXPECT_TRUE(Verify(file).valid);
    Flip(file, kE + 0x58);
    Check c = Verify(file);
    EXPECT_FALSE(c.valid);
    EXPECT_EQ(c.Count(kMismatch), 0);
  }
  // Fewer than 512 signed bytes: the second attempt gives up without a message.
  fs::path small = dir / "small.bin";
  kztest::WriteFileBytes(small, kztest::RandomBytes(300, 3));
  std::string error;
  EXPECT_FALSE(AppendSignatureRecordToFile(W(small), true, DevKey(), &error));
  ASSERT_TRUE(AppendSignatureRecordToFile(W(small), false, DevKey(), &error)) << error;
  EXPECT_TRUE(Verify(small).valid);
  Flip(small, 10);
  Check c = Verify(small);
  EXPECT_FALSE(c.valid);
  EXPECT_EQ(c.Count(kMismatch), 0);
}

TEST(EmbeddedSignature, SignerInputChecks) {
  TempDir dir;
  ImageSigningKey key;
  std::string error;
  EXPECT_FALSE(LoadImageSigningKey(W(dir / "none.der"), &key, &error));
  kztest::WriteFileBytes(dir / "junk.der", kztest::RandomBytes(600, 1));
  EXPECT_FALSE(LoadImageSigningKey(W(dir / "junk.der"), &key, &error));
  EXPECT_FALSE(error.empty());
  kztest::WriteFileBytes(dir / "image.exe", SyntheticPe());
  std::string record;
  EXPECT_FALSE(SignImagePrefix(W(dir / "image.exe"), 0x1000, false, DevKey(), &record, &error));  // past the end
  EXPECT_FALSE(SignImagePrefix(W(dir / "image.exe"), 0x300, true, DevKey(), &record, &error));  // headers not covered
  ASSERT_TRUE(SignImagePrefix(W(dir / "image.exe"), 0x400, true, DevKey(), &record, &error)) << error;
  EXPECT_EQ(record.size(), SignatureRecordSize(DevKey()));
  EXPECT_EQ(record.rfind("{\"sign\": \"", 0), 0u);
}

// ---- outside tools (native) ---------------------------------------------------

std::string Quote(const fs::path& p) { return "'" + p.string() + "'"; }

// `openssl dgst -sha1 -sign` over the given bytes: the record text.
std::string OpenSslRecord(const TempDir& dir, const std::vector<uint8_t>& message) {
  kztest::WriteFileBytes(dir / "message.bin", message);
  EXPECT_EQ(kztest::RunCommand("openssl dgst -sha1 -keyform DER -sign " + Quote(KeyDer()) + " -out " +
                               Quote(dir / "sig.bin") + " " + Quote(dir / "message.bin")),
            0);
  std::vector<uint8_t> sig = kztest::ReadFileBytes(dir / "sig.bin");
  EXPECT_EQ(sig.size(), 512u);
  static const char digits[] = "0123456789ABCDEF";
  std::string hex;
  for (uint8_t b : sig) {
    hex += digits[b >> 4];
    hex += digits[b & 15];
  }
  return "{ \"sign\" : \"" + hex + "\", \"note\": [1, 2.5] }";
}

bool OpenSslVerifies(const TempDir& dir, const std::vector<uint8_t>& message, const std::string& record) {
  std::string hex = record.substr(10, record.size() - 12);
  std::vector<uint8_t> sig;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) sig.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  kztest::WriteFileBytes(dir / "message.bin", message);
  kztest::WriteFileBytes(dir / "sig.bin", sig);
  return kztest::RunCommand("openssl dgst -sha1 -keyform DER -verify " +
                            Quote(kztest::SourceDir() / "keys" / "dev_image_root.pub.der") + " -signature " +
                            Quote(dir / "sig.bin") + " " + Quote(dir / "message.bin") + " > /dev/null 2>&1") == 0;
}

std::vector<uint8_t> WithoutRanges(const std::vector<uint8_t>& file, const std::vector<PeExclusionRange>& ranges,
                                   size_t end) {
  std::vector<uint8_t> out;
  size_t pos = 0;
  for (const auto& r : ranges) {
    out.insert(out.end(), file.begin() + pos, file.begin() + r.offset);
    pos = r.offset + r.length;
  }
  out.insert(out.end(), file.begin() + pos, file.begin() + end);
  return out;
}

std::vector<PeExclusionRange> RangesOf(const fs::path& file) {
  platform::ScopedFile f(platform::OpenFileForRead(W(file), platform::ShareMode::kReadOnly));
  std::vector<PeExclusionRange> ranges;
  EXPECT_TRUE(ComputePeExclusionRanges(f.get(), &ranges));
  return ranges;
}

TEST(EmbeddedSignatureTools, OpenSslSignaturesInteroperate) {
  if (!kztest::kNative) GTEST_SKIP() << "needs the openssl command";
  TempDir dir;
  const std::vector<uint8_t> image = SyntheticPe();
  // A record OpenSSL signed over the plain prefix verifies.
  fs::path plain = dir / "plain.exe";
  kztest::WriteFileBytes(plain, image);
  testing::internal::CaptureStdout();
  AppendRecord(plain, OpenSslRecord(dir, image));
  Check c = Verify(plain);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(c.valid);
  EXPECT_EQ(c.Count("Going to extract file: _SG2\n"), 1);

  // And one over the prefix without the header fields, on the second attempt.
  fs::path excluded = dir / "excluded.exe";
  kztest::WriteFileBytes(excluded, image);
  AppendRecord(excluded, OpenSslRecord(dir, WithoutRanges(image, RangesOf(excluded), image.size())));
  c = Verify(excluded);
  EXPECT_TRUE(c.valid);
  EXPECT_EQ(c.Count("Going to extract file: _SG2\n"), 2);
  EXPECT_EQ(c.Count(kMismatch), 0);

  // Our signatures are OpenSSL's: PKCS #1 v1.5 is deterministic.
  std::string ours, error;
  ASSERT_TRUE(SignImagePrefix(W(excluded), static_cast<int64_t>(image.size()), true, DevKey(), &ours, &error));
  EXPECT_TRUE(OpenSslVerifies(dir, WithoutRanges(image, RangesOf(excluded), image.size()), ours));
  EXPECT_FALSE(OpenSslVerifies(dir, image, ours));
  ASSERT_TRUE(SignImagePrefix(W(excluded), static_cast<int64_t>(image.size()), false, DevKey(), &ours, &error));
  EXPECT_TRUE(OpenSslVerifies(dir, image, ours));
}

// hello32.exe built by mingw, and a self-made Authenticode certificate.
struct RealImage {
  TempDir dir;
  fs::path exe;
  bool ok = false;
  RealImage() {
    exe = dir / "hello32.exe";
    kztest::WriteFileText(dir / "hello.c", "#include <stdio.h>\nint main(void){puts(\"hi\");return 0;}\n");
    ok = kztest::RunCommand("i686-w64-mingw32-gcc-win32 -O2 -s " + Quote(dir / "hello.c") + " -o " + Quote(exe)) == 0 &&
         kztest::RunCommand("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + Quote(dir / "key.pem") + " -out " +
                            Quote(dir / "cert.pem") + " -subj /CN=KzTest -days 2 2> /dev/null") == 0;
  }
  bool Authenticode(const fs::path& in, const fs::path& out) const {
    return kztest::RunCommand("osslsigncode sign -certs " + Quote(dir / "cert.pem") + " -key " + Quote(dir / "key.pem") +
                              " -in " + Quote(in) + " -out " + Quote(out) + " > /dev/null") == 0;
  }
};

// The installer's layout: a .KZBNDL section holding _SG1, _SG2 and TYPE.
bool BuildInstaller(const fs::path& image, const fs::path& out, bool excludeHeaderFields, std::string* error) {
  const std::string sg1 = "{\"first\": true}";
  const std::string type = "gui";
  const uint64_t chainLength = AttachmentRecordSize(sg1.size()) + AttachmentRecordSize(SignatureRecordSize(DevKey())) +
                               AttachmentRecordSize(type.size());
  FILE* output = platform::OpenStdioFile(W(out), L"wb");
  if (!output) return false;
  ChainWriter writer(output);
  bool ok = writer.BeginImageWithSection(W(image), chainLength, error) &&
            writer.AppendAttachment("_SG1", reinterpret_cast<const uint8_t*>(sg1.data()), sg1.size(), error) &&
            AppendSignatureRecord(&writer, W(out), excludeHeaderFields, DevKey(), error) &&
            writer.AppendAttachment("TYPE", reinterpret_cast<const uint8_t*>(type.data()), type.size(), error) &&
            writer.Finish(error);
  std::fclose(output);
  return ok;
}

TEST(EmbeddedSignatureTools, InstallerSignedThenAuthenticodeSigned) {
  if (!kztest::kNative) GTEST_SKIP() << "needs mingw, openssl and osslsigncode";
  RealImage real;
  ASSERT_TRUE(real.ok);
  const TempDir& dir = real.dir;
  std::string error;

  // Excluded form: passes before and after Authenticode signing, nothing logged.
  fs::path installer = dir / "installer.exe";
  ASSERT_TRUE(BuildInstaller(real.exe, installer, true, &error)) << error;
  EXPECT_EQ(RangesOf(installer).back().offset, RangesOf(real.exe).back().offset);  // starts at the .KZBNDL header
  EXPECT_TRUE(Verify(installer).valid);
  fs::path signedInstaller = dir / "installer-signed.exe";
  ASSERT_TRUE(real.Authenticode(installer, signedInstaller));
  Check c = Verify(signedInstaller);
  EXPECT_TRUE(c.valid);
  EXPECT_EQ(c.Count("Going to extract file: _SG2\n"), 2);
  EXPECT_EQ(c.Count(kMismatch), 0);

  // A changed byte in the code fails both attempts and is logged once.
  fs::path tampered = dir / "tampered.exe";
  std::vector<uint8_t> bytes = kztest::ReadFileBytes(signedInstaller);
  bytes[RangesOf(signedInstaller).back().offset + RangesOf(signedInstaller).back().length + 16] ^= 0x20;
  kztest::WriteFileBytes(tampered, bytes);
  c = Verify(tampered);
  EXPECT_FALSE(c.valid);
  EXPECT_EQ(c.Count(kMismatch), 1);

  // Plain form: passes as built, not after Authenticode signing.
  fs::path plainInstaller = dir / "plain.exe";
  ASSERT_TRUE(BuildInstaller(real.exe, plainInstaller, false, &error)) << error;
  c = Verify(plainInstaller);
  EXPECT_TRUE(c.valid);
  EXPECT_EQ(c.Count("Going to extract file: _SG2\n"), 1);
  fs::path plainSigned = dir / "plain-signed.exe";
  ASSERT_TRUE(real.Authenticode(plainInstaller, plainSigned));
  c = Verify(plainSigned);
  EXPECT_FALSE(c.valid);
  EXPECT_EQ(c.Count(kMismatch), 1);
}

TEST(EmbeddedSignatureTools, RecordBelowTheCertificateTable) {
  if (!kztest::kNative) GTEST_SKIP() << "needs mingw, openssl and osslsigncode";
  RealImage real;
  ASSERT_TRUE(real.ok);
  // The record appended behind the image, and the certificate table behind it:
  // found by the search below the certificate table, the second mode.
  fs::path appended = real.dir / "appended.exe";
  fs::copy_file(real.exe, appended);
  const int64_t imageSize = static_cast<int64_t>(fs::file_size(appended));
  std::string error;
  ASSERT_TRUE(AppendSignatureRecordToFile(W(appended), true, DevKey(), &error)) << error;
  fs::path signedFile = real.dir / "appended-signed.exe";
  ASSERT_TRUE(real.Authenticode(appended, signedFile));
  int64_t signedLength = 0;
  EXPECT_EQ(ReadSignatureRecord(W(signedFile), &signedLength).count("sign"), 1u);
  EXPECT_EQ(signedLength, imageSize);
  Check c = Verify(signedFile);
  EXPECT_TRUE(c.valid);
  EXPECT_EQ(c.Count(kMismatch), 0);
  EXPECT_EQ(c.Count("Not found!\n"), 2);  // the first mode misses once per attempt
}

}  // namespace
