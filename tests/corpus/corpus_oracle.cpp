#include "tests/corpus/corpus_oracle.h"

#include "tests/oracle_decoder.h"

CorpusExpectation oracle_expectation(const CorpusBytes& file) {
  CorpusExpectation e;
  switch (oracle_class(file.data(), file.size())) {
    case OracleClass::kNotTzf:
      e.klass = "not-tzf";
      return e;
    case OracleClass::kBadSize:
      e.klass = "bad-size";
      return e;
    case OracleClass::kLimit:
      e.klass = "limit";
      return e;
    case OracleClass::kDecodable:
      break;
  }
  const OracleHeader h = oracle_header(file.data(), file.size());
  OracleReport report;
  const Bytes packed = oracle_packed_pixels(file.data(), file.size(), &report);
  // The colour table follows the header; bytes missing from it read as zero.
  uint8_t colour_table[1024] = {};
  for (size_t k = 0; k < sizeof colour_table && 64 + k < file.size(); ++k) {
    colour_table[k] = file[64 + k];
  }
  e.klass = report.truncated ? "truncated" : "ok";
  e.rows_held = report.rows_held;
  e.image =
      rgb_from_decoding_order(packed.data(), static_cast<uint32_t>(h.width),
                              static_cast<uint32_t>(h.height), h.bytes_per_pixel, colour_table);
  return e;
}
