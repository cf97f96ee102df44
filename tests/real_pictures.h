// Lists the real pictures the test setup fetched (scripts/fetch-test-images.sh).
#ifndef TZF_TESTS_REAL_PICTURES_H
#define TZF_TESTS_REAL_PICTURES_H

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

// Files with the given extension in the fetched folder (or a subfolder of
// it), sorted; empty when the build was configured without the folder.
inline std::vector<std::string> real_pictures(const char* subfolder, const char* extension) {
  std::vector<std::string> found;
#if defined(TZF_TEST_IMAGES)
  std::error_code error;
  std::filesystem::path dir = std::filesystem::path(TZF_TEST_IMAGES) / subfolder;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    if (entry.path().extension() == extension) found.push_back(entry.path().string());
  }
  std::sort(found.begin(), found.end());
#else
  (void)subfolder;
  (void)extension;
#endif
  return found;
}

#endif
