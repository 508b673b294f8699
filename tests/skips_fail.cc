// Linked into every test program: a test that skips (a tool or a privilege missing) fails with
// its reason, and a program with disabled tests fails, since ctest would pass without running
// them. A developer without the tools sets VORTM_ALLOW_SKIPS=1 to let them skip.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

namespace {

constexpr char kAllowVariable[] = "VORTM_ALLOW_SKIPS";

bool SkipsAllowed() {
  const char* allow = getenv(kAllowVariable);
  return allow != nullptr && *allow != '\0' && std::string(allow) != "0";
}

// Failures raised at the end of a test are its own; gtest's printer, listed first, reports
// them after this listener runs.
class SkipsFail : public testing::EmptyTestEventListener {
 public:
  void OnTestIterationStart(const testing::UnitTest& unit_test, int) override {
    if (unit_test.disabled_test_count() == 0) return;
    std::string names;
    for (int s = 0; s < unit_test.total_test_suite_count(); ++s) {
      const testing::TestSuite& suite = *unit_test.GetTestSuite(s);
      for (int t = 0; t < suite.total_test_count(); ++t) {
        const testing::TestInfo& info = *suite.GetTestInfo(t);
        std::string name = std::string(info.test_suite_name()) + "." + info.name();
        if (name.find("DISABLED_") != std::string::npos) names += "\n  " + name;
      }
    }
    ADD_FAILURE() << "this program has disabled tests, which ctest does not run:" << names
                  << "\nEnable or delete them (" << kAllowVariable << "=1 lets them be).";
  }

  void OnTestEnd(const testing::TestInfo& info) override {
    const testing::TestResult& result = *info.result();
    if (!result.Skipped()) return;
    for (int i = 0; i < result.total_part_count(); ++i) {
      const testing::TestPartResult& part = result.GetTestPartResult(i);
      if (part.skipped()) {
        ADD_FAILURE_AT(part.file_name(), part.line_number())
            << "skipped: " << part.message() << "\nA test that cannot run here fails; set "
            << kAllowVariable << "=1 to let tests skip.";
      }
    }
  }
};

[[maybe_unused]] const bool installed = [] {
  if (!SkipsAllowed()) testing::UnitTest::GetInstance()->listeners().Append(new SkipsFail);
  return true;
}();

}  // namespace
