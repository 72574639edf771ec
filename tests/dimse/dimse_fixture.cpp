#include "tests/dimse/dimse_fixture.hpp"

#include <thread>

#include "net/association.hpp"
#include "tests/transport/loopback.hpp"

#include "tessel/tessel.h"
#include "tessel/tessel_association.h"

namespace tessel::test {

void DimseTest::SetUp() {
  library_ = std::make_unique<LibraryScope>(shipped_ini());
  ASSERT_EQ(library_->status(), CV_NORMAL_COMPLETION);
  ASSERT_EQ(CV_Register_Application(&scu_app_, kScuTitle), CV_NORMAL_COMPLETION);
  ASSERT_EQ(CV_Register_Application(&scp_app_, kScpTitle), CV_NORMAL_COMPLETION);
  ASSERT_EQ(CV_Set_Int_Config_Value(ARTIM_TIMEOUT, 2), CV_NORMAL_COMPLETION);
  port_ = free_port();
  ASSERT_GT(port_, 0);
  CV_SOCKET ignored = CV_NO_SOCKET;
  ASSERT_EQ(CV_Wait_For_Connection_On_Port(0, port_, &ignored), CV_TIMEOUT);
  log_ = std::make_unique<LogCapture>();
}

void DimseTest::TearDown() {
  disconnect();
  log_.reset();
  if (scu_app_ >= 0) {
    EXPECT_EQ(CV_Release_Application(&scu_app_), CV_NORMAL_COMPLETION);
  }
  if (scp_app_ >= 0) {
    EXPECT_EQ(CV_Release_Application(&scp_app_), CV_NORMAL_COMPLETION);
  }
  library_.reset();
}

bool DimseTest::connect(const char* scu_list, const char* scp_list) {
  int32_t waited = CV_NORMAL_COMPLETION;
  std::thread acceptor([&] {
    int32_t id = -1;
    waited = CV_Wait_For_Association_On_Port(scp_list, 10, scp_app_, port_, &id);
    if (waited == CV_NORMAL_COMPLETION) waited = CV_Accept_Association(id);
    if (waited == CV_NORMAL_COMPLETION) scp_ = id;
  });
  const int32_t opened =
      CV_Open_Association(scu_app_, &scu_, kScpTitle, &port_, "127.0.0.1", scu_list);
  acceptor.join();
  EXPECT_EQ(opened, CV_NORMAL_COMPLETION);
  EXPECT_EQ(waited, CV_NORMAL_COMPLETION);
  return opened == CV_NORMAL_COMPLETION && waited == CV_NORMAL_COMPLETION;
}

void DimseTest::disconnect() {
  if (scu_ >= 0 && net::find_association(scu_) != nullptr) (void)CV_Abort_Association(&scu_);
  if (scp_ >= 0 && net::find_association(scp_) != nullptr) (void)CV_Abort_Association(&scp_);
  scu_ = -1;
  scp_ = -1;
}

int32_t open_message(const char* service, int32_t command) {
  int32_t id = -1;
  return CV_Open_Message(&id, service, command) == CV_NORMAL_COMPLETION ? id : -1;
}

void free_message(int32_t id) {
  EXPECT_EQ(CV_Free_Message(&id), CV_NORMAL_COMPLETION);
}

uint16_t ushort_of(int32_t msg, uint32_t tag) {
  uint16_t value = 0xFFFF;
  EXPECT_EQ(CV_Get_Value_To_UShortInt(msg, tag, &value), CV_NORMAL_COMPLETION);
  return value;
}

}  // namespace tessel::test
