#include <gtest/gtest.h>

#include <string>
#include <vector>

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

// A finding line and its record come from one call: the line exactly as
// before, the record with the full path, the detection name and the action
// of the outcome; a line that is no finding empties the record.
TEST_F(ScanContextTest, AppendFindingWritesTheLineAndItsRecord) {
  std::vector<krelvon::FindingRecord> records;
  const std::string path = "/a     W32/BugBear.B.Worm deleted/" + std::string(200, 'p') + ".exe";
  const auto recorded = [&] { records.push_back(g_scan.finding); };
  krelvon::append_finding({krelvon::FindingKind::kWormFile, krelvon::FindingOutcome::kRenamed, path.c_str(),
                           "W32/BugBear.B.Worm", "/x.Vxe"});
  recorded();
  krelvon::copy_text(g_scan.object, "shown object");
  krelvon::copy_text(g_scan.name, "shown name");
  krelvon::append_finding({krelvon::FindingKind::kInfectedFile, krelvon::FindingOutcome::kNotActedOn, "/h.exe",
                           "W32/BugBear.B.Worm"},
                          g_scan.object, g_scan.name);
  recorded();
  g_scan.memory_action = krelvon::kActionDisinfect;
  krelvon::append_finding({krelvon::FindingKind::kSystemMemory, krelvon::FindingOutcome::kRemoved, "/w.exe",
                           "W32/BugBear.Worm"},
                          "System Memory", "W32/BugBear.Worm");
  recorded();
  krelvon::append_finding({krelvon::FindingKind::kInfectedFile, krelvon::FindingOutcome::kDeleteFailed, "/d.exe",
                           "W32/BugBear.B.Worm"});
  recorded();
  krelvon::append_line("Total files scanned\t\t:  %d", 4);
  recorded();
  EXPECT_EQ(window->lines,
            (std::vector<std::string>{path + "     W32/BugBear.B.Worm renamed",
                                      "shown object     shown name not disinfected as per user's selection",
                                      "System Memory     W32/BugBear.Worm removed", "/d.exe     W32/BugBear.B.Worm Delete failed",
                                      "Total files scanned\t\t:  4"}));
  ASSERT_EQ(records.size(), 5u);
  EXPECT_EQ(records[0].path, path);
  EXPECT_STREQ(records[0].new_path, "/x.Vxe");
  EXPECT_EQ(records[0].action, krelvon::kActionRename);
  EXPECT_TRUE(records[0].ok);
  EXPECT_STREQ(records[1].path, "/h.exe");
  EXPECT_STREQ(records[1].detection, "W32/BugBear.B.Worm");
  EXPECT_EQ(records[1].action, krelvon::kActionNone);
  EXPECT_STREQ(records[1].new_path, "") << "left from the rename";
  EXPECT_EQ(records[2].kind, krelvon::FindingKind::kSystemMemory);
  EXPECT_EQ(records[2].action, krelvon::kActionDisinfect);
  EXPECT_STREQ(records[2].path, "/w.exe");
  EXPECT_EQ(records[3].action, krelvon::kActionDelete);
  EXPECT_FALSE(records[3].ok);
  EXPECT_EQ(records[4].kind, krelvon::FindingKind::kNone);
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

TEST_F(AskForActionTest, NoHandlingOrNoActionChoosesNone) {
  g_scan.chosen_action = krelvon::kActionDelete;
  krelvon::ask_for_action("N", "O");
  EXPECT_EQ(g_scan.chosen_action, krelvon::kActionNone);
  g_scan.chosen_action = krelvon::kActionDelete;
  g_scan.handling_automatic = 1;
  krelvon::ask_for_action("N", "O");
  EXPECT_EQ(g_scan.chosen_action, krelvon::kActionNone);
}

TEST_F(AskForActionTest, PromptWithApplyToAllStopsLaterPrompts) {
  g_scan.handling_prompt = 1;
  g_script = {{krelvon::kApplyToAllBox, true}, {krelvon::kActionDelete, true}};
  krelvon::ask_for_action("W32/BugBear.Worm", "C:\\X.EXE");
  EXPECT_EQ(g_scan.chosen_action, krelvon::kActionDelete);
  EXPECT_EQ(g_prompts, std::vector<std::string>{"W32/BugBear.Worm|C:\\X.EXE"});
  // A caller's own code in between (the memory phase's) does not change the
  // answer remembered.
  g_scan.chosen_action = krelvon::kActionRename;
  krelvon::ask_for_action("other", "C:\\Y.EXE");
  EXPECT_EQ(g_prompts.size(), 1u);
  EXPECT_EQ(g_scan.chosen_action, krelvon::kActionDelete);
}

// Every way a prompt ends without an action button leaves no action, after
// any earlier answer: Esc, Enter, another command, and a prompt that went
// away without any command; and no prompt at all.
TEST_F(AskForActionTest, APromptWithoutAnAnswerNeverRepeatsThePreviousOne) {
  g_scan.handling_prompt = 1;
  for (const int command : {IDCANCEL, IDOK, 99, 0}) {
    g_script = {{krelvon::kActionDelete, false}};
    krelvon::ask_for_action("N", "O");
    ASSERT_EQ(g_scan.chosen_action, krelvon::kActionDelete);
    g_script.clear();
    if (command != 0) g_script = {{command, false}};
    krelvon::ask_for_action("N", "O");
    EXPECT_EQ(g_scan.chosen_action, krelvon::kActionNone) << command;
    EXPECT_EQ(g_scan.apply_to_all, 0);
  }
  g_script = {{krelvon::kActionDelete, false}};
  krelvon::ask_for_action("N", "O");
  krelvon::set_prompt_runner(nullptr);
  krelvon::ask_for_action("N", "O");
  EXPECT_EQ(g_scan.chosen_action, krelvon::kActionNone);
}

// Esc with the box ticked, after an earlier Delete: no action now, and none
// for the rest of the scan.
TEST_F(AskForActionTest, EscapeWithTheBoxTickedRemembersNoAction) {
  g_scan.handling_prompt = 1;
  g_script = {{krelvon::kActionDelete, false}};
  krelvon::ask_for_action("N", "O");
  g_script = {{krelvon::kApplyToAllBox, true}, {IDCANCEL, true}};
  krelvon::ask_for_action("N", "O");
  EXPECT_EQ(g_scan.chosen_action, krelvon::kActionNone);
  EXPECT_EQ(g_scan.apply_to_all, 1);
  krelvon::ask_for_action("N", "O");
  EXPECT_EQ(g_prompts.size(), 2u);
  EXPECT_EQ(g_scan.chosen_action, krelvon::kActionNone);
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
  EXPECT_TRUE(krelvon::prompt_command(IDCANCEL, false));
  EXPECT_EQ(g_scan.chosen_action, 0) << "Esc after an answer";
}

}  // namespace
