// The golden corpus (tests/corpus/) through the oracle decoder and through
// every way libtzf reads a picture: the whole data, kept bytes fed in pieces,
// parts, and the scan without decoding. Each test walks expected.tsv, so a
// new corpus file needs no new test code.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/corpus/corpus_files.h"
#include "tests/corpus/corpus_oracle.h"
#include "tzf/tzf.h"

namespace {

struct CorpusFile {
  CorpusEntry entry;
  CorpusBytes data;
  RgbImage expected;  // ok and truncated only
};

std::vector<CorpusFile> load_corpus() {
  std::vector<CorpusEntry> entries;
  std::string error;
  EXPECT_TRUE(read_expected(TZF_CORPUS_DIR, entries, error)) << error;
  EXPECT_GT(entries.size(), 50u) << "the corpus seems incomplete";
  std::vector<CorpusFile> files;
  for (const CorpusEntry& entry : entries) {
    CorpusFile f;
    f.entry = entry;
    EXPECT_TRUE(read_whole_file(std::string(TZF_CORPUS_DIR) + "/" + entry.file, f.data))
        << entry.file;
    if (entry.decodes()) {
      CorpusBytes png;
      EXPECT_TRUE(read_whole_file(std::string(TZF_CORPUS_DIR) + "/" + entry.stem() + ".png", png))
          << entry.stem() << ".png";
      EXPECT_TRUE(png_decode(png, f.expected)) << entry.stem() << ".png";
    }
    files.push_back(std::move(f));
  }
  return files;
}

const std::vector<CorpusFile>& corpus() {
  static const std::vector<CorpusFile> files = load_corpus();
  return files;
}

// The status tzf_read_info gives for a class, and tzf_check_limits after it.
int read_info_status(const std::string& klass) {
  if (klass == "not-tzf") return TZF_ERROR_NOT_TZF;
  if (klass == "bad-size") return TZF_ERROR_BAD_SIZE;
  return TZF_OK;
}

// Decoded RGB rows compared with the expected picture, top row first.
void expect_pixels(const CorpusFile& f, const uint8_t* out, size_t stride, size_t pixel_bytes,
                   const char* how) {
  const RgbImage& e = f.expected;
  size_t differing_rows = 0;
  for (uint32_t y = 0; y < e.height; ++y) {
    const uint8_t* row = out + y * stride;
    bool same = true;
    for (uint32_t x = 0; x < e.width && same; ++x) {
      same = memcmp(row + x * pixel_bytes, &e.rgb[(static_cast<size_t>(y) * e.width + x) * 3], 3) ==
                 0 &&
             (pixel_bytes == 3 || row[x * pixel_bytes + 3] == 255);
    }
    if (!same) ++differing_rows;
  }
  EXPECT_EQ(differing_rows, 0u) << f.entry.file << " through " << how;
}

TEST(Corpus, TheOracleGivesTheCommittedExpectations) {
  for (const CorpusFile& f : corpus()) {
    const CorpusExpectation e = oracle_expectation(f.data);
    EXPECT_EQ(e.klass, f.entry.klass) << f.entry.file;
    if (!f.entry.decodes()) continue;
    EXPECT_EQ(e.rows_held, f.entry.rows_held) << f.entry.file;
    EXPECT_EQ(f.entry.klass == "ok", f.entry.rows_held == e.image.height) << f.entry.file;
    EXPECT_EQ(e.image.width, f.expected.width) << f.entry.file;
    EXPECT_EQ(e.image.height, f.expected.height) << f.entry.file;
    EXPECT_TRUE(e.image.rgb == f.expected.rgb) << f.entry.file;
  }
}

TEST(Corpus, HeadersGiveTheClassFromTheWholeDataAndFromTheHeadAlone) {
  for (const CorpusFile& f : corpus()) {
    const std::string& klass = f.entry.klass;
    const size_t head = std::min<size_t>(f.data.size(), TZF_INFO_SIZE);
    EXPECT_EQ(tzf_is_tzf(f.data.data(), f.data.size()), klass == "not-tzf" ? 0 : 1) << f.entry.file;
    for (size_t size : {f.data.size(), head}) {
      tzf_info info;
      memset(&info, 0, sizeof info);
      EXPECT_EQ(tzf_read_info(f.data.data(), size, &info), read_info_status(klass))
          << f.entry.file << " in " << size << " bytes";
      if (read_info_status(klass) != TZF_OK) continue;
      for (int format : {TZF_FORMAT_RGB, TZF_FORMAT_RGBA, TZF_FORMAT_NATIVE}) {
        const int limits = tzf_check_limits(&info, format, nullptr);
        if (klass == "limit") {
          EXPECT_EQ(limits, TZF_ERROR_LIMIT) << f.entry.file << " format " << format;
        } else {
          EXPECT_EQ(limits, TZF_OK) << f.entry.file << " format " << format;
        }
      }
      if (f.entry.decodes()) {
        EXPECT_EQ(info.width, f.expected.width) << f.entry.file;
        EXPECT_EQ(info.height, f.expected.height) << f.entry.file;
      }
    }
  }
}

TEST(Corpus, DecodingTheWholeDataGivesTheExpectedPixels) {
  for (const CorpusFile& f : corpus()) {
    if (!f.entry.decodes()) {
      // Nothing to decode: the failure is the header's, whatever the buffer.
      uint8_t out[16];
      const int status = tzf_decode(f.data.data(), f.data.size(), TZF_FORMAT_RGB, out, 4, nullptr);
      EXPECT_NE(status, TZF_OK) << f.entry.file;
      continue;
    }
    for (int format : {TZF_FORMAT_RGB, TZF_FORMAT_RGBA}) {
      const size_t pixel_bytes = format == TZF_FORMAT_RGB ? 3 : 4;
      // A stride with pad, so that the rows' places are checked too.
      const size_t stride = f.expected.width * pixel_bytes + 5;
      std::vector<uint8_t> out(stride * f.expected.height, 0xEE);
      ASSERT_EQ(tzf_decode(f.data.data(), f.data.size(), format, out.data(),
                           static_cast<ptrdiff_t>(stride), nullptr),
                TZF_OK)
          << f.entry.file;
      expect_pixels(f, out.data(), stride, pixel_bytes, "tzf_decode");
    }
  }
}

// The loader's way: the head, the limits, the extent, the kept bytes fed in
// pieces of `piece` bytes, then tzf_decode_kept; the parts and the scan give
// the same report.
void load_in_pieces(const CorpusFile& f, size_t piece) {
  const std::string what = f.entry.file + " in pieces of " + std::to_string(piece);
  tzf_info info;
  memset(&info, 0, sizeof info);
  const size_t head = std::min<size_t>(f.data.size(), TZF_INFO_SIZE);
  ASSERT_EQ(tzf_read_info(f.data.data(), head, &info), TZF_OK) << what;
  ASSERT_EQ(tzf_check_limits(&info, TZF_FORMAT_RGB, nullptr), TZF_OK) << what;
  size_t stride = 0, bytes = 0;
  ASSERT_EQ(tzf_output_size(&info, TZF_FORMAT_RGB, &stride, &bytes), TZF_OK) << what;
  tzf_extent extent;
  memset(&extent, 0, sizeof extent);
  ASSERT_EQ(tzf_usable_extent(&info, &extent), TZF_OK) << what;
  // Every part lies within what a picture of this size can read.
  ASSERT_LE(extent.kept_bytes, f.data.size() + 3 * static_cast<uint64_t>(bytes) + 8) << what;
  std::vector<uint8_t> kept(static_cast<size_t>(extent.kept_bytes) + 1, 0xEE);
  uint64_t held = 0;
  for (size_t at = 0; at < f.data.size(); at += piece) {
    const size_t n = std::min(piece, f.data.size() - at);
    const uint64_t now = tzf_keep(&extent, at, f.data.data() + at, n, kept.data());
    EXPECT_GE(now, held) << what;
    EXPECT_EQ(tzf_keep(&extent, at, f.data.data() + at, n, nullptr), now) << what;
    held = now;
  }
  ASSERT_LE(held, extent.kept_bytes) << what;
  EXPECT_EQ(kept[static_cast<size_t>(extent.kept_bytes)], 0xEE) << what << ": kept past its end";

  std::vector<uint8_t> out(bytes, 0xEE);
  tzf_result result;
  memset(&result, 0, sizeof result);
  ASSERT_EQ(tzf_decode_kept(&info, kept.data(), static_cast<size_t>(held), TZF_FORMAT_RGB,
                            out.data(), static_cast<ptrdiff_t>(stride), nullptr, &result),
            TZF_OK)
      << what;
  EXPECT_EQ(result.rows_held, f.entry.rows_held) << what;
  EXPECT_EQ(result.truncated, f.entry.klass == "truncated" ? 1u : 0u) << what;
  expect_pixels(f, out.data(), stride, 3, "tzf_decode_kept");

  tzf_parts parts;
  memset(&parts, 0, sizeof parts);
  ASSERT_EQ(tzf_parts_of_kept(&info, kept.data(), static_cast<size_t>(held), &parts), TZF_OK)
      << what;
  tzf_result scanned;
  memset(&scanned, 0, sizeof scanned);
  ASSERT_EQ(tzf_scan_parts(&info, &parts, &scanned), TZF_OK) << what;
  EXPECT_EQ(scanned.rows_held, result.rows_held) << what << ": scan";
  EXPECT_EQ(scanned.truncated, result.truncated) << what << ": scan";
}

TEST(Corpus, DecodingKeptBytesFedInPiecesGivesTheExpectedPixelsAndRows) {
  for (const CorpusFile& f : corpus()) {
    if (!f.entry.decodes()) continue;
    for (size_t piece : {size_t{1}, size_t{7}, size_t{4096}}) load_in_pieces(f, piece);
  }
}

// Bytes handed out at most five at a time, then the end of the data.
struct TrickleReader {
  const uint8_t* next;
  size_t left;
};

size_t trickle_read(void* user, void* to, size_t count) {
  TrickleReader& r = *static_cast<TrickleReader*>(user);
  const size_t n = std::min({count, r.left, size_t{5}});
  if (n != 0) memcpy(to, r.next, n);
  r.next += n;
  r.left -= n;
  return n;
}

TEST(Corpus, DecodingThePartsOfTheWholeDataGivesTheExpectedPixelsAndRows) {
  for (const CorpusFile& f : corpus()) {
    if (!f.entry.decodes()) continue;
    tzf_info info;
    memset(&info, 0, sizeof info);
    ASSERT_EQ(tzf_read_info(f.data.data(), f.data.size(), &info), TZF_OK) << f.entry.file;
    tzf_parts parts;
    memset(&parts, 0, sizeof parts);
    ASSERT_EQ(tzf_parts_of_data(&info, f.data.data(), f.data.size(), &parts), TZF_OK)
        << f.entry.file;
    tzf_result scanned;
    memset(&scanned, 0, sizeof scanned);
    ASSERT_EQ(tzf_scan_parts(&info, &parts, &scanned), TZF_OK) << f.entry.file;
    EXPECT_EQ(scanned.rows_held, f.entry.rows_held) << f.entry.file << ": scan";
    EXPECT_EQ(scanned.truncated, f.entry.klass == "truncated" ? 1u : 0u) << f.entry.file;

    // Bottom-up, as a negative stride writes it.
    const size_t stride = f.expected.width * 3;
    std::vector<uint8_t> out(stride * f.expected.height, 0xEE);
    tzf_result result;
    memset(&result, 0, sizeof result);
    uint8_t* top = out.data() + (f.expected.height - 1) * stride;
    ASSERT_EQ(tzf_decode_parts(&info, &parts, TZF_FORMAT_RGB, top, -static_cast<ptrdiff_t>(stride),
                               nullptr, &result),
              TZF_OK)
        << f.entry.file;
    EXPECT_EQ(result.rows_held, f.entry.rows_held) << f.entry.file;
    EXPECT_EQ(result.truncated, scanned.truncated) << f.entry.file;
    // Flip the rows back to top first.
    std::vector<uint8_t> flipped(out.size());
    for (uint32_t y = 0; y < f.expected.height; ++y) {
      memcpy(&flipped[y * stride], top - static_cast<ptrdiff_t>(y * stride), stride);
    }
    expect_pixels(f, flipped.data(), stride, 3, "tzf_decode_parts, bottom-up");

    // The literals, but for the first few, from a reader giving a few at a
    // time, as a file read on demand gives them.
    for (size_t in_memory : {size_t{0}, size_t{4}}) {
      tzf_parts first = parts;
      first.size[TZF_PART_LITERALS] = std::min(in_memory, parts.size[TZF_PART_LITERALS]);
      TrickleReader trickle{static_cast<const uint8_t*>(parts.data[TZF_PART_LITERALS]) +
                                first.size[TZF_PART_LITERALS],
                            parts.size[TZF_PART_LITERALS] - first.size[TZF_PART_LITERALS]};
      std::vector<uint8_t> buffer(TZF_READ_BUFFER_SIZE);
      tzf_reader reader;
      memset(&reader, 0, sizeof reader);
      reader.read = trickle_read;
      reader.user = &trickle;
      reader.buffer = buffer.data();
      std::vector<uint8_t> read_out(stride * f.expected.height, 0xEE);
      memset(&result, 0, sizeof result);
      ASSERT_EQ(tzf_decode_reading(&info, &first, &reader, TZF_FORMAT_RGB, read_out.data(),
                                   static_cast<ptrdiff_t>(stride), nullptr, &result),
                TZF_OK)
          << f.entry.file;
      EXPECT_EQ(result.rows_held, f.entry.rows_held) << f.entry.file << ": reader";
      EXPECT_EQ(result.truncated, scanned.truncated) << f.entry.file << ": reader";
      expect_pixels(f, read_out.data(), stride, 3, "tzf_decode_reading");
    }
  }
}

}  // namespace
