// The matrix reader: good files against the stdio reference, files whose
// layout the reference reads wrongly, and a folder of files it must refuse.
#include "coo_matrix.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "decimal_strings.hpp"
#include "stdio_reference.hpp"
#include "test_support.hpp"
#include "text_fields.hpp"

namespace {

// How a test reads a file: block size and number of parallel readers.
struct ReadWay {
  std::size_t block;
  std::int32_t threads;
};

// Ways that split small files at every kind of place: one-byte blocks, parts
// of a few bytes, and more readers than lines.
const ReadWay read_ways[] = {{1, 1}, {7, 1}, {1 << 20, 1}, {3, 2}, {64, 3}, {5, 8}, {1 << 20, 4}};

// Reader options that give every thread a part, however small the file.
ReadOptions options_for(const ReadWay& way) {
  ReadOptions options;
  options.block_bytes = way.block;
  options.min_part_bytes = 1;
  options.parts_limited_by_cores = false;
  return options;
}

// Reads a file through both passes, as the program does.
Outcome<CooMatrix> read_matrix(const std::string& path, ReadWay way = {1 << 20, 1}) {
  const ReadOptions options = options_for(way);
  const Outcome<LineCount> lines = count_lines(path, way.threads, options);
  if (lines.failure) return Outcome<CooMatrix>{CooMatrix{}, lines.failure};
  return read_coo_matrix(path, lines.value, way.threads, options);
}

std::string describe(const ReadWay& way) {
  return " read in blocks of " + std::to_string(way.block) + " by " + std::to_string(way.threads);
}

// Checks that the reader gives exactly what the stdio reference gives.
void expect_same_as_reference(const std::string& path, ReadWay way) {
  SCOPED_TRACE(path + describe(way));
  const Outcome<CooMatrix> read = read_matrix(path, way);
  ASSERT_FALSE(read.failure) << read.failure->message;
  const ReferenceMatrix expected = stdio_read(path);
  const CooMatrix& m = read.value;
  ASSERT_EQ(m.n, expected.n);
  ASSERT_EQ(m.nnz, expected.nnz);
  for (int k = 0; k < m.nnz; ++k) {
    EXPECT_EQ(m.row_index[k], expected.row[k]) << "slot " << k;
    EXPECT_EQ(m.col_index[k], expected.col[k]) << "slot " << k;
    EXPECT_TRUE(same_bits(m.value[k], expected.value[k]))
        << "slot " << k << ": " << m.value[k] << " vs " << expected.value[k];
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
    for (const ReadWay& way : read_ways) expect_same_as_reference(path, way);
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
  for (const ReadWay& way : {ReadWay{13, 1}, ReadWay{4096, 2}, ReadWay{1 << 20, 3}}) {
    expect_same_as_reference(path, way);
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
    for (const ReadWay& way : read_ways) {
      SCOPED_TRACE(c.file + describe(way));
      const Outcome<CooMatrix> read = read_matrix(test_data + "/quirks/" + c.file, way);
      ASSERT_FALSE(read.failure) << read.failure->message;
      ASSERT_EQ(read.value.nnz, static_cast<std::int32_t>(c.rows.size()));
      for (std::size_t k = 0; k < c.rows.size(); ++k) {
        EXPECT_EQ(read.value.row_index[k], c.rows[k]);
        EXPECT_EQ(read.value.col_index[k], c.rows[k]);
        EXPECT_EQ(read.value.value[k], c.values[k]);
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
  std::vector<std::int32_t> rows;
  std::vector<std::int32_t> cols;
  std::vector<Extended> values;
};

TEST(CooMatrixReader, ReadsMatrixMarketFilesAndExpandsSymmetry) {
  const MatrixMarketCase cases[] = {
      {"general_real.mtx", 3, {1, 3}, {3, 1}, {2.5L, -1e-3L}},
      {"symmetric.mtx", 3, {1, 2, 1, 3, 2}, {1, 1, 2, 2, 3}, {2, 3, 3, -1, -1}},
      {"skew_symmetric.mtx", 3, {2, 1, 3, 1}, {1, 2, 1, 3}, {1.5L, -1.5L, -2, 2}},
      {"pattern_symmetric.mtx", 3, {1, 3, 1}, {1, 1, 3}, {1, 1, 1}},
      {"integer_fewer_rows.mtx", 3, {1, 2}, {3, 1}, {7, -4}},
      {"double_padded.mtx", 2, {2}, {2}, {0.5L}},
  };
  for (const auto& c : cases) {
    for (const ReadWay& way : read_ways) {
      SCOPED_TRACE(c.file + describe(way));
      const Outcome<CooMatrix> read = read_matrix(test_data + "/mtx/" + c.file, way);
      ASSERT_FALSE(read.failure) << read.failure->message;
      const CooMatrix& m = read.value;
      EXPECT_EQ(m.n, c.n);
      ASSERT_EQ(m.nnz, static_cast<std::int32_t>(c.rows.size()));
      for (std::size_t k = 0; k < c.rows.size(); ++k) {
        EXPECT_EQ(m.row_index[k], c.rows[k]) << "slot " << k;
        EXPECT_EQ(m.col_index[k], c.cols[k]) << "slot " << k;
        EXPECT_TRUE(same_bits(m.value[k], c.values[k])) << "slot " << k;
      }
    }
  }
}

// Every file in data/bad and the message it must be refused with, after
// "PATH" (the line number, when there is one, comes first).
struct BadCase {
  const char* file;
  const char* message;
};

const BadCase bad_cases[] = {
    {"empty.txt", ": no header line: the file holds no numbers"},
    {"blank_only.txt", ": no header line: the file holds no numbers"},
    {"header_two_numbers.txt",
     ":1: the header must be three integers (first number, n, nnz); found 2"},
    {"header_text.txt", ":1: header: n \"x\" is not an integer"},
    {"header_float.txt", ":1: header: n \"3.0\" is not an integer"},
    {"header_extra.txt", ":1: header: unexpected text after nnz: \"7\""},
    {"header_negative_n.txt", ":1: header: n is -3; it must be 0 or more"},
    {"header_negative_nnz.txt", ":1: header: nnz is -1; it must be 0 or more"},
    {"header_out_of_range.txt",
     ":1: header: nnz \"99999999999\" is outside the 32-bit integer range"},
    {"header_nnz_exceeds_lines.txt",
     ":1: the header declares 1000000000 entries, but the file has only 1 line after it"},
    {"missing_value.txt", ":2: expected an entry of three fields (row, column, value); found 2"},
    {"missing_column.txt", ":2: expected an entry of three fields (row, column, value); found 1"},
    {"text_after_value.txt", ":2: unexpected text after the value: \"x\" (one entry per line)"},
    {"two_entries_on_a_line.txt",
     ":2: unexpected text after the value: \"2\" (one entry per line)"},
    {"carriage_returns_only.txt",
     ":2: unexpected text after the value: \"2\" (one entry per line)"},
    {"index_written_as_float.txt", ":2: row \"1.0\" is not an integer"},
    {"value_with_trailing_text.txt", ":2: value \"1.5x\" is not a number"},
    {"value_not_a_number.txt", ":2: value \"abc\" is not a number"},
    {"value_cut_exponent.txt", ":2: value \"1e\" is not a number"},
    {"row_outside_n.txt", ":7: row 12 is outside 1..10"},
    {"column_zero.txt", ":2: column 0 is outside 1..3"},
    {"row_negative.txt", ":2: row -1 is outside 1..3"},
    {"row_beyond_int32.txt", ":2: row 99999999999 is outside 1..3"},
    {"more_entries_than_nnz.txt", ":3: more entries than the 1 that the header declares"},
    {"fewer_entries_than_nnz.txt", ": the file holds 2 entries, but the header declares 3"},
    {"entry_in_empty_matrix.txt", ":2: row 1 is outside 1..0"},
    {"comment_without_banner.txt", ":1: header: first number \"%\" is not an integer"},
    {"mtx_complex.mtx",
     ":1: unsupported Matrix Market field \"complex\": supported are real, double, integer and "
     "pattern"},
    {"mtx_hermitian.mtx",
     ":1: unsupported Matrix Market symmetry \"hermitian\": supported are general, symmetric and "
     "skew-symmetric"},
    {"mtx_array.mtx",
     ":1: unsupported Matrix Market format \"array\": only coordinate is supported"},
    {"mtx_vector.mtx", ":1: unsupported Matrix Market object \"vector\": only matrix is supported"},
    {"mtx_banner_missing_symmetry.mtx",
     ":1: malformed Matrix Market banner: expected \"%%MatrixMarket matrix coordinate FIELD "
     "SYMMETRY\""},
    {"mtx_skew_diagonal.mtx",
     ":4: a skew-symmetric matrix has no diagonal entries, but this is (2, 2)"},
    {"mtx_pattern_with_value.mtx",
     ":3: unexpected text after the column: \"1.5\" (a pattern matrix has no values)"},
    {"mtx_more_rows_than_columns.mtx",
     ":4: row 3 is outside 1..2: the matrix has 4 rows but only 2 columns, and the product with "
     "a vector of length n has only n rows"},
    {"mtx_comment_after_size.mtx", ":3: row \"%\" is not an integer"},
};

TEST(CooMatrixReader, RefusesEveryBadFileWithItsLineAndReason) {
  std::vector<std::string> listed;
  for (const auto& c : bad_cases) {
    const std::string path = test_data + "/bad/" + c.file;
    listed.push_back(path);
    for (const ReadWay& way : read_ways) {
      SCOPED_TRACE(path + describe(way));
      const Outcome<CooMatrix> read = read_matrix(path, way);
      ASSERT_TRUE(read.failure);
      EXPECT_EQ(read.failure->kind, Failure::Kind::matrix_file);
      EXPECT_EQ(read.failure->message, path + c.message);
    }
  }
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, files_in("bad")) << "every bad file needs a row in the table";
}

// A file rewritten between the passes, with the same size but its lines in
// another order, must read as what it holds now: the parts that the first
// pass planned no longer match its lines, and no two readers may then share
// or lose a slot.
TEST(CooMatrixReader, FileChangedBetweenThePassesReadsAsItIsNow) {
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
    write_temp_file("changing.txt", text_in_order());
    const Outcome<CooMatrix> read =
        read_coo_matrix(path, planned.value, way.threads, options_for(way));
    const Outcome<CooMatrix> fresh = read_matrix(path, {1 << 20, 1});
    ASSERT_FALSE(read.failure) << read.failure->message;
    ASSERT_EQ(read.value.nnz, fresh.value.nnz);
    for (std::int32_t k = 0; k < fresh.value.nnz; ++k) {
      EXPECT_EQ(read.value.row_index[k], fresh.value.row_index[k]) << "round " << round;
      EXPECT_EQ(read.value.col_index[k], fresh.value.col_index[k]) << "round " << round;
      EXPECT_EQ(read.value.value[k], fresh.value.value[k]) << "round " << round;
    }
  }
}

TEST(CooMatrixReader, RefusesWhatIsNotARegularFile) {
  const std::string dir = test_data + "/bad";
  EXPECT_EQ(read_matrix(dir).failure->message, dir + ": is a directory");
  const std::string missing = test_data + "/no-such-file.txt";
  EXPECT_EQ(read_matrix(missing).failure->message, missing + ": No such file or directory");
  EXPECT_EQ(read_matrix("/dev/null").failure->message,
            "/dev/null: is not a regular file (the matrix file is read twice)");
}

TEST(CooMatrixReader, RefusesLinesLongerThanTheLimitAndNulBytes) {
  const std::string long_line =
      write_temp_file("long.txt", "1 1 1\n" + std::string(max_line_bytes + 10, ' ') + "\n1 1 1\n");
  EXPECT_EQ(read_matrix(long_line).failure->message,
            long_line + ":2: line is longer than 1048576 bytes");
  const std::string nul = write_temp_file("nul.txt", std::string("1 1 1\n1 1 1", 11) + '\0' + "\n");
  EXPECT_EQ(read_matrix(nul).failure->message, nul + ":2: value \"1\\x00\" is not a number");
}

TEST(CooMatrixReader, RefusesAHeaderThatNeedsMoreMemoryThanTheMachineHas) {
  const std::string path = write_temp_file("huge_n.txt", "1 2147483647 0\n");
  const Outcome<LineCount> lines = count_lines(path, 1);
  const Outcome<CooMatrix> read = read_coo_matrix(path, lines.value, 1000);
  ASSERT_TRUE(read.failure);
  EXPECT_EQ(read.failure->kind, Failure::Kind::memory);
  EXPECT_EQ(read.failure->message.rfind("not enough memory: the run needs ", 0), 0u);
  EXPECT_NE(read.failure->message.find(" for n = 2147483647, nnz = 0 and 1000 threads;"),
            std::string::npos)
      << read.failure->message;
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
}

TEST(ValueConversion, AgreesWithStrtoldBitForBit) {
  ASSERT_TRUE(fast_values_exact()) << "the x87 unit is not in round-to-nearest, 64-bit mode";
  std::string first;
  EXPECT_EQ(count_conversion_mismatches(20261208, 200000, first), 0) << "first: " << first;
  // Hand-picked edges of the fast path and beyond it.
  for (const char* text :
       {"9999999999999999999", "18446744073709551615", "1e27", "1e28", "1e-27", "1e-28",
        "1234567890123456789e-27", "0.000000000000000000000000000001", "-0", "+0.0e-999",
        "4.9406564584124654e-4951", "1.18973149535723176502e+4932", "1e99999", "0x1.8p3", "inf",
        "-nan", "1.", ".5", "00000000000000000000000000001.5"}) {
    std::string line(text);
    line.push_back('\n');
    const char* p = line.c_str();
    Extended value = 0;
    ASSERT_TRUE(convert_value(p, value, true)) << text;
    EXPECT_TRUE(same_bits(value, std::strtold(text, nullptr))) << text;
  }
}

}  // namespace
