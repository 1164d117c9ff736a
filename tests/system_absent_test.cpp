// System cleaning where the platform has none of its facilities (the POSIX
// layer): no Windows line, so the memory phase does nothing and terminate
// processes by file reports success at once; registry, service, Toolhelp
// and psapi calls fail silently.
#include <gtest/gtest.h>

#include "engine/ask_for_action.h"
#include "engine/scan_context.h"
#include "engine/walker.h"
#include "system/memory_phase.h"
#include "system/perf_data.h"
#include "system/processes.h"
#include "system/runonce.h"
#include "system/services.h"
#include "system/terminate.h"
#include "system/version.h"
#include "tests/support.h"
#include "tools/samples.h"

namespace s = krelvon::samples;
using krelvon::g_scan;

namespace {

class AbsentFacilities : public krelvon::test::ScanTest {};

int g_handler_calls = 0;
int counting_handler(const char*, const char*, krelvon::Examination&) {
  ++g_handler_calls;
  return 0;
}
int g_prompts = 0;
void counting_prompt(const char*, const char*) { ++g_prompts; }

TEST_F(AbsentFacilities, NeitherWindowsLineIsReported) {
  EXPECT_EQ(krelvon::platform_line(), krelvon::kPlatformOther);
  EXPECT_EQ(krelvon::nt_generation(), krelvon::kNtNone);
}

TEST_F(AbsentFacilities, TheMemoryPhaseDoesNothing) {
  const krelvon::ThreatEntry table[] = {{"W32/BugBear.B.Worm", &counting_handler}, {nullptr, nullptr}};
  krelvon::set_threat_table(table);
  krelvon::set_prompt_runner(&counting_prompt);
  g_scan.handling_prompt = 1;
  g_handler_calls = g_prompts = 0;
  krelvon::memory_phase();
  krelvon::set_threat_table(nullptr);
  krelvon::set_prompt_runner(nullptr);
  EXPECT_EQ(g_handler_calls, 0);
  EXPECT_EQ(g_prompts, 0);
  EXPECT_FALSE(g_scan.memory_phase);
  EXPECT_EQ(g_scan.files_scanned, 0);
  EXPECT_TRUE(window->lines.empty());
  EXPECT_TRUE(window->objects.empty());
}

TEST_F(AbsentFacilities, TerminationByFileReportsSuccessWithoutEndingAnything) {
  krelvon::test::TempDir dir;
  const std::string path = dir.write("wormy.exe", s::make_worm_file(2, s::worm_file_length(2)));
  EXPECT_EQ(krelvon::terminate_processes_by_file(path.c_str()), 1);
  EXPECT_EQ(krelvon::terminate_processes_by_file(""), 1);
  EXPECT_EQ(s::read_file(path), s::make_worm_file(2, s::worm_file_length(2)));
}

TEST_F(AbsentFacilities, ProcessListsAndThePerformanceTableAreEmpty) {
  krelvon::ProcessList toolhelp, psapi;
  krelvon::toolhelp_process_list(&toolhelp);
  krelvon::psapi_process_list(&psapi);
  EXPECT_TRUE(toolhelp.empty());
  EXPECT_TRUE(psapi.empty());
  static krelvon::PerfTable table;
  table.count = 7;
  krelvon::read_perf_process_table(&table);
  EXPECT_EQ(table.count, 0);
}

TEST_F(AbsentFacilities, RegistryAndServiceCallsFailSilently) {
  EXPECT_EQ(krelvon::clean_runonce("C:\\WINDOWS\\wormy.exe"), 0);
  DWORD subkeys = 5, values = 5;
  EXPECT_EQ(krelvon::registry_key_info(HKEY_LOCAL_MACHINE, krelvon::kRunOnceKey, &subkeys, &values), 0);
  char name[krelvon::kValueNameCapacity] = "";
  EXPECT_EQ(krelvon::registry_value_name(HKEY_LOCAL_MACHINE, krelvon::kRunOnceKey, 0, name), 0);
  char data[krelvon::kValueDataCapacity + 1] = "";
  EXPECT_EQ(krelvon::registry_value_data(HKEY_LOCAL_MACHINE, krelvon::kRunOnceKey, "x", data), 0);
  EXPECT_EQ(krelvon::registry_delete_value(HKEY_LOCAL_MACHINE, krelvon::kRunOnceKey, "x"), 0);
  EXPECT_EQ(krelvon::stop_service("wormy"), 0);
  EXPECT_EQ(krelvon::delete_service_key_set("wormy"), 0);
  EXPECT_TRUE(window->lines.empty());
}

}  // namespace
