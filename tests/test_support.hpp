// Helpers shared by the tests: files, bit comparison, running the program.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "base/run_types.hpp"

// Sanitizers reserve terabytes of address space, and their runtimes write
// before a program can ignore a signal, so runs under a ulimit cannot work
// under them (gcc and clang announce them differently).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SPMV_UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define SPMV_UNDER_SANITIZER 1
#endif
#endif

// Folder of the test matrices.
inline const std::string test_data = SPMV_TEST_DATA;

// The whole content of a file.
std::string read_text(const std::string& path);

// Writes text to a fresh file in the test's scratch folder and returns its path.
std::string write_temp_file(const std::string& name, const std::string& text);

// True when two Extended values have the same 80 bits (padding ignored), so
// that NaNs and signed zeros compare too.
bool same_bits(spmv::Extended a, spmv::Extended b);

// Files to lay out beneath a fake root: a path from the root, and its text.
using Files = std::vector<std::pair<std::string, std::string>>;

// A folder standing for the root of the file system, removed at the end.
class FakeRoot {
 public:
  explicit FakeRoot(const Files& files);
  ~FakeRoot();
  FakeRoot(const FakeRoot&) = delete;
  FakeRoot& operator=(const FakeRoot&) = delete;

  // The folder, to pass as the root.
  const std::string& path() const { return path_; }

 private:
  std::string path_;  // the folder; empty when it could not be made
};

// What one run of the spmv executable gave.
struct RunResult {
  int status = -1;  // exit status
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs the spmv executable with these arguments, after the shell commands in
// `setup` (for example a ulimit).
RunResult run_spmv(const std::vector<std::string>& args, const std::string& setup = "");

// A Matrix Market coordinate file times a vector of ones, computed apart from
// the program: the file read line by line with iostreams and strtold, the
// entries of a symmetric, hermitian or skew-symmetric file mirrored, and each
// row's products added in file order.
struct MarketProduct {
  int rows = 0;                      // the size line's row count
  int columns = 0;                   // its column count
  std::vector<spmv::Extended> sums;  // one per row, then zeros up to the column count
};

MarketProduct market_row_sums(const std::string& path);
