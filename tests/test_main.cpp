#include <gtest/gtest.h>

#include "tests/support.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  krelvon::test::install_message_box_answerer();
  return RUN_ALL_TESTS();
}
