// A program started by a test, with its console output going to a file, and
// ended by the test.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zalvo::testing {

class ChildProcess {
 public:
  virtual ~ChildProcess() = default;
  // Ends the program (SIGTERM; on Windows Ctrl+C to a console program of its
  // own console, TerminateProcess otherwise or when that does not end it)
  // and waits.
  virtual void Stop() = 0;
  // Ends the program at once, wherever it is (SIGKILL; TerminateProcess on
  // Windows), and waits.
  virtual void Kill() = 0;
  virtual bool Running() = 0;
  // The exit code once it ended by itself; -1 while running.
  virtual int ExitCode() = 0;
  // The system's process id.
  virtual int64_t Id() = 0;
};

// Starts the program with its arguments; standard output and error go to the
// file. Throws std::runtime_error when it can't start.
std::unique_ptr<ChildProcess> StartProcess(const std::string& program,
                                           const std::vector<std::string>& args,
                                           const std::string& output_file);

// The path of a program built by this build, in the form the running test
// can start (a Linux path under Wine becomes a Z: drive path).
std::string BuiltProgramPath(const std::string& build_path);

}  // namespace zalvo::testing
