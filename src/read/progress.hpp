// Progress of a long read on standard error: one line, rewritten in place a
// few times a second while the matrix file is read, and erased when the read
// ends. It is shown only where standard error is a terminal; anywhere else
// there is no counter, no thread and no output at all.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace spmv {

// Bytes read so far, and bytes the whole read is expected to take. Readers
// add to `done` once per block they read. Each stage adds what it is about to
// read to the total before it starts: the first pass adds twice the file
// size, for itself and the second pass; a stage that reads before the passes
// (decompressing the file, say) adds its own bytes with expect() and reports
// them with add().
struct ReadProgress {
  std::atomic<std::int64_t> done{0};   // bytes read so far, by every reader
  std::atomic<std::int64_t> total{0};  // bytes the read will take; 0 while unknown

  void add(std::int64_t bytes) { done.fetch_add(bytes, std::memory_order_relaxed); }
  void expect(std::int64_t bytes) { total.fetch_add(bytes, std::memory_order_relaxed); }
};

// When the line appears and how often it is redrawn.
struct ProgressTiming {
  std::chrono::milliseconds delay{1000};    // read time before the line first appears
  std::chrono::milliseconds interval{200};  // time between redraws
};

// The usual timing, with the delay replaced by SPMV_PROGRESS_DELAY_MS when
// that holds a whole number of milliseconds (a testing aid: 0 shows the line
// on reads of any length).
ProgressTiming progress_timing_from_environment();

// The text of the line, without the control sequences around it:
//   "spmv: reading PATH: 1.2 of 4.0 GB, 850 MB/s, 3 s left"
// `shown_path` is already printable. Without a total the amount stands alone
// and no time is estimated; without a rate there is no time left. The text
// stays within columns - 1 bytes, so that the terminal never wraps it: the
// path loses its start first ("...end/of/path"), then the text its end.
std::string progress_text(const std::string& shown_path, std::int64_t done, std::int64_t total,
                          double bytes_per_second, int columns);

// The line itself, drawn by its own thread from a ReadProgress it owns. The
// thread wakes every interval, draws once the read has taken longer than the
// delay, and is stopped by stop() or the destructor, which erase the line, so
// that whatever the program writes next starts on a clean line.
class ProgressLine {
 public:
  // Shows the progress of reading `path` on `fd` when fd is a terminal,
  // with the timing from the environment; otherwise does nothing at all.
  ProgressLine(const std::string& path, int fd);
  // The same with a given timing.
  ProgressLine(const std::string& path, int fd, const ProgressTiming& timing);
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;
  ~ProgressLine();

  // The counter for the readers, or null when no line is shown.
  ReadProgress* counter() { return thread_.joinable() ? &progress_ : nullptr; }

  // Stops the thread and erases the line, if one was drawn. A read that ends
  // after the delay has its final figures drawn once more before the line is
  // erased. Later calls do nothing.
  void stop();

 private:
  using Clock = std::chrono::steady_clock;

  void start(const std::string& path, const ProgressTiming& timing);
  void run();
  void draw(double bytes_per_second);

  int fd_ = -1;
  ProgressTiming timing_;
  std::string shown_path_;
  Clock::time_point started_;
  ReadProgress progress_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;  // guarded by mutex_
  bool drawn_ = false;     // only the drawing thread touches it
  std::thread thread_;
};

}  // namespace spmv
