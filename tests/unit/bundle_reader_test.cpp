// The reader: open, streams, lines, extraction, limits, and the scrambler
// it rests on.
#include <gtest/gtest.h>

#include <cryptopp/sha.h>
#include <zlib.h>

#include <chrono>
#include <map>
#include <cstring>

#include "bundle/bundle.h"
#include "bundle/scramble_table.h"
#include "platform/platform.h"
#include "tests/unit/bundle_fixtures.h"

using namespace bundletest;
namespace fs = std::filesystem;

namespace {
std::vector<unsigned char> Deflate(const std::vector<unsigned char>& data) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  std::vector<unsigned char> out(size);
  EXPECT_EQ(Z_OK, compress2(out.data(), &size, data.data(), static_cast<uLong>(data.size()), 9));
  out.resize(size);
  return out;
}

// A signed bundle whose entries are given as ready chunks {stored, originalSize}.
struct RawChunk {
  std::vector<unsigned char> stored;
  uint32_t originalSize;
};
fs::path MakeRaw(const fs::path& path, const std::vector<std::pair<std::string, std::vector<RawChunk>>>& entries) {
  BundleSigning signing = Signing("IBND");
  BundleWriter writer;
  std::string error;
  EXPECT_TRUE(writer.Create(path.wstring(), {}, &signing, &error)) << error;
  for (const auto& entry : entries) {
    EXPECT_TRUE(writer.BeginEntry(entry.first, static_cast<uint32_t>(entry.second.size()), &error)) << error;
    for (const RawChunk& c : entry.second)
      EXPECT_TRUE(writer.AddStoredChunk(c.stored.data(), static_cast<uint32_t>(c.stored.size()), c.originalSize, &error));
  }
  EXPECT_TRUE(writer.Finish(&error)) << error;
  return path;
}

std::string NextNameOf(Bundle& bundle) {
  std::string name;
  return bundle.NextName(&name) ? name : "<none>";
}
}  // namespace

TEST(BundleScrambler, TableIsTheDocumentedHashSequence) {
  std::vector<unsigned char> expected;
  for (uint32_t k = 0; expected.size() < kScrambleTableSize; ++k) {
    unsigned char message[27];
    memcpy(message, "KZBUNDLE scramble table", 23);
    StoreLe32(message + 23, k);
    unsigned char digest[32];
    CryptoPP::SHA256().CalculateDigest(digest, message, sizeof message);
    expected.insert(expected.end(), digest, digest + 32);
  }
  expected.resize(kScrambleTableSize);
  EXPECT_EQ(0, memcmp(expected.data(), kScrambleTable, kScrambleTableSize));
}

TEST(BundleScrambler, StreamsSplitAndBitZeroPicksTheStream) {
  // 13 bytes: q = 3, streams [6,9), [3,6), [9,13), [0,3).
  const unsigned char table[13] = {0x10, 0x11, 0x12, 0x20, 0x21, 0x22, 0x30, 0x31, 0x32, 0x40, 0x41, 0x42, 0x43};
  Scrambler s;
  ASSERT_FALSE(s.SetScrambleTable(table, 11));
  ASSERT_TRUE(s.SetScrambleTable(table, 13));
  unsigned char even[4] = {0x00, 0x00, 0x00, 0x00};
  s.Scramble(even, 4);  // stream 0 throughout, wrapping after 3 bytes
  EXPECT_EQ(0x30, even[0]);
  EXPECT_EQ(0x30, even[1]);  // 0x31 with bit 0 cleared
  EXPECT_EQ(0x32, even[2]);
  EXPECT_EQ(0x30, even[3]);
  unsigned char odd[5] = {0x01, 0x01, 0x01, 0x01, 0x01};
  s.Scramble(odd, 5);  // streams 1, 2, 3, 0, 1
  EXPECT_EQ(0x01 ^ 0x20, odd[0]);
  EXPECT_EQ(0x01 ^ 0x40, odd[1]);
  EXPECT_EQ(0x01 ^ 0x10, odd[2]);
  EXPECT_EQ(0x01 ^ 0x30, odd[3]);  // stream 0 resumes at its counter 1
  EXPECT_EQ(0x01 ^ 0x20, odd[4]);  // stream 1 at counter 1: 0x21 & 0xFE
  EXPECT_EQ(1u, s.state().index);

  // Descrambling and advancing retrace the same states.
  auto data = kztest::RandomBytes(10000, 5);
  auto stored = data;
  Scrambler writer, reader, skipper;
  writer.Scramble(stored.data(), stored.size());
  auto plain = stored;
  reader.Descramble(plain.data(), plain.size());
  skipper.Advance(stored.data(), stored.size());
  EXPECT_EQ(data, plain);
  EXPECT_EQ(writer.state(), reader.state());
  EXPECT_EQ(writer.state(), skipper.state());
}

TEST(BundleFormat, EmptyBundleLayout) {
  kztest::TempDir dir;
  Make(dir / "b", {}, nullptr);
  auto bytes = kztest::ReadFileBytes(dir / "b");
  ASSERT_EQ(25u + 4 + 20, bytes.size());
  EXPECT_EQ(0, memcmp(bytes.data(), "KZBUNDLE!\r\n\0\x01", 13));
  // The end marker's first zero byte is even: stream 0, the table's byte 2500.
  EXPECT_EQ(kScrambleTable[2500] & 0xFE, bytes[25]);
  unsigned char zeros[4] = {0, 0, 0, 0}, digest[20];
  CryptoPP::SHA1().CalculateDigest(digest, zeros, 4);
  EXPECT_EQ(0, memcmp(digest, bytes.data() + 29, 20));
}

class BundleReader : public ::testing::Test {
 protected:
  fs::path Signed(const std::vector<Entry>& entries, uint32_t chunkSize = 1024 * 1024) {
    BundleWriterOptions options;
    options.chunkSize = chunkSize;
    return MakeSigned(dir_ / ("b" + std::to_string(++count_)), entries, "IBND", options);
  }
  bool Open(const fs::path& path) {
    bundle_.SetCertificateGoal("IBND");
    return bundle_.Open(path.wstring());
  }
  kztest::TempDir dir_;
  Bundle bundle_;
  int count_ = 0;
};

TEST_F(BundleReader, ReadLineSplitsAtLineFeedsAndDropsCarriageReturns) {
  std::string longLine(3000, 'x');
  ASSERT_TRUE(Open(Signed({{"a", Text("a\r\nb")}, {"long", Text(longLine + "\nz\n\r")}, {"cr", Text("q\r")}}, 7)));
  char buffer[2048];
  BundleStream* s = bundle_.OpenStream("a");
  ASSERT_NE(nullptr, s);
  EXPECT_STREQ("a\n", bundle_.ReadLine(buffer, sizeof buffer, s));
  EXPECT_STREQ("b", bundle_.ReadLine(buffer, sizeof buffer, s));
  EXPECT_EQ(nullptr, bundle_.ReadLine(buffer, sizeof buffer, s));

  BundleStream* l = bundle_.OpenStream("long");
  char* line = bundle_.ReadLine(buffer, sizeof buffer, l);
  ASSERT_NE(nullptr, line);
  EXPECT_EQ(std::string(2047, 'x'), std::string(line));
  EXPECT_EQ(std::string(953, 'x') + "\n", bundle_.ReadLine(buffer, sizeof buffer, l));
  EXPECT_STREQ("z\n", bundle_.ReadLine(buffer, sizeof buffer, l));
  // A lone carriage return after the last line feed is no line.
  EXPECT_EQ(nullptr, bundle_.ReadLine(buffer, sizeof buffer, l));
  EXPECT_EQ(l->total(), l->position());

  BundleStream* c = bundle_.OpenStream("cr");
  // Capacity 1: an empty text, nothing consumed.
  EXPECT_STREQ("", bundle_.ReadLine(buffer, 1, c));
  EXPECT_EQ(0, c->position());
  EXPECT_STREQ("q", bundle_.ReadLine(buffer, 2, c));
  EXPECT_EQ(nullptr, bundle_.ReadLine(buffer, sizeof buffer, c));
}

TEST_F(BundleReader, ReadCopiesWholeItemsAcrossChunks) {
  auto content = kztest::RandomBytes(50000, 11);
  ASSERT_TRUE(Open(Signed({{"data", content}}, 1000)));  // 50 chunks, more than the 10 kept inflated
  BundleStream* s = bundle_.OpenStream("data");
  ASSERT_NE(nullptr, s);
  EXPECT_EQ(50000, s->total());
  std::vector<unsigned char> all(50000);
  size_t done = 0;
  while (done < all.size()) {
    size_t n = bundle_.Read(all.data() + done, 1, 777, s);
    ASSERT_GT(n, 0u);
    done += n;
  }
  EXPECT_EQ(content, all);
  // 3 items of 4 bytes with 10 left: 10 bytes copied, 2 whole items.
  BundleStream* t = bundle_.OpenStream("data");
  std::vector<unsigned char> tail(49990);
  ASSERT_EQ(49990u, bundle_.Read(tail.data(), 1, 49990, t));
  unsigned char item[12] = {0};
  kztest::DebugCapture capture;
  EXPECT_EQ(2u, bundle_.Read(item, 4, 3, t));
  EXPECT_EQ(50000, t->position());
  EXPECT_EQ(0, memcmp(item, content.data() + 49990, 10));
  EXPECT_EQ(0u, bundle_.Read(item, 4, 3, t));
  EXPECT_TRUE(capture.lines().empty());
}

TEST_F(BundleReader, StreamsRestoreTheSharedPositionWhenClosed) {
  ASSERT_TRUE(Open(Signed({{"one", Text("1111")}, {"two", Text("2222")}, {"three", Text("3333")}})));
  EXPECT_EQ("one", NextNameOf(bundle_));
  const int64_t offset = bundle_.file_offset();
  const ScrambleState state = bundle_.scramble_state();
  BundleStream* a = bundle_.OpenStream("three");
  unsigned char b4[4];
  ASSERT_EQ(1u, bundle_.Read(b4, 4, 1, a));
  BundleStream* b = bundle_.OpenStream("two");
  ASSERT_EQ(1u, bundle_.Read(b4, 4, 1, b));
  EXPECT_EQ(0, memcmp(b4, "2222", 4));
  // Reverse order: back where the first stream was opened.
  bundle_.CloseStream(b);
  bundle_.CloseStream(a);
  EXPECT_EQ(offset, bundle_.file_offset());
  EXPECT_EQ(state, bundle_.scramble_state());
  ASSERT_TRUE(bundle_.SkipEntry());
  EXPECT_EQ("two", NextNameOf(bundle_));

  // Opening order: the state saved by the stream closed last.
  ASSERT_TRUE(bundle_.Rewind());
  EXPECT_EQ("one", NextNameOf(bundle_));
  a = bundle_.OpenStream("three");
  bundle_.Read(b4, 4, 1, a);
  const int64_t offsetB = bundle_.file_offset();
  const ScrambleState stateB = bundle_.scramble_state();
  b = bundle_.OpenStream("two");
  bundle_.Read(b4, 4, 1, b);
  bundle_.CloseStream(a);
  bundle_.CloseStream(b);
  EXPECT_EQ(offsetB, bundle_.file_offset());
  EXPECT_EQ(stateB, bundle_.scramble_state());
}

TEST_F(BundleReader, MissingNamesAndTheStreamLimit) {
  ASSERT_TRUE(Open(Signed({{"first", Text("f")}, {"dup", Text("A")}, {"dup", Text("B")}})));
  NextNameOf(bundle_);
  EXPECT_EQ(nullptr, bundle_.OpenStream("nothere"));
  EXPECT_EQ(nullptr, bundle_.OpenStream("firs"));
  EXPECT_EQ(nullptr, bundle_.OpenStream("FIRST"));
  // The failed search leaves the bundle at its first entry.
  EXPECT_EQ("first", NextNameOf(bundle_));
  EXPECT_FALSE(bundle_.ExtractEntry((dir_ / "x").wstring(), "nothere"));
  EXPECT_FALSE(fs::exists(dir_ / "x"));

  // The first of two equal names wins.
  BundleStream* d = bundle_.OpenStream("dup");
  char line[8];
  EXPECT_STREQ("A", bundle_.ReadLine(line, sizeof line, d));
  ASSERT_TRUE(bundle_.ExtractEntry((dir_ / "dup").wstring(), "dup"));
  EXPECT_EQ(Text("A"), kztest::ReadFileBytes(dir_ / "dup"));
  // Extraction leaves the bundle behind the entry, as a scan would.
  EXPECT_EQ("dup", NextNameOf(bundle_));
  bundle_.CloseStream(d);

  std::vector<BundleStream*> streams;
  for (int i = 0; i < 32; ++i) {
    streams.push_back(bundle_.OpenStream("first"));
    ASSERT_NE(nullptr, streams.back());
  }
  EXPECT_EQ(nullptr, bundle_.OpenStream("first"));
  bundle_.CloseStream(streams[5]);
  EXPECT_NE(nullptr, bundle_.OpenStream("first"));
  EXPECT_TRUE(bundle_.Close());
  EXPECT_EQ(0u, bundle_.open_stream_count());
}

TEST_F(BundleReader, ExtractionWritesEntriesAndRemovesFailedOnes) {
  auto big = kztest::RandomBytes(300000, 2);
  auto text = Text(std::string(100000, 'k'));
  ASSERT_TRUE(Open(Signed({{"big", big}, {"empty", {}}, {"text", text}}, 65536)));
  ASSERT_TRUE(bundle_.ExtractEntry((dir_ / "big").wstring(), "big"));
  EXPECT_EQ(big, kztest::ReadFileBytes(dir_ / "big"));
  ASSERT_TRUE(bundle_.ExtractEntry((dir_ / "text").wstring(), "text"));
  EXPECT_EQ(text, kztest::ReadFileBytes(dir_ / "text"));
  kztest::WriteFileText(dir_ / "empty", "old content");
  ASSERT_TRUE(bundle_.ExtractEntry((dir_ / "empty").wstring(), "empty"));
  EXPECT_EQ(0u, fs::file_size(dir_ / "empty"));
  EXPECT_FALSE(bundle_.ExtractEntry((dir_ / "no" / "such" / "dir").wstring(), "big"));
  // The sequential path gives the same bytes.
  ASSERT_TRUE(bundle_.Rewind());
  EXPECT_EQ("big", NextNameOf(bundle_));
  ASSERT_TRUE(bundle_.WriteEntryToPath((dir_ / "seq").wstring()));
  EXPECT_EQ(big, kztest::ReadFileBytes(dir_ / "seq"));
}

// Extraction hands the first chunks of the entry that follows to the pool
// before they are asked for: whatever order entries are taken in, with
// chunks of other sizes next door and streams read in between, each comes
// out whole, and a damaged entry read ahead fails only itself.
TEST_F(BundleReader, EntriesComeOutWholeInAnyOrderWhileTheNextIsReadAhead) {
  const auto small = kztest::RandomBytes(20000, 3), large = kztest::RandomBytes(300000, 4);
  auto chunks = [](const std::vector<uint8_t>& data, size_t piece) {
    std::vector<RawChunk> out;
    for (size_t at = 0; at < data.size(); at += piece) {
      const std::vector<unsigned char> part(data.begin() + at, data.begin() + std::min(data.size(), at + piece));
      out.push_back({Deflate(part), static_cast<uint32_t>(part.size())});
    }
    return out;
  };
  std::vector<RawChunk> damaged = chunks(small, 4000);
  damaged[3].stored[damaged[3].stored.size() / 2] ^= 0x40;
  ASSERT_TRUE(Open(MakeRaw(dir_ / "raw", {{"a", chunks(small, 4000)},  // five small chunks
                                          {"big", chunks(large, 100000)},  // larger than a's slots
                                          {"bad", damaged},
                                          {"b", chunks(large, 7000)},
                                          {"empty", {}}})));
  const std::map<std::string, std::vector<uint8_t>> content = {
      {"a", small}, {"big", large}, {"b", large}, {"empty", {}}};
  const std::vector<std::vector<std::string>> orders = {
      {"a", "big", "bad", "b", "empty"}, {"b", "a", "a", "big", "b"}, {"bad", "b", "a"},
      {"a", "stream", "big", "release", "b", "a"}, {"big", "bad", "bad", "b"}};
  int run = 0;
  for (const auto& order : orders) {
    for (const std::string& name : order) {
      SCOPED_TRACE(std::to_string(run) + " " + name);
      if (name == "release") {
        bundle_.ReleaseWorkingMemory();
        continue;
      }
      if (name == "stream") {
        BundleStream* s = bundle_.OpenStream("b");
        std::vector<unsigned char> first(10);
        ASSERT_EQ(10u, bundle_.Read(first.data(), 1, 10, s));
        EXPECT_TRUE(std::equal(first.begin(), first.end(), large.begin()));
        bundle_.CloseStream(s);
        continue;
      }
      const fs::path out = dir_ / ("out" + std::to_string(++run));
      EXPECT_EQ(name != "bad", bundle_.ExtractEntry(out.wstring(), name));
      if (name != "bad") {
        EXPECT_EQ(content.at(name), kztest::ReadFileBytes(out));
      }
    }
    ASSERT_TRUE(bundle_.Rewind());
  }
}

TEST_F(BundleReader, BadChunksFailReadsAndExtractions) {
  auto good = kztest::RandomBytes(1000, 1);
  auto half = kztest::RandomBytes(500, 2);
  std::vector<unsigned char> garbage(100, 0x55);
  ASSERT_TRUE(Open(MakeRaw(dir_ / "raw", {
                                             // the second chunk is no zlib stream
                                             {"broken", {{Deflate(good), 1000}, {garbage, 100}}},
                                             // inflates to fewer bytes than declared
                                             {"short", {{Deflate(good), 1000}, {Deflate(half), 1000}}},
                                             // inflates to more bytes than declared
                                             {"long", {{Deflate(good), 999}}},
                                         })));
  kztest::DiagSwitchOn on;
  kztest::DebugCapture capture;
  for (const char* name : {"broken", "short"}) {
    const fs::path out = dir_ / name;
    EXPECT_FALSE(bundle_.ExtractEntry(out.wstring(), name)) << name;
    EXPECT_FALSE(fs::exists(out)) << name;
    BundleStream* s = bundle_.OpenStream(name);
    std::vector<unsigned char> buffer(2000);
    ASSERT_EQ(1000u, bundle_.Read(buffer.data(), 1, 1000, s));
    EXPECT_EQ(good, std::vector<unsigned char>(buffer.begin(), buffer.begin() + 1000));
    capture.Clear();
    EXPECT_EQ(0u, bundle_.Read(buffer.data(), 1, 1000, s));
    EXPECT_EQ(std::vector<std::string>{"?!!!"}, capture.Messages());
    EXPECT_EQ(1000, s->position());  // unchanged by the failed read
    // Inside ReadLine the failure looks like the end of the content.
    EXPECT_EQ(nullptr, bundle_.ReadLine(reinterpret_cast<char*>(buffer.data()), 100, s));
    bundle_.CloseStream(s);
  }
  EXPECT_FALSE(bundle_.ExtractEntry((dir_ / "long").wstring(), "long"));
  EXPECT_FALSE(fs::exists(dir_ / "long"));
}

TEST_F(BundleReader, ChunkSizeLimit) {
  std::vector<unsigned char> exact(1000, 'e'), over(1001, 'o');
  fs::path a = Signed({{"e", exact}}, 1000);
  fs::path b = Signed({{"o", over}}, 1001);
  bundle_.SetSizeLimit(1000);
  EXPECT_TRUE(Open(a));
  kztest::DiagSwitchOn on;
  kztest::DebugCapture capture;
  EXPECT_FALSE(Open(b));
  EXPECT_TRUE(Contains(capture.Messages(), "Reading file for checksum failed!\n"));
  EXPECT_FALSE(bundle_.is_open());
}

TEST_F(BundleReader, OpenFailuresAndClosedBundles) {
  kztest::DiagSwitchOn on;
  kztest::DebugCapture capture;
  std::string name;
  EXPECT_FALSE(bundle_.Close());
  EXPECT_FALSE(bundle_.Rewind());
  EXPECT_FALSE(bundle_.NextName(&name));
  EXPECT_EQ(nullptr, bundle_.OpenStream("x"));
  EXPECT_FALSE(bundle_.ExtractEntry((dir_ / "x").wstring(), "x"));
  EXPECT_FALSE(bundle_.WriteEntryToPath((dir_ / "x").wstring()));
  EXPECT_FALSE(fs::exists(dir_ / "x"));
  EXPECT_TRUE(capture.lines().empty());

  EXPECT_FALSE(Open(dir_ / "missing"));
  EXPECT_EQ(std::vector<std::string>{"Couldn't open file " + (dir_ / "missing").string() + "!\n"}, capture.Messages());

  // Shorter than a header, wrong magic, wrong version: no message.
  fs::path good = Signed({{"a", Text("a")}});
  auto bytes = kztest::ReadFileBytes(good);
  capture.Clear();
  kztest::WriteFileBytes(dir_ / "short", std::vector<unsigned char>(bytes.begin(), bytes.begin() + 24));
  EXPECT_FALSE(Open(dir_ / "short"));
  auto badVersion = bytes;
  badVersion[12] = 2;
  kztest::WriteFileBytes(dir_ / "version", badVersion);
  EXPECT_FALSE(Open(dir_ / "version"));
  auto badMagic = bytes;
  badMagic[11] = 1;
  kztest::WriteFileBytes(dir_ / "magic", badMagic);
  EXPECT_FALSE(Open(dir_ / "magic"));
  EXPECT_TRUE(capture.lines().empty());

  // Opening again closes the first bundle.
  fs::path other = Signed({{"b", Text("b")}});
  ASSERT_TRUE(Open(good));
  ASSERT_NE(nullptr, bundle_.OpenStream("a"));
  ASSERT_TRUE(Open(other));
  EXPECT_EQ(0u, bundle_.open_stream_count());
  EXPECT_EQ(nullptr, bundle_.OpenStream("a"));
  EXPECT_NE(nullptr, bundle_.OpenStream("b"));
}

TEST_F(BundleReader, OpenBundleCannotBeChangedByOthers) {
  fs::path path = Signed({{"a", Text("a")}});
  ASSERT_TRUE(Open(path));
  FILE* writer = platform::OpenStdioFile(path.wstring(), L"r+b");
  if (kztest::kNative) {
    // POSIX has no share modes; only Windows can refuse the writer.
    if (writer) fclose(writer);
    GTEST_SKIP() << "share modes exist on Windows only";
  }
  EXPECT_EQ(nullptr, writer);
  if (writer) fclose(writer);
  EXPECT_FALSE(platform::DeleteFilePath(path.wstring()));
  bundle_.Close();
  EXPECT_TRUE(platform::DeleteFilePath(path.wstring()));
}

// Run by hand: --gtest_also_run_disabled_tests --gtest_filter=*Measure*
TEST_F(BundleReader, DISABLED_Measure64MiB) {
  const size_t kSize = 64u << 20;
  std::vector<unsigned char> content(kSize);
  auto random = kztest::RandomBytes(kSize / 2, 9);
  memcpy(content.data(), random.data(), random.size());
  for (size_t i = kSize / 2; i < kSize; ++i) content[i] = "lorem ipsum dolor sit amet\n"[i % 27];
  kztest::WriteFileBytes(dir_ / "content", content);
  BundleSigning signing = Signing("IBND");
  BundleWriter writer;
  std::string error;
  BundleWriterOptions options;
  options.deflateLevel = 6;
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(writer.Create((dir_ / "big").wstring(), options, &signing, &error));
  ASSERT_TRUE(writer.AddEntryFromFile("content", (dir_ / "content").wstring(), &error));
  ASSERT_TRUE(writer.Finish(&error));
  auto t1 = std::chrono::steady_clock::now();
  bundle_.SetSizeLimit(bundle_format::kInstallerSizeLimit);
  ASSERT_TRUE(Open(dir_ / "big"));
  auto t2 = std::chrono::steady_clock::now();
  ASSERT_TRUE(bundle_.ExtractEntry((dir_ / "out").wstring(), "content"));
  auto t3 = std::chrono::steady_clock::now();
  using ms = std::chrono::milliseconds;
  printf("bundle %lld bytes: write %lld ms, open+validate %lld ms, extract %lld ms\n",
         static_cast<long long>(fs::file_size(dir_ / "big")),
         static_cast<long long>(std::chrono::duration_cast<ms>(t1 - t0).count()),
         static_cast<long long>(std::chrono::duration_cast<ms>(t2 - t1).count()),
         static_cast<long long>(std::chrono::duration_cast<ms>(t3 - t2).count()));
  EXPECT_EQ(kSize, fs::file_size(dir_ / "out"));
}
