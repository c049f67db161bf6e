// The plain stdio way of doing what spmv does: an fgetc newline count,
// fscanf("%d %d %Le") for the header and entries, one partial vector per
// worker over OpenMP's static schedule, printf for the dump. On a well-formed
// file the program must agree with it bit for bit and byte for byte.
#pragma once

#include <string>
#include <vector>

#include "base/run_types.hpp"

struct ReferenceMatrix {
  int n = 0;
  int nnz = 0;
  std::vector<int> row;
  std::vector<int> col;
  std::vector<spmv::Extended> value;
};

// Reads a file with fgetc and fscanf; the file must exist.
ReferenceMatrix stdio_read(const std::string& path);

// The product with a vector of ones, computed by `threads` workers.
std::vector<spmv::Extended> reference_product(const ReferenceMatrix& matrix, int threads);

// The dump text for this matrix and product.
std::string reference_dump(const std::string& path, const ReferenceMatrix& matrix,
                           const std::vector<spmv::Extended>& product);
