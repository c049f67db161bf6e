// The banner of a Matrix Market file and the header line "first n nnz",
// which fix the format of the entries and the size of the arrays.
#pragma once

#include "read/read_state.hpp"

namespace spmv {

// Parses the Matrix Market banner at p and notes in state.format the form it
// gives the entries; false, with the refusal, when the reader cannot read it.
bool take_banner(ReadState& state, const char* p);

// Parses the header at p: three integers, a size check against the file's
// lines and the memory, then the arrays. Leaves p at the newline. With
// `spare_slots`, room is made for blank lines, for a parallel read.
bool parse_header(ReadState& state, const char*& p, bool spare_slots);

}  // namespace spmv
