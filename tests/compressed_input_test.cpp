// Compressed files and archives, written here with libarchive's writer:
// each must give the dump of the plain file; broken data, archives without
// a member to read and bad lines in a member are refused with their reasons.
#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

#include "read/coo_matrix.hpp"
#include "read/progress.hpp"
#include "test_support.hpp"

namespace {

// A member of an archive to write: its path and content. A content that
// starts with "->" or "=>" makes the member a symbolic or a hard link to the
// path that follows.
using Member = std::pair<std::string, std::string>;

// Writes `members` to `path` in the given format (ARCHIVE_FORMAT_RAW for a
// lone compressed stream) through the given compression filter, with the
// writer's `options` (such as "gzip:compression-level=0") when given.
void write_packed(const std::string& path, int format, int filter,
                  const std::vector<Member>& members, const char* options = nullptr) {
  archive* out = archive_write_new();
  ASSERT_EQ(archive_write_add_filter(out, filter), ARCHIVE_OK) << archive_error_string(out);
  ASSERT_EQ(archive_write_set_format(out, format), ARCHIVE_OK);
  if (options != nullptr) {
    ASSERT_EQ(archive_write_set_options(out, options), ARCHIVE_OK);
  }
  ASSERT_EQ(archive_write_open_filename(out, path.c_str()), ARCHIVE_OK);
  for (const auto& [name, given] : members) {
    archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, name.c_str());
    std::string content = given;
    archive_entry_set_filetype(entry, AE_IFREG);
    if (content.starts_with("->")) {
      archive_entry_set_filetype(entry, AE_IFLNK);
      archive_entry_set_symlink(entry, content.c_str() + 2);
      content.clear();
    } else if (content.starts_with("=>")) {
      archive_entry_set_hardlink(entry, content.c_str() + 2);
      content.clear();
    }
    archive_entry_set_size(entry, static_cast<la_int64_t>(content.size()));
    archive_entry_set_perm(entry, 0644);
    ASSERT_EQ(archive_write_header(out, entry), ARCHIVE_OK) << archive_error_string(out);
    ASSERT_EQ(archive_write_data(out, content.data(), content.size()),
              static_cast<la_ssize_t>(content.size()));
    archive_entry_free(entry);
  }
  ASSERT_EQ(archive_write_close(out), ARCHIVE_OK);
  archive_write_free(out);
}

// The bytes of `members` packed as write_packed packs them.
std::string packed_text(int format, int filter, const std::vector<Member>& members,
                        const char* options = nullptr) {
  const std::string path = write_temp_file("packed_text", "");
  write_packed(path, format, filter, members, options);
  return read_text(path);
}

// A symmetric Matrix Market matrix of a few hundred entries, so that the
// compressed streams span several blocks of their formats.
std::string sample_matrix() {
  std::string text = "%%MatrixMarket matrix coordinate real symmetric\n% sample\n300 300 600\n";
  for (int k = 0; k < 600; ++k) {
    const int row = 1 + (k * 7) % 300;
    const int col = 1 + (k * 13) % row;
    text += std::to_string(row) + " " + std::to_string(col) + " " + std::to_string(k) + ".25e-1\n";
  }
  return text;
}

// The dump without its first line, which names the file.
std::string dump_body(const RunResult& run) {
  return run.err.substr(run.err.find('\n') + 1);
}

TEST(CompressedInput, EveryCompressionAndArchiveGivesTheDumpOfThePlainFile) {
  const std::string matrix = sample_matrix();
  const RunResult plain = run_spmv({"3", "0", "1", write_temp_file("sample.mtx", matrix)});
  ASSERT_EQ(plain.status, 0) << plain.err;
  const std::vector<Member> lone = {{"data", matrix}};
  // Compressed as often as a file may be: 15 times here, once more below.
  std::string fifteen = matrix;
  std::string sixteen_layers = "gzip-compressed";
  for (int layer = 0; layer < 15; ++layer) {
    fifteen = packed_text(ARCHIVE_FORMAT_RAW, ARCHIVE_FILTER_GZIP, {{"data", fifteen}});
    sixteen_layers += ", then gzip-compressed";
  }
  // SuiteSparse's layout: NAME/NAME.mtx beside NAME/NAME_b.mtx (a dense
  // right-hand side, which is not a coordinate matrix).
  const std::vector<Member> suite = {
      {"sample/sample_b.mtx", "%%MatrixMarket matrix array real general\n2 1\n1\n2\n"},
      {"sample/sample.mtx", matrix},
      {"sample/README.txt", "about the sample\n"}};
  // A member named after the archive wins over other coordinate members,
  // even after them.
  const std::vector<Member> named_last = {
      {"named/other.mtx", "%%MatrixMarket matrix coordinate real general\n1 1 1\n1 1 9\n"},
      {"named/named.mtx", matrix}};
  const std::vector<Member> one_mtx = {{"dir/other.txt", "x\n"}, {"dir/any_name.mtx", matrix}};
  // Without a member of the archive's name, the first .mtx member that holds
  // a coordinate matrix, not the first .mtx member.
  const std::vector<Member> array_first = {
      {"d/rhs_b.mtx", "%%MatrixMarket matrix array real general\n2 1\n1\n2\n"},
      {"d/m.mtx", matrix}};
  // A Matrix Market vector is no matrix, whatever its format, nor is a member
  // whose banner names no field and symmetry after "matrix coordinate".
  const std::vector<Member> vector_beside = {
      {"v/a_vec.mtx", "%%MatrixMarket vector coordinate real general\n2 1\n1 1\n"},
      {"v/a_rhs.mtx", "%%MatrixMarket matrix coordinate\n2 1\n1\n2\n"},
      {"v/b.mtx", matrix}};
  const struct {
    const char* name;
    int format;
    int filter;
    const std::vector<Member> members;
    const char* member;   // read through, for the report; empty for a lone stream
    const char* packing;  // what the report calls the file
  } cases[] = {
      {"sample.mtx.gz", ARCHIVE_FORMAT_RAW, ARCHIVE_FILTER_GZIP, lone, "", "gzip-compressed"},
      {"sample.mtx.bz2", ARCHIVE_FORMAT_RAW, ARCHIVE_FILTER_BZIP2, lone, "", "bzip2-compressed"},
      {"sample.mtx.xz", ARCHIVE_FORMAT_RAW, ARCHIVE_FILTER_XZ, lone, "", "xz-compressed"},
      {"sample.mtx.zst", ARCHIVE_FORMAT_RAW, ARCHIVE_FILTER_ZSTD, lone, "", "zstd-compressed"},
      {"named_anyhow", ARCHIVE_FORMAT_RAW, ARCHIVE_FILTER_GZIP, lone, "", "gzip-compressed"},
      {"sample.tar.gz", ARCHIVE_FORMAT_TAR_USTAR, ARCHIVE_FILTER_GZIP, suite, "sample/sample.mtx",
       "a tar archive, gzip-compressed"},
      {"sample.tar", ARCHIVE_FORMAT_TAR_USTAR, ARCHIVE_FILTER_NONE, suite, "sample/sample.mtx",
       "a tar archive"},
      {"sample.tar.zst", ARCHIVE_FORMAT_TAR_PAX_RESTRICTED, ARCHIVE_FILTER_ZSTD, suite,
       "sample/sample.mtx", "a tar archive, zstd-compressed"},
      {"other.tar.xz", ARCHIVE_FORMAT_TAR_USTAR, ARCHIVE_FILTER_XZ, one_mtx, "dir/any_name.mtx",
       "a tar archive, xz-compressed"},
      {"named.tar.bz2", ARCHIVE_FORMAT_TAR_USTAR, ARCHIVE_FILTER_BZIP2, named_last,
       "named/named.mtx", "a tar archive, bzip2-compressed"},
      // Compressed twice: both layers undone, and named in the order applied.
      {"twice.mtx.gz.xz",
       ARCHIVE_FORMAT_RAW,
       ARCHIVE_FILTER_XZ,
       {{"data", packed_text(ARCHIVE_FORMAT_RAW, ARCHIVE_FILTER_GZIP, lone)}},
       "",
       "gzip-compressed, then xz-compressed"},
      {"twice.mtx.xz.gz",
       ARCHIVE_FORMAT_RAW,
       ARCHIVE_FILTER_GZIP,
       {{"data", packed_text(ARCHIVE_FORMAT_RAW, ARCHIVE_FILTER_XZ, lone)}},
       "",
       "xz-compressed, then gzip-compressed"},
      {"firstco.tar", ARCHIVE_FORMAT_TAR_USTAR, ARCHIVE_FILTER_NONE, array_first, "d/m.mtx",
       "a tar archive"},
      {"vecs.tar", ARCHIVE_FORMAT_TAR_USTAR, ARCHIVE_FILTER_NONE, vector_beside, "v/b.mtx",
       "a tar archive"},
      // A gzip stream inside another layer, gzip's own included.
      {"twice.mtx.gz.zst",
       ARCHIVE_FORMAT_RAW,
       ARCHIVE_FILTER_ZSTD,
       {{"data", packed_text(ARCHIVE_FORMAT_RAW, ARCHIVE_FILTER_GZIP, lone)}},
       "",
       "gzip-compressed, then zstd-compressed"},
      {"twice.mtx.gz.gz",
       ARCHIVE_FORMAT_RAW,
       ARCHIVE_FILTER_GZIP,
       {{"data", packed_text(ARCHIVE_FORMAT_RAW, ARCHIVE_FILTER_GZIP, lone)}},
       "",
       "gzip-compressed, then gzip-compressed"},
      {"sixteen.mtx.gz",
       ARCHIVE_FORMAT_RAW,
       ARCHIVE_FILTER_GZIP,
       {{"data", fifteen}},
       "",
       sixteen_layers.c_str()},
      {"sample.tar.gz.xz",
       ARCHIVE_FORMAT_RAW,
       ARCHIVE_FILTER_XZ,
       {{"data", packed_text(ARCHIVE_FORMAT_TAR_USTAR, ARCHIVE_FILTER_GZIP, suite)}},
       "sample/sample.mtx",
       "a tar archive, gzip-compressed, then xz-compressed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = write_temp_file(c.name, "");
    write_packed(path, c.format, c.filter, c.members);
    const std::string report = write_temp_file("report.json", "");
    const RunResult run = run_spmv({"--report=" + report, "3", "0", "1", path});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err.rfind("INPUT MATRIX TAKEN FROM: " + path + "\n", 0), 0u);
    EXPECT_EQ(dump_body(run), dump_body(plain));
    const nlohmann::ordered_json full_report = nlohmann::ordered_json::parse(read_text(report));
    EXPECT_EQ(full_report["seconds"].begin().key(), "unpack") << full_report["seconds"];
    const nlohmann::ordered_json& matrix_report = full_report["matrix"];
    EXPECT_EQ(matrix_report["bytes"], matrix.size());
    EXPECT_EQ(matrix_report["unpacked_bytes"], matrix.size());
    EXPECT_EQ(matrix_report["packed_bytes"], read_text(path).size());
    EXPECT_EQ(matrix_report["member"],
              *c.member ? nlohmann::ordered_json(c.member) : nlohmann::ordered_json());
    EXPECT_EQ(matrix_report["packing"], c.packing);
  }
}

TEST(CompressedInput, RefusesBrokenDataArchivesWithoutAMemberAndBadLinesInMembers) {
  const std::string matrix = sample_matrix();
  const std::string gz = write_temp_file("whole.mtx.gz", "");
  write_packed(gz, ARCHIVE_FORMAT_RAW, ARCHIVE_FILTER_GZIP, {{"data", matrix}});
  const std::string whole = read_text(gz);
  std::string flipped = whole;  // one bit of the last deflate block
  flipped[flipped.size() - 12] = static_cast<char>(flipped[flipped.size() - 12] ^ 0x10);
  std::string bad_crc = whole;  // the data intact, its check value not
  bad_crc[bad_crc.size() - 8] = static_cast<char>(bad_crc[bad_crc.size() - 8] ^ 1);
  const std::string xz = write_temp_file("whole.mtx.xz", "");
  write_packed(xz, ARCHIVE_FORMAT_RAW, ARCHIVE_FILTER_XZ, {{"data", matrix}});
  const std::string xz_text = read_text(xz);
  const std::string two = write_temp_file("two.tar.gz", "");
  write_packed(two, ARCHIVE_FORMAT_TAR_USTAR, ARCHIVE_FILTER_GZIP,
               {{"two/a.mtx", matrix}, {"two/b.mtx", matrix}});
  const std::string none = write_temp_file("none.tar", "");
  write_packed(none, ARCHIVE_FORMAT_TAR_USTAR, ARCHIVE_FILTER_NONE,
               {{"none/x_b.mtx", "%%MatrixMarket matrix array real general\n1 1\n1\n"}});
  const std::string no_mtx = write_temp_file("no_mtx.tar.xz", "");
  write_packed(no_mtx, ARCHIVE_FORMAT_TAR_USTAR, ARCHIVE_FILTER_XZ,
               {{"no_mtx/README.txt", "no matrix here\n"}, {"no_mtx/mtx", matrix}});
  const std::string bad_member = write_temp_file("bad.tar.bz2", "");
  write_packed(bad_member, ARCHIVE_FORMAT_TAR_USTAR, ARCHIVE_FILTER_BZIP2,
               {{"bad/bad.mtx", "%%MatrixMarket matrix coordinate real general\n2 2 1\n1 x 1\n"}});
  // A gzip stream of stored blocks, which only its check values guard: one
  // digit changed, or its length, inside each other compression.
  const std::string stored = packed_text(ARCHIVE_FORMAT_RAW, ARCHIVE_FILTER_GZIP,
                                         {{"data", matrix}}, "gzip:compression-level=0");
  std::string changed_digit = stored;
  changed_digit[changed_digit.find(".25e-1") + 1] = '9';
  std::string bad_length = stored;
  bad_length[bad_length.size() - 1] = static_cast<char>(bad_length[bad_length.size() - 1] ^ 1);
  // A tar archive followed by more than a block of zeros, which its reader
  // never asks for, in a gzip stream.
  std::string changed_tar =
      packed_text(ARCHIVE_FORMAT_RAW, ARCHIVE_FILTER_GZIP,
                  {{"data", packed_text(ARCHIVE_FORMAT_TAR_USTAR, ARCHIVE_FILTER_NONE,
                                        {{"digit/digit.mtx", matrix}, {"digit/notes.txt", "x\n"}}) +
                                std::string(std::size_t{3} << 20, '\0')}},
                  "gzip:compression-level=0");
  changed_tar[changed_tar.find(".25e-1") + 1] = '9';
  const auto wrapped = [](const std::string& name, int filter, const std::string& inner) {
    const std::string path = write_temp_file(name, "");
    write_packed(path, ARCHIVE_FORMAT_RAW, filter, {{"data", inner}});
    return path;
  };
  std::string nested = matrix;  // gzip-compressed once too often
  std::string nested_xz = matrix;
  for (int layer = 0; layer < 17; ++layer) {
    nested = packed_text(ARCHIVE_FORMAT_RAW, ARCHIVE_FILTER_GZIP, {{"data", nested}});
    nested_xz = packed_text(ARCHIVE_FORMAT_RAW, ARCHIVE_FILTER_XZ, {{"data", nested_xz}});
  }
  const std::string bz2 = packed_text(ARCHIVE_FORMAT_RAW, ARCHIVE_FILTER_BZIP2, {{"data", matrix}});
  const auto tar = [](const std::string& name, const std::vector<Member>& members) {
    const std::string path = write_temp_file(name, "");
    write_packed(path, ARCHIVE_FORMAT_TAR_USTAR, ARCHIVE_FILTER_NONE, members);
    return path;
  };
  const std::string small = "%%MatrixMarket matrix coordinate real general\n1 1 1\n1 1 9\n";
  std::vector<Member> many;
  for (int k = 0; k < 12; ++k) many.emplace_back("many/m" + std::to_string(k) + ".mtx", small);
  // A compressed stream of no text.
  const auto empty = [](int filter) {
    const std::string path = write_temp_file("empty" + std::to_string(filter), "");
    write_packed(path, ARCHIVE_FORMAT_RAW, filter, {{"data", ""}});
    return path;
  };
  const struct {
    std::string path;
    std::string message;  // after the path
  } cases[] = {
      {write_temp_file("half.mtx.gz", whole.substr(0, whole.size() / 2)), ": truncated gzip input"},
      {write_temp_file("no_trailer.mtx.gz", whole.substr(0, whole.size() - 4)),
       ": truncated gzip input"},
      {write_temp_file("trailing.mtx.gz", whole + "trailing text"), ": gzip data error: "},
      {write_temp_file("concatenated.mtx.gz", whole + whole),
       ":604: more entries than the 600 that the header declares"},
      {write_temp_file("flipped.mtx.gz", flipped), ": gzip data error: "},
      {write_temp_file("bad_crc.mtx.gz", bad_crc), ": gzip data error: incorrect data check"},
      {write_temp_file("half.mtx.xz", xz_text.substr(0, xz_text.size() / 2)), ": Lzma library"},
      // A second member cut off inside its header is no clean end.
      {write_temp_file("cut_header.mtx.gz", whole + whole.substr(0, 5)), ": truncated gzip input"},
      {wrapped("digit.mtx.gz.xz", ARCHIVE_FILTER_XZ, changed_digit),
       ": gzip data error: incorrect data check"},
      {wrapped("digit.mtx.gz.zst", ARCHIVE_FILTER_ZSTD, changed_digit),
       ": gzip data error: incorrect data check"},
      {wrapped("digit.mtx.gz.bz2", ARCHIVE_FILTER_BZIP2, changed_digit),
       ": gzip data error: incorrect data check"},
      {wrapped("length.mtx.gz.xz", ARCHIVE_FILTER_XZ, bad_length),
       ": gzip data error: incorrect length check"},
      {wrapped("half.mtx.gz.xz", ARCHIVE_FILTER_XZ, stored.substr(0, stored.size() / 2)),
       ": truncated gzip input"},
      // The member is read before the end of the stream, where its check is.
      {wrapped("digit.tar.gz.xz", ARCHIVE_FILTER_XZ, changed_tar),
       ": gzip data error: incorrect data check"},
      {write_temp_file("nested.mtx.gz", nested), ": compressed more than 16 times over"},
      {write_temp_file("nested.mtx.xz", nested_xz), ": compressed more than 16 times over"},
      // Cut before the text's header: the cut is the reason, not the text.
      {write_temp_file("early.mtx.gz", whole.substr(0, 60)), ": truncated gzip input"},
      {wrapped("early.mtx.gz.xz", ARCHIVE_FILTER_XZ, stored.substr(0, 60)),
       ": truncated gzip input"},
      {write_temp_file("early.mtx.bz2", bz2.substr(0, 10)),
       ": holds bzip2-compressed data that cannot be read: it ends early or is corrupt"},
      {tar("dup.tar", {{"dup/dup.mtx", matrix}, {"other/dup.mtx", matrix}}),
       ": the archive has 2 members named dup.mtx: dup/dup.mtx, other/dup.mtx; unpack the one "
       "to read"},
      {tar("arr.tar", {{"arr/other.mtx", small},
                       {"arr/arr.mtx", "%%MatrixMarket matrix array real general\n1 1\n1\n"}}),
       "(arr/arr.mtx):1: unsupported Matrix Market format \"array\": only coordinate is "
       "supported"},
      // The banner's first word in the reader's case alone.
      {tar("lower.tar", {{"lower/a.mtx", "%%matrixmarket matrix coordinate real general\n"}}),
       ": the archive has no member lower.mtx, and no .mtx member holds a coordinate matrix "
       "(lower/a.mtx)"},
      // A link named after the archive is refused even beside a matrix, which
      // would be another matrix than the one that the archive names.
      {tar("sym.tar", {{"sym/sym.mtx", "->gone.mtx"}, {"sym/other.mtx", small}}),
       ": the archive's member sym/sym.mtx is a symbolic link to gone.mtx, which is not "
       "followed; unpack the archive to read it"},
      {tar("hard.tar",
           {{"hard/a.mtx", small}, {"hard/b.mtx", small}, {"hard/hard.mtx", "=>hard/a.mtx"}}),
       ": the archive's member hard/hard.mtx is a hard link to hard/a.mtx, which is not "
       "followed; unpack the archive to read it"},
      {tar("many.tar", many),
       ": the archive has no member many.mtx, and 12 .mtx members hold a coordinate matrix: "
       "many/m0.mtx, many/m1.mtx, many/m2.mtx, many/m3.mtx, many/m4.mtx, many/m5.mtx, "
       "many/m6.mtx, many/m7.mtx, many/m8.mtx, many/m9.mtx and 2 more; unpack the one to read"},
      {two,
       ": the archive has no member two.mtx, and 2 .mtx members hold a coordinate matrix: "
       "two/a.mtx, two/b.mtx; unpack the one to read"},
      {none,
       ": the archive has no member none.mtx, and no .mtx member holds a coordinate matrix "
       "(none/x_b.mtx)"},
      {no_mtx, ": the archive has no member no_mtx.mtx and no .mtx member"},
      {bad_member, "(bad/bad.mtx):3: column \"x\" is not an integer"},
      // Empty text, as an empty plain file is refused.
      {empty(ARCHIVE_FILTER_GZIP), ": no header line: the file holds no numbers"},
      {empty(ARCHIVE_FILTER_BZIP2), ": no header line: the file holds no numbers"},
      {empty(ARCHIVE_FILTER_XZ), ": no header line: the file holds no numbers"},
      {empty(ARCHIVE_FILTER_ZSTD), ": no header line: the file holds no numbers"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const RunResult run = run_spmv({"2", "0", "1", c.path});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "Error Reading File\n");
    EXPECT_EQ(run.err.rfind(c.path + c.message, 0), 0u) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  }
}

// An archive refused for want of a member has still been read to its end,
// and the progress line's last figures say so.
TEST(CompressedInput, ProgressCountsEveryPackedByteOfAnArchiveWithoutAMember) {
  std::string notes;
  for (int k = 0; k < 20000; ++k) notes += "note " + std::to_string(k * 7919) + "\n";
  for (const int filter : {ARCHIVE_FILTER_GZIP, ARCHIVE_FILTER_XZ}) {
    SCOPED_TRACE(filter);
    const std::string path = write_temp_file("notes" + std::to_string(filter), "");
    write_packed(path, ARCHIVE_FORMAT_TAR_USTAR, filter,
                 {{"notes/a.txt", notes}, {"notes/b.txt", notes}});
    const auto size = static_cast<std::int64_t>(read_text(path).size());
    spmv::ReadProgress progress;
    spmv::ReadOptions options;
    options.progress = &progress;
    EXPECT_TRUE(spmv::read_coo_matrix(path, 1, options).failure);
    EXPECT_EQ(progress.total.load(), size);
    EXPECT_EQ(progress.done.load(), size);
  }
}

// The unpacked text is held against the memory: a small file of newlines
// whose header declares more entries than any machine here holds is stopped
// once its text is large, and the report says how far it got; the text of
// an archive member counts beside the run's arrays.
TEST(CompressedInput, UnpackedTextCountsAgainstTheMemory) {
  const std::string bomb = write_temp_file("bomb.mtx.zst", "");
  write_packed(bomb, ARCHIVE_FORMAT_RAW, ARCHIVE_FILTER_ZSTD,
               {{"data", "%%MatrixMarket matrix coordinate real general\n9 9 1000000000000\n" +
                             std::string(std::size_t{80} << 20, '\n')}});
  const std::string member =
      "%%MatrixMarket matrix coordinate real general\n"
      "2000000000 2000000000 1\n1 1 1\n";
  const std::string wide = write_temp_file("wide.tar", "");
  write_packed(wide, ARCHIVE_FORMAT_TAR_USTAR, ARCHIVE_FILTER_NONE, {{"wide/wide.mtx", member}});
  const struct {
    std::string path;
    std::string message;  // a part of the message
    std::int64_t least;   // bounds of the unpacked bytes the report gives
    std::int64_t most;
  } cases[] = {
      {bomb,
       "not enough memory to hold the unpacked text of " + bomb +
           ": the 24000000000000 bytes of arrays that its header calls for leave no room for it; ",
       64 << 20, 65 << 20},
      {wide, std::string("(") + std::to_string(member.size()) + " bytes of them unpacked text)",
       static_cast<std::int64_t>(member.size()), static_cast<std::int64_t>(member.size())},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string report = write_temp_file("report.json", "");
    const RunResult run = run_spmv({"--report=" + report, "8", "0", "0", c.path});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    const nlohmann::json matrix = nlohmann::json::parse(read_text(report))["matrix"];
    EXPECT_GE(matrix["unpacked_bytes"].get<std::int64_t>(), c.least) << matrix;
    EXPECT_LE(matrix["unpacked_bytes"].get<std::int64_t>(), c.most) << matrix;
  }
}

}  // namespace
