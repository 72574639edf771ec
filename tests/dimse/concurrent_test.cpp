// Many associations at once in one process: acceptor threads sharing one listening port, each
// serving an association to its end, against requestor threads storing and echoing.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "net/association.hpp"
#include "tests/dimse/dimse_fixture.hpp"

#include "tessel/tessel.h"
#include "tessel/tessel_association.h"

namespace tessel::test {
namespace {

constexpr int kAcceptors = 4;
constexpr int kRequestors = 12;
constexpr int kStoresEach = 5;

// Serves associations until `stop`: answers every request with success and counts the stores
// whose data set carries the expected patient name.
void serve(int32_t app, int32_t port, const std::atomic<bool>& stop, std::atomic<int>& stores) {
  while (!stop.load()) {
    int32_t id = -1;
    const int32_t waited = CV_Wait_For_Association_On_Port(kStorageList, 1, app, port, &id);
    if (waited == CV_TIMEOUT) continue;
    ASSERT_EQ(waited, CV_NORMAL_COMPLETION);
    ASSERT_EQ(CV_Accept_Association(id), CV_NORMAL_COMPLETION);
    for (;;) {
      int32_t request = -1;
      int32_t command = 0;
      const char* service = nullptr;
      const int32_t read = CV_Read_Message(id, 10, &request, &service, &command);
      if (read == CV_ASSOCIATION_CLOSED) break;
      ASSERT_EQ(read, CV_NORMAL_COMPLETION);
      char name[64] = {};
      if (command == 0x0001 &&
          CV_Get_Value_To_String(request, 0x00100010, sizeof name, name) == CV_NORMAL_COMPLETION &&
          std::string(name) == "DOE^JANE") {
        ++stores;
      }
      const int32_t response = open_message(service, command | 0x8000);
      EXPECT_EQ(CV_Send_Response_Message(id, 0, response), CV_NORMAL_COMPLETION);
      int32_t freed = response;
      CV_Free_Message(&freed);
      CV_Free_Message(&request);
    }
  }
}

// One association: `kStoresEach` CT stores and an echo, then a release. Gives the number of
// exchanges answered with status 0.
int store_and_echo(int32_t app, int32_t port, int n) {
  int32_t id = -1;
  if (CV_Open_Association(app, &id, kScpTitle, &port, "127.0.0.1", kStorageList) !=
      CV_NORMAL_COMPLETION) {
    return 0;
  }
  int answered = 0;
  for (int i = 0; i <= kStoresEach; ++i) {
    const bool echo = i == kStoresEach;
    int32_t request = open_message(echo ? "STANDARD_ECHO" : "STANDARD_CT", echo ? 0x0030 : 0x0001);
    if (!echo) {
      const std::string uid = "1.2.3." + std::to_string(n) + "." + std::to_string(i);
      const std::vector<uint8_t> pixels(4096 + 512 * n, static_cast<uint8_t>(n));
      CV_Set_Value_From_String(request, 0x00001000, uid.c_str());
      CV_Set_Value_From_String(request, 0x00080016, "1.2.840.10008.5.1.4.1.1.2");
      CV_Set_Value_From_String(request, 0x00080018, uid.c_str());
      CV_Set_Value_From_String(request, 0x00100010, "DOE^JANE");
      CV_Set_Value_From_Buffer(request, 0x7FE00010, pixels.data(),
                               static_cast<uint32_t>(pixels.size()));
    }
    int32_t response = -1;
    uint16_t status = 0xFFFF;
    if (CV_Send_Request_Message(id, request) == CV_NORMAL_COMPLETION &&
        CV_Read_Message(id, 10, &response, nullptr, nullptr) == CV_NORMAL_COMPLETION &&
        CV_Get_Value_To_UShortInt(response, 0x00000900, &status) == CV_NORMAL_COMPLETION &&
        status == 0) {
      ++answered;
    }
    CV_Free_Message(&request);
    if (response >= 0) CV_Free_Message(&response);
  }
  EXPECT_EQ(CV_Close_Association(&id), CV_NORMAL_COMPLETION);
  return answered;
}

TEST_F(DimseTest, ConcurrentAssociationsStoreAndEchoThroughOnePort) {
  std::atomic<bool> stop{false};
  std::atomic<int> stores{0};
  std::vector<std::thread> acceptors;
  for (int i = 0; i < kAcceptors; ++i) {
    acceptors.emplace_back([&] {
      serve(scp_app_, port_, stop, stores);
      CV_Thread_Release();
    });
  }
  std::atomic<int> answered{0};
  std::vector<std::thread> requestors;
  for (int n = 0; n < kRequestors; ++n) {
    requestors.emplace_back([&, n] {
      answered += store_and_echo(scu_app_, port_, n);
      CV_Thread_Release();
    });
  }
  for (std::thread& t : requestors) t.join();
  stop = true;
  for (std::thread& t : acceptors) t.join();
  EXPECT_EQ(answered.load(), kRequestors * (kStoresEach + 1));
  EXPECT_EQ(stores.load(), kRequestors * kStoresEach);
}

}  // namespace
}  // namespace tessel::test
