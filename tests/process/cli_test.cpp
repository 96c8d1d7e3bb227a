// Command-line options of the program, run as the web server would not:
// these are for the administrator and the test scripts.
#include <gtest/gtest.h>

#include "process/cgi_harness.h"

namespace {

TEST(Cli, VersionAndBuildPrintExactLines) {
    lk_test::CgiHarness h;
    struct Case { std::vector<std::string> args; std::string out; } cases[] = {
        {{"-version"}, "Version: Larkspur v2.8a \n"},
        {{"-build"}, "Version: Larkspur v2.8a (build 10b)\n"},
        // Unknown arguments are skipped, and the first known option decides.
        {{"-nonsense", "-version"}, "Version: Larkspur v2.8a \n"},
        {{"-build", "-version"}, "Version: Larkspur v2.8a (build 10b)\n"},
    };
    for (const auto& c : cases) {
        auto r = h.run_args(c.args);
        EXPECT_EQ(r.status, 0) << c.args[0];
        EXPECT_EQ(r.out, c.out) << c.args[0];
    }
}

}  // namespace
