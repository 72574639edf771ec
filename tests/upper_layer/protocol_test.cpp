// The protocol's edge cases against a scripted peer: a plain socket that writes hand-built PDU
// bytes and reads what the library sends back.
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "net/upper_layer.hpp"
#include "net/upper_layer_events.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/test_env.hpp"
#include "tests/upper_layer/ul_peer.hpp"

#include "tessel/tessel.h"

namespace {

using tessel::net::DulAssociation;
using tessel::net::PdvList;
using tessel::net::UlStatus;
using tessel::test::Bytes;
using tessel::test::Params;
using tessel::test::PeerSocket;
using Clock = std::chrono::steady_clock;
namespace net = tessel::net;
namespace test = tessel::test;

using tessel::net::code;

struct Handle {
  DulAssociation* ptr = nullptr;
  ~Handle() { DUL_drop_association(&ptr); }
};

constexpr uint32_t kReceiveSize = 64234;
using Script = std::function<void(PeerSocket&)>;

// The library requests; the peer listens on a loopback port and plays `Script`.
class ScriptedPeerTest : public ::testing::Test {
 protected:
  test::LibraryScope library_{test::shipped_ini()};
  test::RawSocket listener_;
  int port_ = 0;
  std::thread peer_;

  void SetUp() override {
    ASSERT_EQ(library_.status(), CV_NORMAL_COMPLETION);
    listener_.reset(test::listen_loopback(&port_));
    ASSERT_TRUE(listener_.valid());
  }
  void TearDown() override {
    if (peer_.joinable()) peer_.join();
  }

  void play(Script script) {
    peer_ = std::thread([this, script = std::move(script)] {
      if (!test::readable_within(listener_.get(), 10000)) {
        ADD_FAILURE() << "no connection";
        return;
      }
      PeerSocket socket(::accept(listener_.get(), nullptr, nullptr));
      script(socket);
    });
  }

  // The peer reads the A-ASSOCIATE-RQ and accepts context 1 only, then plays `then`.
  int32_t associate(Handle* handle, Params* params, Script then) {
    play([then = std::move(then)](PeerSocket& peer) {
      const Bytes rq = peer.read_pdu();
      ASSERT_GE(rq.size(), 74u);
      EXPECT_EQ(rq[0], 0x01);
      EXPECT_EQ(std::string(rq.begin() + 10, rq.begin() + 26), "ACCEPTOR        ");
      EXPECT_EQ(std::string(rq.begin() + 26, rq.begin() + 42), "CALLER          ");
      peer.send(test::associate_ac({{1, 0, test::kImplicitLittle}}));
      then(peer);
    });
    *params = test::request_params(port_);
    return DUL_associate_request(kReceiveSize, params->get(), &handle->ptr, nullptr, nullptr);
  }
};

TEST_F(ScriptedPeerTest, ContextLeftOutOfTheAcceptReadsNoAnswer) {
  Handle handle;
  Params params;
  ASSERT_EQ(associate(&handle, &params,
                      [](PeerSocket& peer) { EXPECT_EQ(peer.read_pdu(), test::abort_pdu(0, 0)); }),
            1);
  const net::PresentationContextParams& answered = params->presentation_contexts[0];
  EXPECT_EQ(answered.result, net::kResultAccepted);
  EXPECT_STREQ(answered.accepted_transfer_syntax, test::kImplicitLittle);
  const net::PresentationContextParams& omitted = params->presentation_contexts[1];
  EXPECT_EQ(omitted.result, net::kResultNoAnswer);
  EXPECT_STREQ(omitted.accepted_transfer_syntax, "");
  EXPECT_EQ(params->max_pdu_length, 16384u);
  EXPECT_STREQ(params->implementation_class_uid, "1.2.3.4");
  // The peer closes after reading the A-ABORT, which ends the close wait at once.
  const auto start = Clock::now();
  EXPECT_EQ(DUL_abort_request(&handle.ptr), 1);
  EXPECT_LT(test::seconds_since(start), 5.0);
  EXPECT_EQ(handle.ptr, nullptr);
}

TEST_F(ScriptedPeerTest, ReleaseOutcomes) {
  const Bytes data_pdu = test::pdu(0x04, test::pdv(1, 0x03, test::text("LATE-DATA")));
  struct Case {
    const char* name;
    std::vector<Bytes> peer_sends;    // after reading our A-RELEASE-RQ
    std::vector<Bytes> peer_expects;  // then read from us, in order
    int32_t result;
  };
  const Case cases[] = {
      {"confirmed", {test::release_rp()}, {}, code(UlStatus::kReleaseConfirmed)},
      {"data before the answer", {data_pdu, test::release_rp()}, {}, code(UlStatus::kPdataArrived)},
      {"collision",
       {test::release_rq()},
       {test::release_rp()},
       code(UlStatus::kPeerRequestedRelease)},
      {"peer aborts", {test::abort_pdu(2, 0)}, {}, code(UlStatus::kPeerAborted)},
      {"unknown PDU type",
       {test::pdu(0x0A, Bytes(4, 0))},
       {test::abort_pdu(2, 2)},
       code(UlStatus::kProviderAborted)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Handle handle;
    Params params;
    ASSERT_EQ(associate(&handle, &params,
                        [&c](PeerSocket& peer) {
                          EXPECT_EQ(peer.read_pdu(), test::release_rq());
                          for (const Bytes& bytes : c.peer_sends) peer.send(bytes);
                          for (const Bytes& bytes : c.peer_expects) {
                            EXPECT_EQ(peer.read_pdu(), bytes);
                          }
                          // The collision ends with the requestor's answer to ours.
                          if (c.result == code(UlStatus::kPeerRequestedRelease)) {
                            peer.send(test::release_rp());
                          }
                          if (c.result == code(UlStatus::kReleaseConfirmed)) {
                            EXPECT_TRUE(peer.closed_within(5000));
                          }
                        }),
              1);
    const auto start = Clock::now();
    EXPECT_EQ(DUL_release_request(&handle.ptr), c.result);
    if (c.result == code(UlStatus::kPdataArrived)) {
      ASSERT_NE(handle.ptr, nullptr);
      EXPECT_EQ(handle.ptr->state, net::kSta7);
      ASSERT_EQ(handle.ptr->pdvs.count(), 1u);
      EXPECT_EQ(handle.ptr->pdvs[0].length, 9u);
      const PdvList* pdvs = nullptr;
      EXPECT_EQ(DUL_read_pdvs(&handle.ptr, 5, &pdvs), code(UlStatus::kReleaseConfirmed));
    }
    EXPECT_EQ(handle.ptr, nullptr);
    EXPECT_LT(test::seconds_since(start), 5.0);
    peer_.join();
  }
}

TEST_F(ScriptedPeerTest, WhatAReadMeetsInSta6) {
  struct Case {
    const char* name;
    Bytes peer_sends;
    Bytes peer_expects;  // empty: nothing
    int32_t result;
    const char* log_line;
  };
  const Case cases[] = {
      {"command and data set PDVs",
       test::pdu(0x04, test::cat({test::pdv(1, 0x03, test::text("CMD")),
                                  test::pdv(1, 0x02, test::text("DATASET"))})),
       {},
       code(UlStatus::kPdataArrived),
       nullptr},
      {"peer abort",
       test::abort_pdu(2, 1),
       {},
       code(UlStatus::kPeerAborted),
       "Peer aborted Association"},
      {"unknown PDU type", test::pdu(0x09, Bytes(4, 0)), test::abort_pdu(2, 2),
       code(UlStatus::kProviderAborted), "Unknown PDU type"},
      {"unexpected A-ASSOCIATE-RQ", test::pdu(0x01, Bytes(68, 0)), test::abort_pdu(2, 2),
       code(UlStatus::kProviderAborted), nullptr},
      {"PDV overrunning its PDU", test::pdu(0x04, test::cat({test::u32(10), Bytes{1, 3}})),
       test::abort_pdu(2, 6), code(UlStatus::kDeformedPdu), "PDV Lengths don't add up correctly"},
      {"PDU larger than the receive buffer", test::cat({Bytes{4, 0}, test::u32(kReceiveSize + 1)}),
       test::abort_pdu(2, 6), code(UlStatus::kUnexpected),
       "Called with too small buffer, PDU length: 64235, Buffer Size: 64234"},
      {"peer closes", {}, {}, code(UlStatus::kTransportShutDown), "Transport unexpectedly closed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Handle handle;
    Params params;
    ASSERT_EQ(associate(&handle, &params,
                        [&c](PeerSocket& peer) {
                          if (!c.peer_sends.empty()) peer.send(c.peer_sends);
                          if (!c.peer_expects.empty()) {
                            EXPECT_EQ(peer.read_pdu(), c.peer_expects);
                          }
                          if (c.result == code(UlStatus::kPdataArrived)) {
                            EXPECT_EQ(peer.read_pdu(), test::abort_pdu(0, 0));
                          }
                        }),
              1);
    test::LogCapture log;
    const PdvList* pdvs = nullptr;
    const auto start = Clock::now();
    EXPECT_EQ(DUL_read_pdvs(&handle.ptr, 10, &pdvs), c.result);
    if (c.result == code(UlStatus::kPdataArrived)) {
      ASSERT_NE(pdvs, nullptr);
      ASSERT_EQ(pdvs->count(), 2u);
      EXPECT_FALSE((*pdvs)[0].data_set);
      EXPECT_TRUE((*pdvs)[0].last_fragment);
      EXPECT_EQ(std::string(reinterpret_cast<const char*>((*pdvs)[0].data), 3), "CMD");
      EXPECT_TRUE((*pdvs)[1].data_set);
      EXPECT_EQ((*pdvs)[1].length, 7u);
      EXPECT_EQ(DUL_abort_request(&handle.ptr), 1);
    }
    EXPECT_EQ(handle.ptr, nullptr);
    EXPECT_LT(test::seconds_since(start), 5.0);
    if (c.log_line != nullptr) {
      EXPECT_TRUE(log.contains(c.log_line));
    }
    peer_.join();
  }
}

// The library accepts; the test connects with a plain socket.
class AcceptorEdgeTest : public ::testing::Test {
 protected:
  test::LibraryScope library_{test::shipped_ini()};
  int port_ = 0;

  void SetUp() override {
    ASSERT_EQ(library_.status(), CV_NORMAL_COMPLETION);
    port_ = test::free_port();
    ASSERT_NE(port_, 0);
    tessel::platform::SocketHandle listener = tessel::platform::kNoSocket;
    ASSERT_EQ(net::find_listener(port_, nullptr, &listener), net::TransportResult::kSuccess);
    ASSERT_EQ(CV_Set_Int_Config_Value(ARTIM_TIMEOUT, 1), CV_NORMAL_COMPLETION);
  }
};

TEST_F(AcceptorEdgeTest, NothingButAnAssociateRequestOpensAnAssociation) {
  struct Case {
    const char* name;
    Bytes client_sends;  // empty: the client stays silent
    Bytes client_expects;
    const char* log_line;
  };
  const Case cases[] = {
      {"silent peer", {}, {}, "ARTIM timeout before receiving Associate-RQ, association aborted"},
      {"release request first", test::release_rq(), test::abort_pdu(0, 0),
       "Error on process_PDU call: UL Provider aborted the association"},
      {"unknown PDU type first", test::pdu(0x0C, Bytes(2, 0)), test::abort_pdu(0, 0),
       "Unknown PDU type"},
      {"malformed request", test::pdu(0x01, Bytes(10, 0)), test::abort_pdu(0, 0),
       "Error on process_PDU call: Deformed PDU"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::LogCapture log;
    PeerSocket client(test::connect_loopback(port_));
    ASSERT_TRUE(client.valid());
    if (!c.client_sends.empty()) client.send(c.client_sends);
    std::thread reader([&] {
      if (!c.client_expects.empty()) {
        EXPECT_EQ(client.read_pdu(), c.client_expects);
      }
      EXPECT_TRUE(client.closed_within(5000));
    });
    Params params = test::empty_params();
    Handle handle;
    const auto start = Clock::now();
    EXPECT_EQ(
        DUL_wait_for_associate_RQ(5, port_, nullptr, kReceiveSize, params.get(), &handle.ptr,
                                  nullptr, tessel::platform::kNoSocket, false, nullptr, nullptr),
        code(UlStatus::kProviderAborted));
    reader.join();
    EXPECT_LT(test::seconds_since(start), 4.0);
    EXPECT_EQ(handle.ptr, nullptr);
    EXPECT_TRUE(log.contains(c.log_line));
  }
}

TEST_F(AcceptorEdgeTest, NoConnectionInTimeGivesNoAssociation) {
  Params params = test::empty_params();
  Handle handle;
  EXPECT_EQ(
      DUL_wait_for_associate_RQ(0, port_, nullptr, kReceiveSize, params.get(), &handle.ptr, nullptr,
                                tessel::platform::kNoSocket, false, nullptr, nullptr),
      code(UlStatus::kNoAssociation));
  EXPECT_EQ(handle.ptr, nullptr);
}

}  // namespace
