// Micro-benchmarks of the loops one installation spends its time in, each
// reported per MiB of input (bytes_per_second).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>

#include "attachments/extract.h"
#include "attachments/trailer.h"
#include "bench/micro/fixtures.h"
#include "bundle/bundle.h"
#include "bundle/format.h"
#include "bundle/scrambler.h"
#include "integrity/embedded_signature.h"
#include "platform/platform.h"

namespace {

using bundle_format::kInstallerSizeLimit;

int64_t FileSize(const std::string& path) { return static_cast<int64_t>(std::filesystem::file_size(path)); }

// The pieces first: the attachment XOR, MD5, and the bundle scrambler.
void BM_AttachmentXor(benchmark::State& state) {
  std::vector<uint8_t> data = kzbench::MixedContent(0, 1 << 20);
  for (auto _ : state) {
    ScrambleBytes(data.data(), data.size());
    benchmark::DoNotOptimize(data.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(data.size()));
}
BENCHMARK(BM_AttachmentXor);

void BM_AttachmentMd5(benchmark::State& state) {
  std::vector<uint8_t> data = kzbench::MixedContent(0, 1 << 20);
  uint8_t digest[kDigestSize];
  for (auto _ : state) {
    PayloadDigest md5;
    md5.Restart();
    md5.Update(data.data(), data.size());
    md5.Final(digest);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(data.size()));
}
BENCHMARK(BM_AttachmentMd5);

// Arg 0: random content, 1: text-like (bit 0 of text bytes is far from random).
void BM_BundleDescramble(benchmark::State& state) {
  std::vector<uint8_t> data = kzbench::MixedContent(static_cast<size_t>(state.range(0)), 1 << 20);
  Scrambler scrambler;
  for (auto _ : state) {
    scrambler.Descramble(data.data(), data.size());
    benchmark::DoNotOptimize(data.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(data.size()));
}
BENCHMARK(BM_BundleDescramble)->Arg(0)->Arg(1);

void BM_BundleAdvance(benchmark::State& state) {
  std::vector<uint8_t> data = kzbench::MixedContent(static_cast<size_t>(state.range(0)), 1 << 20);
  Scrambler scrambler;
  for (auto _ : state) {
    scrambler.Advance(data.data(), data.size());
    benchmark::DoNotOptimize(scrambler.state());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(data.size()));
}
BENCHMARK(BM_BundleAdvance)->Arg(0)->Arg(1);

// Whole operations on files (the page cache holds them after the first run).
void BM_AttachmentExtraction(benchmark::State& state) {
  const std::string container = kzbench::AttachmentContainer(static_cast<size_t>(state.range(0)));
  const std::wstring destination = kzbench::Wide(kzbench::ScratchDir() + "/extracted.bin");
  for (auto _ : state) {
    if (!ExtractAttachmentToFile(false, kzbench::Wide(container), "LOAD", destination, 0, 50)) {
      state.SkipWithError("extraction failed");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * state.range(0) * (1 << 20));
}
BENCHMARK(BM_AttachmentExtraction)->Arg(16)->Unit(benchmark::kMillisecond);

void BM_BundleValidation(benchmark::State& state) {
  const std::string path = kzbench::SignedBundle(static_cast<size_t>(state.range(0)), 1024);
  for (auto _ : state) {
    Bundle bundle;
    bundle.SetCertificateGoal("IBND");
    bundle.SetSizeLimit(kInstallerSizeLimit);
    if (!bundle.Open(kzbench::Wide(path))) {
      state.SkipWithError("the bundle did not validate");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * FileSize(path));
}
BENCHMARK(BM_BundleValidation)->Arg(16)->Unit(benchmark::kMillisecond);

// The same 16 MiB of content as 1, 8 or 64 entries, all extracted: the time
// per MiB must not grow with the number of entries (each extraction reads
// only its own chunks, never the entries in front of it).
void BM_EntryExtraction(benchmark::State& state) {
  const size_t entries = static_cast<size_t>(state.range(0));
  const size_t entryKiB = 16 * 1024 / entries;
  const std::string path = kzbench::SignedBundle(entries, entryKiB);
  Bundle bundle;
  bundle.SetCertificateGoal("IBND");
  bundle.SetSizeLimit(kInstallerSizeLimit);
  if (!bundle.Open(kzbench::Wide(path))) {
    state.SkipWithError("the bundle did not validate");
    return;
  }
  const std::wstring destination = kzbench::Wide(kzbench::ScratchDir() + "/entry.bin");
  for (auto _ : state) {
    for (size_t i = 0; i < entries; ++i) {
      if (!bundle.ExtractEntry(destination, "entry" + std::to_string(i))) {
        state.SkipWithError("extraction failed");
        return;
      }
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(entries * entryKiB * 1024));
}
BENCHMARK(BM_EntryExtraction)->Arg(1)->Arg(8)->Arg(64)->Unit(benchmark::kMillisecond);

void BM_EmbeddedSignatureCheck(benchmark::State& state) {
  const std::string path = kzbench::SignedImage(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    if (!VerifyEmbeddedSignature(kzbench::Wide(path), false)) {
      state.SkipWithError("the signature did not verify");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * FileSize(path));
}
BENCHMARK(BM_EmbeddedSignatureCheck)->Arg(16)->Unit(benchmark::kMillisecond);

void DropDebugLine(const char*, void*) {}

}  // namespace

int main(int argc, char** argv) {
  // Progress lines would otherwise go to stderr, one per MiB.
  platform::SetDebugSink(DropDebugLine, nullptr);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
