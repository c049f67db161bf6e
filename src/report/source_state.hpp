// The source the program was built from, for the report of a run: recorded
// at every build, in a file of its own, so that a new commit or a changed
// tree rebuilds that file alone and relinks.
#pragma once

namespace spmv {

// The git commit of the source when the program was built; empty outside a
// git tree.
extern const char* const build_commit;

// 1 when the tree had changes not committed then (untracked files count), 0
// when it had none, -1 outside a git tree.
extern const int build_tree_modified;

}  // namespace spmv
