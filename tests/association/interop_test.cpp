// The association calls against DCMTK's echoscu, started by the test on free loopback ports.
#include <future>
#include <string>

#include "tests/association/association_fixture.hpp"

#include "tessel/tessel.h"

namespace tessel::test {
namespace {

// echoscu's verification-only associations are answered inside the library, so the wait never
// hands them out and ends at its deadline. Both routes: a service list without Verification,
// and a called title ending in _ECHO that no application has.
TEST_F(AssociationTest, DcmtkEchoscuIsAnsweredInsideTheLibrary) {
  if (!on_path("echoscu")) GTEST_SKIP() << "DCMTK echoscu is not installed";
  struct Case {
    const char* called;
    bool own_port;  // else the configured listen port, through CV_Wait_For_Association
  };
  for (const Case c : {Case{kScpTitle, true}, Case{"ANY_ECHO", false}}) {
    SCOPED_TRACE(c.called);
    log().clear();
    int port = port_;
    if (!c.own_port) {
      port = free_port();
      ASSERT_EQ(CV_Set_Int_Config_Value(TCPIP_LISTEN_PORT, port), CV_NORMAL_COMPLETION);
      CV_SOCKET ignored = CV_NO_SOCKET;
      ASSERT_EQ(CV_Wait_For_Connection(0, &ignored), CV_TIMEOUT);
    }
    auto acceptor = std::async(std::launch::async, [&] {
      int32_t app = -1;
      int32_t id = -1;
      return c.own_port
                 ? CV_Wait_For_Association_On_Port("STORAGE_SERVICE_LIST", 4, scp_, port_, &id)
                 : CV_Wait_For_Association("STORAGE_SERVICE_LIST", 4, &app, &id);
    });
    ChildProcess echoscu(
        {"echoscu", "-aet", "DCMTK_SCU", "-aec", c.called, kLoopback, std::to_string(port)});
    ASSERT_TRUE(echoscu.started());
    EXPECT_EQ(echoscu.wait_exit(10), 0);
    EXPECT_EQ(acceptor.get(), CV_TIMEOUT);
    EXPECT_TRUE(log().contains("DICOM Echo association closed"));
  }
}

}  // namespace
}  // namespace tessel::test
