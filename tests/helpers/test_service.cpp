// A service for the service-route tests, registered by the tests with the
// service control manager: krelvon_test_service MODE.
//   stop     a stop request passes through stop pending (about 300 ms) to
//            stopped;
//   resume   the first stop request passes through stop pending back to
//            running; a later one stops it;
//   linger   a stop request leaves it in stop pending for 60 seconds.
#include <windows.h>

#include <cstring>

namespace {

SERVICE_STATUS_HANDLE g_status_handle = nullptr;
SERVICE_STATUS g_status = {};
HANDLE g_stop_requested = nullptr;
bool g_resume_first = false;
bool g_linger = false;

void report(DWORD state, DWORD wait_hint = 0) {
  g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  g_status.dwCurrentState = state;
  g_status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  g_status.dwWin32ExitCode = NO_ERROR;
  g_status.dwWaitHint = wait_hint;
  ++g_status.dwCheckPoint;
  SetServiceStatus(g_status_handle, &g_status);
}

DWORD WINAPI control(DWORD code, DWORD, void*, void*) {
  if (code == SERVICE_CONTROL_STOP) {
    report(SERVICE_STOP_PENDING, 2000);
    SetEvent(g_stop_requested);
    return NO_ERROR;
  }
  if (code == SERVICE_CONTROL_INTERROGATE) return NO_ERROR;
  return ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI service_main(DWORD, char** argv) {
  g_status_handle = RegisterServiceCtrlHandlerExA(argv[0], control, nullptr);
  if (g_status_handle == nullptr) return;
  report(SERVICE_RUNNING);
  for (;;) {
    WaitForSingleObject(g_stop_requested, INFINITE);
    Sleep(g_linger ? 60000 : 300);
    if (g_resume_first) {
      g_resume_first = false;
      report(SERVICE_RUNNING);
      continue;
    }
    report(SERVICE_STOPPED);
    return;
  }
}

}  // namespace

int main(int argc, char** argv) {
  g_resume_first = argc > 1 && std::strcmp(argv[1], "resume") == 0;
  g_linger = argc > 1 && std::strcmp(argv[1], "linger") == 0;
  g_stop_requested = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  char name[] = "";
  SERVICE_TABLE_ENTRYA table[] = {{name, service_main}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherA(table) ? 0 : 1;
}
