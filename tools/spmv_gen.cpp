// spmv-gen: writes a random coordinate matrix file for trying and measuring
// spmv, or a matrix whose product with a vector of ones is known.
//
//   spmv-gen [--mtx] ROWS ENTRIES exp17|short|int [sorted|shuffled [SEED]] > matrix.txt
//   spmv-gen [--mtx] [--expect|--digest] --known rows-of K ROWS
//   spmv-gen [--mtx] [--expect|--digest] --known band B ROWS
//   spmv-gen --help | -h | --version
//
// The flags may stand anywhere among the other words, and "--" ends them.
//
// The random matrix is ROWS x ROWS with ENTRIES entries, sorted by row (the
// default) or shuffled. Values: exp17 writes 17 significant digits in exponent
// form (-1.2345678901234567e-03), short three decimals (12.345), int whole
// numbers. SEED (default 1) fixes the content. --mtx writes a Matrix Market
// file. A known matrix holds ones (a pattern file with --mtx): K entries in
// every row, or a band of B diagonals on each side of the diagonal (stored as
// its lower triangle with --mtx). --expect prints its product instead, as
// spmv's dump writes the result, and --digest the report's digest of it.
//
// Exit status: 0 when the file was written, 1 when it could not be, 2 when the
// command line is unusable (with a message and the usage on standard error).
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/whole_number.hpp"
#include "build_info.hpp"
#include "cli/command_line.hpp"
#include "known_matrix.hpp"
#include "matrix_generator.hpp"

namespace {

using spmv::parse_whole_number;

constexpr const char* usage_text =
    "usage: spmv-gen [--mtx] ROWS ENTRIES exp17|short|int [sorted|shuffled [SEED]]\n"
    "       spmv-gen [--mtx] [--expect|--digest] --known rows-of K ROWS\n"
    "       spmv-gen [--mtx] [--expect|--digest] --known band B ROWS\n"
    "       spmv-gen --help | -h | --version\n"
    "Writes a random ROWS x ROWS matrix with ENTRIES entries to standard output,\n"
    "or with --known a matrix of ones whose product with a vector of ones is known.\n"
    "The flags may come before, between or after the other words; -- ends them.\n"
    "  --mtx      a Matrix Market file instead of a plain coordinate file\n"
    "  ROWS       1 to 2147483647\n"
    "  ENTRIES    0 to 2147483647\n"
    "  exp17      values of 17 significant digits in exponent form\n"
    "  short      values with three decimals\n"
    "  int        whole values from -1000 to 999\n"
    "  sorted     entries in row order (the default)\n"
    "  shuffled   entries in random order\n"
    "  SEED       0 to 18446744073709551615 (default 1); the same seed gives the same file\n"
    "  rows-of    K entries in every row (K from 0 to ROWS), in spread columns:\n"
    "             ROWS x K entries, the product is K in every row\n"
    "  band       the diagonal and B diagonals on each side (B from 0 to ROWS-1); with\n"
    "             --mtx a pattern symmetric file of the lower triangle: the product in\n"
    "             row i is min(i-1,B) + 1 + min(ROWS-i,B)\n"
    "  --expect   print the product instead, one line per row as spmv's dump writes it\n"
    "  --digest   print the digest of the product that spmv's --report gives\n";

// Refuses the command line: the reason, then the usage, on standard error.
int refuse(const std::string& reason) {
  std::fprintf(stderr, "spmv-gen: %s\n%s", reason.c_str(), usage_text);
  return 2;
}

std::string not_a_number(const char* what, const char* text, std::uint64_t lowest,
                         std::uint64_t highest) {
  return std::string(what) + " must be a whole number from " + std::to_string(lowest) + " to " +
         std::to_string(highest) + ", not '" + text + "'";
}

// Tells that standard output could not take the text, and why.
void write_failure() {
  std::fprintf(stderr, "spmv-gen: cannot write to standard output: %s\n", std::strerror(errno));
}

// What a known matrix's command line asks for.
enum class KnownOutput {
  file,     // the matrix file
  product,  // --expect: the product, one line per row
  digest,   // --digest: the digest of the product
};

// What the command line asks for, its flags sorted out from the other words.
struct GenCommandLine {
  spmv::Query query = spmv::Query::none;  // the help or version text asked for
  std::string misuse;                     // the first unusable argument met, or empty
  bool matrix_market = false;             // --mtx
  bool known = false;                     // --known
  std::optional<KnownOutput> output;      // --expect or --digest
  std::vector<const char*> words;         // the arguments that are not flags, in order
};

// Reads the arguments from the left: flags anywhere, "--" ending them. The
// first --help, -h or --version met is answered unless a misuse came before
// it. No word may start with '-' (every one is a whole number or a name), so
// anything else that does is an unknown flag.
GenCommandLine read_gen_command_line(int argc, char** argv) {
  GenCommandLine line;
  bool flags_end = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (flags_end || !argument.starts_with('-')) {
      line.words.push_back(argv[i]);
    } else if (argument == "--") {
      flags_end = true;
    } else if (argument == "--help" || argument == "-h" || argument == "--version") {
      line.query = argument == "--version" ? spmv::Query::version : spmv::Query::help;
      return line;
    } else if (argument == "--mtx") {
      line.matrix_market = true;
    } else if (argument == "--known") {
      line.known = true;
    } else if (argument == "--expect" || argument == "--digest") {
      if (line.output) {
        line.misuse = "--expect and --digest go alone, once";
        return line;
      }
      line.output = argument == "--expect" ? KnownOutput::product : KnownOutput::digest;
    } else {
      line.misuse = "unknown option '" + std::string(argument) + "'";
      return line;
    }
  }
  return line;
}

// Handles "KIND WIDTH ROWS", the words of --known: writes the matrix, its
// product or its digest to standard output. The exit status.
int write_known(const std::vector<const char*>& words, bool matrix_market, KnownOutput output) {
  if (words.size() < 3) return refuse("--known needs a kind (rows-of or band), its width and ROWS");
  if (words.size() > 3) return refuse(std::string("unexpected argument '") + words[3] + "'");
  KnownMatrix m;
  if (!parse_known_kind(words[0], m.kind)) {
    return refuse(std::string("the known kind must be rows-of or band, not '") + words[0] + "'");
  }
  constexpr std::uint64_t max_rows = INT32_MAX;
  const auto rows = parse_whole_number(words[2], 1, max_rows);
  if (!rows) return refuse(not_a_number("ROWS", words[2], 1, max_rows));
  m.rows = static_cast<std::int32_t>(*rows);
  const auto limit = static_cast<std::uint64_t>(known_width_limit(m.kind, m.rows));
  const char* width_name = m.kind == KnownKind::rows_of ? "K" : "B";
  const auto width = parse_whole_number(words[1], 0, limit);
  if (!width) return refuse(not_a_number(width_name, words[1], 0, limit));
  m.width = static_cast<std::int64_t>(*width);

  bool written = false;
  switch (output) {
    case KnownOutput::file:
      written = write_known_matrix(stdout, m, matrix_market);
      break;
    case KnownOutput::product:
      written = write_known_product(stdout, m);
      break;
    case KnownOutput::digest:
      written =
          std::printf("%s\n", known_product_digest(m).c_str()) > 0 && std::fflush(stdout) == 0;
      break;
  }
  if (!written) write_failure();
  return written ? 0 : 1;
}

// Handles "ROWS ENTRIES STYLE [ORDER] [SEED]": writes the random matrix to
// standard output. The exit status.
int write_random(const std::vector<const char*>& words, MatrixLayout layout) {
  if (words.size() < 3) return refuse("ROWS, ENTRIES and a value style are needed");
  if (words.size() > 5) return refuse(std::string("unexpected argument '") + words[5] + "'");

  constexpr std::uint64_t max_count = INT32_MAX;
  const auto rows = parse_whole_number(words[0], 1, max_count);
  if (!rows) return refuse(not_a_number("ROWS", words[0], 1, max_count));
  const auto entries = parse_whole_number(words[1], 0, max_count);
  if (!entries) return refuse(not_a_number("ENTRIES", words[1], 0, max_count));
  ValueStyle style = ValueStyle::exp17;
  if (!parse_value_style(words[2], style)) {
    return refuse(std::string("the value style must be exp17, short or int, not '") + words[2] +
                  "'");
  }
  const std::string order = words.size() > 3 ? words[3] : "sorted";
  if (order != "sorted" && order != "shuffled") {
    return refuse("the order must be sorted or shuffled, not '" + order + "'");
  }
  std::uint64_t seed = 1;
  if (words.size() > 4) {
    const auto parsed = parse_whole_number(words[4], 0, UINT64_MAX);
    if (!parsed) return refuse(not_a_number("SEED", words[4], 0, UINT64_MAX));
    seed = *parsed;
  }
  layout.shuffled = (order == "shuffled");

  bool written = false;
  try {
    written = write_random_matrix(stdout, static_cast<std::int32_t>(*rows),
                                  static_cast<std::int32_t>(*entries), style, layout, seed);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "spmv-gen: not enough memory for %llu entries (16 bytes each)\n",
                 static_cast<unsigned long long>(*entries));
    return 1;
  }
  if (!written) write_failure();
  return written ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const GenCommandLine line = read_gen_command_line(argc, argv);
  if (!line.misuse.empty()) return refuse(line.misuse);
  if (line.query != spmv::Query::none) {
    const bool help = line.query == spmv::Query::help;
    if (help) {
      std::fputs(usage_text, stdout);
    } else {
      std::printf("spmv-gen %s\n", spmv::build_version);
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
      std::fprintf(stderr, "spmv-gen: could not write the %s: %s\n", help ? "help" : "version",
                   std::strerror(errno));
      return 1;
    }
    return 0;
  }
  if (line.known) {
    return write_known(line.words, line.matrix_market, line.output.value_or(KnownOutput::file));
  }
  if (line.output) return refuse("--expect and --digest need --known");
  MatrixLayout layout;
  layout.matrix_market = line.matrix_market;
  return write_random(line.words, layout);
}
