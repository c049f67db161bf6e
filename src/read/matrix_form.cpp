// The texts of a file's form, and the Matrix Market banner parser.
#include "read/matrix_form.hpp"

#include <cstring>

#include "read/messages.hpp"
#include "read/text_fields.hpp"

namespace spmv {

namespace {

constexpr char banner[] = "%%MatrixMarket";

// The fields the reader supports, by their banner words.
constexpr struct {
  const char* word;  // as the banner writes it, in lower case
  Field field;       // what it means
} field_words[] = {{"real", Field::real},
                   {"double", Field::double_},
                   {"integer", Field::integer},
                   {"pattern", Field::pattern}};

// The word that starts at p, in lower case; moves p past it.
std::string lower_word(const char*& p) {
  std::string word;
  for (; !ends_field(*p); ++p) {
    word += static_cast<char>(*p >= 'A' && *p <= 'Z' ? *p - 'A' + 'a' : *p);
  }
  return word;
}

}  // namespace

const char* format_name(FileFormat format) {
  return format == FileFormat::matrix_market ? "matrix market" : "plain";
}

const char* field_name(Field field) {
  for (const auto& known : field_words) {
    if (known.field == field) return known.word;
  }
  return nullptr;
}

const char* symmetry_name(Symmetry symmetry) {
  switch (symmetry) {
    case Symmetry::symmetric:
      return "symmetric";
    case Symmetry::skew_symmetric:
      return "skew-symmetric";
    case Symmetry::general:
      break;
  }
  return "general";
}

bool is_banner(const char* p) {
  return std::strncmp(skip_blanks(p), banner, sizeof banner - 1) == 0;
}

MatrixBanner parse_banner(const char* p) {
  MatrixBanner read;
  read.form.format = FileFormat::matrix_market;
  p = skip_blanks(p) + (sizeof banner - 1);
  const bool separated = is_blank(*p);
  const char* starts[4] = {};
  std::string words[4];
  for (int i = 0; i < 4; ++i) {
    p = skip_blanks(p);
    starts[i] = p;
    words[i] = lower_word(p);
  }
  p = skip_blanks(p);
  if (!separated || words[3].empty() || *p != '\n') {
    read.refusal =
        "malformed Matrix Market banner: expected \"%%MatrixMarket matrix coordinate FIELD "
        "SYMMETRY\"";
    return read;
  }
  if (words[0] != "matrix") {
    read.refusal =
        "unsupported Matrix Market object " + quote_field(starts[0]) + ": only matrix is supported";
    return read;
  }
  if (words[1] != "coordinate") {
    read.refusal = "unsupported Matrix Market format " + quote_field(starts[1]) +
                   ": only coordinate is supported";
    return read;
  }
  read.coordinate_matrix = true;
  for (const auto& known : field_words) {
    if (words[2] == known.word) read.form.field = known.field;
  }
  if (read.form.field == Field::none) {
    read.refusal = "unsupported Matrix Market field " + quote_field(starts[2]) +
                   ": supported are real, double, integer and pattern";
    return read;
  }
  // With real values, a hermitian matrix is a symmetric one.
  if (words[3] == "symmetric" || words[3] == "hermitian") {
    read.form.symmetry = Symmetry::symmetric;
  } else if (words[3] == "skew-symmetric") {
    read.form.symmetry = Symmetry::skew_symmetric;
  } else if (words[3] != "general") {
    read.refusal = "unsupported Matrix Market symmetry " + quote_field(starts[3]) +
                   ": supported are general, symmetric and skew-symmetric";
  }
  return read;
}

}  // namespace spmv
