#include "rescue/hive_isolation.h"

#include "rescue/hive_files.h"

#include <fcntl.h>
#include <iconv.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

namespace krelvon::rescue {

namespace {

// The child's descriptors.
constexpr int kHiveFd = 3, kResultFd = 4, kWrittenFd = 5, kFirstUnused = 6;
// The child's exit statuses of its own.
constexpr int kNotIsolated = 70, kResultNotSent = 71;

#if defined(__x86_64__)
constexpr std::uint32_t kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr std::uint32_t kArch = AUDIT_ARCH_AARCH64;
#else
#error "the isolated hive reader knows the system calls of x86_64 and aarch64 only"
#endif

bool same_text(const char* a, const char* b) {
  if (!a) return false;
  while (*a && *a == *b) ++a, ++b;
  return *a == *b;
}

// An open in the child is trapped here (SIGSYS from the filter): the two
// paths of the child's own files give a copy of their descriptor, rewound
// (the written one emptied when opened for writing); every other path
// "permission denied".
void on_trapped_open(int, siginfo_t* info, void* context) {
  auto* uc = static_cast<ucontext_t*>(context);
#if defined(__x86_64__)
  greg_t* r = uc->uc_mcontext.gregs;
  const bool at = info->si_syscall == SYS_openat;
  const auto* path = reinterpret_cast<const char*>(r[at ? REG_RSI : REG_RDI]);
  const long flags = r[at ? REG_RDX : REG_RSI];
#else
  auto* r = uc->uc_mcontext.regs;
  const auto* path = reinterpret_cast<const char*>(r[1]);
  const long flags = static_cast<long>(r[2]);
#endif
  long result = -EACCES;
  int fd = -1;
  if (same_text(path, kIsolatedHive) && (flags & O_ACCMODE) == O_RDONLY) fd = kHiveFd;
  if (same_text(path, kIsolatedWritten)) {
    fd = kWrittenFd;
    if ((flags & O_TRUNC) && ::ftruncate(fd, 0) != 0) fd = -1;
  }
  if (fd >= 0) {
    const int copy = ::lseek(fd, 0, SEEK_SET) == 0 ? ::fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
    result = copy >= 0 ? copy : -errno;
  }
#if defined(__x86_64__)
  r[REG_RAX] = result;
#else
  r[0] = static_cast<unsigned long long>(result);
#endif
}

struct Filter {
  std::vector<sock_filter> code;
  void op(std::uint16_t c, std::uint32_t k) { code.push_back(BPF_STMT(c, k)); }
  void jump(std::uint32_t k, std::uint8_t t, std::uint8_t f) { code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, k, t, f)); }
  void load_nr() { op(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)); }
  void answer(long nr, std::uint32_t action) {
    jump(static_cast<std::uint32_t>(nr), 0, 1);
    op(BPF_RET | BPF_K, action);
  }
  // The call is let through only when its argument `arg` (its low 32 bits)
  // equals value.
  void allow_when(long nr, int arg, std::uint32_t value) {
    jump(static_cast<std::uint32_t>(nr), 0, 4);
    op(BPF_LD | BPF_W | BPF_ABS, static_cast<std::uint32_t>(offsetof(seccomp_data, args) + 8 * arg));
    jump(value, 0, 1);
    op(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
    op(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM);
  }
};

// What the hive library, the C and C++ runtimes and (in the sanitizer
// builds) the sanitizers' runtime need to compute, allocate, report and
// end; opens are trapped; signals only to the child itself; anything else
// fails with "operation not permitted".
bool install_filter() {
  Filter f;
  f.op(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch));
  f.jump(kArch, 1, 0);
  f.op(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS);
  f.load_nr();
#if defined(__x86_64__)
  f.code.push_back(BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, 0x40000000, 0, 1));  // the x32 calls
  f.op(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM);
#endif
  const long allowed[] = {
    SYS_read, SYS_write, SYS_readv, SYS_writev, SYS_pread64, SYS_pwrite64, SYS_lseek, SYS_close, SYS_fstat,
    SYS_mmap, SYS_munmap, SYS_mremap, SYS_mprotect, SYS_madvise, SYS_brk, SYS_rt_sigreturn, SYS_rt_sigprocmask,
    SYS_rt_sigaction, SYS_sigaltstack, SYS_exit, SYS_exit_group, SYS_getpid, SYS_gettid, SYS_futex,
    SYS_clock_gettime, SYS_gettimeofday, SYS_getrandom, SYS_fcntl, SYS_dup, SYS_ftruncate, SYS_sched_yield,
    SYS_getrlimit, SYS_restart_syscall,
#if defined(__x86_64__)
    SYS_time,
#endif
  };
  for (long nr : allowed) f.answer(nr, SECCOMP_RET_ALLOW);
#if defined(__x86_64__)
  f.answer(SYS_open, SECCOMP_RET_TRAP);
#endif
  f.answer(SYS_openat, SECCOMP_RET_TRAP);
  const auto self = static_cast<std::uint32_t>(::getpid());
  f.allow_when(SYS_newfstatat, 3, AT_EMPTY_PATH);  // fstat: a descriptor's status, no path's
  f.allow_when(SYS_prlimit64, 0, 0);  // its own limits only (pid 0)
  f.allow_when(SYS_sched_getaffinity, 0, 0);
  f.allow_when(SYS_tgkill, 0, self);
  f.allow_when(SYS_kill, 0, self);
  f.op(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM);

  struct sigaction sa {};
  sa.sa_sigaction = on_trapped_open;
  sa.sa_flags = SA_SIGINFO;
  sigemptyset(&sa.sa_mask);
  if (sigaction(SIGSYS, &sa, nullptr) != 0) return false;
  sock_fprog program{static_cast<unsigned short>(f.code.size()), f.code.data()};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// The hive library converts names with iconv: its converters are loaded
// now, while files may still be opened, and kept loaded.
void load_converters() {
  const char* pairs[][2] = {{"UTF-8", "LATIN1"}, {"LATIN1", "UTF-8"}, {"UTF-8", "UTF-16LE"}, {"UTF-16LE", "UTF-8"}};
  for (const auto& p : pairs) (void)iconv_open(p[0], p[1]);
}

void limit(int resource, rlim_t soft, rlim_t hard) {
  const rlimit r{soft, hard};
  setrlimit(resource, &r);
}

bool write_all(int fd, const std::string& bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// The child: its three descriptors at fixed numbers (each first moved out
// of the way of the others), every other one closed, the limits, the
// filter, then the work.
[[noreturn]] void child(int hive_fd, int result_fd, const IsolationLimits& limits,
                        const std::function<std::string(int)>& work) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  const int high_hive = fcntl(hive_fd, F_DUPFD, 100), high_result = fcntl(result_fd, F_DUPFD, 100);
  const int memfd = memfd_create("krelvon-written-hive", 0);
  const int written = memfd < 0 ? -1 : fcntl(memfd, F_DUPFD, 100);
  if (high_hive < 0 || high_result < 0 || written < 0 || dup2(high_hive, kHiveFd) < 0 ||
      dup2(high_result, kResultFd) < 0 || dup2(written, kWrittenFd) < 0)
    _exit(kNotIsolated);
  // Nothing of the child reaches the terminal (the hive library's assertion
  // texts among them): its end is told by the refusal. Standard input is a
  // pipe nobody writes to (its end at once), standard output and error a
  // pipe nobody reads (each write refused): no file is needed for either,
  // so the reader is isolated in an empty root (a rescue system without
  // /dev) too.
  int input[2], output[2];
  if (pipe(input) < 0 || pipe(output) < 0) _exit(kNotIsolated);
  const int high_input = fcntl(input[0], F_DUPFD, 100), high_output = fcntl(output[1], F_DUPFD, 100);
  if (high_input < 0 || high_output < 0 || dup2(high_input, 0) < 0 || dup2(high_output, 1) < 0 ||
      dup2(high_output, 2) < 0)
    _exit(kNotIsolated);
  close_range(kFirstUnused, ~0U, 0);
  // Every signal as the system ends a process with it: not the scanner's
  // handlers, nor a fuzzer's or sanitizer's crash handlers, which would
  // write files or report the child's end as their own. A write to the
  // unread output pipe fails instead of ending the reader.
  for (int sig = 1; sig < NSIG; ++sig)
    if (sig != SIGKILL && sig != SIGSTOP) signal(sig, SIG_DFL);
  signal(SIGPIPE, SIG_IGN);
  load_converters();
  limit(RLIMIT_CORE, 0, 0);
  limit(RLIMIT_CPU, limits.seconds, limits.seconds + 1);
  limit(RLIMIT_NOFILE, 16, 16);
  if (limits.output) limit(RLIMIT_FSIZE, limits.output, limits.output);
  if (limits.memory) limit(RLIMIT_AS, limits.memory, limits.memory);
  if (!install_filter()) _exit(kNotIsolated);
  const std::string result = work(kWrittenFd);
  _exit(write_all(kResultFd, result) ? 0 : kResultNotSent);
}

std::string ending(int status) {
  if (WIFSIGNALED(status)) return "the reader was killed by signal " + std::to_string(WTERMSIG(status));
  if (WEXITSTATUS(status) == kNotIsolated) return "the reader could not be isolated: the system refused its limits";
  return "the reader failed with status " + std::to_string(WEXITSTATUS(status));
}

long long now_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

}  // namespace

IsolatedRun run_isolated(int hive_fd, const IsolationLimits& limits, const std::function<std::string(int)>& work,
                         const volatile std::sig_atomic_t* cancel) {
  IsolatedRun run;
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
    run.failure = std::string("no pipe to the reader: ") + std::strerror(errno);
    return run;
  }
  std::fflush(nullptr);  // nothing buffered is written twice
  const pid_t pid = fork();
  if (pid == 0) child(hive_fd, pipe_fds[1], limits, work);
  close(pipe_fds[1]);
  if (pid < 0) {
    close(pipe_fds[0]);
    run.failure = std::string("no reader process: ") + std::strerror(errno);
    return run;
  }
  const Fd ended_fd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  const long long deadline = now_ms() + 1000LL * limits.seconds;
  bool open_pipe = true;
  char buffer[1 << 16];
  int status = 0;
  bool ended = false;
  while (run.failure.empty()) {
    if (cancel && *cancel) {
      run.failure = "the run was interrupted";
      break;
    }
    const long long left = deadline - now_ms();
    if (left <= 0) {
      run.failure = "the reader did not finish within " + std::to_string(limits.seconds) + " seconds";
      break;
    }
    if (!open_pipe) {
      // The result is in: the child ends next. Its pidfd tells when (where
      // the kernel has none, a millisecond's wait each time).
      const pid_t w = waitpid(pid, &status, WNOHANG);
      if (w == pid) {
        ended = true;
        break;
      }
      pollfd p{ended_fd.get(), POLLIN, 0};
      poll(ended_fd.ok() ? &p : nullptr, ended_fd.ok() ? 1 : 0, static_cast<int>(left < 200 ? left : ended_fd.ok() ? 200 : 1));
      continue;
    }
    pollfd p{pipe_fds[0], POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(left < 200 ? left : 200));
    if (ready <= 0) continue;  // interrupted or no data yet: the checks above again
    const ssize_t n = read(pipe_fds[0], buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) {
      open_pipe = false;
      continue;
    }
    run.result.append(buffer, static_cast<std::size_t>(n));
    if (limits.output && run.result.size() > limits.output) run.failure = "the reader's result is larger than the hive may grow";
  }
  close(pipe_fds[0]);
  if (!ended) {
    kill(pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (run.failure.empty() && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) run.failure = ending(status);
  run.finished = run.failure.empty();
  if (!run.finished) run.result.clear();
  return run;
}

}  // namespace krelvon::rescue
