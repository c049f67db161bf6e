#include "test_support.hpp"

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

using namespace spmv;

namespace {

// The scratch folder of this test process: made when constructed, removed
// with everything inside when destroyed at the end of the process.
class ScratchFolder {
 public:
  ScratchFolder() : owner_(getpid()) {
    const std::string pattern = "/tmp/spmv-test-XXXXXX";
    std::string name = pattern;
    if (mkdtemp(name.data()) == nullptr) {
      const int error = errno;
      std::fprintf(stderr, "cannot make the tests' scratch folder from the pattern %s: %s\n",
                   pattern.c_str(), std::strerror(error));
      std::abort();  // every test that writes a file needs the folder
    }
    path_ = name;
  }

  ~ScratchFolder() {
    // A forked child that exits normally runs this too; only the process
    // that made the folder may remove it.
    if (getpid() != owner_) return;
    std::error_code ignored;  // a folder that cannot be removed is only left behind
    std::filesystem::remove_all(path_, ignored);
  }

  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::string& path() const { return path_; }

 private:
  pid_t owner_;
  std::string path_;
};

// The scratch folder for this test process, made on first use.
const std::string& scratch_dir() {
  static const ScratchFolder folder;
  return folder.path();
}

std::string shell_quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string write_temp_file(const std::string& name, const std::string& text) {
  const std::string path = scratch_dir() + "/" + name;
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

bool same_bits(Extended a, Extended b) {
  return std::memcmp(&a, &b, 10) == 0;
}

RunResult run_spmv(const std::vector<std::string>& args, const std::string& setup) {
  const std::string out_path = scratch_dir() + "/stdout";
  const std::string err_path = scratch_dir() + "/stderr";
  std::string command = setup + " exec " + shell_quote(SPMV_EXECUTABLE);
  for (const auto& arg : args) command.append(" ").append(shell_quote(arg));
  command.append(" >").append(shell_quote(out_path));
  command.append(" 2>").append(shell_quote(err_path)).append(" </dev/null");
  const int raw = std::system(command.c_str());
  RunResult result;
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  result.out = read_text(out_path);
  result.err = read_text(err_path);
  return result;
}

MarketProduct market_row_sums(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  std::istringstream banner(line);
  std::string word, object, format, field, symmetry;
  banner >> word >> object >> format >> field >> symmetry;
  for (std::string* text : {&field, &symmetry}) {
    for (char& c : *text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  const bool pattern = field == "pattern";
  const int mirror = symmetry == "general" ? 0 : symmetry == "skew-symmetric" ? -1 : 1;
  MarketProduct product;
  long entries = -1;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string first;
    if (!(fields >> first) || first[0] == '%') continue;
    if (entries < 0) {
      product.rows = std::stoi(first);
      fields >> product.columns >> entries;
      product.sums.assign(static_cast<std::size_t>(std::max(product.rows, product.columns)), 0);
      continue;
    }
    const int row = std::stoi(first);
    int col = 0;
    std::string value_text = "1";
    fields >> col;
    if (!pattern) fields >> value_text;
    const Extended value = std::strtold(value_text.c_str(), nullptr);
    product.sums[static_cast<std::size_t>(row - 1)] += value;
    if (mirror != 0 && row != col)
      product.sums[static_cast<std::size_t>(col - 1)] += mirror * value;
  }
  return product;
}

FakeRoot::FakeRoot(const Files& files) {
  std::string pattern = (std::filesystem::temp_directory_path() / "spmv-root-XXXXXX").string();
  if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  for (const auto& [name, text] : files) {
    const std::filesystem::path file = path_ + name;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
  }
}

FakeRoot::~FakeRoot() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}
