// Stands for the web browser in the GUI tests. The prefix's "open" command
// for http addresses runs it as `krelvon_url_recorder RECORD ADDRESS`; it
// writes ADDRESS as one line into the file RECORD and ends.
#include <windows.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  // Written beside the record and moved over it, so a reader never sees a
  // half-written line.
  const std::string record = argv[1];
  const std::string part = record + ".part";
  FILE* file = std::fopen(part.c_str(), "wb");
  if (file == nullptr) return 1;
  for (int i = 2; i < argc; ++i) std::fprintf(file, "%s\n", argv[i]);
  std::fclose(file);
  return MoveFileExA(part.c_str(), record.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
