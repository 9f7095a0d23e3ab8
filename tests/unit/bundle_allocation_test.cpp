// Block and chunk buffers that cannot be had (a full 32-bit address space):
// the step fails and says so, nothing throws, nothing is left half written.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "bundle/bundle.h"
#include "tests/support/allocation_failure.h"
#include "tests/unit/bundle_fixtures.h"

namespace fs = std::filesystem;

TEST(BundleAllocation, RefusedChunkBuffersFailTheirStep) {
  kztest::TempDir dir;
  const std::vector<unsigned char> big = kztest::RandomBytes(300000, 5);
  BundleWriterOptions options;
  options.chunkSize = 300000;
  const fs::path path = bundletest::MakeSigned(dir / "b.ibnd", {{"big", big}}, "IBND", options);
  const fs::path out = dir / "big.out";
  Bundle bundle;
  bundle.SetCertificateGoal("IBND");
  ASSERT_TRUE(bundle.Open(path.wstring()));
  {
    kztest::DiagSwitchOn diag;
    kztest::DebugCapture capture;
    kztest::RefusedAllocations refused(250000);  // the chunk's, not the file buffer's
    EXPECT_FALSE(bundle.ExtractEntry(out.wstring(), "big"));
    EXPECT_FALSE(fs::exists(out));
    std::string name;
    ASSERT_TRUE(bundle.Rewind() && bundle.NextName(&name));
    EXPECT_FALSE(bundle.WriteEntryToPath(out.wstring()));
    EXPECT_FALSE(fs::exists(out));
    BundleStream* stream = bundle.OpenStream("big");
    ASSERT_NE(stream, nullptr);
    char line[2048];
    EXPECT_EQ(bundle.ReadLine(line, sizeof line, stream), nullptr);
    EXPECT_EQ(bundle.Read(line, 1, sizeof line, stream), 0u);
    bundle.CloseStream(stream);
    EXPECT_NE(capture.Joined().find("Out of memory"), std::string::npos) << capture.Joined();
  }
  // Memory back, the same bundle goes on.
  ASSERT_TRUE(bundle.ExtractEntry(out.wstring(), "big"));
  EXPECT_EQ(kztest::ReadFileBytes(out), big);
  bundle.Close();
  // Opening needs the file buffer (64 KiB) and the signature check's pieces (2 MiB).
  for (size_t from : {size_t{1} << 20, size_t{60000}}) {
    kztest::RefusedAllocations refused(from);
    EXPECT_FALSE(bundle.Open(path.wstring())) << from;
    EXPECT_FALSE(bundle.is_open());
  }
  EXPECT_TRUE(bundle.Open(path.wstring()));
}

// The stub catches no exception. Whichever single allocation of an
// extraction is refused, nothing throws: a chunk buffer fails the entry and
// leaves no file; the pool, its threads and their bookkeeping only hand the
// work back to the worker, and the entry is still extracted whole.
TEST(BundleAllocation, EachRefusedAllocationOfAnExtractionFailsCleanlyOrFallsBack) {
  kztest::TempDir dir;
  const std::vector<unsigned char> data = kztest::RandomBytes(5 * 70000, 11);
  BundleWriterOptions options;
  options.chunkSize = 70000;
  const fs::path path = bundletest::MakeSigned(dir / "b.ibnd", {{"big", data}}, "IBND", options);
  // A short relative destination: its conversion to a narrow path on POSIX
  // needs no memory, so that every allocation counted is the extraction's.
  struct BackTo {
    fs::path folder;
    ~BackTo() { fs::current_path(folder); }
  } back{fs::current_path()};
  fs::current_path(dir.path());
  const std::wstring out = L"o";
  size_t small = 0, large = 0;
  for (size_t granted = 0;; ++granted) {
    Bundle bundle;
    bundle.SetCertificateGoal("IBND");
    ASSERT_TRUE(bundle.Open(path.wstring()));
    bool extracted = false, threw = false;
    size_t refused = 0;
    {
      kztest::OneRefusedAllocation refusal(granted);
      try {
        extracted = bundle.ExtractEntry(out, "big");
      } catch (const std::bad_alloc&) {
        threw = true;
      }
      refused = refusal.refused_size();
    }
    ASSERT_FALSE(threw) << "allocation " << granted << " of " << refused << " bytes threw";
    if (refused == 0 || refused < 65536) {
      ASSERT_TRUE(extracted) << granted << ": " << refused;
      EXPECT_EQ(kztest::ReadFileBytes(dir / "o"), data) << granted;
    } else {
      EXPECT_FALSE(extracted) << granted;
      EXPECT_FALSE(fs::exists(dir / "o")) << granted;
    }
    fs::remove(dir / "o");
    if (refused == 0) break;
    ++(refused < 65536 ? small : large);
  }
  // The pool, its job ring and thread records, and the two chunk buffers.
  EXPECT_GE(small, 3u);
  EXPECT_GE(large, 2u);
}
