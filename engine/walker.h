// The directory walker, the threat table, the message pump and the display
// shortening.
#pragma once

#include <cstdint>

namespace krelvon {

// A file handler: detection name of its table entry and the full path of the
// file. Nonzero means the file has been dealt with and no later handler of
// the table runs for it.
using FileHandler = int (*)(const char* detection_name, const char* path);

struct ThreatEntry {
  const char* detection_name;  // null ends the table
  FileHandler handler;
};

// The table that Walk runs on every file; the worm-file handler first, the
// infected-file handler after it.
extern const ThreatEntry kThreatTable[];

// The table the walker uses; kThreatTable unless a test has put another one
// in place (an empty table, or a recording handler).
void set_threat_table(const ThreatEntry* table);
const ThreatEntry* threat_table();

// Calls the handlers in table order, stopping at the first nonzero result.
void run_threat_table(const char* path);

// Walks a folder mask ending in "<sep>*.*", or in the memory phase the full
// path of one file. Returns the files-scanned counter when the walk ran to
// its end, 0 when the cancel flag stopped it, -1 when a mask it had to cut
// held no '.'. A combined path or mask that would not fit in MAX_PATH
// characters is skipped: that entry is neither shown, counted nor checked
// (for a folder: not entered), and the walk goes on with the next entry.
int walk(const char* mask);

// Removes one pending window message and dispatches it; an Escape key asks
// "Terminate the Scan now?", WM_QUIT and WM_DESTROY set the cancel flag.
void message_pump();

// Writes source into destination, shortened to at most n characters as the
// first n/2-1 characters, dots, and the last n/2-1 characters. destination
// must hold 100 characters; n must stay below 100.
void shorten_for_display(const char* source, char* destination, std::int16_t n);

// The display length of paths in the status line and the prompt.
inline constexpr std::int16_t kDisplayLength = 60;

}  // namespace krelvon
