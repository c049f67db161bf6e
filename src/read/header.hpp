// The banner of a Matrix Market file and the header line "first n nnz",
// which fix the format of the entries and the size of the arrays.
#pragma once

#include "read/read_state.hpp"

namespace spmv {

// The Matrix Market fields the reader supports, as EntryFormat::field
// names them.
inline constexpr const char* market_fields[] = {"real", "double", "integer", "pattern"};

// True when p starts with the Matrix Market banner's first word, after blanks.
bool is_banner(const char* p);

// Parses "%%MatrixMarket matrix coordinate FIELD SYMMETRY" at p, after blanks,
// the words in any case, and notes in state.format what it says about the
// entries. A hermitian matrix is read as a symmetric one.
bool parse_banner(ReadState& state, const char* p);

// Parses the header at p: three integers, a size check against the file's
// lines and the memory, then the arrays. Leaves p at the newline. With
// `spare_slots`, room is made for blank lines, for a parallel read.
bool parse_header(ReadState& state, const char*& p, bool spare_slots);

}  // namespace spmv
