#include <gtest/gtest.h>

#include <string>

#include "engine/ask_for_action.h"
#include "engine/scan_context.h"
#include "tests/support.h"

using krelvon::g_scan;

namespace {

class ScanContextTest : public krelvon::test::ScanTest {};

TEST_F(ScanContextTest, ProgramStartState) {
  krelvon::reset_scan_context();
  EXPECT_TRUE(g_scan.memory_phase);
  EXPECT_EQ(g_scan.chosen_action, 0);
  EXPECT_EQ(g_scan.offered_disinfect + g_scan.offered_delete + g_scan.offered_rename + g_scan.offered_ignore, 4);
  EXPECT_EQ(g_scan.scan_path[0], '\0');
  EXPECT_FALSE(g_scan.summary);
}

TEST_F(ScanContextTest, AppendLineFormatsThenNotifies) {
  krelvon::append_line("%s     %s Disinfected", "C:\\A.EXE", "W32/BugBear.B.Worm");
  ASSERT_EQ(window->lines.size(), 1u);
  EXPECT_EQ(window->lines[0], "C:\\A.EXE     W32/BugBear.B.Worm Disinfected");
}

TEST_F(ScanContextTest, OverlongLinesAreCutToTheBuffer) {
  const std::string path(700, 'p');
  krelvon::append_line("%s     %s deleted", path.c_str(), "N");
  ASSERT_EQ(window->lines.size(), 1u);
  EXPECT_EQ(window->lines[0].size(), static_cast<std::size_t>(krelvon::kLineCapacity - 1));
}

TEST(CopyText, CutsAndTerminates) {
  char small[4];
  krelvon::copy_text(small, "abcdef");
  EXPECT_STREQ(small, "abc");
  krelvon::copy_text(small, "");
  EXPECT_STREQ(small, "");
}

// --- ask for action -------------------------------------------------------

std::vector<std::string> g_prompts;
std::vector<std::pair<int, bool>> g_script;

void scripted_prompt(const char* name, const char* object) {
  g_prompts.push_back(std::string(name) + "|" + object);
  for (auto [command, ticked] : g_script)
    if (krelvon::prompt_command(command, ticked)) break;
}

class AskForActionTest : public krelvon::test::ScanTest {
 protected:
  void SetUp() override {
    ScanTest::SetUp();
    g_prompts.clear();
    g_script.clear();
    krelvon::set_prompt_runner(&scripted_prompt);
  }
  void TearDown() override {
    krelvon::set_prompt_runner(nullptr);
    ScanTest::TearDown();
  }
};

TEST_F(AskForActionTest, AutomaticTakesTheFirstSetActionInPrecedenceOrder) {
  g_scan.handling_automatic = 1;
  g_scan.action_rename = 1;
  g_scan.action_delete = 1;
  g_scan.action_ignore = 1;
  krelvon::ask_for_action("N", "O");
  EXPECT_EQ(g_scan.chosen_action, krelvon::kActionRename);
  g_scan.action_disinfect = 1;
  krelvon::ask_for_action("N", "O");
  EXPECT_EQ(g_scan.chosen_action, krelvon::kActionDisinfect);
  g_scan.action_disinfect = g_scan.action_rename = 0;
  krelvon::ask_for_action("N", "O");
  EXPECT_EQ(g_scan.chosen_action, krelvon::kActionDelete);
  g_scan.action_delete = 0;
  krelvon::ask_for_action("N", "O");
  EXPECT_EQ(g_scan.chosen_action, krelvon::kActionIgnore);
  EXPECT_TRUE(g_prompts.empty());
}

TEST_F(AskForActionTest, NoHandlingOrNoActionKeepsThePreviousCode) {
  g_scan.chosen_action = krelvon::kActionDelete;
  krelvon::ask_for_action("N", "O");
  EXPECT_EQ(g_scan.chosen_action, krelvon::kActionDelete);
  g_scan.handling_automatic = 1;
  krelvon::ask_for_action("N", "O");
  EXPECT_EQ(g_scan.chosen_action, krelvon::kActionDelete);
}

TEST_F(AskForActionTest, PromptWithApplyToAllStopsLaterPrompts) {
  g_scan.handling_prompt = 1;
  g_script = {{krelvon::kApplyToAllBox, true}, {krelvon::kActionDelete, true}};
  krelvon::ask_for_action("W32/BugBear.Worm", "C:\\X.EXE");
  EXPECT_EQ(g_scan.chosen_action, krelvon::kActionDelete);
  EXPECT_EQ(g_prompts, std::vector<std::string>{"W32/BugBear.Worm|C:\\X.EXE"});
  g_scan.chosen_action = krelvon::kActionRename;  // a caller may store its own code
  krelvon::ask_for_action("other", "C:\\Y.EXE");
  EXPECT_EQ(g_prompts.size(), 1u);
  EXPECT_EQ(g_scan.chosen_action, krelvon::kActionRename);
}

TEST_F(AskForActionTest, EscapeWithTheBoxTickedRemembersWithoutChoosing) {
  g_scan.handling_prompt = 1;
  g_script = {{krelvon::kApplyToAllBox, true}, {IDCANCEL, true}};
  krelvon::ask_for_action("N", "O");
  EXPECT_EQ(g_scan.chosen_action, 0);
  EXPECT_EQ(g_scan.apply_to_all, 1);
  krelvon::ask_for_action("N", "O");
  EXPECT_EQ(g_prompts.size(), 1u);
}

TEST_F(AskForActionTest, TickingTwiceRemembersNothing) {
  g_scan.handling_prompt = 1;
  g_script = {{krelvon::kApplyToAllBox, true}, {krelvon::kApplyToAllBox, false}, {krelvon::kActionIgnore, false}};
  krelvon::ask_for_action("N", "O");
  EXPECT_EQ(g_scan.chosen_action, krelvon::kActionIgnore);
  EXPECT_EQ(g_scan.apply_to_all, 0);
  g_script = {{krelvon::kActionDisinfect, false}};
  krelvon::ask_for_action("N", "O");
  EXPECT_EQ(g_prompts.size(), 2u);
  EXPECT_EQ(g_scan.chosen_action, krelvon::kActionDisinfect);
}

TEST_F(AskForActionTest, PromptTakesPrecedenceOverAutomatic) {
  g_scan.handling_prompt = 1;
  g_scan.handling_automatic = 1;
  g_scan.action_disinfect = 1;
  g_script = {{krelvon::kActionRename, false}};
  krelvon::ask_for_action("N", "O");
  EXPECT_EQ(g_scan.chosen_action, krelvon::kActionRename);
}

TEST(PromptCommand, OnlyTheBoxKeepsThePromptOpen) {
  krelvon::reset_scan_context();
  EXPECT_FALSE(krelvon::prompt_command(krelvon::kApplyToAllBox, true));
  EXPECT_TRUE(krelvon::prompt_command(IDOK, false));
  EXPECT_EQ(g_scan.chosen_action, 0);
  EXPECT_TRUE(krelvon::prompt_command(99, false));
  EXPECT_EQ(g_scan.chosen_action, 0);
  EXPECT_TRUE(krelvon::prompt_command(krelvon::kActionIgnore, false));
  EXPECT_EQ(g_scan.chosen_action, krelvon::kActionIgnore);
}

}  // namespace
