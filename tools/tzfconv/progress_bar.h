// A one-line progress bar on stderr for conversions that take a while. For
// a single picture it follows the rows and is drawn once the picture has
// taken longer than kSingleDelay; a batch's bar counts the pictures done
// (whichever finished last is named) and is drawn at once:
//   [12/40] name.tzf ######..............  30%
// Nothing is drawn unless stderr is a terminal.
#ifndef TZF_TOOLS_TZFCONV_PROGRESS_BAR_H
#define TZF_TOOLS_TZFCONV_PROGRESS_BAR_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "plugin/tzf_filter.h"

namespace tzf::conv {

using Clock = std::chrono::steady_clock;

inline constexpr std::chrono::milliseconds kSingleDelay{300};
inline constexpr std::chrono::milliseconds kRedrawInterval{50};
inline constexpr int kBarCells = 20;
inline constexpr size_t kMaxNameLength = 32;

struct ProgressBar {
  std::FILE* stream = nullptr;  // null: never draw
  int count = 0;                // pictures in the run
  int index = 0;                // 1-based number of the current picture
  std::string name;             // current picture, as shown
  Clock::time_point started{};  // of the current picture
  Clock::time_point drawn{};    // last redraw
  int percent = -1;             // last percentage drawn
  size_t shown_length = 0;      // characters on screen; 0 when nothing is shown
};

// True when `stream` is a terminal.
bool IsTerminal(std::FILE* stream);

// The text of one bar line (no carriage return). `name` longer than
// kMaxNameLength is shortened from the left.
std::string FormatProgressLine(int index, int count, const std::string& name, int64_t done,
                               int64_t total);

// Starts a new picture. `stream` null keeps the bar silent.
void ProgressBegin(ProgressBar& bar, int index, const std::string& name);

// Redraws when due; cheap when nothing changed.
void ProgressUpdate(ProgressBar& bar, int64_t done, int64_t total);

// A batch's bar counts pictures: `finished` of bar.count are done, `name`
// the last one. Redraws when due.
void ProgressPictureDone(ProgressBar& bar, int finished, const std::string& name);

// Removes the bar from the screen (before any other message is printed).
void ProgressClear(ProgressBar& bar);

// The filter's progress callback; host_data is the ProgressBar's address.
// Never cancels.
int32_t TZF_CALL ProgressCallbackForBar(int32_t rows_done, int32_t total_rows, intptr_t host_data);

}  // namespace tzf::conv

#endif  // TZF_TOOLS_TZFCONV_PROGRESS_BAR_H
