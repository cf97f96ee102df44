// Where tzfconv looks for the filter library: beside itself first, then in
// the installed filter's folder.
#if HAVE_TZF_CONV
#include "tzfconv/filter_host.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

#if defined(_WIN32)
constexpr const char* kName = "tzffilter.dll";
#else
constexpr const char* kName = "libtzffilter.so";
#endif

struct CandidateCase {
  std::string program;
  std::string installed_from_bin;
  std::vector<std::string> expected;
};

class LibraryCandidates : public ::testing::TestWithParam<CandidateCase> {};

TEST_P(LibraryCandidates, BesideTheProgramThenInstalled) {
  const CandidateCase& c = GetParam();
  EXPECT_EQ(tzf::conv::LibraryCandidates(c.program, c.installed_from_bin), c.expected);
}

const std::string N = kName;

INSTANTIATE_TEST_SUITE_P(Table, LibraryCandidates,
                         ::testing::Values(
#if defined(_WIN32)
                             CandidateCase{"C:\\viewer\\plugins\\tzfconv.exe",
                                           "../lib/tzf-filter",
                                           {"C:\\viewer\\plugins\\" + N}},
#else
                             CandidateCase{
                                 "/usr/bin/tzfconv",
                                 "../lib/x86_64-linux-gnu/tzf-filter",
                                 {"/usr/bin/" + N, "/usr/lib/x86_64-linux-gnu/tzf-filter/" + N}},
                             CandidateCase{"/opt/tzf/bin/tzfconv",
                                           "../lib/tzf-filter",
                                           {"/opt/tzf/bin/" + N, "/opt/tzf/lib/tzf-filter/" + N}},
#endif
                             CandidateCase{"/work/build/bin/tzfconv", "", {"/work/build/bin/" + N}},
                             CandidateCase{"tzfconv", "../lib/tzf-filter", {N}},
                             CandidateCase{"", "", {N}}));

TEST(DefaultLibraryPath, NamesTheFilterLibrary) {
  const std::string path = tzf::conv::DefaultLibraryPath();
  ASSERT_GE(path.size(), N.size());
  EXPECT_EQ(path.substr(path.size() - N.size()), N);
}

#if defined(TZFCONV_INSTALLED_FILTER_DIR)
TEST(DefaultLibraryPath, InstalledFolderIsRelativeToThePrograms) {
  const std::string relative = TZFCONV_INSTALLED_FILTER_DIR;
  EXPECT_EQ(relative.rfind("../", 0), 0u) << relative;
  EXPECT_NE(relative.find("tzf-filter"), std::string::npos) << relative;
}
#endif

}  // namespace
#endif  // HAVE_TZF_CONV
