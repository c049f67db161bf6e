// Matrix files whose product with a vector of ones follows from their shape,
// so that a run of any size can be checked without reading the file back.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// The families of known matrices.
enum class KnownKind {
  rows_of,  // every row holds K entries in distinct, spread columns: the product is K
  band,     // the diagonal and B sub- and super-diagonals, each entry 1
};

// One known matrix.
struct KnownMatrix {
  KnownKind kind = KnownKind::rows_of;  // its family
  std::int64_t width = 0;               // K entries per row, or B diagonals on each side
  std::int32_t rows = 1;                // rows and columns, 1 or more
};

// Reads "rows-of" or "band"; false for anything else.
bool parse_known_kind(const std::string& name, KnownKind& kind);

// The largest width the family allows for `rows` rows: K up to the rows (no
// column twice in a row), B up to the rows less one.
std::int64_t known_width_limit(KnownKind kind, std::int32_t rows);

// Entries the file holds: every entry of a plain file, the lower triangle
// of a Matrix Market band.
std::int64_t known_file_entries(const KnownMatrix& m, bool matrix_market);

// The product's element in 1-based row `row`.
std::int64_t known_row_sum(const KnownMatrix& m, std::int64_t row);

// Writes the matrix to `out`: a plain file "rows rows entries" with "row col 1"
// lines, or with `matrix_market` a pattern file (general for rows-of,
// symmetric with the lower triangle for band). Rows in order. False on a
// write error.
bool write_known_matrix(std::FILE* out, const KnownMatrix& m, bool matrix_market);

// Writes the product as spmv's dump writes its result: one "%Le" line per row.
// False on a write error.
bool write_known_product(std::FILE* out, const KnownMatrix& m);

// The digest of the product as spmv's report gives it ("fnv1a64:...").
std::string known_product_digest(const KnownMatrix& m);
