// The exported listen-socket functions: argument checks, listener reuse, the default port,
// address families and bind conflicts.
#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/log_capture.hpp"
#include "tests/support/test_env.hpp"
#include "tests/transport/loopback.hpp"

#include "tessel/tessel.h"

namespace {

using tessel::test::RawSocket;
using Clock = std::chrono::steady_clock;

class ListenApiTest : public ::testing::Test {
 protected:
  tessel::test::LibraryScope library_{tessel::test::shipped_ini()};
  void SetUp() override { ASSERT_EQ(library_.status(), CV_NORMAL_COMPLETION); }
};

TEST(ListenApiUninitialisedTest, EveryCallNeedsTheLibrary) {
  CV_SOCKET socket = CV_NO_SOCKET;
  EXPECT_EQ(CV_Wait_For_Connection(0, &socket), CV_LIBRARY_NOT_INITIALIZED);
  EXPECT_EQ(CV_Wait_For_Connection_On_Port(0, 4000, &socket), CV_LIBRARY_NOT_INITIALIZED);
  EXPECT_EQ(CV_Wait_For_Connection_On_Address(0, 4000, "127.0.0.1", &socket),
            CV_LIBRARY_NOT_INITIALIZED);
  EXPECT_EQ(CV_Get_Listen_Socket(nullptr), CV_LIBRARY_NOT_INITIALIZED);
  EXPECT_EQ(CV_Get_Listen_Socket_For_Port(4000, &socket), CV_LIBRARY_NOT_INITIALIZED);
  EXPECT_EQ(CV_Close_Listen_Port(4000), CV_LIBRARY_NOT_INITIALIZED);
  EXPECT_EQ(CV_Close_Listen_Port_On_Address(4000, nullptr), CV_LIBRARY_NOT_INITIALIZED);
}

TEST_F(ListenApiTest, ArgumentChecks) {
  CV_SOCKET socket = 12345;
  const int unused = tessel::test::free_port();
  struct Case {
    const char* call;
    int32_t status;
    int32_t expected;
  };
  const Case cases[] = {
      // Null out-pointers come before the port checks.
      {"wait null", CV_Wait_For_Connection(0, nullptr), CV_NULL_POINTER_PARM},
      {"port null", CV_Wait_For_Connection_On_Port(0, 0, nullptr), CV_NULL_POINTER_PARM},
      {"address null", CV_Wait_For_Connection_On_Address(0, 0, "127.0.0.1", nullptr),
       CV_NULL_POINTER_PARM},
      {"get null", CV_Get_Listen_Socket(nullptr), CV_NULL_POINTER_PARM},
      {"get port null", CV_Get_Listen_Socket_For_Port(unused, nullptr), CV_NULL_POINTER_PARM},
      {"port 0", CV_Wait_For_Connection_On_Port(0, 0, &socket), CV_INVALID_PORT_NUMBER},
      {"port -1", CV_Wait_For_Connection_On_Port(0, -1, &socket), CV_INVALID_PORT_NUMBER},
      {"address port 0", CV_Wait_For_Connection_On_Address(0, 0, "127.0.0.1", &socket),
       CV_INVALID_PORT_NUMBER},
      {"unknown port", CV_Get_Listen_Socket_For_Port(unused, &socket), CV_INVALID_PORT_NUMBER},
      {"close unknown", CV_Close_Listen_Port(unused), CV_INVALID_PORT_NUMBER},
      {"close 0", CV_Close_Listen_Port(0), CV_INVALID_PORT_NUMBER},
      {"close unknown address", CV_Close_Listen_Port_On_Address(unused, "127.0.0.1"),
       CV_INVALID_PORT_NUMBER},
      {"unresolvable address",
       CV_Wait_For_Connection_On_Address(0, unused, "no-such-host.invalid", &socket),
       CV_SYSTEM_ERROR},
  };
  for (const Case& c : cases) EXPECT_EQ(c.status, c.expected) << c.call;
  EXPECT_EQ(socket, 12345);  // never written on failure
}

TEST_F(ListenApiTest, SecondWaitReusesTheListener) {
  const int port = tessel::test::free_port();
  tessel::test::LogCapture log;
  // A time-out of 0 looks once and leaves the listener open.
  CV_SOCKET socket = CV_NO_SOCKET;
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(CV_Wait_For_Connection_On_Port(0, port, &socket), CV_TIMEOUT);
  EXPECT_LT(tessel::test::seconds_since(start), 0.5);
  CV_SOCKET listener = CV_NO_SOCKET;
  ASSERT_EQ(CV_Get_Listen_Socket_For_Port(port, &listener), CV_NORMAL_COMPLETION);

  for (int round = 0; round < 2; ++round) {
    RawSocket client(tessel::test::connect_loopback(port));
    ASSERT_TRUE(client.valid());
    ASSERT_EQ(CV_Wait_For_Connection_On_Port(2, port, &socket), CV_NORMAL_COMPLETION);
    RawSocket accepted(socket);
    // The accepted socket is the other end of this client's connection.
    ASSERT_EQ(::send(client.get(), "ping", 4, 0), 4);
    char text[4];
    ASSERT_TRUE(tessel::test::readable_within(accepted.get(), 2000));
    EXPECT_EQ(::recv(accepted.get(), text, 4, 0), 4);
    CV_SOCKET again = CV_NO_SOCKET;
    ASSERT_EQ(CV_Get_Listen_Socket_For_Port(port, &again), CV_NORMAL_COMPLETION);
    EXPECT_EQ(again, listener);
  }
  EXPECT_EQ(log.count("Failure binding listen port"), 0);

  EXPECT_EQ(CV_Close_Listen_Port(port), CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Close_Listen_Port(port), CV_INVALID_PORT_NUMBER);
  EXPECT_EQ(tessel::test::connect_loopback(port), -1);
}

TEST_F(ListenApiTest, DefaultPortChangeMovesTheListener) {
  const int first = tessel::test::free_port();
  const int second = tessel::test::free_port();
  ASSERT_NE(first, second);
  ASSERT_EQ(CV_Set_Int_Config_Value(TCPIP_LISTEN_PORT, first), CV_NORMAL_COMPLETION);
  CV_SOCKET listener = CV_NO_SOCKET;
  ASSERT_EQ(CV_Get_Listen_Socket(&listener), CV_NORMAL_COMPLETION);
  CV_SOCKET by_port = CV_NO_SOCKET;
  ASSERT_EQ(CV_Get_Listen_Socket_For_Port(first, &by_port), CV_NORMAL_COMPLETION);
  EXPECT_EQ(by_port, listener);

  tessel::test::LogCapture log;
  ASSERT_EQ(CV_Set_Int_Config_Value(TCPIP_LISTEN_PORT, second), CV_NORMAL_COMPLETION);
  CV_SOCKET socket = CV_NO_SOCKET;
  EXPECT_EQ(CV_Wait_For_Connection(0, &socket), CV_TIMEOUT);
  EXPECT_TRUE(
      log.contains("Default listen port configuration has changed.  Stopping listening "
                   "on port " +
                   std::to_string(first) + " and starting listening on " + std::to_string(second)));
  EXPECT_EQ(CV_Get_Listen_Socket_For_Port(first, &by_port), CV_INVALID_PORT_NUMBER);
  EXPECT_EQ(tessel::test::connect_loopback(first), -1);
  RawSocket client(tessel::test::connect_loopback(second));
  ASSERT_TRUE(client.valid());
  ASSERT_EQ(CV_Wait_For_Connection(2, &socket), CV_NORMAL_COMPLETION);
  RawSocket accepted(socket);
  EXPECT_EQ(log.count("Default listen port configuration has changed."), 1);
}

TEST_F(ListenApiTest, AddressFamiliesFollowIpType) {
  RawSocket probe(::socket(AF_INET6, SOCK_STREAM, 0));
  if (!probe.valid()) GTEST_SKIP() << "no IPv6 on this host";
  struct Case {
    const char* ip_type;
    bool ipv4_accepted;
    bool ipv6_accepted;
  };
  // AVAILABLE binds the IPv6 wildcard first, open to IPv4 peers as well.
  const Case cases[] = {{"AVAILABLE", true, true}, {"IPV4", true, false}, {"IPV6", false, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ip_type);
    ASSERT_EQ(CV_Set_String_Config_Value(IP_TYPE, c.ip_type), CV_NORMAL_COMPLETION);
    const int port = tessel::test::free_port();
    CV_SOCKET socket = CV_NO_SOCKET;
    ASSERT_EQ(CV_Wait_For_Connection_On_Port(0, port, &socket), CV_TIMEOUT);
    for (bool v6 : {false, true}) {
      RawSocket client(tessel::test::connect_loopback(port, v6));
      EXPECT_EQ(client.valid(), v6 ? c.ipv6_accepted : c.ipv4_accepted) << "IPv6 peer: " << v6;
      if (client.valid()) {
        ASSERT_EQ(CV_Wait_For_Connection_On_Port(2, port, &socket), CV_NORMAL_COMPLETION);
        RawSocket accepted(socket);
      }
    }
    EXPECT_EQ(CV_Close_Listen_Port(port), CV_NORMAL_COMPLETION);
  }
}

TEST_F(ListenApiTest, AddressedListenersAndBindConflicts) {
  const int port = tessel::test::free_port();
  CV_SOCKET socket = CV_NO_SOCKET;
  ASSERT_EQ(CV_Wait_For_Connection_On_Address(0, port, "127.0.0.1", &socket), CV_TIMEOUT);
  CV_SOCKET addressed = CV_NO_SOCKET;
  ASSERT_EQ(CV_Get_Listen_Socket_For_Port(port, &addressed), CV_NORMAL_COMPLETION);
  // An entry without an address matches any address: no second bind.
  ASSERT_EQ(CV_Wait_For_Connection_On_Port(0, port, &socket), CV_TIMEOUT);
  EXPECT_EQ(CV_Close_Listen_Port_On_Address(port, "::1"), CV_INVALID_PORT_NUMBER);
  EXPECT_EQ(CV_Close_Listen_Port_On_Address(port, "127.0.0.1"), CV_NORMAL_COMPLETION);

  // A port another socket listens on cannot be taken; the failed entry is not kept.
  int busy = 0;
  RawSocket other(tessel::test::listen_loopback(&busy));
  ASSERT_TRUE(other.valid());
  tessel::test::LogCapture log;
  EXPECT_EQ(CV_Wait_For_Connection_On_Port(0, busy, &socket), CV_SYSTEM_ERROR);
  EXPECT_TRUE(log.contains("Failure binding listen port"));
  EXPECT_TRUE(log.contains("Port " + std::to_string(busy) + " already in use"));
  EXPECT_EQ(CV_Get_Listen_Socket_For_Port(busy, &socket), CV_INVALID_PORT_NUMBER);
}

}  // namespace
