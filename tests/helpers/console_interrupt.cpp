// Presses Ctrl-C in the console of a program once it has written its first
// line: krelvon_test_console_interrupt OUT ERR PROGRAM [ARG]...
//
// PROGRAM (a Windows path) runs in a console of its own, with standard
// output written to the file OUT and standard error to ERR. As soon as OUT
// holds a whole line, this program attaches to that console and generates
// CTRL_C_EVENT there, which reaches PROGRAM's console control handler as a
// key press would. It then waits for PROGRAM and exits with its status.
// Exits with 125 when PROGRAM could not be started, ended before the key
// press, or did not end within a minute of it.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

// One argument as the C runtime of the started program splits it back.
std::string quoted(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string out = "\"";
  size_t backslashes = 0;
  for (const char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes before a quote are doubled, and the quote escaped.
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

HANDLE output_file(const char* path) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool holds_a_line(const char* path) {
  FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return false;
  int c;
  while ((c = std::fgetc(f)) != EOF && c != '\n') {
  }
  std::fclose(f);
  return c == '\n';
}

int fail(const char* what) {
  std::fprintf(stderr, "console_interrupt: %s (error %lu)\n", what, GetLastError());
  return 125;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: console_interrupt OUT ERR PROGRAM [ARG]...\n");
    return 125;
  }
  std::string command;
  for (int i = 3; i < argc; ++i) command += (i > 3 ? " " : "") + quoted(argv[i]);

  HANDLE out = output_file(argv[1]);
  HANDLE err = output_file(argv[2]);
  if (out == INVALID_HANDLE_VALUE || err == INVALID_HANDLE_VALUE) return fail("cannot create the output files");
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE in = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NEW_CONSOLE, nullptr, nullptr,
                      &startup, &process))
    return fail("cannot start the program");
  CloseHandle(process.hThread);
  CloseHandle(out);
  CloseHandle(err);
  if (in != INVALID_HANDLE_VALUE) CloseHandle(in);

  // Its first line: the program is under way.
  while (!holds_a_line(argv[1])) {
    if (WaitForSingleObject(process.hProcess, 5) == WAIT_OBJECT_0) return fail("the program ended before Ctrl-C");
  }

  // Generating the event needs to be in the program's console; this
  // program ignores the event itself.
  FreeConsole();
  if (!AttachConsole(process.dwProcessId)) return fail("cannot attach to the program's console");
  SetConsoleCtrlHandler(nullptr, TRUE);
  if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) return fail("cannot generate Ctrl-C");
  FreeConsole();

  if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, 125);
    return fail("the program did not end after Ctrl-C");
  }
  DWORD status = 125;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hProcess);
  return static_cast<int>(status);
}
