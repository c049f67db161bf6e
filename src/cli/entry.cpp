// Queries and misuse, settled before the run starts.
#include "cli/entry.hpp"

#include <csignal>
#include <cstdio>
#include <string>

#include "cli/command_line.hpp"
#include "cli/usage.hpp"

namespace spmv {

int run_command_line(int argc, char** argv, const Launcher& launcher) {
  const CommandLine line = read_command_line(argc, argv);
  if (line.query != Query::none) {
    // The driver answers a query that is the first argument; one further on
    // is handed to it alone, as if it were.
    char help[] = "--help";
    char version[] = "--version";
    char* query[] = {argv[0], line.query == Query::help ? help : version, nullptr};
    return run_measurement(2, query, launcher);
  }
  std::string misuse = line.misuse;
  if (misuse.empty()) misuse = worker_count_misuse(launcher.processes, line.config.thread_count);
  if (misuse.empty()) return run_measurement(argc, argv, launcher);
  if (launcher.process == 0) {
    // A closed standard error loses the message, as it would lose a run's,
    // instead of ending the process on a signal.
    std::signal(SIGPIPE, SIG_IGN);
    std::fprintf(stderr, "%s: %s\n%s", launcher.program, misuse.c_str(),
                 usage_text(launcher.program).c_str());
  }
  return launcher.end(2);
}

}  // namespace spmv
