// Requestor and acceptor of this library against each other over loopback.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <thread>

#include "tests/association/association_fixture.hpp"
#include <sys/socket.h>

#include "tessel/tessel.h"
#include "tessel/tessel_dimse.h"

namespace tessel::test {
namespace {

using Clock = std::chrono::steady_clock;

struct AcceptorResult {
  int32_t wait = -1;
  int32_t answer = -1;
  int32_t second_answer = -1;
  int32_t served = 0;
};

// A request the library rejects by itself does not end the wait; the good one that follows is
// accepted, served and closed, which ends both identifiers.
TEST_F(AssociationTest, OpenAcceptCloseAfterAnAutomaticRejection) {
  auto acceptor = std::async(std::launch::async, [&] {
    AcceptorResult r;
    int32_t id = -1;
    r.wait = wait(15, &id);
    if (r.wait != CV_NORMAL_COMPLETION) return r;
    r.answer = CV_Accept_Association(id);
    r.second_answer = CV_Accept_Association(id);
    r.served = serve_until_end(id);
    return r;
  });
  int32_t id = -1;
  EXPECT_EQ(open(&id, "NOBODY_HERE"), CV_NEGOTIATION_FAILED);
  EXPECT_TRUE(log().contains("Association Rejected"));
  ASSERT_EQ(open(&id), CV_NORMAL_COMPLETION);
  EXPECT_GE(id, 10000);
  EXPECT_EQ(CV_Accept_Association(id), CV_NO_REQUEST_PENDING);
  const int32_t opened = id;
  EXPECT_EQ(CV_Close_Association(&id), CV_NORMAL_COMPLETION);
  EXPECT_EQ(id, -1);
  const AcceptorResult r = acceptor.get();
  EXPECT_EQ(r.wait, CV_NORMAL_COMPLETION);
  EXPECT_EQ(r.answer, CV_NORMAL_COMPLETION);
  EXPECT_EQ(r.second_answer, CV_NO_REQUEST_PENDING);
  EXPECT_EQ(r.served, 5);  // the peer's release request
  id = opened;
  EXPECT_EQ(CV_Close_Association(&id), CV_INVALID_ASSOCIATION_ID);
  EXPECT_EQ(id, -1);
  EXPECT_TRUE(log().contains("REQUEST Association Parameters:"));
  EXPECT_TRUE(log().contains("RESPONSE Association Parameters:"));
  EXPECT_TRUE(log().contains("Association automatically rejected:"));
  EXPECT_TRUE(log().contains("|  Unacceptable Called_application_title: NOBODY_HERE"));
}

// The rejection reaches the requestor as an A-ASSOCIATE-RJ only for reasons the PDU can carry;
// otherwise the connection just closes. The acceptor's call succeeds either way.
TEST_F(AssociationTest, RejectSendsOrClosesAndAlwaysFreesTheAssociation) {
  struct Case {
    int32_t reason;
    int32_t open_status;
    const char* acceptor_line;
    const char* requestor_line;
  };
  const Case cases[] = {
      {2, CV_NEGOTIATION_FAILED, "Permanent rejection, Calling AE title not recognized",
       "|  Result reason 3: "},
      {7, CV_NEGOTIATION_ABORTED, "DUL_associate_reject error", "DUL_associate_request error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    log().clear();
    int32_t pending = -1;
    auto acceptor = std::async(std::launch::async, [&] {
      int32_t id = -1;
      const int32_t waited = wait(10, &id);
      pending = id;
      return waited == CV_NORMAL_COMPLETION ? CV_Reject_Association(id, c.reason) : waited;
    });
    int32_t id = 5;
    EXPECT_EQ(open(&id), c.open_status);
    EXPECT_EQ(id, -1);
    EXPECT_EQ(acceptor.get(), CV_NORMAL_COMPLETION);
    EXPECT_FALSE(association_alive(pending));
    EXPECT_EQ(CV_Reject_Association(pending, c.reason), CV_INVALID_ASSOCIATION_ID);
    EXPECT_TRUE(log().contains(c.acceptor_line));
    EXPECT_TRUE(log().contains(c.requestor_line));
  }
}

// A connection the application accepted itself: the request is judged once, and a refusal ends
// the call instead of waiting for another.
TEST_F(AssociationTest, ProcessAssociationRequestOnAnAcceptedSocket) {
  struct Case {
    const char* called;
    int32_t open_status;
    int32_t process_status;
  };
  for (const Case& c : {Case{kScpTitle, CV_NORMAL_COMPLETION, CV_NORMAL_COMPLETION},
                        Case{"NOBODY_HERE", CV_NEGOTIATION_FAILED, CV_NEGOTIATION_FAILED}}) {
    SCOPED_TRACE(c.called);
    auto requestor = std::async(std::launch::async, [&] {
      int32_t id = -1;
      const int32_t opened = open(&id, c.called);
      if (opened == CV_NORMAL_COMPLETION) {
        EXPECT_EQ(CV_Close_Association(&id), CV_NORMAL_COMPLETION);
      }
      return opened;
    });
    CV_SOCKET socket = CV_NO_SOCKET;
    ASSERT_EQ(CV_Wait_For_Connection_On_Port(10, port_, &socket), CV_NORMAL_COMPLETION);
    int32_t app = 9;
    int32_t id = 9;
    EXPECT_EQ(CV_Process_Association_Request(socket, kEchoList, &app, &id), c.process_status);
    if (c.process_status == CV_NORMAL_COMPLETION) {
      EXPECT_EQ(app, scp_);
      EXPECT_EQ(CV_Accept_Association(id), CV_NORMAL_COMPLETION);
      EXPECT_EQ(serve_until_end(id), 5);
    } else {
      EXPECT_EQ(app, -1);
      EXPECT_EQ(id, -1);
    }
    EXPECT_EQ(requestor.get(), c.open_status);
  }
}

// The socket handed in is the library's whatever the outcome: refused arguments close it too.
TEST_F(AssociationTest, ProcessAssociationRequestClosesTheSocketItRefuses) {
  struct Case {
    const char* list;
    bool null_ids;
    int32_t status;
  };
  for (const Case& c :
       {Case{nullptr, false, CV_NULL_POINTER_PARM}, Case{kEchoList, true, CV_NULL_POINTER_PARM},
        Case{"NO_SUCH_LIST", false, CV_INVALID_SERVICE_LIST_NAME}}) {
    SCOPED_TRACE(c.status);
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    int32_t app = 9;
    int32_t id = 9;
    EXPECT_EQ(CV_Process_Association_Request(fds[0], c.list, c.null_ids ? nullptr : &app,
                                             c.null_ids ? nullptr : &id),
              c.status);
    errno = 0;
    EXPECT_EQ(::fcntl(fds[0], F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
    ::close(fds[1]);
  }
}

// A refused request does not restart the clock: the wait still ends at its deadline.
TEST_F(AssociationTest, WaitTimesOutAtItsDeadlineWithOrWithoutARefusal) {
  for (const bool refuse : {false, true}) {
    SCOPED_TRACE(refuse);
    const auto start = Clock::now();
    auto acceptor = std::async(std::launch::async, [&] {
      int32_t id = 7;
      const int32_t status = wait(3, &id);
      return std::make_pair(status, id);
    });
    if (refuse) {
      // Late enough that a wait restarted with its whole time-out would overrun the deadline.
      std::this_thread::sleep_for(std::chrono::milliseconds(1500));
      int32_t id = -1;
      EXPECT_EQ(open(&id, "NOBODY_HERE"), CV_NEGOTIATION_FAILED);
    }
    const auto [status, id] = acceptor.get();
    EXPECT_EQ(status, CV_TIMEOUT);
    EXPECT_EQ(id, -1);
    EXPECT_GT(seconds_since(start), 2.0);
    EXPECT_LT(seconds_since(start), 4.0);
  }
}

// The thread that owns an association blocked in a network wait (a close waiting for the
// release answer, a read waiting for a message) sees an abort from another thread within a
// second; another call from a third party meanwhile is refused.
TEST_F(AssociationTest, AbortFromAnotherThreadEndsABlockedCallThread) {
  struct Case {
    const char* name;
    int32_t (*blocked_call)(int32_t id);
  };
  const Case cases[] = {
      {"close", [](int32_t id) { return CV_Close_Association(&id); }},
      {"read",
       [](int32_t id) {
         int32_t message = -1;
         return CV_Read_Message(id, 30, &message, nullptr, nullptr);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log().clear();
    std::promise<void> release_acceptor;
    auto acceptor = std::async(std::launch::async, [&] {
      int32_t id = -1;
      if (wait(10, &id) != CV_NORMAL_COMPLETION) return -1;
      const int32_t accepted = CV_Accept_Association(id);
      // Never reads nor sends, so the requestor's wait is never answered.
      release_acceptor.get_future().wait_for(std::chrono::seconds(20));
      EXPECT_EQ(CV_Abort_Association(&id), CV_NORMAL_COMPLETION);
      return accepted;
    });
    int32_t id = -1;
    ASSERT_EQ(open(&id), CV_NORMAL_COMPLETION);
    const int32_t opened = id;
    auto owner = std::async(std::launch::async, [&c, opened] { return c.blocked_call(opened); });
    ASSERT_TRUE(wait_until_claimed(opened, 5));

    int32_t second = opened;
    EXPECT_EQ(CV_Close_Association(&second), CV_SYSTEM_ERROR);
    EXPECT_EQ(second, opened);
    EXPECT_TRUE(log().contains("Function call made when another thread was accessing network"));
    // Queries look the association up without claiming it.
    ServiceInfo info;
    ASSERT_EQ(CV_Get_First_Acceptable_Service(opened, &info), CV_NORMAL_COMPLETION);
    EXPECT_STREQ(info.ServiceName, "STANDARD_ECHO");
    EXPECT_EQ(info.Role, CV_ROLE_SCU_SCP);  // the list's ROLE = BOTH, granted

    const auto aborted_at = Clock::now();
    int32_t aborting = opened;
    EXPECT_EQ(CV_Abort_Association(&aborting), CV_NORMAL_COMPLETION);
    EXPECT_EQ(aborting, -1);
    ASSERT_EQ(owner.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(owner.get(), CV_ASSOCIATION_ABORTED);
    EXPECT_LT(seconds_since(aborted_at), 2.5);
    EXPECT_FALSE(association_alive(opened));

    release_acceptor.set_value();
    EXPECT_EQ(acceptor.get(), CV_NORMAL_COMPLETION);
  }
}

TEST_F(AssociationTest, ArgumentChecksComeInOrder) {
  const int32_t good_port = port_;
  const int32_t unused_port = free_port();
  // The argument checks themselves are the negotiation tests'; here that a failed one ends the
  // call, and what follows them.
  EXPECT_EQ(CV_Open_Association(scu_, nullptr, kScpTitle, &good_port, kLoopback, kEchoList),
            CV_NULL_POINTER_PARM);
  struct OpenCase {
    const char* title;
    const int32_t* port;
    const char* host;
    const char* list;
    int32_t status;
  };
  const OpenCase open_cases[] = {
      {"NOT_CONFIGURED", nullptr, nullptr, nullptr, CV_CONFIG_INFO_MISSING},
      {kScpTitle, &good_port, kLoopback, "NO_SUCH_LIST", CV_CONFIG_INFO_MISSING},
      {kScpTitle, &unused_port, kLoopback, kEchoList, CV_CONNECTION_FAILED},
  };
  for (const OpenCase& c : open_cases) {
    int32_t id = 9;
    SCOPED_TRACE(c.status);
    EXPECT_EQ(CV_Open_Association(scu_, &id, c.title, c.port, c.host, c.list), c.status);
    EXPECT_EQ(id, -1);
  }
  int32_t id = 9;
  EXPECT_EQ(CV_Open_Secure_Association(scu_, &id, kScpTitle, &good_port, kLoopback, kEchoList,
                                       nullptr, nullptr),
            CV_NULL_POINTER_PARM);
  EXPECT_EQ(id, -1);
  EXPECT_EQ(
      CV_Open_Association_With_Identity(scu_, &id, kScpTitle, &good_port, kLoopback, kEchoList,
                                        nullptr, nullptr, 2, 1, "user", 4, nullptr, 0),
      CV_CONFIG_INFO_MISSING);
  EXPECT_TRUE(log().contains("Primary and Secondary fields must be supplied"));

  struct WaitCase {
    const char* list;
    int32_t app;
    int32_t port;
    bool id_given;
    int32_t status;
  };
  const WaitCase wait_cases[] = {
      {nullptr, scp_, port_, true, CV_NULL_POINTER_PARM},
      {kEchoList, scp_, port_, false, CV_NULL_POINTER_PARM},
      {"", -7, 0, true, CV_INVALID_APPLICATION_ID},
      {"", scp_, 0, true, CV_INVALID_SERVICE_LIST_NAME},
      {"NO_SUCH_LIST", scp_, 0, true, CV_INVALID_SERVICE_LIST_NAME},
      {kEchoList, scp_, 0, true, CV_INVALID_PORT_NUMBER},
      {kEchoList, scp_, 65536, true, CV_INVALID_PORT_NUMBER},
  };
  for (const WaitCase& c : wait_cases) {
    SCOPED_TRACE(c.status);
    int32_t waited = 9;
    EXPECT_EQ(
        CV_Wait_For_Association_On_Port(c.list, 0, c.app, c.port, c.id_given ? &waited : nullptr),
        c.status);
    if (c.id_given) {
      EXPECT_EQ(waited, -1);
    }
  }
  EXPECT_TRUE(log().contains("Service List \"NO_SUCH_LIST\" is not configured"));
  int32_t app = 9;
  EXPECT_EQ(CV_Wait_For_Association("", 0, &app, &id), CV_INVALID_SERVICE_LIST_NAME);
  EXPECT_EQ(app, -1);
  EXPECT_EQ(CV_Wait_For_Secure_Association(kEchoList, 0, &app, &id, nullptr, nullptr),
            CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Wait_For_Association_On_Address(kEchoList, 0, scp_, 0, kLoopback, &id),
            CV_INVALID_PORT_NUMBER);
  EXPECT_EQ(CV_Wait_For_Association_On_Address(kEchoList, 0, scp_, free_port(), kLoopback, &id),
            CV_TIMEOUT);

  int32_t unknown = 99999;
  EXPECT_EQ(CV_Accept_Association(unknown), CV_INVALID_ASSOCIATION_ID);
  EXPECT_EQ(CV_Accept_Association_With_Identity(unknown, nullptr, 3), CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Reject_Association(unknown, 1), CV_INVALID_ASSOCIATION_ID);
  EXPECT_EQ(CV_Close_Association(nullptr), CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Abort_Association(nullptr), CV_NULL_POINTER_PARM);
  EXPECT_EQ(CV_Abort_Association(&unknown), CV_INVALID_ASSOCIATION_ID);
  EXPECT_EQ(unknown, -1);
}

TEST(AssociationLifecycle, CallsNeedTheLibraryAndARegisteredApplication) {
  int32_t app = 1;
  int32_t id = 1;
  EXPECT_EQ(CV_Wait_For_Association(kEchoList, 0, &app, &id), CV_LIBRARY_NOT_INITIALIZED);
  EXPECT_EQ(CV_Close_Association(&id), CV_LIBRARY_NOT_INITIALIZED);
  EXPECT_EQ(CV_Get_First_Acceptable_Service(id, nullptr), CV_LIBRARY_NOT_INITIALIZED);
  LibraryScope library(shipped_ini());
  ASSERT_EQ(library.status(), CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Wait_For_Association(kEchoList, 0, &app, &id), CV_NO_APPLICATIONS_REGISTERED);
  EXPECT_EQ(app, -1);
  EXPECT_EQ(id, -1);
}

}  // namespace
}  // namespace tessel::test
