// The service route against Wine's service control manager and registry:
// a real service of our own (krelvon_test_service) is registered, started
// and stopped, and the key set is deleted from both control sets, which the
// test creates where the prefix lacks them.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "system/services.h"
#include "tests/support.h"
#include "tests/system_support.h"

using krelvon::test::hklm_key_exists;
using krelvon::test::ScratchKeys;
using krelvon::test::TempDir;
using krelvon::test::unique_name;

namespace {

const std::string kSet1 = "SYSTEM\\ControlSet001\\Services\\";
const std::string kSet2 = "SYSTEM\\ControlSet002\\Services\\";

// A service registered for one test, stopped and deleted at its end. Its
// program is a copy in a folder of the test, reachable by the manager.
class TestService {
 public:
  TestService(const std::string& mode) : name_(unique_name("krelvonsvc")) {
    program_ = dir_ / "krelvon_test_service.exe";
    if (!CopyFileA(krelvon::test::helper_program("krelvon_test_service").c_str(), program_.c_str(), FALSE)) return;
    manager_ = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager_ == nullptr) return;
    const std::string command = "\"" + program_ + "\" " + mode;
    service_ = CreateServiceA(manager_, name_.c_str(), name_.c_str(), SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                              SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, command.c_str(), nullptr, nullptr,
                              nullptr, nullptr, nullptr);
  }
  ~TestService() {
    if (service_ != nullptr) {
      SERVICE_STATUS status{};
      for (int i = 0; i < 50 && QueryServiceStatus(service_, &status) && status.dwCurrentState != SERVICE_STOPPED; ++i) {
        ControlService(service_, SERVICE_CONTROL_STOP, &status);
        Sleep(100);
      }
      // A service that will not stop is ended with its process.
      SERVICE_STATUS_PROCESS process{};
      DWORD needed = 0;
      if (QueryServiceStatusEx(service_, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&process), sizeof process,
                               &needed) &&
          process.dwCurrentState != SERVICE_STOPPED && process.dwProcessId != 0) {
        const HANDLE h = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, process.dwProcessId);
        if (h != nullptr) {
          TerminateProcess(h, 1);
          WaitForSingleObject(h, 5000);
          CloseHandle(h);
        }
      }
      DeleteService(service_);
      CloseServiceHandle(service_);
    }
    if (manager_ != nullptr) CloseServiceHandle(manager_);
    Sleep(200);  // the service's process lets go of its program
  }
  TestService(const TestService&) = delete;
  TestService& operator=(const TestService&) = delete;

  bool registered() const { return service_ != nullptr; }
  const std::string& name() const { return name_; }
  // Starts it and waits until it runs.
  bool start() {
    if (!StartServiceA(service_, 0, nullptr)) return false;
    return wait_for(SERVICE_RUNNING);
  }
  bool wait_for(DWORD state) {
    SERVICE_STATUS status{};
    for (int i = 0; i < 100; ++i) {
      if (QueryServiceStatus(service_, &status) && status.dwCurrentState == state) return true;
      Sleep(100);
    }
    return false;
  }
  DWORD state() const {
    SERVICE_STATUS status{};
    return QueryServiceStatus(service_, &status) ? status.dwCurrentState : 0;
  }

 private:
  TempDir dir_;
  std::string name_;
  std::string program_;
  SC_HANDLE manager_ = nullptr;
  SC_HANDLE service_ = nullptr;
};

TEST(StopService, ARunningServicePassesThroughStopPendingToStopped) {
  TestService service("stop");
  ASSERT_TRUE(service.registered());
  ASSERT_TRUE(service.start());
  const DWORD started = GetTickCount();
  EXPECT_EQ(krelvon::stop_service(service.name().c_str()), 1);
  // The service needs about 300 ms: at least one 100 ms wait was made.
  EXPECT_GE(GetTickCount() - started, 100u);
  EXPECT_EQ(service.state(), static_cast<DWORD>(SERVICE_STOPPED));
}

TEST(StopService, AnAlreadyStoppedServiceGivesZero) {
  TestService service("stop");
  ASSERT_TRUE(service.registered());
  EXPECT_EQ(service.state(), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(krelvon::stop_service(service.name().c_str()), 0);
}

TEST(StopService, AServiceRunningAgainGivesZero) {
  TestService service("resume");
  ASSERT_TRUE(service.registered());
  ASSERT_TRUE(service.start());
  EXPECT_EQ(krelvon::stop_service(service.name().c_str()), 0);
  EXPECT_EQ(service.state(), static_cast<DWORD>(SERVICE_RUNNING));
}

TEST(StopService, AServiceThatStaysInStopPendingCountsAsNotStoppedAfterTheBound) {
  TestService service("linger");
  ASSERT_TRUE(service.registered());
  ASSERT_TRUE(service.start());
  const DWORD started = GetTickCount();
  EXPECT_EQ(krelvon::stop_service(service.name().c_str()), 0);
  const DWORD waited = GetTickCount() - started;
  std::printf("stop pending given up after %lu ms\n", static_cast<unsigned long>(waited));
  // 300 waits of 100 ms, then the poll gives up well before the service would stop.
  EXPECT_GE(waited, static_cast<DWORD>(krelvon::kStopPendingPolls) * 100 - 500);
  EXPECT_LT(waited, 55000u);
  EXPECT_EQ(service.state(), static_cast<DWORD>(SERVICE_STOP_PENDING));
}

TEST(StopService, ANameThatIsNoServiceGivesZero) {
  EXPECT_EQ(krelvon::stop_service(unique_name("krelvon-no-such-service-").c_str()), 0);
}

// The six keys of one name in both control sets.
void create_key_set(ScratchKeys* keys, const std::string& name) {
  for (const std::string& set : {kSet1, kSet2})
    for (const char* sub : {"\\Enum", "\\Security"}) ASSERT_TRUE(keys->create(set + name + sub));
}

TEST(ServiceKeySet, ARealServiceIsStoppedAndItsKeysGoFromBothControlSets) {
  TestService service("stop");
  ASSERT_TRUE(service.registered());
  ASSERT_TRUE(service.start());
  ScratchKeys keys;
  create_key_set(&keys, service.name());
  EXPECT_EQ(krelvon::stop_service(service.name().c_str()), 1);
  EXPECT_EQ(krelvon::delete_service_key_set(service.name().c_str()), 1);
  for (const std::string& set : {kSet1, kSet2}) {
    EXPECT_FALSE(hklm_key_exists(set + service.name() + "\\Enum"));
    EXPECT_FALSE(hklm_key_exists(set + service.name() + "\\Security"));
    EXPECT_FALSE(hklm_key_exists(set + service.name())) << set;
  }
  EXPECT_TRUE(hklm_key_exists(kSet1));  // only the service's own keys
}

TEST(ServiceKeySet, AKeyWithAnExtraSubkeyStaysWhileEnumAndSecurityGo) {
  const std::string name = unique_name("krelvonkeys");
  ScratchKeys keys;
  create_key_set(&keys, name);
  ASSERT_TRUE(keys.create(kSet1 + name + "\\Parameters"));
  EXPECT_EQ(krelvon::delete_service_key_set(name.c_str()), 1);
  EXPECT_TRUE(hklm_key_exists(kSet1 + name));
  EXPECT_TRUE(hklm_key_exists(kSet1 + name + "\\Parameters"));
  EXPECT_FALSE(hklm_key_exists(kSet1 + name + "\\Enum"));
  EXPECT_FALSE(hklm_key_exists(kSet1 + name + "\\Security"));
  EXPECT_FALSE(hklm_key_exists(kSet2 + name));  // no extra subkey there: all three go
}

TEST(ServiceKeySet, SubkeysGoBeforeTheirServiceKey) {
  // An Enum with a subkey of its own cannot go, and so neither can the
  // service key above it; Security still goes.
  const std::string name = unique_name("krelvonorder");
  ScratchKeys keys;
  create_key_set(&keys, name);
  ASSERT_TRUE(keys.create(kSet2 + name + "\\Enum\\Root"));
  EXPECT_EQ(krelvon::delete_service_key_set(name.c_str()), 1);
  EXPECT_FALSE(hklm_key_exists(kSet1 + name));
  EXPECT_TRUE(hklm_key_exists(kSet2 + name + "\\Enum\\Root"));
  EXPECT_FALSE(hklm_key_exists(kSet2 + name + "\\Security"));
}

TEST(ServiceKeySet, OnlyTheFirstControlSetOrNothingAtAll) {
  const std::string name = unique_name("krelvonone");
  {
    ScratchKeys keys;
    ASSERT_TRUE(keys.create(kSet1 + name));
    EXPECT_EQ(krelvon::delete_service_key_set(name.c_str()), 1);  // steps 4 to 6 fail silently
    EXPECT_FALSE(hklm_key_exists(kSet1 + name));
  }
  EXPECT_EQ(krelvon::delete_service_key_set(name.c_str()), 0);
  // A name too long for the key path buffer names no key.
  EXPECT_EQ(krelvon::delete_service_key_set(std::string(600, 'n').c_str()), 0);
}

}  // namespace
