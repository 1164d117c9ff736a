// krelvon-samples: writes inert test inputs.
//   krelvon-samples demo FOLDER       a demonstration folder
//   krelvon-samples corpus FOLDER N   N files; prints the planted samples' paths
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/samples.h"

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
  std::fprintf(stderr, "usage: krelvon-samples demo FOLDER | corpus FOLDER N\n");
  return 2;
}
