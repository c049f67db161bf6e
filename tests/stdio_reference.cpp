#include "stdio_reference.hpp"

#include <omp.h>

#include <cstdio>

using namespace spmv;

ReferenceMatrix stdio_read(const std::string& path) {
  ReferenceMatrix m;
  std::FILE* file = std::fopen(path.c_str(), "r");
  int lines = 0;
  for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) lines += (c == '\n');
  std::fclose(file);
  file = std::fopen(path.c_str(), "r");
  int first = 0;
  if (std::fscanf(file, "%d %d %d", &first, &m.n, &m.nnz) != 3) m.nnz = 0;
  m.row.assign(static_cast<std::size_t>(m.nnz), 0);
  m.col.assign(static_cast<std::size_t>(m.nnz), 0);
  m.value.assign(static_cast<std::size_t>(m.nnz), 0);
  for (int k = 0; k < lines - 1 && k < m.nnz; ++k) {
    if (std::fscanf(file, "%d %d %Le", &m.row[k], &m.col[k], &m.value[k]) != 3) break;
  }
  std::fclose(file);
  return m;
}

std::vector<Extended> reference_product(const ReferenceMatrix& m, int threads) {
  std::vector<std::vector<Extended>> partial(static_cast<std::size_t>(threads),
                                             std::vector<Extended>(static_cast<std::size_t>(m.n)));
#pragma omp parallel num_threads(threads)
  {
    auto& mine = partial[static_cast<std::size_t>(omp_get_thread_num())];
#pragma omp for schedule(static)
    for (int k = 0; k < m.nnz; ++k) {
      mine[m.row[k] - 1] = mine[m.row[k] - 1] + static_cast<Extended>(1) * m.value[k];
    }
  }
  std::vector<Extended> result(static_cast<std::size_t>(m.n), 0);
  for (int i = 0; i < m.n; ++i) {
    for (int t = 0; t < threads; ++t) result[i] = result[i] + partial[t][i];
  }
  return result;
}

std::string reference_dump(const std::string& path, const ReferenceMatrix& m,
                           const std::vector<Extended>& product) {
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&text, &size);
  std::fprintf(out, "INPUT MATRIX TAKEN FROM: %s\n\n", path.c_str());
  for (int k = 0; k < m.nnz; ++k) std::fprintf(out, "%d %d %Le \n", m.row[k], m.col[k], m.value[k]);
  std::fputs("Vector to be Multiplied\n\n", out);
  for (int i = 0; i < m.n; ++i) std::fprintf(out, "%d\n", 1);
  std::fputs("Resulting Vector\n\n", out);
  for (int i = 0; i < m.n; ++i) std::fprintf(out, "%Le\n", product[i]);
  std::fclose(out);
  std::string dump(text, size);
  std::free(text);
  return dump;
}
