// The matrix reader: good files against the stdio reference, files whose
// layout the reference reads wrongly, and a folder of files it must refuse.

// libstdc++'s <regex>, inlined under the sanitizers, trips g++ 12's
// maybe-uninitialized check inside the library's own automaton (a false
// positive), wherever its headers come in; the check stays on for every
// other file.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "read/coo_matrix.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <random>
#include <regex>

#include "decimal_strings.hpp"
#include "multiply/parallel_multiply.hpp"
#include "read/line_count.hpp"
#include "read/second_pass.hpp"
#include "read/text_fields.hpp"
#include "stdio_reference.hpp"
#include "test_support.hpp"

using namespace spmv;

namespace {

// Hand-picked value spellings: edges of the fast conversion and beyond it.
const char* const value_spellings[] = {"9999999999999999999",
                                       "18446744073709551615",
                                       "1e27",
                                       "1e28",
                                       "1e-27",
                                       "1e-28",
                                       "1234567890123456789e-27",
                                       "0.000000000000000000000000000001",
                                       "-0",
                                       "+0.0e-999",
                                       "4.9406564584124654e-4951",
                                       "1.18973149535723176502e+4932",
                                       "1e99999",
                                       "0x1.8p3",
                                       "inf",
                                       "-nan",
                                       "1.",
                                       ".5",
                                       "00000000000000000000000000001.5",
                                       "1e0000000000000000000000027",
                                       "1e-000000000000000000000000000000001",
                                       "+1",
                                       "-1.5E+0027",
                                       "1234567890123456.123",
                                       "9999999999999999.999",
                                       "0.0000000000000001",
                                       "0.12345678901234567",
                                       "12345678901234567",
                                       "1.5e-0028"};

// How a test reads a file: block size, number of parallel readers, and the
// scanner of entry lines.
struct ReadWay {
  std::size_t block;
  std::int32_t threads;
  ScanPath scan = chosen_scan_path();
};

// The scan paths this processor can run, from the baseline up. Each one it
// cannot run is named once on standard error, so that a run on an older
// processor shows what its tests left out.
const std::vector<ScanPath>& scan_paths() {
  static const std::vector<ScanPath> paths = [] {
    std::vector<ScanPath> runnable;
    for (const ScanPath path : all_scan_paths) {
      if (scan_path_supported(path)) {
        runnable.push_back(path);
      } else {
        std::cerr << "[ SKIPPED  ] the " << scan_path_name(path)
                  << " scan path: this processor cannot run it\n";
      }
    }
    return runnable;
  }();
  return paths;
}

// The way `way` under another scan path.
ReadWay under(ReadWay way, ScanPath scan) {
  way.scan = scan;
  return way;
}

// Ways that split small files at every kind of place: one-byte blocks, parts
// of a few bytes, and more readers than lines.
const ReadWay read_ways[] = {{1, 1}, {7, 1}, {1 << 20, 1}, {3, 2}, {64, 3}, {5, 8}, {1 << 20, 4}};

// Every one of read_ways under every scan path this processor runs.
const std::vector<ReadWay>& every_way() {
  static const std::vector<ReadWay> ways = [] {
    std::vector<ReadWay> all;
    for (const ScanPath scan : scan_paths()) {
      for (const ReadWay& way : read_ways) all.push_back(under(way, scan));
    }
    return all;
  }();
  return ways;
}

// Reader options that give every thread a part, however small the file.
ReadOptions options_for(const ReadWay& way) {
  ReadOptions options;
  options.block_bytes = way.block;
  options.min_part_bytes = 1;
  options.parts_limited_by_cores = false;
  options.scan_path = way.scan;
  return options;
}

// Reads a file through both passes, as the program does; `report` tells how
// the second pass went.
Outcome<CooMatrix> read_matrix(const std::string& path, ReadWay way = {1 << 20, 1},
                               ReadReport* report = nullptr) {
  const ReadOptions options = options_for(way);
  const Outcome<LineCount> lines = count_lines(path, way.threads, options);
  if (lines.failure) return Outcome<CooMatrix>{CooMatrix{}, lines.failure};
  return read_entries(path, lines.value, way.threads, options, report);
}

// The number of parts that a read way splits a file into.
std::int32_t parts_of(const std::string& path, ReadWay way) {
  return static_cast<std::int32_t>(
      count_lines(path, way.threads, options_for(way)).value.part_begin.size());
}

std::string describe(const ReadWay& way) {
  return " read in blocks of " + std::to_string(way.block) + " by " + std::to_string(way.threads) +
         " on the " + scan_path_name(way.scan) + " path";
}

// True when an entry line (without its newline) has the common shape that a
// vector scanner reads itself instead of leaving it to the baseline: under
// 64 bytes, "ROW COL VALUE" (or "ROW COL" in a pattern file) with single
// spaces, indices of 1 to 10 digits within 1..rows and 1..columns (no
// diagonal entry in a skew-symmetric file), and a value [sign] 1-16 digits
// [. 0-16 digits] [e|E [sign] 1-4 digits], 19 digits at most and 8 at most
// before a point, whose last
// digit's decimal exponent is 0 or within +-27 so that no strtold is needed.
bool common_shape(const std::string& line, std::int64_t rows, std::int64_t columns, bool pattern,
                  bool skew) {
  static const std::regex entry(
      "([0-9]{1,10}) ([0-9]{1,10})( "
      "[+-]?([0-9]{1,16})(\\.([0-9]{0,16}))?([eE]([+-]?[0-9]{1,4}))?)?");
  std::smatch field;
  if (line.size() >= 64 || !std::regex_match(line, field, entry)) return false;
  const std::int64_t row = std::stoll(field[1]);
  const std::int64_t col = std::stoll(field[2]);
  if (row < 1 || row > rows || col < 1 || col > columns || (skew && row == col)) return false;
  if (pattern) return !field[3].matched;
  if (!field[3].matched || field[4].length() + field[6].length() > 19 ||
      (field[5].matched && field[4].length() > 8)) {
    return false;
  }
  const std::int64_t exponent =
      (field[8].matched ? std::stoll(field[8]) : 0) - static_cast<std::int64_t>(field[6].length());
  return exponent == 0 || (exponent >= -27 && exponent <= 27);
}

// The entry lines of a well-formed file that have the common shape.
std::int64_t common_shape_lines(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  const bool market = line.starts_with("%%MatrixMarket");
  std::transform(line.begin(), line.end(), line.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const bool pattern = market && line.find(" pattern ") != std::string::npos;
  const bool skew = market && line.find(" skew-symmetric") != std::string::npos;
  // The banner, comments (after blanks or not) and blank lines before the header.
  for (std::size_t first_mark = line.find_first_not_of(" \t\r");
       first_mark == std::string::npos || (market && line[first_mark] == '%');
       first_mark = line.find_first_not_of(" \t\r")) {
    if (!std::getline(in, line)) return 0;
  }
  std::istringstream header(line);
  std::int64_t first = 0;
  std::int64_t n = 0;
  header >> first >> n;
  std::int64_t common = 0;
  while (std::getline(in, line)) common += common_shape(line, market ? first : n, n, pattern, skew);
  return common;
}

// The entry lines that a read scanned: none on the baseline path, and every
// one of the common shape on a vector path.
void expect_scanned(const ReadReport& report, const ReadWay& way, std::int64_t common) {
  EXPECT_EQ(report.scan_path, way.scan);
  EXPECT_EQ(report.scanned_lines, way.scan == ScanPath::baseline ? 0 : common);
}

// Reads a well-formed file under `way` and checks how it went: no refusal,
// no fallback to one reader, one reader per part, and the lines of the
// common shape scanned.
Outcome<CooMatrix> read_well_formed(const std::string& path, ReadWay way) {
  ReadReport report;
  Outcome<CooMatrix> read = read_matrix(path, way, &report);
  if (read.failure) {
    ADD_FAILURE() << read.failure->message;
    return read;
  }
  EXPECT_EQ(report.fallback, "");
  EXPECT_EQ(report.readers, parts_of(path, way));
  expect_scanned(report, way, common_shape_lines(path));
  return read;
}

// Checks that the reader gives exactly what the stdio reference gives, and
// that a file split into parts was read by one reader per part.
void expect_same_as_reference(const std::string& path, ReadWay way) {
  SCOPED_TRACE(path + describe(way));
  const Outcome<CooMatrix> read = read_well_formed(path, way);
  ASSERT_FALSE(read.failure);
  const ReferenceMatrix expected = stdio_read(path);
  const CooMatrix& m = read.value;
  ASSERT_EQ(m.shape.columns, expected.n);
  ASSERT_EQ(m.nnz, expected.nnz);
  for (std::int64_t k = 0; k < m.nnz; ++k) {
    EXPECT_EQ(m.row_index[k], expected.row[k]) << "slot " << k;
    EXPECT_EQ(m.col_index[k], expected.col[k]) << "slot " << k;
    EXPECT_TRUE(same_bits(slot_value(m, k), expected.value[k]))
        << "slot " << k << ": " << slot_value(m, k) << " vs " << expected.value[k];
  }
}

std::vector<std::string> files_in(const std::string& folder) {
  std::vector<std::string> paths;
  for (const auto& entry : std::filesystem::directory_iterator(test_data + "/" + folder)) {
    paths.push_back(entry.path().string());
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

TEST(CooMatrixReader, GoodFilesMatchTheStdioReferenceUnderEveryBlockSize) {
  const auto paths = files_in("good");
  ASSERT_GE(paths.size(), 5u);
  for (const auto& path : paths) {
    for (const ReadWay& way : every_way()) expect_same_as_reference(path, way);
  }
}

// A random well-formed file of many value spellings, split across blocks at
// every kind of place.
TEST(CooMatrixReader, RandomFileMatchesTheStdioReference) {
  std::mt19937_64 random(20261208);
  const int n = 300;
  const int nnz = 5000;
  std::string text = std::to_string(n) + " " + std::to_string(n) + " " + std::to_string(nnz) + "\n";
  const char* formats[] = {"%d %d %.17Le\n", "%d %d %.3Lf\n", "%d  %d\t%La\n", " %d %d %.25Lg \n",
                           "%d %d %.0Lf\n"};
  std::uniform_int_distribution<int> index(1, n);
  std::uniform_real_distribution<double> mantissa(-1, 1);
  std::uniform_int_distribution<int> exponent(-40, 40);
  char line[160];
  for (int k = 0; k < nnz; ++k) {
    const Extended value =
        static_cast<Extended>(mantissa(random)) * std::pow(10.0L, exponent(random));
    std::snprintf(line, sizeof line, formats[k % 5], index(random), index(random), value);
    text += line;
  }
  const std::string path = write_temp_file("random.txt", text);
  for (const ScanPath scan : scan_paths()) {
    for (const ReadWay& way : {ReadWay{13, 1}, ReadWay{4096, 2}, ReadWay{1 << 20, 3}}) {
      expect_same_as_reference(path, under(way, scan));
    }
  }
}

// Every value spelling, hand-picked and random, as entry lines whose indices
// have from 1 to 11 digits, read under every scan path: each value has
// strtold's bits, and a vector path scans exactly the lines of the common
// shape. The files hold all the spellings at once or one of them, with and
// without a final newline, so that a line ends anywhere in a block and
// at the end of the text.
TEST(CooMatrixReader, ValueSpellingsReadAlikeUnderEveryScanPath) {
  std::mt19937_64 random(20261209);
  std::vector<std::string> values(std::begin(value_spellings), std::end(value_spellings));
  for (int k = 0; k < 3000; ++k) values.push_back(random_decimal(random));
  const std::int64_t n = 12345678;
  const std::pair<const char*, const char*> index_pairs[] = {{"1", "1"},
                                                             {"12345678", "1"},
                                                             {"7", "12345678"},
                                                             {"012345678", "09"},
                                                             {"0000000001", "0012345678"},
                                                             {"00000000001", "1"}};
  for (const auto& [row, col] : index_pairs) {
    const std::string start = std::string(row) + " " + col + " ";
    const auto write = [&](const std::string& name, std::size_t first, std::size_t count,
                           bool final_newline) {
      std::string text =
          std::to_string(n) + " " + std::to_string(n) + " " + std::to_string(count) + "\n";
      for (std::size_t k = first; k < first + count; ++k) text += start + values[k] + "\n";
      if (!final_newline) text.pop_back();
      return write_temp_file(name, text);
    };
    struct File {
      std::string path;
      std::size_t first;
      std::size_t count;
    };
    std::vector<File> files = {{write("all.txt", 0, values.size(), true), 0, values.size()}};
    for (std::size_t k = 0; k < std::size(value_spellings); ++k) {
      files.push_back({write("one_" + std::to_string(k) + ".txt", k, 1, k % 2 == 0), k, 1});
    }
    for (const File& file : files) {
      std::int64_t common = 0;
      for (std::size_t k = file.first; k < file.first + file.count; ++k) {
        common += common_shape(start + values[k], n, n, false, false);
      }
      for (const ScanPath scan : scan_paths()) {
        for (const ReadWay way : {ReadWay{1 << 20, 1, scan}, ReadWay{61, 3, scan}}) {
          SCOPED_TRACE(start + values[file.first] + describe(way));
          ReadReport report;
          const Outcome<CooMatrix> read = read_matrix(file.path, way, &report);
          ASSERT_FALSE(read.failure) << read.failure->message;
          expect_scanned(report, way, common);
          ASSERT_EQ(read.value.nnz, static_cast<std::int64_t>(file.count));
          for (std::size_t k = 0; k < file.count; ++k) {
            const std::string& text = values[file.first + k];
            EXPECT_EQ(read.value.row_index[k], std::stoi(row));
            EXPECT_EQ(read.value.col_index[k], std::stoi(col));
            EXPECT_TRUE(same_bits(slot_value(read.value, k), std::strtold(text.c_str(), nullptr)))
                << text.substr(0, 40) << " gave " << slot_value(read.value, k);
          }
        }
      }
    }
  }
}

// Lines that a vector scanner must leave to the baseline reader, or that sit
// at the edge of what it takes: under every path each one gives strtold's
// bits of its value (as `value` spells it), or the baseline's refusal (where
// `value` is empty), and is scanned only where `scanned` says so.
TEST(CooMatrixReader, UnusualLinesReadAlikeUnderEveryScanPath) {
  const struct {
    std::string line;
    std::string value;
    bool scanned;
  } cases[] = {
      {"1\t1 5", "5", false},
      {"1 1\t5", "5", false},
      {"1 1 5\r", "5", false},
      {"1  1 5", "5", false},
      {"1 1  5", "5", false},
      {" 1 1 5", "5", false},
      {"1 1 5 ", "5", false},
      {"1 1 12345678901234567", "12345678901234567", false},
      {"1 1 1234567890123456", "1234567890123456", true},
      {"1 1 1.2345678901234567890", "1.2345678901234567890", false},
      {"1 1 1.234567890123456789", "1.234567890123456789", false},
      {"1 1 123.4567890123456789", "123.4567890123456789", true},
      {"1 1 1.0000000000000000", "1", true},
      {"1 1 1.00000000000000000", "1", false},
      {"1 1 1e00005", "1e5", false},
      {"1 1 1e0005", "1e5", true},
      {"1 1 1e27", "1e27", true},
      {"1 1 1e-27", "1e-27", true},
      {"1 1 1e28", "1e28", false},
      {"1 1 1.5e-27", "1.5e-27", false},
      {"1 1 15e-28", "15e-28", false},
      {"1 1 .5", "0.5", false},
      {"1 1 -.5", "-0.5", false},
      {"1 1 5.", "5", true},
      {"1 1 5.e1", "50", true},
      {"1 1 -0", "-0", true},
      {"1 1 -0.0e-5", "-0", true},
      {"1 1 +1", "1", true},
      {"1 1 -1E+2", "-100", true},
      {"1 1 0x1p3", "8", false},
      {"1 1 inf", "inf", false},
      {"1 1 -NaN", "-nan", false},
      {"00000000001 1 5", "5", false},
      {"0000000001 0000000001 5", "5", true},
      {"1 1 0." + std::string(70, '0') + "1", "0." + std::string(70, '0') + "1", false},
      {"1 1 1e", "", false},
      {"1 1 1e+", "", false},
      {"1 1 -", "", false},
      {"1 1 +-1", "", false},
      {"1 1 --1", "", false},
      {"1 1 1.5.", "", false},
      {"1 1 1..5", "", false},
      {"1 1 1e5e5", "", false},
      {"1 1 5x", "", false},
      {"1 1 5 6", "", false},
      {"1 1", "", false},
      {"1 1 ", "", false},
      {"1 ", "", false},
      {"1", "", false},
      {"0 1 5", "", false},
      {"1 0 5", "", false},
      {"8 1 5", "", false},
      {"1 8 5", "", false},
      {"4294967297 1 5", "", false},
      {"9999999999 1 5", "", false},
      {"1 99999999999 5", "", false},
      {"-1 1 5", "", false},
      {"+1 1 5", "5", false},
      {"1 1 5\x01", "", false},
  };
  for (const auto& c : cases) {
    // A line with a value entry, then two of the common shape around it, so
    // that the scanner stops at it and starts again after it.
    const std::string path =
        write_temp_file("unusual.txt", "7 7 3\n1 2 3\n" + c.line + "\n2 3 4.5\n");
    std::optional<Outcome<CooMatrix>> baseline;
    for (const ScanPath scan : scan_paths()) {
      for (const ReadWay way : {ReadWay{1 << 20, 1, scan}, ReadWay{3, 2, scan}}) {
        SCOPED_TRACE("\"" + c.line + "\"" + describe(way));
        ReadReport report;
        Outcome<CooMatrix> read = read_matrix(path, way, &report);
        if (c.value.empty()) {
          ASSERT_TRUE(read.failure);
          EXPECT_EQ(read.failure->message.rfind(path + ":3: ", 0), 0u) << read.failure->message;
          if (baseline) {
            EXPECT_EQ(read.failure->message, baseline->failure->message);
          }
        } else {
          ASSERT_FALSE(read.failure) << read.failure->message;
          ASSERT_EQ(read.value.nnz, 3);
          expect_scanned(report, way, 2 + c.scanned);
          EXPECT_EQ(read.value.row_index[1], std::stoi(c.line));
          EXPECT_TRUE(same_bits(slot_value(read.value, 1), std::strtold(c.value.c_str(), nullptr)))
              << slot_value(read.value, 1);
          EXPECT_TRUE(same_bits(slot_value(read.value, 2), 4.5L));
        }
        if (!baseline) baseline = std::move(read);
      }
    }
  }
}

// Part boundaries at nearly every byte of a small file, on line starts, in
// the middle of lines and on newlines: every split is read by the parallel
// path, one reader per part, and gives the reference's matrix.
TEST(CooMatrixReader, EveryPartBoundaryIsReadInParallel) {
  std::mt19937_64 random(11);
  std::string text = "4 4 24\n";
  for (int k = 0; k < 24; ++k) {
    text += std::to_string(1 + random() % 4) + " " + std::to_string(1 + random() % 4) + " " +
            std::to_string(static_cast<int>(random() % 2000) - 1000) + ".5\n";
    // Blank lines give a part room for more entries than it holds, so that
    // only the part's end keeps a reader from the next part's first line.
    if (k % 5 == 2) text += "\n";
  }
  const std::string path = write_temp_file("boundaries.txt", text);
  for (const ScanPath scan : scan_paths()) {
    for (std::int32_t threads = 2; threads <= 96; ++threads) {
      for (std::size_t block : {std::size_t{5}, std::size_t{1} << 20}) {
        expect_same_as_reference(path, {block, threads, scan});
      }
    }
  }
}

// The parallel read gives way to one reader exactly where it must, and says
// why: a refused line, and more blank lines than it keeps spare slots for.
TEST(CooMatrixReader, FallsBackToOneReaderOnlyWhereItMust) {
  std::string entries;
  for (int k = 1; k <= 40; ++k)
    entries += std::to_string(1 + k % 3) + " 1 " + std::to_string(k) + "\n";
  const struct {
    std::string name;
    std::string text;
    std::string fallback;
  } cases[] = {
      {"refused_late.txt", "3 3 41\n" + entries + "3 x 1\n", "a reader refused a line"},
      {"blank_lines_beyond_spares.txt", "3 3 40\n" + std::string(65, '\n') + entries,
       "more blank lines than spare slots"},
      {"blank_lines_within_spares.txt", "3 3 40\n" + std::string(64, '\n') + entries, ""},
  };
  for (const auto& c : cases) {
    const std::string path = write_temp_file(c.name, c.text);
    for (std::int32_t threads : {2, 3, 5}) {
      SCOPED_TRACE(c.name + " with " + std::to_string(threads) + " readers");
      ReadReport report;
      const Outcome<CooMatrix> read = read_matrix(path, {64, threads}, &report);
      EXPECT_EQ(report.fallback, c.fallback);
      EXPECT_EQ(report.readers, c.fallback.empty() ? parts_of(path, {64, threads}) : 1);
      const Outcome<CooMatrix> one = read_matrix(path);
      ASSERT_EQ(read.failure.has_value(), one.failure.has_value());
      if (one.failure) {
        EXPECT_EQ(read.failure->message, one.failure->message);
      } else {
        ASSERT_EQ(read.value.nnz, one.value.nnz);
        for (std::int64_t k = 0; k < one.value.nnz; ++k) {
          EXPECT_EQ(read.value.row_index[k], one.value.row_index[k]) << "slot " << k;
          EXPECT_TRUE(same_bits(slot_value(read.value, k), slot_value(one.value, k)))
              << "slot " << k;
        }
      }
    }
  }
}

// Layouts the stdio reference gets wrong: the reader keeps every entry.
struct QuirkCase {
  const char* file;
  std::vector<std::int32_t> rows;
  std::vector<Extended> values;
};

TEST(CooMatrixReader, ReadsBlankLinesAndUnterminatedLastLines) {
  const QuirkCase cases[] = {
      {"blank_lines.txt", {1, 2}, {1.5L, 2.5L}},
      {"no_final_newline.txt", {1, 2}, {1.5L, 2.5L}},
      {"crlf_no_final_newline.txt", {1, 2}, {1.5L, 2.5L}},
  };
  for (const auto& c : cases) {
    for (const ReadWay& way : every_way()) {
      SCOPED_TRACE(c.file + describe(way));
      const std::string path = test_data + "/quirks/" + c.file;
      const Outcome<CooMatrix> read = read_well_formed(path, way);
      ASSERT_FALSE(read.failure);
      ASSERT_EQ(read.value.nnz, static_cast<std::int64_t>(c.rows.size()));
      for (std::size_t k = 0; k < c.rows.size(); ++k) {
        EXPECT_EQ(read.value.row_index[k], c.rows[k]);
        EXPECT_EQ(read.value.col_index[k], c.rows[k]);
        EXPECT_EQ(slot_value(read.value, k), c.values[k]);
      }
    }
  }
}

// Matrix Market files: banner and comments skipped, pattern values 1, and
// each off-diagonal entry of a symmetric (skew-symmetric) file followed by its
// mirror (with the opposite sign).
struct MatrixMarketCase {
  const char* file;
  std::int32_t n;
  std::int32_t result_length;
  std::vector<std::int32_t> rows;
  std::vector<std::int32_t> cols;
  std::vector<Extended> values;
};

TEST(CooMatrixReader, ReadsMatrixMarketFilesAndExpandsSymmetry) {
  const MatrixMarketCase cases[] = {
      {"general_real.mtx", 3, 3, {1, 3}, {3, 1}, {2.5L, -1e-3L}},
      {"symmetric.mtx", 3, 3, {1, 2, 1, 3, 2}, {1, 1, 2, 2, 3}, {2, 3, 3, -1, -1}},
      {"hermitian_real.mtx", 3, 3, {1, 2, 1, 3, 2}, {1, 1, 2, 2, 3}, {2, 3, 3, -1, -1}},
      {"hermitian_after_blanks.mtx", 3, 3, {2, 1, 3, 3, 1}, {1, 2, 3, 1, 3}, {5, 5, -2, 4, 4}},
      {"skew_symmetric.mtx", 3, 3, {2, 1, 3, 1}, {1, 2, 1, 3}, {1.5L, -1.5L, -2, 2}},
      {"pattern_symmetric.mtx", 3, 3, {1, 3, 1}, {1, 1, 3}, {1, 1, 1}},
      {"integer_fewer_rows.mtx", 3, 3, {1, 2}, {3, 1}, {7, -4}},
      {"wide_real.mtx", 6, 6, {1, 2, 1, 2}, {6, 1, 2, 6}, {-2.5L, 3, 0.5L, 1}},
      {"tall_real.mtx", 3, 5, {1, 5, 4, 2, 5, 3}, {1, 3, 2, 3, 1, 2}, {1.5L, 2, -1, 0.25L, 4, 7}},
      {"tall_pattern_one_column.mtx", 1, 4, {4, 2, 4}, {1, 1, 1}, {1, 1, 1}},
      {"more_rows_than_columns.mtx", 2, 4, {1, 3}, {1, 1}, {1, 1}},
      {"rows_without_columns.mtx", 0, 3, {}, {}, {}},
      {"columns_without_rows.mtx", 2, 2, {}, {}, {}},
      {"double_padded.mtx", 2, 2, {2}, {2}, {0.5L}},
  };
  for (const auto& c : cases) {
    for (const ReadWay& way : every_way()) {
      SCOPED_TRACE(c.file + describe(way));
      const std::string path = test_data + "/mtx/" + c.file;
      const Outcome<CooMatrix> read = read_well_formed(path, way);
      ASSERT_FALSE(read.failure);
      const CooMatrix& m = read.value;
      EXPECT_EQ(m.shape.columns, c.n);
      EXPECT_EQ(m.shape.result_length, c.result_length);
      ASSERT_EQ(m.nnz, static_cast<std::int64_t>(c.rows.size()));
      for (std::size_t k = 0; k < c.rows.size(); ++k) {
        EXPECT_EQ(m.row_index[k], c.rows[k]) << "slot " << k;
        EXPECT_EQ(m.col_index[k], c.cols[k]) << "slot " << k;
        EXPECT_TRUE(same_bits(slot_value(m, k), c.values[k])) << "slot " << k;
      }
    }
  }
}

// The product of a Matrix Market file, read under every read way and
// multiplied by teams of one to three workers, is its row sums as computed
// apart from the program: one per row of the size line, and zeros up to the
// column count where there are more columns. Random files with more rows
// than columns and the other way round split across parts at every kind of
// place. Every value is a small integer or a few binary digits, so that the
// sums are exact in any order.
TEST(CooMatrixReader, MatrixMarketProductsAreTheRowSumsOfTheSizeLinesShape) {
  std::mt19937_64 random(20261211);
  std::vector<std::string> paths = files_in("mtx");
  for (const auto& [rows, columns] : {std::pair{257, 31}, {31, 257}, {40, 1}}) {
    std::string text = "%%MatrixMarket matrix coordinate integer general\n" + std::to_string(rows) +
                       " " + std::to_string(columns) + " 1500\n";
    for (int k = 0; k < 1500; ++k) {
      text += std::to_string(1 + random() % rows) + " " + std::to_string(1 + random() % columns) +
              " " + std::to_string(static_cast<int>(random() % 1999) - 999) + "\n";
    }
    paths.push_back(write_temp_file(
        "random_" + std::to_string(rows) + "x" + std::to_string(columns) + ".mtx", text));
  }
  for (const std::string& path : paths) {
    const MarketProduct expected = market_row_sums(path);
    const auto length = static_cast<std::int32_t>(expected.sums.size());
    ASSERT_EQ(length, std::max(expected.rows, expected.columns)) << path;
    for (const ScanPath scan : scan_paths()) {
      // The vector paths read as the baseline does (see above): a few ways
      // each are enough for the products.
      const std::vector<ReadWay> ways =
          scan == ScanPath::baseline
              ? std::vector<ReadWay>(std::begin(read_ways), std::end(read_ways))
              : std::vector<ReadWay>{read_ways[0], read_ways[3], read_ways[6]};
      for (const ReadWay& any_way : ways) {
        const ReadWay way = under(any_way, scan);
        ReadReport report;
        const Outcome<CooMatrix> read = read_matrix(path, way, &report);
        ASSERT_FALSE(read.failure) << read.failure->message;
        SCOPED_TRACE(path + describe(way));
        expect_scanned(report, way, common_shape_lines(path));
        // A pattern matrix holds no value array, save a skew-symmetric one,
        // whose mirrors hold -1.
        const std::string banner = read_text(path).substr(0, read_text(path).find('\n'));
        const bool unit_values = banner.find(" pattern ") != std::string::npos &&
                                 banner.find("skew") == std::string::npos;
        EXPECT_EQ(read.value.value == nullptr, unit_values) << path << describe(way);
        for (std::int32_t threads = 1; threads <= 3; ++threads) {
          SCOPED_TRACE(path + describe(way) + ", multiplied by " + std::to_string(threads));
          Outcome<RunVectors> vectors = prepare_vectors(vector_lengths(read.value), threads);
          ASSERT_FALSE(vectors.failure);
          RunVectors& v = vectors.value;
          RunClock clock;
          multiply_partials(read.value, v.input, v.partials, clock);
          reduce_partials(v.partials, v.result);
          ASSERT_EQ(v.input.n, expected.columns);
          EXPECT_EQ(std::count(v.input.element.get(), v.input.element.get() + v.input.n, 1),
                    expected.columns);
          ASSERT_EQ(v.partials.n, length);
          ASSERT_EQ(v.result.n, length);
          for (std::int32_t i = 0; i < length; ++i) {
            EXPECT_TRUE(same_bits(v.result.element[i], expected.sums[static_cast<std::size_t>(i)]))
                << "row " << i + 1 << ": " << v.result.element[i] << " vs "
                << expected.sums[static_cast<std::size_t>(i)];
          }
        }
      }
    }
  }
}

// Every file in data/bad is refused, under every read way, with the message
// in the file beside it (NAME.expected), which follows the file's path.
TEST(CooMatrixReader, RefusesEveryBadFileWithItsLineAndReason) {
  int checked = 0;
  for (const std::string& path : files_in("bad")) {
    if (path.ends_with(".expected")) continue;
    std::string expected = read_text(path + ".expected");
    ASSERT_TRUE(expected.ends_with("\n")) << path << " needs a NAME.expected beside it";
    expected.pop_back();
    for (const ReadWay& way : every_way()) {
      SCOPED_TRACE(path + describe(way));
      const Outcome<CooMatrix> read = read_matrix(path, way);
      ASSERT_TRUE(read.failure);
      EXPECT_EQ(read.failure->kind, Failure::Kind::matrix_file);
      EXPECT_EQ(read.failure->message, path + expected);
    }
    ++checked;
  }
  EXPECT_GE(checked, 46);
}

// A file rewritten between the passes, with the same size but its lines in
// another order, is refused: the parts that the first pass planned no longer
// match its lines, and its modification time tells. Its time is moved on
// explicitly, since two writes within one tick of the kernel's clock can
// leave it as it was.
TEST(CooMatrixReader, RefusesAFileChangedBetweenThePasses) {
  std::mt19937_64 random(3);
  std::vector<std::string> lines = {"1 1 1.5\n", "2 2 2.5\n", "3 1 -4\n", "1 3 8\n", "2 3 0.25\n"};
  lines.resize(lines.size() + 6, "\n");
  const auto text_in_order = [&] {
    std::shuffle(lines.begin(), lines.end(), random);
    std::string text = "3 3 5\n";
    for (const std::string& line : lines) text += line;
    return text;
  };
  for (int round = 0; round < 40; ++round) {
    const std::string path = write_temp_file("changing.txt", text_in_order());
    const ReadWay way{16, 1 + round % 4};
    const Outcome<LineCount> planned = count_lines(path, way.threads, options_for(way));
    const auto written = std::filesystem::last_write_time(path);
    write_temp_file("changing.txt", text_in_order());
    std::filesystem::last_write_time(path, written + std::chrono::seconds(1));
    const Outcome<CooMatrix> read =
        read_entries(path, planned.value, way.threads, options_for(way));
    ASSERT_TRUE(read.failure) << "round " << round;
    EXPECT_EQ(read.failure->message, path + ": the file changed while it was being read");
  }
  // A file replaced by another of the same size and time is a new inode.
  const std::string path = write_temp_file("replaced.txt", "1 1 1\n1 1 2\n");
  const std::string other = write_temp_file("replacement.txt", "1 1 1\n1 1 3\n");
  std::filesystem::last_write_time(other, std::filesystem::last_write_time(path));
  const Outcome<LineCount> planned = count_lines(path, 1);
  std::filesystem::rename(other, path);
  const Outcome<CooMatrix> read = read_entries(path, planned.value, 1);
  ASSERT_TRUE(read.failure);
  EXPECT_EQ(read.failure->message, path + ": the file changed while it was being read");
}

TEST(CooMatrixReader, RefusesWhatIsNotARegularFile) {
  const std::string dir = test_data + "/bad";
  EXPECT_EQ(read_matrix(dir).failure->message, dir + ": is a directory");
  const std::string missing = test_data + "/no-such-file.txt";
  EXPECT_EQ(read_matrix(missing).failure->message, missing + ": No such file or directory");
  // Control characters of a path never reach the terminal as they are.
  EXPECT_EQ(read_matrix(test_data + "/no\nsuch\x1b[2J").failure->message,
            test_data + "/no\\x0asuch\\x1b[2J: No such file or directory");
  EXPECT_EQ(read_matrix("/dev/null").failure->message,
            "/dev/null: is not a regular file (the matrix file is read twice)");
  // A FIFO, and a link to one, are refused at once: no writer ever comes.
  const std::string scratch = std::filesystem::path(write_temp_file("x", "")).parent_path();
  const std::string fifo = scratch + "/fifo";
  const std::string link = scratch + "/link-to-fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::filesystem::create_symlink(fifo, link);
  for (const std::string& path : {fifo, link}) {
    auto read = std::async(std::launch::async, [&] { return read_matrix(path); });
    if (read.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      ::close(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));  // lets the blocked open go on
      FAIL() << path << " blocked the reader";
    }
    EXPECT_EQ(read.get().failure->message,
              path + ": is not a regular file (the matrix file is read twice)");
  }
}

// Compressed files and archives are named by their first bytes, whatever
// their names; a text that only looks similar is read as text.
TEST(CooMatrixReader, NamesCompressedFilesAndArchives) {
  // A tar header: name, magic, and the checksum of its bytes (the checksum
  // field counted as spaces) in octal.
  std::string tar(512, '\0');
  tar.replace(0, 8, std::string("m.mtx\0\0\0", 8));
  tar.replace(257, 6, std::string("ustar\0", 6));
  tar.replace(148, 8, std::string(8, ' '));
  unsigned sum = 0;
  for (const char c : tar) sum += static_cast<unsigned char>(c);
  char checksum[8];
  std::snprintf(checksum, sizeof checksum, "%06o", sum);
  tar.replace(148, 7, std::string(checksum, 7));
  // A Matrix Market file that holds "ustar" at the same place, in a comment.
  std::string not_tar = "%%MatrixMarket matrix coordinate real general\n%";
  not_tar.append(257 - not_tar.size(), 'x').append("ustar\n");
  not_tar.append(std::string(300, '%')).append("\n1 1 1\n1 1 2\n");
  const struct {
    std::string head;
    std::string message;
  } cases[] = {
      {"\x1f\x8b\x08\x00rest", ": gzip-compressed; decompress it first"},
      {"BZh91AY&SY", ": bzip2-compressed; decompress it first"},
      {std::string("\xfd"
                   "7zXZ\0\0",
                   7),
       ": xz-compressed; decompress it first"},
      {"\x28\xb5\x2f\xfd\x20", ": zstd-compressed; decompress it first"},
      {tar, ": a tar archive; unpack it first"},
      {"BZh 1 1\n", ":1: header: first number \"BZh\" is not an integer"},
  };
  for (const auto& c : cases) {
    const std::string path = write_temp_file("packed.bin", c.head);
    EXPECT_EQ(read_matrix(path).failure->message, path + c.message);
  }
  const Outcome<CooMatrix> text = read_matrix(write_temp_file("not_tar.mtx", not_tar));
  EXPECT_FALSE(text.failure) << text.failure->message;
}

// A line may hold up to max_line_bytes bytes before its newline, or as the
// last line without one; one byte more is refused, on its own line number.
TEST(CooMatrixReader, TakesLinesOfExactlyTheLimitAndRefusesLonger) {
  const auto line_of = [](std::size_t bytes) {
    std::string line = "2 2 0.5";
    return line.append(bytes - line.size(), ' ');
  };
  const std::string header = "2 2 2\n1 1 1\n";
  const std::string at_limit =
      write_temp_file("at_limit.txt", header + line_of(max_line_bytes) + "\n");
  const std::string last_at_limit =
      write_temp_file("last_at_limit.txt", header + line_of(max_line_bytes));
  const std::string over = write_temp_file("over.txt", header + line_of(max_line_bytes + 1) + "\n");
  const std::string last_over =
      write_temp_file("last_over.txt", header + line_of(max_line_bytes + 1));
  for (const ReadWay& way : {ReadWay{4096, 1}, ReadWay{1 << 20, 1}, ReadWay{65536, 3}}) {
    SCOPED_TRACE(describe(way));
    for (const std::string& path : {at_limit, last_at_limit}) {
      const Outcome<CooMatrix> read = read_matrix(path, way);
      ASSERT_FALSE(read.failure) << read.failure->message;
      EXPECT_EQ(read.value.nnz, 2);
    }
    for (const std::string& path : {over, last_over}) {
      const Outcome<CooMatrix> read = read_matrix(path, way);
      ASSERT_TRUE(read.failure);
      EXPECT_EQ(read.failure->message, path + ":3: line is longer than 1048576 bytes");
    }
  }
}

// The first pass stops at the first overlong line instead of reading on to
// the end of the file, however the file is split.
TEST(CountLines, StopsAtTheFirstOverlongLine) {
  const std::string path = write_temp_file("no_newlines.bin", "");
  std::filesystem::resize_file(path, std::uintmax_t{1} << 32);  // 4 GiB of zeros, sparse
  for (std::int32_t threads : {1, 2, 4}) {
    const Outcome<LineCount> count = count_lines(path, threads);
    ASSERT_FALSE(count.failure);
    EXPECT_EQ(count.value.long_line, 1);
    EXPECT_LE(count.value.bytes_scanned, threads * 2 * static_cast<std::int64_t>(max_line_bytes));
  }
  EXPECT_EQ(read_matrix(path, {1 << 20, 2}).failure->message,
            path + ":1: line is longer than 1048576 bytes");
  std::filesystem::remove(path);
  // An overlong line after entries that stop short of the header's count: the
  // line is refused, not the count, since the lines after it are not counted.
  const std::string late = write_temp_file(
      "late_long.txt", "2 2 5\n1 1 1\n\n" + std::string(max_line_bytes + 1, '7') + "\n1 1 1\n");
  for (const ReadWay& way : {ReadWay{1 << 20, 1}, ReadWay{4096, 2}, ReadWay{70000, 5}}) {
    const Outcome<LineCount> count = count_lines(late, way.threads, options_for(way));
    EXPECT_EQ(count.value.long_line, 4) << describe(way);
    EXPECT_EQ(read_matrix(late, way).failure->message,
              late + ":4: line is longer than 1048576 bytes")
        << describe(way);
  }
}

TEST(CooMatrixReader, RefusesLinesLongerThanTheLimitAndNulBytes) {
  const std::string long_line =
      write_temp_file("long.txt", "1 1 1\n" + std::string(max_line_bytes + 10, ' ') + "\n1 1 1\n");
  EXPECT_EQ(read_matrix(long_line).failure->message,
            long_line + ":2: line is longer than 1048576 bytes");
  const std::string nul = write_temp_file("nul.txt", std::string("1 1 1\n1 1 1", 11) + '\0' + "\n");
  EXPECT_EQ(read_matrix(nul).failure->message, nul + ":2: value \"1\\x00\" is not a number");
}

// The header's memory check counts a partial vector of one sum per row for
// each thread: 2^31 - 1 rows of one column are as much as as many columns.
TEST(CooMatrixReader, RefusesAHeaderThatNeedsMoreMemoryThanTheMachineHas) {
  const struct {
    const char* name;
    const char* text;
    const char* sizes;
  } cases[] = {
      {"huge_n.txt", "1 2147483647 0\n", " for n = 2147483647, nnz = 0 and 1000 threads;"},
      {"huge_rows.mtx", "%%MatrixMarket matrix coordinate real general\n2147483647 1 0\n",
       " for n = 1, nnz = 0 and 1000 threads;"},
      // The vectors, 1000 x 8 bytes of their table, and 24 bytes a slot, or
      // 8 where a pattern matrix holds no values.
      {"huge_rows_real.mtx",
       "%%MatrixMarket matrix coordinate real general\n2147483647 1 3\n1 1 1\n2 1 1\n3 1 1\n",
       "needs 34394098098428 bytes (32032.0 GiB) for n = 1, nnz = 3 and 1000 threads;"},
      {"huge_rows_pattern.mtx",
       "%%MatrixMarket matrix coordinate pattern general\n2147483647 1 3\n1 1\n2 1\n3 1\n",
       "needs 34394098098380 bytes (32032.0 GiB) for n = 1, nnz = 3 and 1000 threads;"},
  };
  for (const auto& c : cases) {
    const std::string path = write_temp_file(c.name, c.text);
    const Outcome<CooMatrix> read = read_coo_matrix(path, 1000);
    ASSERT_TRUE(read.failure) << c.name;
    EXPECT_EQ(read.failure->kind, Failure::Kind::memory);
    const std::string& message = read.failure->message;
    const std::string start = "not enough memory: the run needs ";
    ASSERT_EQ(message.rfind(start, 0), 0u) << message;
    EXPECT_NE(message.find(c.sizes), std::string::npos) << message;
    EXPECT_GT(std::stoull(message.substr(start.size())), 1000 * 16 * std::uint64_t{2147483647})
        << message;
  }
}

TEST(CountLines, CountsAnUnterminatedLastLine) {
  const struct {
    const char* text;
    std::int64_t lines;
  } cases[] = {{"", 0}, {"\n", 1}, {"a", 1}, {"a\nb", 2}, {"a\nb\n", 2}, {"\n\n\n", 3}};
  for (const auto& c : cases) {
    const std::string path = write_temp_file("lines.txt", c.text);
    for (const ReadWay& way : read_ways) {
      EXPECT_EQ(count_lines(path, way.threads, options_for(way)).value.lines, c.lines)
          << '"' << c.text << '"' << describe(way);
    }
  }
}

TEST(CountLines, CountsNewlinesInEveryLengthAndAlignment) {
  std::mt19937_64 random(7);
  std::string text(9100, 'x');
  for (char& c : text) c = "\n\nab1 "[random() % 6];
  for (std::size_t length : {0, 1, 15, 16, 17, 100, 4079, 4080, 4081, 4096, 8191, 8999}) {
    for (std::size_t shift : {0, 1, 7}) {
      const char* begin = text.data() + shift;
      EXPECT_EQ(count_newlines_in(begin, length), std::count(begin, begin + length, '\n'))
          << length << " bytes from " << shift;
    }
  }
  // Nothing but newlines: every byte counter of the vector loop fills up.
  const std::string newlines(16 * 600 + 5, '\n');
  for (std::size_t length : {16 * 255, 16 * 256, 16 * 257, 16 * 511, 16 * 600 + 5}) {
    EXPECT_EQ(count_newlines_in(newlines.data(), length), static_cast<std::int64_t>(length));
  }
}

TEST(ValueConversion, AgreesWithStrtoldBitForBit) {
  ASSERT_TRUE(fast_values_exact()) << "the x87 unit is not in round-to-nearest, 64-bit mode";
  std::string first;
  EXPECT_EQ(count_conversion_mismatches(20261208, 200000, first), 0) << "first: " << first;
  for (const char* text : value_spellings) {
    std::string line(text);
    line.push_back('\n');
    line.append(field_padding_bytes, '\0');
    const char* p = line.c_str();
    Extended value = 0;
    ASSERT_TRUE(convert_value(p, value, true)) << text;
    EXPECT_TRUE(same_bits(value, std::strtold(text, nullptr))) << text;
  }
  // A long run of fraction digits with an exponent that is longer still: no
  // cap on either may let the two cancel.
  const std::string zeros(99999, '0');
  for (const std::string& text :
       {"0." + zeros + "1e1000000", "0." + zeros + "1e-1000000", "1" + zeros + "e-1000000",
        "1" + zeros + "e-99999", "0." + zeros + "1e100000",
        "-0." + zeros + "5e99999999999999999"}) {
    const std::string line = text + "\n" + std::string(field_padding_bytes, '\0');
    const char* p = line.c_str();
    Extended value = 0;
    ASSERT_TRUE(convert_value(p, value, true));
    EXPECT_TRUE(same_bits(value, std::strtold(line.c_str(), nullptr)))
        << text.substr(0, 8) << "..." << text.substr(text.size() - 12) << " gave " << value;
  }
}

}  // namespace
