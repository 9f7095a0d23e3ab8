// The installer's verdict on an install script against kzpack verify's, on
// the same signed bundle: the script read through Bundle::ReadLine and run
// with a recording extractor must fail on exactly the kinds of Windows where
// verify's judgement names a failure, and otherwise ask for the entries
// verify saw selected.
//
// Selector bits 0-1 pick the run type, bits 2-4 the chunk size of the
// script entry (so lines and carriage returns cross chunks); the rest is the
// script. The bundle also holds the entries "a", "b.dll" and "lib".
#include <cryptopp/osrng.h>
#include <cryptopp/queue.h>
#include <cryptopp/rsa.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bundle/bundle.h"
#include "install/install_script.h"
#include "packing/bundle_writer.h"
#include "platform/platform.h"
#include "tests/fuzz/fuzz_support.h"
#include "tools/kzpack/installer_check.h"
#include "tools/kzpack/script_view.h"

namespace {

// A signing key of this process, small so that signing costs little per
// input; the reader is told to trust it.
struct FastSigning {
  BundleSigning signing;
  CryptoPP::RSAFunction publicKey;
};

const FastSigning& Signing() {
  static const FastSigning fast = [] {
    FastSigning f;
    CryptoPP::AutoSeededRandomPool random;
    CryptoPP::InvertibleRSAFunction key;
    key.Initialize(random, 1024);
    CryptoPP::ByteQueue encoded;
    key.Save(encoded);
    f.signing.signingKeyPkcs8.resize(static_cast<size_t>(encoded.MaxRetrievable()));
    encoded.Get(f.signing.signingKeyPkcs8.data(), f.signing.signingKeyPkcs8.size());
    f.signing.certificate.assign(16, 0x5A);
    f.publicKey = CryptoPP::RSAFunction(key);
    return f;
  }();
  return fast;
}

bool WriteBundle(const std::wstring& path, const uint8_t* script, size_t size, uint32_t chunkSize) {
  BundleWriterOptions options;
  options.chunkSize = chunkSize;
  options.deflateLevel = 1;
  BundleWriter writer;
  std::string error;
  if (!writer.Create(path, options, &Signing().signing, &error)) return false;
  if (!writer.AddEntryFromMemory("install_script", script, size, &error)) return false;
  for (const char* name : {"a", "b.dll", "lib"})
    if (!writer.AddEntryFromMemory(name, name, 1, &error)) return false;
  return writer.Finish(&error);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kzfuzz::QuietInit();
  Signing();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const kzfuzz::Input input = kzfuzz::Split(data, size);
  if (input.data == nullptr || input.size > 64 * 1024) return 0;
  const char* runTypes[] = {"gui", "silent", "", "x"};
  const uint32_t chunkSizes[] = {1, 7, 64, 2047, 2048, 2049, 4096, 1 << 20};
  const std::string runType = runTypes[input.selector & 3];
  const std::wstring path = kzfuzz::ScratchPath("script.ibnd");
  if (!WriteBundle(path, input.data, input.size, chunkSizes[(input.selector >> 2) & 7])) abort();

  Bundle bundle;
  bundle.SetCertificateGoal("IBND");
  bundle.SetCertificateCheck([](const unsigned char*, size_t, const std::string&) {
    return std::unique_ptr<CryptoPP::RSAFunction>(new CryptoPP::RSAFunction(Signing().publicKey));
  });
  if (!bundle.Open(path)) abort();
  BundleStream* stream = bundle.OpenStream("install_script");
  if (stream == nullptr) abort();
  const install::ScriptReading reading = install::ReadBundleScript(bundle, stream);
  bundle.CloseStream(stream);
  if (!reading.whole) abort();  // every chunk was written whole

  const std::string scratch = kzfuzz::ScratchDir() + "/entry.out";
  const kzpack::ScriptJudgement judgement = kzpack::JudgeScript(bundle, reading, runType, scratch);
  const std::vector<kzpack::WindowsKind>& kinds = kzpack::AllWindowsKinds();
  for (size_t k = 0; k < kinds.size(); ++k) {
    ScriptEnvironment environment;
    environment.windows64 = kinds[k].is64;
    environment.majorVersion = kinds[k].majorVersion;
    environment.installType = runType;
    std::vector<std::string> asked;
    const bool stubGoesOn = install::RunScript(
        reading.lines, L"W\\", environment, [&](const std::string& name, const std::wstring&) {
          asked.push_back(name);
          return bundle.ExtractEntry(kzfuzz::ScratchPath("entry.out"), name);
        });
    if (stubGoesOn != judgement.failures[k].empty()) abort();
    if (!stubGoesOn) continue;
    std::vector<std::string> selected;
    for (const kzpack::ScriptLineView& line : judgement.lines)
      if (line.selected[k]) selected.push_back(line.fields[1]);
    if (asked != selected) abort();
  }
  bundle.Close();
  platform::DeleteFilePath(path);
  platform::DeleteFilePath(kzfuzz::ScratchPath("entry.out"));
  return 0;
}
