#include "tests/association/association_fixture.hpp"

#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "net/association.hpp"
#include "net/association_api_internal.hpp"
#include "net/ul_status.hpp"
#include "net/upper_layer.hpp"
#include <sys/wait.h>

#include "tessel/tessel.h"

extern char** environ;

namespace tessel::test {

void AssociationTest::SetUp() {
  library_ = std::make_unique<LibraryScope>(shipped_ini());
  ASSERT_EQ(library_->status(), CV_NORMAL_COMPLETION);
  ASSERT_EQ(CV_Register_Application(&scu_, kScuTitle), CV_NORMAL_COMPLETION);
  ASSERT_EQ(CV_Register_Application(&scp_, kScpTitle), CV_NORMAL_COMPLETION);
  // The peer gets this long to close after an abort or a rejection.
  ASSERT_EQ(CV_Set_Int_Config_Value(ARTIM_TIMEOUT, 3), CV_NORMAL_COMPLETION);
  port_ = free_port();
  ASSERT_GT(port_, 0);
  // Listening before any wait starts, so that a requestor never meets a closed port.
  CV_SOCKET ignored = CV_NO_SOCKET;
  ASSERT_EQ(CV_Wait_For_Connection_On_Port(0, port_, &ignored), CV_TIMEOUT);
  log_ = std::make_unique<LogCapture>();
}

void AssociationTest::TearDown() {
  log_.reset();
  for (int32_t* app : {&scu_, &scp_}) {
    if (*app >= 0) {
      EXPECT_EQ(CV_Release_Application(app), CV_NORMAL_COMPLETION);
    }
  }
  library_.reset();
}

int32_t AssociationTest::open(int32_t* id, const char* title, const char* list) {
  return open_to(port_, id, title, list);
}

int32_t AssociationTest::open_to(int32_t port, int32_t* id, const char* title, const char* list) {
  return CV_Open_Association(scu_, id, title, &port, kLoopback, list);
}

int32_t AssociationTest::wait(int32_t timeout, int32_t* id, const char* list) {
  return CV_Wait_For_Association_On_Port(list, timeout, scp_, port_, id);
}

int32_t serve_until_end(int32_t association_id, int seconds) {
  net::Association* association = net::find_association(association_id);
  if (association == nullptr) return 0;
  net::DulAssociation** slot = net::dul_slot(*association);
  int32_t result = net::code(net::UlStatus::kReadTimeout);
  const net::PdvList* pdvs = nullptr;
  for (int i = 0; i < seconds && *slot != nullptr; ++i) {
    result = DUL_read_pdvs(slot, 1, &pdvs);
    if (result != net::code(net::UlStatus::kReadTimeout) &&
        result != net::code(net::UlStatus::kPdataArrived)) {
      break;
    }
  }
  if (result == net::code(net::UlStatus::kPeerRequestedRelease)) (void)DUL_release_response(slot);
  int32_t id = association_id;
  EXPECT_EQ(CV_Abort_Association(&id), CV_NORMAL_COMPLETION);
  return result;
}

bool association_alive(int32_t association_id) {
  return net::find_association(association_id) != nullptr;
}

bool wait_until_claimed(int32_t association_id, int seconds) {
  const auto start = std::chrono::steady_clock::now();
  while (seconds_since(start) < seconds) {
    net::Association* association = net::find_association(association_id);
    if (association != nullptr && association->in_use.load() != 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) == 0) pid_ = pid;
}

ChildProcess::~ChildProcess() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  ::waitpid(pid_, &status, 0);
}

int ChildProcess::wait_exit(int seconds) {
  const auto start = std::chrono::steady_clock::now();
  while (pid_ > 0 && seconds_since(start) < seconds) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

bool on_path(const std::string& program) {
  const std::string command = "command -v " + program + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

}  // namespace tessel::test
