// Without root a network test is skipped with its reason, or fails when the
// environment says these tests must run.
#include "tests/lan/Lab.h"

#include <gtest/gtest.h>

#include <climits>
#include <grp.h>
#include <unistd.h>

namespace {

// Runs this very test program as an unprivileged user on one test.
lan::ExecResult RunSelfUnprivileged(const std::string& filter, bool required)
{
    char self[PATH_MAX] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0)
        throw std::runtime_error("cannot find this test program");
    std::vector<std::string> argv = {"setpriv",
                                     "--reuid=65534",
                                     "--regid=65534",
                                     "--clear-groups",
                                     "env",
                                     std::string("TOLVEX_LAN_REQUIRED=") + (required ? "1" : "0"),
                                     self,
                                     "--gtest_filter=" + filter};
    return lan::RunCommand(argv, "", std::chrono::seconds(60));
}

TEST(Skip, WithoutRootATestIsSkippedWithItsReason)
{
    TVX_REQUIRE_LAN(); // as root: both outcomes below come from a child as nobody
    EXPECT_EQ(lan::LanUnavailableReason(), "");
    lan::ExecResult skipped = RunSelfUnprivileged("TwoHosts.RunSeesOnlyItsOwnNamespace", false);
    EXPECT_EQ(skipped.code, 0) << skipped.out << skipped.err;
    EXPECT_NE(skipped.out.find("[  SKIPPED ]"), std::string::npos) << skipped.out;
    EXPECT_NE(skipped.out.find("not running as root"), std::string::npos) << skipped.out;

    lan::ExecResult required = RunSelfUnprivileged("TwoHosts.RunSeesOnlyItsOwnNamespace", true);
    EXPECT_NE(required.code, 0) << required.out;
    EXPECT_NE(required.out.find("[  FAILED  ]"), std::string::npos) << required.out;
    EXPECT_NE(required.out.find("private networks required"), std::string::npos) << required.out;
}

} // namespace
