// The progress line of a long read: its text, and the thread that draws it.
#include "read/progress.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <system_error>

#include "read/matrix_file.hpp"
#include "read/messages.hpp"

namespace spmv {

namespace {

// Width assumed when the terminal does not tell its own.
constexpr int default_columns = 80;

// Seconds over which the rate is measured: long enough to be steady, short
// enough to follow the change from the first pass to the slower second.
constexpr double rate_window_seconds = 2.0;

// A decimal unit for amounts up to `bytes`.
struct Unit {
  double size;
  const char* name;
};

Unit unit_for(double bytes) {
  if (bytes >= 1e12) return {1e12, "TB"};
  if (bytes >= 1e9) return {1e9, "GB"};
  if (bytes >= 1e6) return {1e6, "MB"};
  if (bytes >= 1e3) return {1e3, "kB"};
  return {1, "B"};
}

// An amount in `unit`: whole bytes, else one decimal.
std::string amount(double bytes, const Unit& unit) {
  char text[32];
  if (unit.size == 1) {
    std::snprintf(text, sizeof text, "%.0f", bytes);
  } else {
    std::snprintf(text, sizeof text, "%.1f", bytes / unit.size);
  }
  return text;
}

// "850 MB/s", "1.2 GB/s": one decimal below 10 of the unit.
std::string rate_text(double bytes_per_second) {
  const Unit unit = unit_for(bytes_per_second);
  const double value = bytes_per_second / unit.size;
  char text[48];
  std::snprintf(text, sizeof text, value < 10 && unit.size > 1 ? "%.1f %s/s" : "%.0f %s/s", value,
                unit.name);
  return text;
}

// "3 s left", "2 min 5 s left", "1 h 20 min left".
std::string time_left_text(double seconds) {
  const auto whole = static_cast<std::int64_t>(std::ceil(seconds));
  char text[64];
  if (whole < 60) {
    std::snprintf(text, sizeof text, "%lld s left", static_cast<long long>(whole));
  } else if (whole < 3600) {
    std::snprintf(text, sizeof text, "%lld min %lld s left", static_cast<long long>(whole / 60),
                  static_cast<long long>(whole % 60));
  } else {
    std::snprintf(text, sizeof text, "%lld h %lld min left", static_cast<long long>(whole / 3600),
                  static_cast<long long>(whole % 3600 / 60));
  }
  return text;
}

// The last `keep` bytes of `path` after "...", starting on a character.
std::string path_tail(const std::string& path, std::size_t keep) {
  std::size_t from = path.size() - keep;
  while (from < path.size() && (static_cast<unsigned char>(path[from]) & 0xc0) == 0x80) ++from;
  return "..." + path.substr(from);
}

// Columns of the terminal at fd.
int terminal_columns(int fd) {
  winsize size{};
  if (ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return default_columns;
}

}  // namespace

ProgressTiming progress_timing_from_environment() {
  ProgressTiming timing;
  const char* text = std::getenv("SPMV_PROGRESS_DELAY_MS");
  if (text == nullptr || *text == '\0') return timing;
  char* end = nullptr;
  errno = 0;
  const long long milliseconds = std::strtoll(text, &end, 10);
  if (*end == '\0' && errno == 0 && milliseconds >= 0) {
    timing.delay = std::chrono::milliseconds(milliseconds);
  }
  return timing;
}

std::string progress_text(const std::string& shown_path, std::int64_t done, std::int64_t total,
                          double bytes_per_second, int columns) {
  if (total > 0) done = std::min(done, total);
  const Unit unit = unit_for(static_cast<double>(std::max(done, total)));
  const std::string done_text = amount(static_cast<double>(done), unit);
  const std::string total_text = amount(static_cast<double>(total), unit);
  std::string figures = done_text;
  if (total > 0) figures += " of " + total_text;
  figures += std::string(" ") + unit.name + ", " + rate_text(bytes_per_second);
  if (total > 0 && bytes_per_second > 0) {
    // A line that shows the whole amount read shows no time left either.
    const double left = done_text == total_text ? 0 : static_cast<double>(total - done);
    figures += ", " + time_left_text(left / bytes_per_second);
  }
  const std::string prefix = "spmv: reading ";
  const std::string middle = ": ";
  const auto width = static_cast<std::size_t>(std::max(columns - 1, 0));
  std::string text = prefix + shown_path + middle + figures;
  if (text.size() > width) {
    const std::size_t fixed = prefix.size() + middle.size() + figures.size() + 3;
    const std::size_t keep = width > fixed ? width - fixed : 0;
    text = prefix + path_tail(shown_path, std::min(keep, shown_path.size())) + middle + figures;
  }
  if (text.size() > width) text.resize(width);
  return text;
}

ProgressLine::ProgressLine(const std::string& path, int fd) {
  if (isatty(fd) != 1) return;
  fd_ = fd;
  start(path, progress_timing_from_environment());
}

ProgressLine::ProgressLine(const std::string& path, int fd, const ProgressTiming& timing) {
  if (isatty(fd) != 1) return;
  fd_ = fd;
  start(path, timing);
}

ProgressLine::~ProgressLine() {
  stop();
}

void ProgressLine::start(const std::string& path, const ProgressTiming& timing) {
  timing_ = timing;
  timing_.interval = std::max(timing_.interval, std::chrono::milliseconds(1));
  shown_path_ = printable_path(path);
  started_ = Clock::now();
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error&) {
    // No thread, no line: the read goes on without it.
  }
}

void ProgressLine::stop() {
  if (!thread_.joinable()) return;
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void ProgressLine::run() {
  struct Sample {
    Clock::time_point at;
    std::int64_t done;
  };
  std::deque<Sample> recent{{started_, 0}};
  // Bytes per second over the samples of the last rate_window_seconds.
  const auto rate = [&recent](Clock::time_point now, std::int64_t done) {
    while (recent.size() > 1 &&
           std::chrono::duration<double>(now - recent[1].at).count() >= rate_window_seconds) {
      recent.pop_front();
    }
    const double seconds = std::chrono::duration<double>(now - recent.front().at).count();
    const double rate_now =
        seconds > 0 ? static_cast<double>(done - recent.front().done) / seconds : 0.0;
    recent.push_back({now, done});
    return rate_now;
  };
  std::unique_lock lock(mutex_);
  Clock::time_point next = started_ + timing_.interval;
  while (!wake_.wait_until(lock, next, [this] { return stopping_; })) {
    const Clock::time_point now = Clock::now();
    const double bytes_per_second = rate(now, progress_.done.load(std::memory_order_relaxed));
    if (now - started_ >= timing_.delay) draw(bytes_per_second);
    next += timing_.interval;
    if (next < now) next = now + timing_.interval;  // after a stall, no burst of redraws
  }
  // The last figures are drawn once more before the erasure, so that a line
  // drawn early in the read does not stay the last one shown.
  const Clock::time_point now = Clock::now();
  if (now - started_ >= timing_.delay) {
    draw(rate(now, progress_.done.load(std::memory_order_relaxed)));
  }
  if (drawn_) write_all(fd_, "\r\033[K", 4);
}

void ProgressLine::draw(double bytes_per_second) {
  const std::string text = progress_text(
      shown_path_, progress_.done.load(std::memory_order_relaxed),
      progress_.total.load(std::memory_order_relaxed), bytes_per_second, terminal_columns(fd_));
  // A terminal that cannot be written to shows no progress; the read goes on.
  const std::string line = "\r" + text + "\033[K";
  write_all(fd_, line.data(), line.size());
  drawn_ = true;
}

}  // namespace spmv
