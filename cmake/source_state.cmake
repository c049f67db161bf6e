# Writes OUTPUT from TEMPLATE with the git commit of SOURCE_DIR and whether
# its tree has changes not committed (tracked or untracked files), as git
# tells them now. Run at every build, so that the figures describe the source
# the program was built from; the file is rewritten only when they change, so
# that an unchanged tree recompiles nothing. Outside a git tree, or in a
# folder of a tree that is not its top (a source archive unpacked inside
# another repository), the commit is empty and the state -1.
#
#   cmake -DSOURCE_DIR=... -DTEMPLATE=... -DOUTPUT=... [-DGIT_EXECUTABLE=...] -P source_state.cmake
set(SPMV_GIT_COMMIT "")
set(SPMV_GIT_TREE_MODIFIED -1)
if(GIT_EXECUTABLE)
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --show-toplevel HEAD
                  WORKING_DIRECTORY ${SOURCE_DIR}
                  RESULT_VARIABLE git_status OUTPUT_VARIABLE git_lines
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  string(REPLACE "\n" ";" git_lines "${git_lines}")
  list(LENGTH git_lines git_line_count)
  if(git_status EQUAL 0 AND git_line_count EQUAL 2)
    list(GET git_lines 0 git_top)
    list(GET git_lines 1 git_commit)
    file(REAL_PATH "${git_top}" git_top)
    file(REAL_PATH "${SOURCE_DIR}" source_top)
    if(git_top STREQUAL source_top AND git_commit MATCHES "^[0-9a-f]+$")
      execute_process(COMMAND ${GIT_EXECUTABLE} status --porcelain
                      WORKING_DIRECTORY ${SOURCE_DIR}
                      RESULT_VARIABLE git_status OUTPUT_VARIABLE git_changes ERROR_QUIET)
      if(git_status EQUAL 0)
        set(SPMV_GIT_COMMIT "${git_commit}")
        if(git_changes STREQUAL "")
          set(SPMV_GIT_TREE_MODIFIED 0)
        else()
          set(SPMV_GIT_TREE_MODIFIED 1)
        endif()
      endif()
    endif()
  endif()
endif()
configure_file(${TEMPLATE} ${OUTPUT} @ONLY)
