// Writes or checks the corpus's expectations with the oracle decoder.
//
//   tzf_corpus_expect write DIR   reads DIR/manifest.tsv (make_corpus.py),
//                                 writes DIR/NAME.png and DIR/expected.tsv
//   tzf_corpus_expect check DIR   recomputes every line of DIR/expected.tsv
//                                 and compares it and NAME.png
//
// `write` fails when the oracle gives a file another class than the one it
// was made to have.
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "tests/corpus/corpus_files.h"
#include "tests/corpus/corpus_oracle.h"

namespace {

int write_corpus(const std::string& dir) {
  CorpusBytes manifest;
  if (!read_whole_file(dir + "/manifest.tsv", manifest)) {
    fprintf(stderr, "cannot read %s/manifest.tsv\n", dir.c_str());
    return 1;
  }
  std::string out =
      "# NAME.tzf\tCLASS\tROWS_HELD, written by tzf_corpus_expect from the oracle decoder;\n"
      "# what each file covers: manifest.tsv\n";
  int failures = 0;
  std::string text(manifest.begin(), manifest.end());
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    if (line.empty() || line[0] == '#') continue;
    const size_t tab1 = line.find('\t');
    const size_t tab2 = line.find('\t', tab1 + 1);
    const std::string name = line.substr(0, tab1);
    const std::string made = line.substr(tab1 + 1, tab2 - tab1 - 1);
    CorpusBytes file;
    if (!read_whole_file(dir + "/" + name, file)) {
      fprintf(stderr, "%s: cannot read\n", name.c_str());
      ++failures;
      continue;
    }
    const CorpusExpectation e = oracle_expectation(file);
    if (e.klass != made) {
      fprintf(stderr, "%s: made as %s, the oracle says %s\n", name.c_str(), made.c_str(),
              e.klass.c_str());
      ++failures;
    }
    const std::string png = dir + "/" + name.substr(0, name.size() - 4) + ".png";
    remove(png.c_str());
    if (e.klass == "ok" || e.klass == "truncated") {
      if (!write_whole_file(png, png_encode(e.image))) {
        fprintf(stderr, "%s: cannot write\n", png.c_str());
        ++failures;
      }
    }
    out += name + "\t" + e.klass + "\t" + std::to_string(e.rows_held) + "\n";
  }
  if (!write_whole_file(dir + "/expected.tsv", CorpusBytes(out.begin(), out.end()))) {
    fprintf(stderr, "cannot write expected.tsv\n");
    ++failures;
  }
  return failures == 0 ? 0 : 1;
}

int check_corpus(const std::string& dir) {
  std::vector<CorpusEntry> entries;
  std::string error;
  if (!read_expected(dir, entries, error)) {
    fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  int failures = 0;
  for (const CorpusEntry& entry : entries) {
    CorpusBytes file;
    if (!read_whole_file(dir + "/" + entry.file, file)) {
      fprintf(stderr, "%s: cannot read\n", entry.file.c_str());
      ++failures;
      continue;
    }
    const CorpusExpectation e = oracle_expectation(file);
    if (e.klass != entry.klass || (entry.decodes() && e.rows_held != entry.rows_held)) {
      fprintf(stderr, "%s: expected %s %u, the oracle says %s %u\n", entry.file.c_str(),
              entry.klass.c_str(), entry.rows_held, e.klass.c_str(), e.rows_held);
      ++failures;
    }
    if (!entry.decodes()) continue;
    CorpusBytes png;
    RgbImage image;
    if (!read_whole_file(dir + "/" + entry.stem() + ".png", png) || !png_decode(png, image) ||
        image.width != e.image.width || image.height != e.image.height ||
        image.rgb != e.image.rgb) {
      fprintf(stderr, "%s: the PNG differs from the oracle's pixels\n", entry.file.c_str());
      ++failures;
    }
  }
  printf("%zu files, %d failures\n", entries.size(), failures);
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "write") == 0) return write_corpus(argv[2]);
  if (argc == 3 && strcmp(argv[1], "check") == 0) return check_corpus(argv[2]);
  fprintf(stderr, "usage: tzf_corpus_expect write|check DIR\n");
  return 2;
}
