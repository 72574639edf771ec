// The library's networking against a peer that misbehaves on purpose: a raw socket of the test
// sends broken, truncated or no PDUs, or stops answering, while the library accepts or
// requests. Every case checks the status, the log, what the peer sees, that no association is
// left behind, and (as acceptor) that the same acceptor then serves a good association.
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "memory/pool.hpp"
#include "net/association.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/test_env.hpp"
#include "tests/upper_layer/ul_peer.hpp"
#include <sys/socket.h>

#include "tessel/tessel.h"
#include "tessel/tessel_dimse.h"

namespace tessel::test {
namespace {

constexpr char kScu[] = "ROBUST_SCU";
constexpr char kScp[] = "ROBUST_SCP";
constexpr char kEchoList[] = "ECHO_SERVICE_LIST";
constexpr char kLoopback[] = "127.0.0.1";
constexpr int32_t kEchoRequest = 0x0030;
constexpr int32_t kEchoResponse = 0x8030;
constexpr uint32_t kMaxPdu = 16384;
constexpr int kPeerMs = 5000;  // bound of every wait of the peer
const Bytes none;

Bytes header(uint8_t type, size_t length) {
  return cat({Bytes{type, 0}, u32(length)});
}

// The variable items of a good A-ASSOCIATE-RQ: Verification in implicit little endian on
// context `id`, maximum length 16384.
Bytes request_items(uint8_t id = 1) {
  return cat(
      {item(0x10, text("1.2.840.10008.3.1.1.1")),
       item(0x20, cat({Bytes{id, 0, 0, 0}, item(0x30, text(kVerification)),
                       item(0x40, text(kImplicitLittle))})),
       item(0x50, cat({item(0x51, u32(16384)), item(0x52, text("1.2.826.0.1.3680043.9.7"))}))});
}

Bytes associate_rq(const Bytes& items, const std::string& called = kScp) {
  return pdu(0x01, cat({u16(1), u16(0), title(called), title("RAW_PEER"), Bytes(32, 0), items}));
}

// The first fragment of a command (not the last): an element header whose value never came.
Bytes command_fragment() {
  return pdu(0x04, pdv(1, 0x01, Bytes{0, 0, 0, 0, 4, 0, 0, 0}));
}

uint64_t live(memory::PoolId pool) {
  return memory::pool_stats(pool).live_objects;
}

// What the library's acceptor did with one connection.
struct Served {
  int32_t wait = -1;
  int32_t id = -1;
  int32_t read = -1;  // the first CV_Read_Message
  int32_t end = -1;   // after answering a C-ECHO-RQ: the read that meets the release
};

// One way of misbehaving against the library's acceptor.
struct AcceptorCase {
  const char* name;
  Bytes sends;
  bool half_close;  // after sending, the peer shuts its side down
  Bytes reply;      // sent by the library before it closes (empty: it only closes)
  int32_t status;   // of the wait, or of CV_Read_Message once accepted
  const char* line;
};

class RobustnessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ConfigSet config;
    for (const char* line :
         {"ARTIM_TIMEOUT = 1", "INACTIVITY_TIMEOUT = 1", "ASSOC_REPLY_TIMEOUT = 1",
          "RELEASE_TIMEOUT = 1", "WRITE_TIMEOUT = 2", "CONNECT_TIMEOUT = 2"}) {
      config.profile_line("DUL_PARMS", line);
    }
    config.profile_line("ASSOC_PARMS", "PDU_MAXIMUM_LENGTH = " + std::to_string(kMaxPdu));
    library_ = std::make_unique<LibraryScope>(config.write());
    ASSERT_EQ(library_->status(), CV_NORMAL_COMPLETION);
    ASSERT_EQ(CV_Register_Application(&scu_, kScu), CV_NORMAL_COMPLETION);
    ASSERT_EQ(CV_Register_Application(&scp_, kScp), CV_NORMAL_COMPLETION);
    port_ = free_port();
    ASSERT_GT(port_, 0);
    // Listening before the first wait, so that no peer meets a closed port.
    CV_SOCKET ignored = CV_NO_SOCKET;
    ASSERT_EQ(CV_Wait_For_Connection_On_Port(0, port_, &ignored), CV_TIMEOUT);
    log_ = std::make_unique<LogCapture>();
    // A first good association also makes what the library keeps from then on (the memory
    // that every case must leave as it found it).
    echo_through(start_acceptor());
  }

  void TearDown() override {
    log_.reset();
    for (int32_t* app : {&scu_, &scp_}) {
      if (*app >= 0) {
        EXPECT_EQ(CV_Release_Application(app), CV_NORMAL_COMPLETION);
      }
    }
    library_.reset();
  }

  // The acceptor: waits, accepts and reads; a C-ECHO-RQ is answered and the read goes on until
  // the peer releases.
  Served serve() {
    Served s;
    s.wait = CV_Wait_For_Association_On_Port(kEchoList, 10, scp_, port_, &s.id);
    if (s.wait != CV_NORMAL_COMPLETION) return s;
    EXPECT_EQ(CV_Accept_Association(s.id), CV_NORMAL_COMPLETION);
    int32_t request = -1;
    int32_t command = 0;
    s.read = CV_Read_Message(s.id, 5, &request, nullptr, &command);
    if (s.read != CV_NORMAL_COMPLETION) return s;
    EXPECT_EQ(command, kEchoRequest);
    CV_Free_Message(&request);
    int32_t response = -1;
    EXPECT_EQ(CV_Open_Message(&response, "STANDARD_ECHO", kEchoResponse), CV_NORMAL_COMPLETION);
    EXPECT_EQ(CV_Send_Response_Message(s.id, 0, response), CV_NORMAL_COMPLETION);
    CV_Free_Message(&response);
    int32_t ignored = -1;
    s.end = CV_Read_Message(s.id, 5, &ignored, nullptr, nullptr);
    return s;
  }

  std::future<Served> start_acceptor() {
    return std::async(std::launch::async, [this] { return serve(); });
  }

  // A well-behaved association from the library's own requestor to `acceptor`: one C-ECHO, then
  // the release.
  void echo_through(std::future<Served> acceptor) {
    int32_t id = -1;
    int32_t port = port_;
    int32_t request = -1;
    int32_t response = -1;
    int32_t command = 0;
    int32_t status = CV_Open_Association(scu_, &id, kScp, &port, kLoopback, kEchoList);
    if (status == CV_NORMAL_COMPLETION) {
      status = CV_Open_Message(&request, "STANDARD_ECHO", kEchoRequest);
    }
    if (status == CV_NORMAL_COMPLETION) status = CV_Send_Request_Message(id, request);
    if (status == CV_NORMAL_COMPLETION) {
      status = CV_Read_Message(id, 5, &response, nullptr, &command);
    }
    EXPECT_EQ(status, CV_NORMAL_COMPLETION);
    EXPECT_EQ(command, kEchoResponse);
    if (request >= 0) CV_Free_Message(&request);
    if (response >= 0) CV_Free_Message(&response);
    if (id >= 0) {
      EXPECT_EQ(CV_Close_Association(&id), CV_NORMAL_COMPLETION);
    }
    const Served s = acceptor.get();
    EXPECT_EQ(s.wait, CV_NORMAL_COMPLETION);
    EXPECT_EQ(s.read, CV_NORMAL_COMPLETION);
    EXPECT_EQ(s.end, CV_ASSOCIATION_CLOSED);
  }

  LogCapture& log() { return *log_; }

  // Plays one case against a waiting acceptor (with `associate`, once the peer's good request
  // was accepted), then a good association through the same acceptor.
  void check(const AcceptorCase& c, bool associate) {
    SCOPED_TRACE(c.name);
    log().clear();
    const uint64_t bytes_in_use = memory::usage(false).bytes_in_use;
    std::future<Served> acceptor = start_acceptor();
    {
      PeerSocket peer(connect_loopback(port_));
      ASSERT_TRUE(peer.valid());
      if (associate) {
        ASSERT_TRUE(peer.send(associate_rq(request_items())));
        const Bytes answer = peer.read_pdu(kPeerMs);
        ASSERT_FALSE(answer.empty());
        ASSERT_EQ(answer[0], 0x02);
      }
      if (!c.sends.empty()) {
        EXPECT_TRUE(peer.send(c.sends));
      }
      if (c.half_close) ::shutdown(peer.get(), SHUT_WR);
      if (c.reply.empty()) {
        EXPECT_TRUE(peer.closed_within(kPeerMs));
      } else {
        EXPECT_EQ(peer.read_pdu(kPeerMs), c.reply);
      }
    }
    const bool wait_goes_on = !associate && c.status == CV_NORMAL_COMPLETION;
    if (!wait_goes_on) {
      const Served s = acceptor.get();
      EXPECT_EQ(associate ? s.read : s.wait, c.status);
      EXPECT_EQ(s.wait != CV_NORMAL_COMPLETION, !associate);
      EXPECT_EQ(net::find_association(s.id), nullptr);
      EXPECT_EQ(live(memory::PoolId::AssocObj), 0u);
      EXPECT_EQ(live(memory::PoolId::MsgObj), 0u);
      acceptor = start_acceptor();
    }
    echo_through(std::move(acceptor));
    EXPECT_EQ(live(memory::PoolId::AssocObj), 0u);
    EXPECT_EQ(memory::usage(false).bytes_in_use, bytes_in_use);
    // A refusal is logged once the refused peer has closed, after the reply it saw.
    EXPECT_TRUE(log().contains(c.line));
  }

  int32_t scu_ = -1;
  int32_t scp_ = -1;
  int32_t port_ = 0;

 private:
  std::unique_ptr<LibraryScope> library_;
  std::unique_ptr<LogCapture> log_;
};

TEST_F(RobustnessTest, MessageBreaksOffOrIsMalformedAfterAcceptance) {
  const Bytes invalid = abort_pdu(2, 6);
  const Bytes partial_body = cat({header(0x04, 200), Bytes(20, 0)});
  const Bytes oversized = cat({header(0x04, kMaxPdu + 1), Bytes(64, 0)});
  const Bytes wrong_pdv = pdu(0x04, cat({u32(40), Bytes{1, 0x03}, Bytes(10, 0)}));
  const AcceptorCase cases[] = {
      {"peer aborts mid message", cat({command_fragment(), abort_pdu(0, 0)}), false, none,
       CV_ASSOCIATION_ABORTED, "Network peer aborted the association"},
      {"peer closes mid message", command_fragment(), true, none, CV_NETWORK_SHUT_DOWN,
       "Network connection unexpectedly shutdown"},
      {"peer stalls mid message", command_fragment(), false, abort_pdu(0, 0),
       CV_TIMEOUT_IN_TRANSFER, "Inactivity timeout in CV_Read_Message, closing connection"},
      {"PDU body never completes", partial_body, false, invalid, CV_NETWORK_SHUT_DOWN,
       "Network is too slow.  Inactivity timeout occurred."},
      {"unknown PDU type", pdu(0x0A, Bytes(4, 0)), false, abort_pdu(2, 2), CV_SYSTEM_ERROR,
       "Unknown PDU type"},
      {"P-DATA over the maximum length", oversized, false, invalid, CV_SYSTEM_ERROR,
       "Called with too small buffer, PDU length: 16385, Buffer Size: 16384"},
      {"PDV of length 0", pdu(0x04, u32(0)), false, invalid, CV_SYSTEM_ERROR,
       "PDV Lengths don't add up correctly"},
      {"PDV running past its PDU", wrong_pdv, false, invalid, CV_SYSTEM_ERROR,
       "PDV Lengths don't add up correctly"},
  };
  for (const AcceptorCase& c : cases) check(c, true);
}

TEST_F(RobustnessTest, RequestMissingTruncatedOrMalformed) {
  const Bytes good = associate_rq(request_items());
  const Bytes aborted = abort_pdu(0, 0);
  const Bytes app_context = item(0x10, text("1.2.840.10008.3.1.1.1"));
  const Bytes bad_max_length = item(0x50, Bytes{0x51, 0, 0, 40, 0, 0, 0x40, 0});
  const AcceptorCase cases[] = {
      {"nothing sent", none, false, none, CV_NEGOTIATION_ABORTED,
       "ARTIM timeout before receiving Associate-RQ, association aborted"},
      {"request never completes", Bytes(good.begin(), good.begin() + 50), false, aborted,
       CV_NEGOTIATION_ABORTED, "Error on process_PDU call: Transport has shut down"},
      {"unknown PDU type", pdu(0x0A, Bytes(4, 0)), false, aborted, CV_NEGOTIATION_ABORTED,
       "Unknown PDU type"},
      {"P-DATA instead of a request", pdu(0x04, pdv(1, 3, Bytes(4, 0))), false, aborted,
       CV_NEGOTIATION_ABORTED, "Error on process_PDU call: UL Provider aborted the association"},
      {"request shorter than its fixed part", pdu(0x01, Bytes(30, 'A')), false, aborted,
       CV_NEGOTIATION_ABORTED, "Parsing error encountered"},
      {"item running past its PDU", associate_rq(cat({app_context, Bytes{0x20, 0, 1, 0, 1, 0}})),
       false, aborted, CV_NEGOTIATION_ABORTED, "Parsing error encountered"},
      {"sub-item running past its item", associate_rq(cat({request_items(), bad_max_length})),
       false, aborted, CV_NEGOTIATION_ABORTED, "Parsing error encountered"},
      {"unknown item", associate_rq(cat({request_items(), item(0x77, text("garbage"))})), false,
       aborted, CV_NEGOTIATION_ABORTED, "Unknown PDU type reveived: 77"},
      {"presentation context ID 0", associate_rq(request_items(0)), false, aborted,
       CV_NEGOTIATION_ABORTED, "Unexpected Pres Context ID of 0 received"},
      {"request over 4 MiB", header(0x01, 5u << 20), false, aborted, CV_NEGOTIATION_ABORTED,
       "PDU is too large"},
      // Well formed but calling nobody here: refused on the spot, and the wait goes on.
      {"control characters as called title", associate_rq(request_items(), "\x7f\x1b[2J\x01"),
       false, pdu(0x03, Bytes{0, 1, 1, 7}), CV_NORMAL_COMPLETION,
       "Association automatically rejected:"},
  };
  for (const AcceptorCase& c : cases) check(c, false);
}

// The library requests; the peer accepts the TCP connection and then answers badly or not at
// all, to the request or to the release.
struct RequestorCase {
  const char* name;
  Bytes answer;  // sent after reading the A-ASSOCIATE-RQ
  bool trickle;  // P-DATA every 100 ms instead of the release answer
  Bytes reply;   // sent by the library before it closes (empty: it only closes)
  int32_t open;
  int32_t close;  // when the open succeeds
  const char* line;
};

struct PeerView {
  Bytes request;
  Bytes release;  // read after an accepted open
  Bytes reply;
  bool closed = false;
  int trickled = 0;
};

TEST_F(RobustnessTest, RequestorEndsInBoundedTimeAgainstAPeerThatDoesNotAnswer) {
  constexpr int kMaxTrickle = 100;  // ten seconds of P-DATA
  const Bytes accept = associate_ac({{1, 0, kImplicitLittle}});
  const RequestorCase cases[] = {
      {"no answer to the request", none, false, none, CV_NEGOTIATION_ABORTED, 0,
       "Error on process_PDU call: Transport read timeout"},
      {"garbage answer", pdu(0x02, Bytes(16, 0xEE)), false, abort_pdu(2, 6), CV_NEGOTIATION_ABORTED,
       0, "Error on process_PDU call: Deformed PDU"},
      {"unknown PDU as answer", pdu(0x0A, Bytes(4, 0)), false, abort_pdu(2, 2),
       CV_NEGOTIATION_ABORTED, 0, "Error on process_PDU call: UL Provider aborted the association"},
      {"no answer to the release", accept, false, none, CV_NORMAL_COMPLETION,
       CV_ASSOCIATION_ABORTED, "DUL_release_request error Transport read timeout"},
      {"data instead of the release answer", accept, true, none, CV_NORMAL_COMPLETION,
       CV_NORMAL_COMPLETION, nullptr},
  };
  for (const RequestorCase& c : cases) {
    SCOPED_TRACE(c.name);
    log().clear();
    const uint64_t bytes_in_use = memory::usage(false).bytes_in_use;
    int listen_port = 0;
    RawSocket listener(listen_loopback(&listen_port));
    ASSERT_TRUE(listener.valid());
    auto peer = std::async(std::launch::async, [&] {
      PeerView view;
      if (!readable_within(listener.get(), 10000)) return view;
      PeerSocket socket(::accept(listener.get(), nullptr, nullptr));
      view.request = socket.read_pdu(kPeerMs);
      if (!c.answer.empty()) socket.send(c.answer);
      if (c.open == CV_NORMAL_COMPLETION) view.release = socket.read_pdu(kPeerMs);
      if (c.trickle) {
        const Bytes data = pdu(0x04, pdv(1, 0x03, text("more")));
        while (view.trickled < kMaxTrickle && socket.send(data)) {
          ++view.trickled;
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
      } else if (c.reply.empty()) {
        view.closed = socket.closed_within(kPeerMs);
      } else {
        view.reply = socket.read_pdu(kPeerMs);
      }
      return view;
    });
    int32_t id = -1;
    int32_t port = listen_port;
    EXPECT_EQ(CV_Open_Association(scu_, &id, "ACCEPTOR", &port, kLoopback, kEchoList), c.open);
    if (c.open == CV_NORMAL_COMPLETION) {
      EXPECT_EQ(CV_Close_Association(&id), c.close);
    }
    EXPECT_EQ(id, -1);
    const PeerView view = peer.get();
    ASSERT_FALSE(view.request.empty());
    EXPECT_EQ(view.request[0], 0x01);
    if (c.open == CV_NORMAL_COMPLETION) {
      EXPECT_EQ(view.release, release_rq());
    }
    if (c.trickle) {
      // The library gave up on the release while the peer was still sending.
      EXPECT_LT(view.trickled, kMaxTrickle);
    } else if (c.reply.empty()) {
      EXPECT_TRUE(view.closed);
    } else {
      EXPECT_EQ(view.reply, c.reply);
    }
    if (c.line != nullptr) {
      EXPECT_TRUE(log().contains(c.line));
    }
    EXPECT_EQ(live(memory::PoolId::AssocObj), 0u);
    EXPECT_EQ(memory::usage(false).bytes_in_use, bytes_in_use);
  }
}

}  // namespace
}  // namespace tessel::test
