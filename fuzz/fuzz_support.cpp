#include "fuzz/fuzz_support.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace krelvon::fuzz {

const std::string& write_scratch(const std::uint8_t* data, std::size_t size, const char* suffix) {
  static std::string path;
  struct stat st {};
  const char* folder = ::stat("/dev/shm", &st) == 0 ? "/dev/shm" : "/tmp";
  path = std::string(folder) + "/krelvon-fuzz-" + std::to_string(::getpid()) + suffix;
  // The previous input may have left the file read-only or gone.
  ::chmod(path.c_str(), 0644);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0644);
  if (fd >= 0) {
    std::size_t done = 0;
    while (done < size) {
      const ssize_t n = ::write(fd, data + done, size - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ::close(fd);
  }
  return path;
}

}  // namespace krelvon::fuzz
