// The floor for any scanner that reads file headers: walks a folder tree,
// opens every regular file, reads its first 4 KiB and closes it. Prints the
// number of files and bytes read.
//
//   baseline-reader FOLDER               one thread does everything
//   baseline-reader --threads=N FOLDER   one thread lists, N threads read
//
// The second is the floor on a cold disk, where the reads of many files can
// be under way at once.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<long> g_files{0};
std::atomic<long long> g_bytes{0};

void read_head(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  char head[4096];
  const ssize_t got = read(fd, head, sizeof head);
  close(fd);
  ++g_files;
  if (got > 0) g_bytes += got;
}

// The paths the listing thread hands to the readers, at most kQueued at once.
constexpr std::size_t kQueued = 4096;
std::mutex g_mutex;
std::condition_variable g_changed;
std::deque<std::string> g_queue;
bool g_listed = false;
int g_readers = 0;

void hand_on(const std::string& path) {
  if (g_readers == 0) {
    read_head(path);
    return;
  }
  std::unique_lock<std::mutex> lock(g_mutex);
  g_changed.wait(lock, [] { return g_queue.size() < kQueued; });
  g_queue.push_back(path);
  g_changed.notify_all();
}

void reader() {
  for (;;) {
    std::string path;
    {
      std::unique_lock<std::mutex> lock(g_mutex);
      g_changed.wait(lock, [] { return g_listed || !g_queue.empty(); });
      if (g_queue.empty()) return;
      path = std::move(g_queue.front());
      g_queue.pop_front();
      g_changed.notify_all();
    }
    read_head(path);
  }
}

void read_tree(const std::string& folder) {
  DIR* dir = opendir(folder.c_str());
  if (!dir) return;
  while (const dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = folder + "/" + name;
    unsigned char type = e->d_type;
    if (type == DT_UNKNOWN) {
      struct stat st {};
      if (lstat(path.c_str(), &st) != 0) continue;
      type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
    }
    if (type == DT_DIR) {
      read_tree(path);
    } else if (type == DT_REG) {
      hand_on(path);
    }
  }
  closedir(dir);
}

}  // namespace

int main(int argc, char** argv) {
  int arg = 1;
  if (argc == 3 && std::strncmp(argv[1], "--threads=", 10) == 0) {
    g_readers = std::atoi(argv[1] + 10);
    arg = 2;
  }
  if (argc != arg + 1 || g_readers < 0) {
    std::fprintf(stderr, "usage: baseline-reader [--threads=N] FOLDER\n");
    return 2;
  }
  std::vector<std::thread> readers;
  for (int i = 0; i < g_readers; ++i) readers.emplace_back(reader);
  read_tree(argv[arg]);
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_listed = true;
  }
  g_changed.notify_all();
  for (std::thread& t : readers) t.join();
  std::printf("%ld files, %lld bytes read\n", g_files.load(), g_bytes.load());
  return g_files > 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
