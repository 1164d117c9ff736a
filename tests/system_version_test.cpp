// The two version checks against the version Wine reports to this program
// (its default, or the one its test fixture chose): the expected codes are
// given by the build of each test program.
#include <gtest/gtest.h>

#include "system/version.h"

TEST(Versions, TheChecksGiveTheCodesOfTheReportedVersion) {
  EXPECT_EQ(krelvon::platform_line(), KRELVON_EXPECTED_PLATFORM_LINE);
  EXPECT_EQ(krelvon::nt_generation(), KRELVON_EXPECTED_NT_GENERATION);
  // Evaluated afresh at every call, with the same answer.
  EXPECT_EQ(krelvon::platform_line(), krelvon::platform_line());
}
