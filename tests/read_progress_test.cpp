// The progress line of a long read: its text, the counter the readers feed,
// and the line drawn on a pseudo-terminal and on nothing else.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "read/coo_matrix.hpp"
#include "read/progress.hpp"
#include "test_support.hpp"

using namespace spmv;

namespace {

// The figures of a read, as in the usage example.
TEST(ProgressText, AmountOfTotalRateAndTimeLeft) {
  EXPECT_EQ(progress_text("m.mtx", 1'200'000'000, 4'000'000'000, 1.4e9, 80),
            "spmv: reading m.mtx: 1.2 of 4.0 GB, 1.4 GB/s, 2 s left");
  EXPECT_EQ(progress_text("m.mtx", 1'200'000'000, 4'000'000'000, 850e6, 80),
            "spmv: reading m.mtx: 1.2 of 4.0 GB, 850 MB/s, 4 s left");
  EXPECT_EQ(progress_text("a b", 512, 900, 12, 80),
            "spmv: reading a b: 512 of 900 B, 12 B/s, 33 s left");
}

TEST(ProgressText, LongerTimesInMinutesAndHours) {
  EXPECT_EQ(progress_text("m", 0, 150'000'000'000, 1e9, 80),
            "spmv: reading m: 0.0 of 150.0 GB, 1.0 GB/s, 2 min 30 s left");
  EXPECT_EQ(progress_text("m", 0, 4'000'000'000'000, 1e9, 80),
            "spmv: reading m: 0.0 of 4.0 TB, 1.0 GB/s, 1 h 6 min left");
}

TEST(ProgressText, WithoutTotalOrRate) {
  EXPECT_EQ(progress_text("m", 5'000'000, 0, 2.5e6, 80), "spmv: reading m: 5.0 MB, 2.5 MB/s");
  EXPECT_EQ(progress_text("m", 5'000'000, 8'000'000, 0, 80),
            "spmv: reading m: 5.0 of 8.0 MB, 0 B/s");
}

TEST(ProgressText, NeverMoreThanTheTotal) {
  EXPECT_EQ(progress_text("m", 9'000, 8'000, 1e3, 80),
            "spmv: reading m: 8.0 of 8.0 kB, 1.0 kB/s, 0 s left");
  // Shown as all of it: no second left, however slow the last bytes.
  EXPECT_EQ(progress_text("m", 7'990, 8'000, 1e3, 80),
            "spmv: reading m: 8.0 of 8.0 kB, 1.0 kB/s, 0 s left");
}

TEST(ProgressText, ALongPathLosesItsStart) {
  const std::string path = "/very/long/folder/" + std::string(100, 'x') + "/matrix.mtx";
  const std::string text = progress_text(path, 1'000'000, 2'000'000, 1e6, 80);
  EXPECT_EQ(text.size(), 79u);
  EXPECT_EQ(text.rfind("spmv: reading ...", 0), 0u) << text;
  EXPECT_NE(text.find("xxx/matrix.mtx: 1.0 of 2.0 MB, 1.0 MB/s, 1 s left"), std::string::npos)
      << text;
}

TEST(ProgressText, ShortenedOnACharacterBoundary) {
  std::string path;
  for (int i = 0; i < 60; ++i) path += "\xc3\xa9";  // é in UTF-8
  const std::string text = progress_text(path, 1, 2, 1, 60);
  EXPECT_LE(text.size(), 59u);
  const std::size_t tail = std::string("spmv: reading ...").size();
  ASSERT_GT(text.size(), tail);
  EXPECT_EQ(static_cast<unsigned char>(text[tail]), 0xc3) << text;
}

TEST(ProgressText, ATinyTerminalGetsTheStart) {
  EXPECT_EQ(progress_text("m", 1, 2, 1, 11), "spmv: read");
  EXPECT_EQ(progress_text("m", 1, 2, 1, 0), "");
}

// A matrix of `entries` lines, in a file of the test's own.
std::string matrix_file(const std::string& name, int entries) {
  std::string text = "0 100 " + std::to_string(entries) + "\n";
  for (int i = 0; i < entries; ++i) {
    text += std::to_string(i % 100 + 1) + " " + std::to_string(i * 7 % 100 + 1) + " 1.5\n";
  }
  return write_temp_file(name, text);
}

// Both passes count their bytes, read by one reader or by four. The first
// pass reads every byte; each of the second pass's readers reads all but the
// header and the ends of lines that straddle its part, never a byte twice.
TEST(ReadProgressCounter, BothPassesCountTheirBytesWithOneOrFourReaders) {
  const std::string path = matrix_file("progress.txt", 2000);
  const auto size = static_cast<std::int64_t>(read_text(path).size());
  for (const int readers : {1, 4}) {
    SCOPED_TRACE(readers);
    ReadProgress progress;
    ReadOptions options;
    options.block_bytes = 100;
    options.min_part_bytes = 1;
    options.parts_limited_by_cores = false;
    options.progress = &progress;
    ReadReport how;
    const Outcome<CooMatrix> read = read_coo_matrix(path, readers, options, &how);
    ASSERT_FALSE(read.failure);
    ASSERT_EQ(how.readers, readers);
    EXPECT_EQ(progress.total.load(), 2 * size);
    EXPECT_LE(progress.done.load(), 2 * size);
    const std::int64_t uncounted_at_most = readers == 1 ? 0 : readers * 20;
    EXPECT_GE(progress.done.load(), 2 * size - uncounted_at_most);
  }
}

// A pseudo-terminal: the program writes to `terminal`, the test reads
// `master`; both are closed at the end of the scope.
struct PseudoTerminal {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  int terminal = master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0
                     ? ::open(ptsname(master), O_RDWR | O_NOCTTY)
                     : -1;
  PseudoTerminal() = default;
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;
  ~PseudoTerminal() {
    if (terminal >= 0) close(terminal);
    if (master >= 0) close(master);
  }
  bool open() const { return terminal >= 0; }
};

// Everything the pseudo-terminal's master side holds now.
std::string drain(int master) {
  std::string text;
  char chunk[4096];
  pollfd ready{master, POLLIN, 0};
  while (poll(&ready, 1, 200) == 1 && (ready.revents & POLLIN) != 0) {
    const ssize_t got = read(master, chunk, sizeof chunk);
    if (got <= 0) break;
    text.append(chunk, static_cast<std::size_t>(got));
  }
  return text;
}

TEST(ProgressLine, NothingWhereTheOutputIsNoTerminal) {
  int pipe_ends[2];
  ASSERT_EQ(pipe(pipe_ends), 0);
  {
    ProgressLine line("m", pipe_ends[1], ProgressTiming{std::chrono::milliseconds(0)});
    EXPECT_EQ(line.counter(), nullptr);
  }
  close(pipe_ends[1]);
  char byte;
  EXPECT_EQ(read(pipe_ends[0], &byte, 1), 0);
  close(pipe_ends[0]);
}

// A progress line drawn on a pseudo-terminal of the test's own.
class ProgressLineOnTerminal : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(pty.open()) << std::strerror(errno); }
  PseudoTerminal pty;
};

TEST_F(ProgressLineOnTerminal, DrawnAndErasedWhenStopped) {
  std::string text;
  {
    ProgressLine line("dir/m\x1b.mtx", pty.terminal,
                      ProgressTiming{std::chrono::milliseconds(0), std::chrono::milliseconds(10)});
    ReadProgress* counter = line.counter();
    ASSERT_NE(counter, nullptr);
    counter->expect(2000);
    counter->add(500);
    // Waits for a line with these figures, however loaded the machine.
    const std::string midway = "\rspmv: reading dir/m\\x1b.mtx: 0.5 of 2.0 kB, ";
    char chunk[4096];
    pollfd ready{pty.master, POLLIN, 0};
    for (int wait = 0; wait < 100 && text.find(midway) == std::string::npos; ++wait) {
      if (poll(&ready, 1, 100) != 1) continue;
      const ssize_t got = read(pty.master, chunk, sizeof chunk);
      if (got > 0) text.append(chunk, static_cast<std::size_t>(got));
    }
    ASSERT_NE(text.find(midway), std::string::npos) << text;
    counter->add(1500);  // the read ends between two redraws
    line.stop();
    line.stop();  // a second stop does nothing
  }
  text += drain(pty.master);
  EXPECT_EQ(text.rfind("\rspmv: reading dir/m\\x1b.mtx: ", 0), 0u) << text;
  const std::size_t last = text.rfind("\rspmv: reading ");
  ASSERT_NE(last, std::string::npos) << text;
  const std::string at_end = "\rspmv: reading dir/m\\x1b.mtx: 2.0 of 2.0 kB, ";
  EXPECT_EQ(text.compare(last, at_end.size(), at_end), 0)
      << "the last line shows the figures at the end: " << text;
  ASSERT_GE(text.size(), 4u);
  EXPECT_EQ(text.substr(text.size() - 4), "\r\x1b[K") << text;
  EXPECT_EQ(text.find("\r\x1b[K"), text.size() - 4) << "erased only at the end: " << text;
}

TEST_F(ProgressLineOnTerminal, NotDrawnBeforeTheDelay) {
  {
    ProgressLine line("m", pty.terminal,
                      ProgressTiming{std::chrono::seconds(60), std::chrono::milliseconds(10)});
    ASSERT_NE(line.counter(), nullptr);
    line.counter()->add(10);
    usleep(50'000);
  }
  EXPECT_EQ(drain(pty.master), "");
}

}  // namespace
