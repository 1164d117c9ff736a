// krelvon-samples: writes inert test inputs.
//   krelvon-samples demo FOLDER       a demonstration folder
//   krelvon-samples corpus FOLDER N   N files; prints the planted samples' paths
//   krelvon-samples disk FOLDER N LIBRARIES
//                                     N files shaped like a real disk, with
//                                     copies of the libraries in LIBRARIES
//   krelvon-samples offline FOLDER    a Windows installation with the worm's
//                                     files and registry entries (Linux)
//   krelvon-samples runnable FILE MS [pe32]
//                                     a runnable worm file (record 2) that
//                                     sleeps MS milliseconds: PE32+, or PE32
//                                     for the 32-bit systems
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/samples.h"
#ifdef KRELVON_SAMPLES_OFFLINE
#include "tools/offline_install.h"
#endif

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "demo") == 0) {
    for (const auto& p : krelvon::samples::write_demo(argv[2])) std::printf("%s\n", p.c_str());
    return 0;
  }
  if (argc == 4 && std::strcmp(argv[1], "corpus") == 0) {
    const int n = std::atoi(argv[3]);
    if (n <= 0) {
      std::fprintf(stderr, "krelvon-samples: N must be a positive number\n");
      return 2;
    }
    for (const auto& p : krelvon::samples::write_corpus(argv[2], n)) std::printf("%s\n", p.c_str());
    return 0;
  }
  if (argc == 5 && std::strcmp(argv[1], "disk") == 0) {
    const int n = std::atoi(argv[3]);
    if (n <= 0) {
      std::fprintf(stderr, "krelvon-samples: N must be a positive number\n");
      return 2;
    }
    const auto planted = krelvon::samples::write_disk_corpus(argv[2], n, argv[4]);
    if (planted.empty()) {
      std::fprintf(stderr, "krelvon-samples: no library of at most 400 KB in %s\n", argv[4]);
      return 1;
    }
    for (const auto& p : planted) std::printf("%s\n", p.c_str());
    return 0;
  }
  if ((argc == 4 || (argc == 5 && std::strcmp(argv[4], "pe32") == 0)) && std::strcmp(argv[1], "runnable") == 0) {
    const int ms = std::atoi(argv[3]);
    if (ms <= 0) {
      std::fprintf(stderr, "krelvon-samples: MS must be a positive number\n");
      return 2;
    }
    const auto machine = argc == 5 ? krelvon::samples::RunnableMachine::kI386 : krelvon::samples::RunnableMachine::kX86_64;
    const krelvon::samples::Bytes b =
        krelvon::samples::make_runnable_worm_file(2, static_cast<std::uint32_t>(ms), machine);
    if (b.empty() || !krelvon::samples::write_file(argv[2], b)) {
      std::fprintf(stderr, "krelvon-samples: cannot write %s\n", argv[2]);
      return 1;
    }
    std::printf("%s\n", argv[2]);
    return 0;
  }
#ifdef KRELVON_SAMPLES_OFFLINE
  if (argc == 3 && std::strcmp(argv[1], "offline") == 0) {
    const krelvon::samples::OfflineInstallation w = krelvon::samples::write_offline_installation(argv[2]);
    for (const std::string& p : {w.software, w.system, w.worm_file, w.helper_file, w.hosts[0], w.hosts[1]})
      std::printf("%s\n", p.c_str());
    return w.ok ? 0 : 1;
  }
#endif
  std::fprintf(stderr,
               "usage: krelvon-samples demo FOLDER | corpus FOLDER N | disk FOLDER N LIBRARIES | offline FOLDER"
               " | runnable FILE MS [pe32]\n");
  return 2;
}
