// Both sides of an association in one process: the library initialised from the shipped
// configuration, a requesting and an accepting application, a loopback port with the library
// already listening on it, and every log line recorded.
#ifndef TESSEL_TESTS_ASSOCIATION_ASSOCIATION_FIXTURE_HPP_
#define TESSEL_TESTS_ASSOCIATION_ASSOCIATION_FIXTURE_HPP_

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/log_capture.hpp"
#include "tests/support/test_env.hpp"
#include "tests/transport/loopback.hpp"

namespace tessel::test {

inline constexpr char kScuTitle[] = "TESSEL_SCU";
inline constexpr char kScpTitle[] = "TESSEL_SCP";
inline constexpr char kEchoList[] = "ECHO_SERVICE_LIST";
inline constexpr char kLoopback[] = "127.0.0.1";

class AssociationTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Opens from the requesting application to this process's port (or `port`).
  int32_t open(int32_t* id, const char* title = kScpTitle, const char* list = kEchoList);
  int32_t open_to(int32_t port, int32_t* id, const char* title, const char* list);
  // Waits on the fixture's port for the accepting application.
  int32_t wait(int32_t timeout, int32_t* id, const char* list = kEchoList);

  LogCapture& log() { return *log_; }

  int32_t scu_ = -1;
  int32_t scp_ = -1;
  int32_t port_ = 0;

 private:
  std::unique_ptr<LibraryScope> library_;
  std::unique_ptr<LogCapture> log_;
};

// The accepting side's part once its association is accepted, played on the upper layer
// directly: reads until the peer releases or aborts (at most `seconds`), answers a release, and
// frees the association. Gives the last upper-layer result (5 for a release).
int32_t serve_until_end(int32_t association_id, int seconds = 10);

// Whether an association identifier is still known (looked up without claiming it).
bool association_alive(int32_t association_id);
// Waits up to `seconds` until another thread holds the association in a network call.
bool wait_until_claimed(int32_t association_id, int seconds);

// A program of the test's own, started with arguments and stopped (SIGTERM) on destruction.
class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  bool started() const { return pid_ > 0; }
  // Waits up to `seconds` for the program to end; its exit status, or -1.
  int wait_exit(int seconds);

 private:
  int pid_ = -1;
};

// Whether a program is on PATH.
bool on_path(const std::string& program);

}  // namespace tessel::test

#endif  // TESSEL_TESTS_ASSOCIATION_ASSOCIATION_FIXTURE_HPP_
