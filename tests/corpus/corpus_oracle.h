// What the oracle decoder makes of a corpus file: its class, the rows the
// data held and the expected pixels.
#ifndef TZF_TESTS_CORPUS_CORPUS_ORACLE_H
#define TZF_TESTS_CORPUS_CORPUS_ORACLE_H

#include <string>

#include "tests/corpus/corpus_files.h"

struct CorpusExpectation {
  std::string klass;       // as in expected.tsv
  uint32_t rows_held = 0;  // 0 for the classes that do not decode
  RgbImage image;          // for ok and truncated
};

CorpusExpectation oracle_expectation(const CorpusBytes& file);

#endif
