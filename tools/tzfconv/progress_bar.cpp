#include "tzfconv/progress_bar.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace tzf::conv {

bool IsTerminal(std::FILE* stream) {
#if defined(_WIN32)
  return _isatty(_fileno(stream)) != 0;
#else
  return isatty(fileno(stream)) != 0;
#endif
}

std::string FormatProgressLine(int index, int count, const std::string& name, int64_t done,
                               int64_t total) {
  int percent = 0;
  if (total > 0) {
    if (done >= total) {
      percent = 100;
    } else if (done > 0) {
      percent = static_cast<int>(done * 100 / total);
    }
  }
  std::string line;
  if (count > 1) {
    line += '[';
    line += std::to_string(index);
    line += '/';
    line += std::to_string(count);
    line += "] ";
  }
  if (name.size() > kMaxNameLength) {
    line += "..." + name.substr(name.size() - (kMaxNameLength - 3));
  } else {
    line += name;
  }
  line += ' ';
  const int filled = percent * kBarCells / 100;
  line.append(static_cast<size_t>(filled), '#');
  line.append(static_cast<size_t>(kBarCells - filled), '.');
  const std::string number = std::to_string(percent);
  line.append(5 - number.size(), ' ');
  line += number;
  line += '%';
  return line;
}

void ProgressBegin(ProgressBar& bar, int index, const std::string& name) {
  bar.index = index;
  bar.name = name;
  bar.started = Clock::now();
  bar.drawn = Clock::time_point{};
  bar.percent = -1;
}

void ProgressUpdate(ProgressBar& bar, int64_t done, int64_t total) {
  if (bar.stream == nullptr) return;
  const Clock::time_point now = Clock::now();
  if (bar.count <= 1 && now - bar.started < kSingleDelay) return;
  const int percent = total > 0 ? static_cast<int>((done < total ? done : total) * 100 / total) : 0;
  if (percent == bar.percent) return;
  if (percent != 100 && bar.shown_length > 0 && now - bar.drawn < kRedrawInterval) return;
  const std::string line = FormatProgressLine(bar.index, bar.count, bar.name, done, total);
  std::string text = "\r" + line;
  if (line.size() < bar.shown_length) text.append(bar.shown_length - line.size(), ' ');
  std::fputs(text.c_str(), bar.stream);
  std::fflush(bar.stream);
  bar.shown_length = line.size();
  bar.percent = percent;
  bar.drawn = now;
}

void ProgressPictureDone(ProgressBar& bar, int finished, const std::string& name) {
  bar.index = finished;
  bar.name = name;
  ProgressUpdate(bar, finished, bar.count);
}

void ProgressClear(ProgressBar& bar) {
  if (bar.stream == nullptr || bar.shown_length == 0) return;
  std::string text = "\r";
  text.append(bar.shown_length, ' ');
  text += '\r';
  std::fputs(text.c_str(), bar.stream);
  std::fflush(bar.stream);
  bar.shown_length = 0;
  bar.percent = -1;
}

int32_t TZF_CALL ProgressCallbackForBar(int32_t rows_done, int32_t total_rows, intptr_t host_data) {
  ProgressBar* bar = reinterpret_cast<ProgressBar*>(host_data);
  if (bar != nullptr) ProgressUpdate(*bar, rows_done, total_rows);
  return 0;
}

}  // namespace tzf::conv
