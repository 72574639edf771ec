// Both ends of message exchange in one process: the library initialised from the shipped
// configuration, a requesting and an accepting application, a loopback port the library
// listens on, and every log line recorded.
#ifndef TESSEL_TESTS_DIMSE_DIMSE_FIXTURE_HPP_
#define TESSEL_TESTS_DIMSE_DIMSE_FIXTURE_HPP_

#include <cstdint>
#include <memory>

#include <gtest/gtest.h>

#include "tests/support/log_capture.hpp"
#include "tests/support/test_env.hpp"

namespace tessel::test {

inline constexpr char kScuTitle[] = "DIMSE_SCU";
inline constexpr char kScpTitle[] = "DIMSE_SCP";
inline constexpr char kQueryList[] = "QUERY_RETRIEVE_SERVICE_LIST";
inline constexpr char kStorageList[] = "COMMON_STORAGE_SERVICE_LIST";
inline constexpr char kStorageOnlyList[] = "STORAGE_SERVICE_LIST";

class DimseTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Opens an association from the requesting application (proposing `scu_list`) to the
  // accepting one (judging with `scp_list`), accepted on a second thread. False on failure.
  bool connect(const char* scu_list, const char* scp_list);
  // Frees whatever association is still open (abort).
  void disconnect();

  LogCapture& log() { return *log_; }

  int32_t scu_app_ = -1;
  int32_t scp_app_ = -1;
  int32_t port_ = 0;
  int32_t scu_ = -1;  // the requestor's association
  int32_t scp_ = -1;  // the acceptor's association

 private:
  std::unique_ptr<LibraryScope> library_;
  std::unique_ptr<LogCapture> log_;
};

// A message for a service and command; -1 on failure.
int32_t open_message(const char* service, int32_t command);
void free_message(int32_t id);
// An unsigned short element of a message (0xFFFF when there is none).
uint16_t ushort_of(int32_t msg, uint32_t tag);

}  // namespace tessel::test

#endif  // TESSEL_TESTS_DIMSE_DIMSE_FIXTURE_HPP_
