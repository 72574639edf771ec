// The upper layer over loopback in one process: two library ends (the acceptor in a thread of its
// own), and a scripted peer writing hand-built PDU bytes.
#include "net/upper_layer.hpp"

#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "net/upper_layer_events.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/test_env.hpp"
#include "tests/upper_layer/ul_peer.hpp"

#include "tessel/tessel.h"

namespace {

using tessel::net::code;
using tessel::net::DulAssociation;
using tessel::net::PdvList;
using tessel::net::PdvToSend;
using tessel::net::UlStatus;
using tessel::test::Bytes;
using tessel::test::Params;
using tessel::test::PeerSocket;
using Clock = std::chrono::steady_clock;
namespace net = tessel::net;
namespace test = tessel::test;

// Drops its handle when the test ends, before the library is released.
struct Handle {
  DulAssociation* ptr = nullptr;
  ~Handle() { DUL_drop_association(&ptr); }
};

constexpr uint32_t kReceiveSize = 64234;

// A fragment buffer: kPdataReserve bytes in front of `data`, as the sender prepares them.
struct Fragment {
  std::vector<uint8_t> storage;
  PdvToSend pdv{};
  Fragment(const std::string& data, uint8_t context, bool command, bool last)
      : storage(net::kPdataReserve + data.size()) {
    std::memcpy(storage.data() + net::kPdataReserve, data.data(), data.size());
    pdv = PdvToSend{storage.data() + net::kPdataReserve,
                    static_cast<uint32_t>(data.size()),
                    context,
                    command,
                    last,
                    0};
  }
};

std::string pdv_text(const net::Pdv& pdv) {
  return std::string(reinterpret_cast<const char*>(pdv.data), pdv.length);
}

// The library listens on port_ before the first connect, so no test races the listener.
class UpperLayerTest : public ::testing::Test {
 protected:
  test::LibraryScope library_{test::shipped_ini()};
  int port_ = 0;

  void SetUp() override {
    ASSERT_EQ(library_.status(), CV_NORMAL_COMPLETION);
    port_ = test::free_port();
    ASSERT_NE(port_, 0);
    tessel::platform::SocketHandle listener = tessel::platform::kNoSocket;
    ASSERT_EQ(net::find_listener(port_, nullptr, &listener), net::TransportResult::kSuccess);
  }

  int32_t wait_for_request(int timeout, net::AssociationParams* params, DulAssociation** handle,
                           uint32_t receive_size = kReceiveSize,
                           net::TransportRecord** pending = nullptr) {
    return DUL_wait_for_associate_RQ(timeout, port_, nullptr, receive_size, params, handle, pending,
                                     tessel::platform::kNoSocket, false, nullptr, nullptr);
  }

  // Establishes an association: the acceptor thread accepts the first context and hands its
  // handle to `acceptor_script`; *requestor holds the requesting end.
  std::thread establish(Handle* requestor, std::function<void(Handle&)> acceptor_script) {
    std::promise<void> accepted;
    std::future<void> ready = accepted.get_future();
    std::thread acceptor([this, script = std::move(acceptor_script),
                          accepted = std::move(accepted)]() mutable {
      Params params = test::empty_params();
      Handle handle;
      const int32_t waited = wait_for_request(10, params.get(), &handle.ptr);
      EXPECT_EQ(waited, 1);
      params->presentation_contexts[0].result = net::kResultAccepted;
      std::strcpy(params->presentation_contexts[0].accepted_transfer_syntax, test::kImplicitLittle);
      if (waited == 1) {
        EXPECT_EQ(DUL_associate_accept(&handle.ptr, params.get()), 1);
      }
      accepted.set_value();
      if (handle.ptr != nullptr) script(handle);
    });
    Params params = test::request_params(port_);
    EXPECT_EQ(DUL_associate_request(kReceiveSize, params.get(), &requestor->ptr, nullptr, nullptr),
              1);
    ready.wait();
    return acceptor;
  }
};

TEST_F(UpperLayerTest, AssociationCarriesDataBothWaysAndReleases) {
  std::thread acceptor([this] {
    Params params = test::empty_params();
    Handle handle;
    ASSERT_EQ(wait_for_request(10, params.get(), &handle.ptr), 1);
    EXPECT_EQ(handle.ptr->state, net::kSta3);
    EXPECT_STREQ(params->calling_ae_title, "CALLER");
    EXPECT_STREQ(params->called_ae_title, "ACCEPTOR");
    EXPECT_STREQ(params->calling_presentation_address, "127.0.0.1");
    EXPECT_STREQ(params->remote_host_name, "localhost");
    EXPECT_STREQ(params->implementation_class_uid, "1.2.826.0.1.3680043.9.7");
    ASSERT_EQ(params->presentation_context_count, 2);
    const net::PresentationContextParams& ct = params->presentation_contexts[1];
    EXPECT_EQ(ct.context_id, 3);
    EXPECT_STREQ(ct.abstract_syntax, test::kCtStorage);
    ASSERT_EQ(ct.transfer_syntax_count, 2);
    EXPECT_STREQ(ct.transfer_syntaxes[0].uid, test::kExplicitLittle);
    EXPECT_NE(ct.transfer_syntaxes[0].syntax, 0);
    EXPECT_EQ(ct.result, net::kResultNotJudged);

    params->presentation_contexts[0].result = net::kResultAccepted;
    std::strcpy(params->presentation_contexts[0].accepted_transfer_syntax, test::kImplicitLittle);
    params->presentation_contexts[1].result = net::kResultAbstractSyntax;
    ASSERT_EQ(DUL_associate_accept(&handle.ptr, params.get()), 1);

    // Command and data set left in one write; they arrive as two P-DATA-TF PDUs.
    const PdvList* pdvs = nullptr;
    ASSERT_EQ(DUL_read_pdvs(&handle.ptr, 10, &pdvs), code(UlStatus::kPdataArrived));
    ASSERT_EQ(pdvs->count(), 1u);
    EXPECT_EQ((*pdvs)[0].context_id, 1);
    EXPECT_FALSE((*pdvs)[0].data_set);
    EXPECT_TRUE((*pdvs)[0].last_fragment);
    EXPECT_EQ(pdv_text((*pdvs)[0]), "COMMAND-GROUP");
    handle.ptr->message_in_progress = true;
    ASSERT_EQ(DUL_read_pdvs(&handle.ptr, 10, &pdvs), code(UlStatus::kPdataArrived));
    EXPECT_TRUE((*pdvs)[0].data_set);
    EXPECT_EQ(pdv_text((*pdvs)[0]), "DATA-SET-BYTES");
    handle.ptr->message_in_progress = false;

    Fragment reply("RESPONSE", 1, true, true);
    EXPECT_EQ(DUL_write_pdvs(&handle.ptr, reply.pdv), 1);
    EXPECT_EQ(DUL_read_pdvs(&handle.ptr, 10, &pdvs), code(UlStatus::kPeerRequestedRelease));
    EXPECT_EQ(handle.ptr->state, net::kSta8);
    EXPECT_EQ(DUL_release_response(&handle.ptr), 1);
    EXPECT_EQ(handle.ptr, nullptr);
  });

  Params params = test::request_params(port_);
  Handle handle;
  ASSERT_EQ(DUL_associate_request(kReceiveSize, params.get(), &handle.ptr, nullptr, nullptr), 1);
  EXPECT_EQ(handle.ptr->state, net::kSta6);
  EXPECT_EQ(params->presentation_contexts[0].result, net::kResultAccepted);
  EXPECT_STREQ(params->presentation_contexts[0].accepted_transfer_syntax, test::kImplicitLittle);
  EXPECT_EQ(params->presentation_contexts[1].result, net::kResultAbstractSyntax);
  EXPECT_EQ(params->max_pdu_length, kReceiveSize);

  // The command's PDU sits in front of the data set's, both built in one buffer.
  const std::string command = "COMMAND-GROUP";
  const std::string data = "DATA-SET-BYTES";
  std::vector<uint8_t> buffer(2 * net::kPdataReserve + command.size() + data.size());
  uint8_t* command_data = buffer.data() + net::kPdataReserve;
  std::memcpy(command_data, command.data(), command.size());
  net::write_pdata_headers(command_data, static_cast<uint32_t>(command.size()), 1, true, true);
  uint8_t* data_at = command_data + command.size() + net::kPdataReserve;
  std::memcpy(data_at, data.data(), data.size());
  const PdvToSend both{data_at, static_cast<uint32_t>(data.size()),
                       1,       false,
                       true,    static_cast<uint32_t>(net::kPdataReserve + command.size())};
  EXPECT_EQ(DUL_write_pdvs(&handle.ptr, both), 1);

  const PdvList* pdvs = nullptr;
  ASSERT_EQ(DUL_read_pdvs(&handle.ptr, 10, &pdvs), code(UlStatus::kPdataArrived));
  EXPECT_EQ(pdv_text((*pdvs)[0]), "RESPONSE");
  EXPECT_EQ(DUL_release_request(&handle.ptr), code(UlStatus::kReleaseConfirmed));
  EXPECT_EQ(handle.ptr, nullptr);
  acceptor.join();
}

TEST_F(UpperLayerTest, RejectionReachesTheRequestorOrClosesWhenIllegal) {
  struct Case {
    uint8_t result, reason, source;
    int32_t acceptor_result;
    int32_t requestor_result;
  };
  const Case cases[] = {
      {1, 1, 1, 1, code(UlStatus::kPeerRejected)},
      {2, 2, 3, 1, code(UlStatus::kPeerRejected)},
      {1, 7, 2, 1, code(UlStatus::kPeerRejected)},
      {1, 8, 1, code(UlStatus::kUnknownRejectReason), code(UlStatus::kProviderAborted)},
      {3, 1, 1, code(UlStatus::kUnknownRejectResult), code(UlStatus::kProviderAborted)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << int{c.result} << "/" << int{c.reason});
    test::LogCapture log;
    std::thread acceptor([&] {
      Params params = test::empty_params();
      Handle handle;
      ASSERT_EQ(wait_for_request(10, params.get(), &handle.ptr), 1);
      EXPECT_EQ(DUL_associate_reject(&handle.ptr, c.result, c.reason, c.source), c.acceptor_result);
      EXPECT_EQ(handle.ptr, nullptr);
    });
    Params params = test::request_params(port_);
    Handle handle;
    const auto start = Clock::now();
    EXPECT_EQ(DUL_associate_request(kReceiveSize, params.get(), &handle.ptr, nullptr, nullptr),
              c.requestor_result);
    acceptor.join();
    EXPECT_LT(test::seconds_since(start), 10.0);
    EXPECT_EQ(handle.ptr, nullptr);
    if (c.requestor_result == code(UlStatus::kPeerRejected)) {
      EXPECT_EQ(params->reject_result, c.result);
      EXPECT_EQ(params->reject_reason, c.reason);
      EXPECT_EQ(params->reject_source, c.source);
    } else {
      EXPECT_TRUE(log.contains("Illegal reject reason"));
      EXPECT_TRUE(log.contains("Error on process_PDU call: Transport has shut down"));
    }
  }
}

TEST_F(UpperLayerTest, ReleaseCollisionCompletesOnBothSides) {
  std::promise<void> go;
  std::shared_future<void> start = go.get_future().share();
  Handle requestor;
  std::thread acceptor = establish(&requestor, [start](Handle& handle) {
    start.wait();
    EXPECT_EQ(DUL_release_request(&handle.ptr), code(UlStatus::kPeerRequestedRelease));
    EXPECT_EQ(handle.ptr, nullptr);
  });
  ASSERT_NE(requestor.ptr, nullptr);
  go.set_value();
  const auto begin = Clock::now();
  EXPECT_EQ(DUL_release_request(&requestor.ptr), code(UlStatus::kPeerRequestedRelease));
  EXPECT_EQ(requestor.ptr, nullptr);
  acceptor.join();
  // Neither side waited for a time-out.
  EXPECT_LT(test::seconds_since(begin), 5.0);
}

TEST_F(UpperLayerTest, LargeRequestGrowsTheReceiveBuffer) {
  static constexpr size_t kContexts = 40;  // about 3 KB of presentation contexts
  std::thread acceptor([this] {
    Params params = test::empty_params();
    Handle handle;
    ASSERT_EQ(wait_for_request(10, params.get(), &handle.ptr, 512), 1);
    EXPECT_EQ(params->presentation_context_count, kContexts);
    EXPECT_EQ(params->presentation_contexts[kContexts - 1].context_id, 2 * kContexts - 1);
    EXPECT_GT(handle.ptr->receive_size, 512u);
    EXPECT_EQ(DUL_abort_request(&handle.ptr), 1);
    EXPECT_EQ(handle.ptr, nullptr);
  });
  Params params = test::request_params(port_, kContexts);
  Handle handle;
  EXPECT_EQ(DUL_associate_request(kReceiveSize, params.get(), &handle.ptr, nullptr, nullptr),
            code(UlStatus::kPeerAborted));
  acceptor.join();
}

// A read that timed out leaves the association usable; an abort from another thread ends one
// that waits without limit.
TEST_F(UpperLayerTest, ThreadAbortEndsABlockedReadAfterATimedOutOne) {
  std::promise<void> timed_out;
  std::future<void> after_timeout = timed_out.get_future();
  Handle requestor;
  std::thread acceptor = establish(&requestor, [&after_timeout](Handle& handle) {
    after_timeout.wait();
    Fragment late("LATE", 1, true, true);
    EXPECT_EQ(DUL_write_pdvs(&handle.ptr, late.pdv), 1);
    const PdvList* pdvs = nullptr;
    const int32_t result = DUL_read_pdvs(&handle.ptr, 20, &pdvs);
    // The A-ABORT normally arrives; a reset that overtakes it ends the read as well.
    EXPECT_TRUE(result == code(UlStatus::kPeerAborted) ||
                result == code(UlStatus::kTransportShutDown))
        << result;
    EXPECT_EQ(handle.ptr, nullptr);
  });
  ASSERT_NE(requestor.ptr, nullptr);
  const PdvList* pdvs = nullptr;
  auto start = Clock::now();
  EXPECT_EQ(DUL_read_pdvs(&requestor.ptr, 1, &pdvs), code(UlStatus::kReadTimeout));
  EXPECT_GE(test::seconds_since(start), 0.5);
  EXPECT_EQ(pdvs, nullptr);
  ASSERT_NE(requestor.ptr, nullptr);
  EXPECT_EQ(requestor.ptr->state, net::kSta6);
  timed_out.set_value();
  ASSERT_EQ(DUL_read_pdvs(&requestor.ptr, 10, &pdvs), code(UlStatus::kPdataArrived));
  EXPECT_EQ(pdv_text((*pdvs)[0]), "LATE");

  std::thread aborter([&requestor] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    net::request_association_abort(&requestor.ptr, nullptr);
  });
  start = Clock::now();
  EXPECT_EQ(DUL_read_pdvs(&requestor.ptr, -1, &pdvs), code(UlStatus::kAbortRequested));
  EXPECT_LT(test::seconds_since(start), 3.0);
  EXPECT_EQ(requestor.ptr, nullptr);
  aborter.join();
  acceptor.join();
}

TEST_F(UpperLayerTest, ThreadAbortEndsAWaitForConnection) {
  Params params = test::empty_params();
  Handle handle;
  // No connection within a time-out of 0 gives no association either.
  EXPECT_EQ(wait_for_request(0, params.get(), &handle.ptr), code(UlStatus::kNoAssociation));
  EXPECT_EQ(handle.ptr, nullptr);
  net::TransportRecord* pending = nullptr;
  std::thread aborter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    net::request_association_abort(&handle.ptr, &pending);
  });
  const auto start = Clock::now();
  EXPECT_EQ(wait_for_request(-1, params.get(), &handle.ptr, kReceiveSize, &pending),
            code(UlStatus::kNoAssociation));
  EXPECT_LT(test::seconds_since(start), 3.0);
  EXPECT_EQ(pending, nullptr);
  EXPECT_EQ(handle.ptr, nullptr);
  aborter.join();
}

TEST_F(UpperLayerTest, OperationsCheckTheHandleFirst) {
  Params params = test::empty_params();
  Fragment fragment("X", 1, true, true);
  const PdvList* pdvs = nullptr;
  const std::vector<std::pair<const char*, std::function<int32_t(DulAssociation**)>>> ops = {
      {"DUL_associate_accept",
       [&](DulAssociation** h) { return DUL_associate_accept(h, params.get()); }},
      {"DUL_associate_reject", [](DulAssociation** h) { return DUL_associate_reject(h, 1, 1, 1); }},
      {"DUL_release_request", [](DulAssociation** h) { return DUL_release_request(h); }},
      {"DUL_release_response", [](DulAssociation** h) { return DUL_release_response(h); }},
      {"DUL_abort_request", [](DulAssociation** h) { return DUL_abort_request(h); }},
      {"DUL_write_pdvs", [&](DulAssociation** h) { return DUL_write_pdvs(h, fragment.pdv); }},
      {"DUL_read_pdvs", [&](DulAssociation** h) { return DUL_read_pdvs(h, 0, &pdvs); }},
  };
  for (const auto& [name, op] : ops) {
    SCOPED_TRACE(name);
    test::LogCapture log;
    DulAssociation* none = nullptr;
    EXPECT_EQ(op(&none), code(UlStatus::kNullHandle));
    EXPECT_EQ(op(nullptr), code(UlStatus::kNullHandle));
    EXPECT_EQ(log.count("NULL handle received"), 2);
    DulAssociation stale;
    stale.tag = 0;
    DulAssociation* slot = &stale;
    EXPECT_EQ(op(&slot), code(UlStatus::kWrongHandleTag));
    EXPECT_EQ(slot, &stale);  // a handle that is not one is left alone
    EXPECT_TRUE(log.contains("Invalid Handle: wrong structure tag"));
  }
}

TEST_F(UpperLayerTest, EventsOutsideTheirStatesAreRefused) {
  Params params = test::empty_params();
  Fragment fragment("X", 1, true, true);
  using Op = std::function<int32_t(DulAssociation**)>;
  struct Case {
    const char* name;
    Op event;
    int32_t state;
    int32_t expected;
    const char* log_line;  // null: nothing logged
  };
  const int32_t refused = code(UlStatus::kWrongOrder);
  const Case cases[] = {
      {"associate request in Sta6",
       [&](DulAssociation** h) { return A_Associate_Request_Event(h, params.get()); }, 6, refused,
       "No action defined for state: 6"},
      {"accept outside Sta3",
       [&](DulAssociation** h) { return A_Associate_Accept_Event(h, params.get()); }, 6, refused,
       "No action defined for state: 6"},
      {"P-DATA in Sta7", [&](DulAssociation** h) { return P_DATA_Request_Event(h, fragment.pdv); },
       7, refused, "No action defined for state: 7"},
      {"release in Sta8", [](DulAssociation** h) { return A_Release_Request_Event(h); }, 8, refused,
       "No action defined for state: 8"},
      {"release answer in Sta6", [](DulAssociation** h) { return A_Release_Response_Event(h); }, 6,
       refused, "No action defined for state: 6"},
      {"abort before a connection", [](DulAssociation** h) { return A_Abort_Request_Event(h); }, 1,
       code(UlStatus::kTransportInitError), nullptr},
      {"abort in Sta2", [](DulAssociation** h) { return A_Abort_Request_Event(h); }, 2, refused,
       "No action defined for state: 2"},
      {"connection closed in Sta1",
       [](DulAssociation** h) { return Transport_Conn_Closed_Event(h); }, 1, refused,
       "No action defined for state: 1"},
      {"ARTIM in Sta6", [](DulAssociation** h) { return ARTIM_Timer_Expired_Event(h); }, 6, refused,
       "No action defined for state: 6"},
      {"state 14", [](DulAssociation** h) { return Connection_Indication_Event(h); }, 14, refused,
       "Invalid protocol state: 14"},
      {"state 0", [](DulAssociation** h) { return A_Release_RQ_PDU_Event(h); }, 0, refused,
       "Invalid protocol state: 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Handle handle;
    handle.ptr = Create_Association_Handle(net::kRoleRequestor, 1024);
    ASSERT_NE(handle.ptr, nullptr);
    handle.ptr->state = c.state;
    test::LogCapture log;
    EXPECT_EQ(c.event(&handle.ptr), c.expected);
    ASSERT_NE(handle.ptr, nullptr);
    EXPECT_EQ(handle.ptr->state, c.state);
    if (c.log_line != nullptr) {
      EXPECT_TRUE(log.contains(c.log_line));
    }
  }
}

// The library requests; a scripted peer listening on a loopback port answers with hand-built
// PDUs (accepting context 1 and leaving context 3 out), then plays the case's steps.
struct Step {
  bool send;
  Bytes bytes;
};
Step sends(Bytes bytes) {
  return {true, std::move(bytes)};
}
// Reads `bytes` from the library; empty: the library closes the connection.
Step reads(Bytes bytes = {}) {
  return {false, std::move(bytes)};
}

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

  void associate(Handle* handle, const std::vector<Step>* steps) {
    peer_ = std::thread([this, steps] {
      if (!test::readable_within(listener_.get(), 10000)) {
        ADD_FAILURE() << "no connection";
        return;
      }
      PeerSocket peer(::accept(listener_.get(), nullptr, nullptr));
      const Bytes rq = peer.read_pdu();
      ASSERT_GE(rq.size(), 74u);
      EXPECT_EQ(rq[0], 0x01);
      EXPECT_EQ(std::string(rq.begin() + 10, rq.begin() + 26), "ACCEPTOR        ");
      EXPECT_EQ(std::string(rq.begin() + 26, rq.begin() + 42), "CALLER          ");
      peer.send(test::associate_ac({{1, 0, test::kImplicitLittle}}));
      for (const Step& step : *steps) {
        if (step.send) {
          peer.send(step.bytes);
        } else if (step.bytes.empty()) {
          EXPECT_TRUE(peer.closed_within(5000));
        } else {
          EXPECT_EQ(peer.read_pdu(), step.bytes);
        }
      }
    });
    Params params = test::request_params(port_);
    ASSERT_EQ(DUL_associate_request(kReceiveSize, params.get(), &handle->ptr, nullptr, nullptr), 1);
    const net::PresentationContextParams& answered = params->presentation_contexts[0];
    EXPECT_EQ(answered.result, net::kResultAccepted);
    EXPECT_STREQ(answered.accepted_transfer_syntax, test::kImplicitLittle);
    const net::PresentationContextParams& omitted = params->presentation_contexts[1];
    EXPECT_EQ(omitted.result, net::kResultNoAnswer);
    EXPECT_STREQ(omitted.accepted_transfer_syntax, "");
    EXPECT_EQ(params->max_pdu_length, 16384u);
    EXPECT_STREQ(params->implementation_class_uid, "1.2.3.4");
  }
};

// What a release request (or a read in Sta6) meets from the peer.
TEST_F(ScriptedPeerTest, ReleaseAndReadOutcomes) {
  const Bytes rq = test::release_rq();
  const Bytes rp = test::release_rp();
  struct Case {
    const char* name;
    bool release;  // the library requests a release; otherwise it reads
    UlStatus result;
    const char* log_line;
    std::vector<Step> peer;
  };
  const Case cases[] = {
      {"confirmed", true, UlStatus::kReleaseConfirmed, nullptr, {reads(rq), sends(rp), reads()}},
      {"data before the answer",
       true,
       UlStatus::kPdataArrived,
       nullptr,
       {reads(rq), sends(test::pdu(0x04, test::pdv(1, 0x03, test::text("LATE-DATA")))), sends(rp)}},
      // The collision ends with the requestor's answer to ours.
      {"collision",
       true,
       UlStatus::kPeerRequestedRelease,
       nullptr,
       {reads(rq), sends(rq), reads(rp), sends(rp)}},
      {"peer aborts release",
       true,
       UlStatus::kPeerAborted,
       nullptr,
       {reads(rq), sends(test::abort_pdu(2, 0))}},
      {"unknown PDU type in release",
       true,
       UlStatus::kProviderAborted,
       nullptr,
       {reads(rq), sends(test::pdu(0x0A, Bytes(4, 0))), reads(test::abort_pdu(2, 2))}},
      {"peer abort",
       false,
       UlStatus::kPeerAborted,
       "Peer aborted Association",
       {sends(test::abort_pdu(2, 1))}},
      {"unexpected A-ASSOCIATE-RQ",
       false,
       UlStatus::kProviderAborted,
       nullptr,
       {sends(test::pdu(0x01, Bytes(68, 0))), reads(test::abort_pdu(2, 2))}},
      {"peer closes", false, UlStatus::kTransportShutDown, "Transport unexpectedly closed", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Handle handle;
    ASSERT_NO_FATAL_FAILURE(associate(&handle, &c.peer));
    test::LogCapture log;
    const PdvList* pdvs = nullptr;
    const auto start = Clock::now();
    EXPECT_EQ(c.release ? DUL_release_request(&handle.ptr) : DUL_read_pdvs(&handle.ptr, 10, &pdvs),
              code(c.result));
    if (c.result == UlStatus::kPdataArrived) {
      ASSERT_NE(handle.ptr, nullptr);
      EXPECT_EQ(handle.ptr->state, net::kSta7);
      ASSERT_EQ(handle.ptr->pdvs.count(), 1u);
      EXPECT_EQ(handle.ptr->pdvs[0].length, 9u);
      EXPECT_EQ(DUL_read_pdvs(&handle.ptr, 5, &pdvs), code(UlStatus::kReleaseConfirmed));
    }
    EXPECT_EQ(handle.ptr, nullptr);
    EXPECT_LT(test::seconds_since(start), 5.0);
    if (c.log_line != nullptr) {
      EXPECT_TRUE(log.contains(c.log_line));
    }
    peer_.join();
  }
}

}  // namespace
