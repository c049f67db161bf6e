// The form of a matrix file, as its banner gives it: plain, or Matrix Market
// with a field and a symmetry; and the parser of that banner, which both the
// reader and the archive member chooser use.
#pragma once

#include <optional>
#include <string>

namespace spmv {

// How the file is written.
enum class FileFormat {
  plain,          // no banner: the header "first n nnz", then the entries
  matrix_market,  // a Matrix Market banner, comments, the size line, the entries
};

// What an entry's value field holds.
enum class Field {
  none,     // a plain file: every entry has a value
  real,     // a value per entry
  double_,  // a value per entry, under the name "double"
  integer,  // a value per entry, written as an integer
  pattern,  // no value field; each value is 1
};

// Which entries the file leaves out, to be made from those it stores.
enum class Symmetry {
  general,         // every entry is stored
  symmetric,       // (i, j, v) stands for (j, i, v) too; also a hermitian matrix of reals
  skew_symmetric,  // (i, j, v) stands for (j, i, -v) too, and the diagonal is empty
};

// The form of a matrix file.
struct FileForm {
  FileFormat format = FileFormat::plain;  // plain or Matrix Market
  Field field = Field::none;              // none for a plain file
  Symmetry symmetry = Symmetry::general;  // general for a plain file
};

// True for a file whose every value is 1, so that no value is held: a
// pattern matrix, except a skew-symmetric one, whose mirrors hold -1.
inline bool holds_unit_values(const FileForm& form) {
  return form.field == Field::pattern && form.symmetry != Symmetry::skew_symmetric;
}

// The format's name in the report: "plain" or "matrix market".
const char* format_name(FileFormat format);

// The field's Matrix Market word, or nullptr for none.
const char* field_name(Field field);

// The symmetry's Matrix Market word.
const char* symmetry_name(Symmetry symmetry);

// True when p starts with the Matrix Market banner's first word, after blanks.
bool is_banner(const char* p);

// What a Matrix Market banner line says.
struct MatrixBanner {
  FileForm form;                       // Matrix Market, with the field and symmetry it names
  bool coordinate_matrix = false;      // well formed, and its object and format are
                                       // "matrix coordinate", whatever its field and symmetry
  std::optional<std::string> refusal;  // why the reader refuses the banner; empty when it
                                       // reads the file
};

// Parses the banner "%%MatrixMarket matrix coordinate FIELD SYMMETRY" at p
// (a line that ends with a newline), after blanks, its words in any case.
MatrixBanner parse_banner(const char* p);

}  // namespace spmv
