// Connections, byte transfer, time-outs, aborts, closing and the secure hooks of the transport,
// over loopback pairs inside the test process.
#include "net/transport.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/named_lock.hpp"
#include "core/state.hpp"
#include "memory/pool.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/test_env.hpp"
#include "tests/transport/loopback.hpp"

#include "tessel/tessel.h"

namespace {

using tessel::net::TransportRecord;
using tessel::net::TransportResult;
using tessel::test::RawSocket;
using tessel::test::seconds_since;
using Clock = std::chrono::steady_clock;
namespace net = tessel::net;

// Closes its record when the test ends, before the library is released.
struct Record {
  TransportRecord* ptr = nullptr;
  ~Record() { TL_Close_Transport(&ptr); }
  TransportRecord* operator->() const { return ptr; }
};

class TransportTest : public ::testing::Test {
 protected:
  tessel::test::LibraryScope library_{tessel::test::shipped_ini()};
  int port_ = 0;
  tessel::platform::SocketHandle listener_ = tessel::platform::kNoSocket;

  void SetUp() override {
    ASSERT_EQ(library_.status(), CV_NORMAL_COMPLETION);
    port_ = tessel::test::free_port();
    ASSERT_NE(port_, 0);
    ASSERT_EQ(net::find_listener(port_, nullptr, &listener_), TransportResult::kSuccess);
  }

  // A connection made by TL_Connect (with `hooks` when given) and its accepted other end. The
  // handshake completes against the listen backlog, so one thread does both sides.
  void open_pair(Record& connected, Record& accepted, const SecureTransportHooks* hooks = nullptr,
                 void* context = nullptr) {
    ASSERT_EQ(net::create_transport(hooks, context, &connected.ptr), TransportResult::kSuccess);
    const std::string port = std::to_string(port_);
    ASSERT_EQ(TL_Connect(connected.ptr, "127.0.0.1", port.c_str(), 5), TransportResult::kSuccess);
    ASSERT_EQ(TL_Wait_For_Connection(&accepted.ptr, 5, listener_, -1, false),
              TransportResult::kSuccess);
  }
};

std::vector<uint8_t> pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return bytes;
}

TEST_F(TransportTest, ConnectAcceptAndAddresses) {
  Record connected, accepted;
  open_pair(connected, accepted);
  EXPECT_STREQ(connected->remote_address, "127.0.0.1");
  EXPECT_STREQ(accepted->remote_address, "127.0.0.1");
  // ACCEPT_ANY_HOSTNAME is off in the shipped profile: the peer's name is looked up.
  ASSERT_NE(accepted->remote_host, nullptr);
  EXPECT_STREQ(accepted->remote_host, "localhost");
  EXPECT_EQ(tessel::platform::family_of(accepted->local_address),
            tessel::platform::AddressFamily::kIPv4);
  EXPECT_TRUE(tessel::core::g_state.sockets_started);

  // A socket accepted by the application is adopted as it is; one that is not connected is not.
  RawSocket peer(tessel::test::connect_loopback(port_));
  RawSocket own(::accept(listener_, nullptr, nullptr));
  Record adopted;
  ASSERT_EQ(TL_Wait_For_Connection(&adopted.ptr, 0, -1, own.get(), true),
            TransportResult::kSuccess);
  EXPECT_STREQ(adopted->remote_address, "127.0.0.1");
  EXPECT_EQ(tessel::net::detach_socket(adopted.ptr), own.get());
  adopted.ptr = nullptr;
  RawSocket unconnected(::socket(AF_INET, SOCK_STREAM, 0));
  tessel::test::LogCapture log;
  Record refused;
  EXPECT_EQ(TL_Wait_For_Connection(&refused.ptr, 0, -1, unconnected.get(), true),
            TransportResult::kAcceptTimeout);
  EXPECT_EQ(refused.ptr, nullptr);
  EXPECT_TRUE(log.contains("Error on getpeername call"));
}

TEST_F(TransportTest, AcceptFailsCleanlyWhenMemoryRunsOut) {
  using tessel::memory::PoolId;
  const uint64_t live_before = tessel::memory::pool_stats(PoolId::TCPObj).live_objects;
  // The record, then the peer's host name, then its numeric address.
  const TransportResult expected[] = {TransportResult::kNoRecord, TransportResult::kNoMemory,
                                      TransportResult::kNoMemory};
  for (int n = 1; n <= 3; ++n) {
    SCOPED_TRACE(n);
    RawSocket client(tessel::test::connect_loopback(port_));
    TransportRecord* record = nullptr;
    tessel::memory::fail_allocation_after(n);
    EXPECT_EQ(TL_Wait_For_Connection(&record, 2, listener_, -1, false), expected[n - 1]);
    tessel::memory::fail_allocation_after(0);
    EXPECT_EQ(record, nullptr);
    EXPECT_EQ(tessel::memory::pool_stats(PoolId::TCPObj).live_objects, live_before);
  }
}

TEST_F(TransportTest, ReadsAndWritesExactLengths) {
  Record connected, accepted;
  open_pair(connected, accepted);
  // Far more than the socket buffers hold, so both sides stall and resume many times.
  const std::vector<uint8_t> sent = pattern(8 * 1024 * 1024 + 3);
  std::atomic<int> write_result{0};
  std::thread writer([&] {
    write_result = net::code(
        TL_Write("writer", connected.ptr, sent.data(), static_cast<uint32_t>(sent.size()), 5));
  });
  std::vector<uint8_t> received(sent.size());
  uint32_t count = 0;
  const TransportResult read =
      TL_Read(accepted.ptr, received.data(), static_cast<uint32_t>(received.size()), &count, 5, 5);
  writer.join();
  EXPECT_EQ(read, TransportResult::kSuccess);
  EXPECT_EQ(write_result, net::code(TransportResult::kSuccess));
  EXPECT_EQ(count, sent.size());
  EXPECT_TRUE(received == sent);
  EXPECT_EQ(TL_Write("writer", connected.ptr, sent.data(), 0, 5), TransportResult::kSuccess);
}

// Records of a length and a body, written as one stream while the reader takes lengths by copy
// and bodies in place or by copy: bytes received ahead of a read must reach the next reads in
// order, across the read-ahead buffer's compaction (the 1000000-byte body does not fit behind
// the bytes already handed out) and growth (the 3 MB body is larger than the buffer).
TEST_F(TransportTest, ReadAheadHandsOutTheStreamInOrder) {
  Record connected, accepted;
  open_pair(connected, accepted);
  const uint32_t lengths[] = {1,     6, 64228,  64228, 100,   1000000, 3 * 1024 * 1024,
                              64228, 0, 700000, 12,    64228, 999999};
  std::vector<uint8_t> stream;
  const std::vector<uint8_t> source = pattern(8 * 1024 * 1024);
  size_t offset = 0;
  for (const uint32_t length : lengths) {
    for (int shift = 24; shift >= 0; shift -= 8) stream.push_back(uint8_t(length >> shift));
    stream.insert(stream.end(), source.begin() + long(offset),
                  source.begin() + long(offset + length));
    offset += length;
  }
  std::atomic<bool> written{false};
  std::thread writer([&] {
    // Uneven pieces, so that records straddle the receives.
    for (size_t sent = 0; sent < stream.size();) {
      const auto piece = static_cast<uint32_t>(std::min<size_t>(stream.size() - sent, 77777));
      ASSERT_EQ(TL_Write("writer", connected.ptr, stream.data() + sent, piece, 5),
                TransportResult::kSuccess);
      sent += piece;
    }
    written = true;
  });
  // Reading starts once the socket holds all it can take, so that every receive fills the
  // read-ahead buffer and records lie across its end.
  const Clock::time_point start = Clock::now();
  while (!written && seconds_since(start) < 1.0)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  offset = 0;
  int index = 0;
  for (const uint32_t length : lengths) {
    SCOPED_TRACE(index);
    uint8_t head[4];
    uint32_t count = 0;
    ASSERT_EQ(TL_Read(accepted.ptr, head, 4, &count, 5, 5), TransportResult::kSuccess);
    ASSERT_EQ(uint32_t(head[0]) << 24 | uint32_t(head[1]) << 16 | uint32_t(head[2]) << 8 | head[3],
              length);
    const uint8_t* body = nullptr;
    std::vector<uint8_t> copied(length);
    if (index++ % 6 == 2) {
      ASSERT_EQ(TL_Read(accepted.ptr, copied.data(), length, &count, 5, 5),
                TransportResult::kSuccess);
      body = copied.data();
    } else {
      ASSERT_EQ(TL_Read_In_Place(accepted.ptr, length, &body, &count, 5, 5),
                TransportResult::kSuccess);
      ASSERT_NE(body, nullptr);
    }
    EXPECT_EQ(count, length);
    EXPECT_TRUE(std::equal(body, body + length, source.begin() + long(offset)));
    offset += length;
  }
  writer.join();
  uint8_t extra = 0;
  uint32_t count = 0;
  EXPECT_EQ(TL_Read(accepted.ptr, &extra, 1, &count, 0, 5), TransportResult::kReadTimeout);
}

// A read-ahead buffer grown for a data set goes back to its first size once the peer has been
// quiet for a slice, but not while bytes keep coming; a time-out counts the quiet slice.
TEST_F(TransportTest, IdleConnectionGivesBackItsReadAheadBuffer) {
  constexpr uint32_t kFirstSize = 16 * 1024;
  Record connected, accepted;
  open_pair(connected, accepted);
  const std::vector<uint8_t> body = pattern(100000);
  const auto size = static_cast<uint32_t>(body.size());
  const uint8_t* data = nullptr;
  uint32_t count = 0;
  uint8_t bytes[4];
  const auto grow = [&] {
    ASSERT_EQ(TL_Write("test", connected.ptr, body.data(), size, 5), TransportResult::kSuccess);
    ASSERT_EQ(TL_Read_In_Place(accepted.ptr, size, &data, &count, 5, 5), TransportResult::kSuccess);
    ASSERT_GT(accepted.ptr->ahead_capacity, kFirstSize);
  };
  grow();
  const uint32_t grown = accepted.ptr->ahead_capacity;
  ASSERT_EQ(TL_Write("test", connected.ptr, "abcd", 4, 5), TransportResult::kSuccess);
  ASSERT_EQ(TL_Read(accepted.ptr, bytes, 4, &count, 5, 5), TransportResult::kSuccess);
  EXPECT_EQ(accepted.ptr->ahead_capacity, grown);

  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    EXPECT_EQ(TL_Write("test", connected.ptr, "wxyz", 4, 5), TransportResult::kSuccess);
  });
  EXPECT_EQ(TL_Read(accepted.ptr, bytes, 4, &count, 5, 5), TransportResult::kSuccess);
  late.join();
  EXPECT_EQ(std::memcmp(bytes, "wxyz", 4), 0);
  EXPECT_EQ(accepted.ptr->ahead_capacity, kFirstSize);

  grow();
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(TL_Read(accepted.ptr, bytes, 4, &count, 1, 5), TransportResult::kReadTimeout);
  EXPECT_LT(seconds_since(start), 1.8);
  EXPECT_EQ(accepted.ptr->ahead_capacity, kFirstSize);
}

// A gathered write of many pieces, far beyond what the socket buffers take, so that sends end
// inside pieces and between them; empty pieces are passed over.
TEST_F(TransportTest, GatheredWritesKeepOrderAcrossPartialSends) {
  Record connected, accepted;
  open_pair(connected, accepted);
  const std::vector<uint8_t> source = pattern(24 * 1024 * 1024);
  std::vector<tessel::platform::SendPiece> pieces;
  size_t offset = 0;
  for (size_t i = 0; offset < source.size(); ++i) {
    const size_t length = std::min(source.size() - offset, i % 5 == 3 ? 0 : 12 + i * 997);
    pieces.push_back({source.data() + offset, length});
    offset += length;
  }
  pieces.push_back({source.data(), 0});
  ASSERT_GT(pieces.size(), 200U);
  std::atomic<int> write_result{0};
  std::thread writer([&] {
    write_result = net::code(TL_Write_Pieces("writer", connected.ptr, pieces.data(),
                                             static_cast<uint32_t>(pieces.size()), 5));
  });
  std::vector<uint8_t> received(source.size());
  uint32_t count = 0;
  EXPECT_EQ(
      TL_Read(accepted.ptr, received.data(), static_cast<uint32_t>(received.size()), &count, 5, 5),
      TransportResult::kSuccess);
  writer.join();
  EXPECT_EQ(write_result, net::code(TransportResult::kSuccess));
  EXPECT_TRUE(received == source);
}

TEST_F(TransportTest, ReadTimeoutsAndPeerClose) {
  Record connected, accepted;
  open_pair(connected, accepted);
  uint8_t buffer[32];
  uint32_t count = 99;
  tessel::test::LogCapture log;

  // A time-out of 0 looks once; 1 waits one slice.
  Clock::time_point start = Clock::now();
  EXPECT_EQ(TL_Read(accepted.ptr, buffer, 4, &count, 0, 5), TransportResult::kReadTimeout);
  EXPECT_LT(seconds_since(start), 0.5);
  EXPECT_EQ(count, 0u);
  start = Clock::now();
  EXPECT_EQ(TL_Read(accepted.ptr, buffer, 4, &count, 1, 5), TransportResult::kReadTimeout);
  EXPECT_GT(seconds_since(start), 0.8);
  EXPECT_LT(seconds_since(start), 4.0);

  // Once a read has started, a stall longer than the inactivity time-out fails it.
  ASSERT_EQ(TL_Write("test", connected.ptr, "12345", 5, 5), TransportResult::kSuccess);
  start = Clock::now();
  EXPECT_EQ(TL_Read(accepted.ptr, buffer, 10, &count, 5, 1), TransportResult::kReadFailed);
  EXPECT_EQ(count, 5u);
  EXPECT_GT(seconds_since(start), 0.8);
  EXPECT_TRUE(log.contains("Network is too slow.  Inactivity timeout occurred."));

  // A peer closing in the middle of a read fails it, however much had arrived.
  ASSERT_EQ(TL_Write("test", connected.ptr, "abcdefghij", 10, 5), TransportResult::kSuccess);
  TL_Close_Transport(&connected.ptr);
  EXPECT_EQ(connected.ptr, nullptr);
  EXPECT_EQ(TL_Read(accepted.ptr, buffer, 20, &count, 5, 5), TransportResult::kReadFailed);
  EXPECT_EQ(count, 10u);
}

TEST_F(TransportTest, WriteTimesOutWhenThePeerDoesNotRead) {
  Record connected, accepted;
  open_pair(connected, accepted);
  tessel::test::LogCapture log;
  const std::vector<uint8_t> bytes(64 * 1024 * 1024, 0x42);
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(
      TL_Write("WriterName", connected.ptr, bytes.data(), static_cast<uint32_t>(bytes.size()), 1),
      TransportResult::kWriteTimeout);
  EXPECT_LT(seconds_since(start), 10.0);
  EXPECT_TRUE(log.contains("Timeout in TL_Write()"));
  EXPECT_TRUE(log.contains("WriterName"));
}

// Sets the abort flag of whatever record the waiting thread publishes, once it is there.
void abort_when_published(TransportRecord* const* slot) {
  for (int i = 0; i < 500; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    tessel::core::LockHold hold(S.sesObjSemaphore);
    if (*slot != nullptr) {
      if (i >= 20) {  // let the owner block first
        net::request_abort(**slot);
        return;
      }
    }
  }
}

TEST_F(TransportTest, ThreadAbortEndsBlockedAcceptReadAndWrite) {
  // Accept with no limit: the record appears in the slot at once and can be aborted.
  TransportRecord* slot = nullptr;
  std::thread aborter([&] { abort_when_published(&slot); });
  Clock::time_point start = Clock::now();
  EXPECT_EQ(TL_Wait_For_Connection(&slot, -1, listener_, -1, false),
            TransportResult::kAcceptTimeout);
  aborter.join();
  EXPECT_EQ(slot, nullptr);
  EXPECT_LT(seconds_since(start), 3.0);

  Record connected, accepted;
  open_pair(connected, accepted);
  uint8_t buffer[8];
  uint32_t count = 0;
  aborter = std::thread([&] { abort_when_published(&accepted.ptr); });
  start = Clock::now();
  EXPECT_EQ(TL_Read(accepted.ptr, buffer, 8, &count, -1, 15), TransportResult::kReadFailed);
  aborter.join();
  EXPECT_LT(seconds_since(start), 3.0);

  const std::vector<uint8_t> bytes(64 * 1024 * 1024, 0x17);
  aborter = std::thread([&] { abort_when_published(&connected.ptr); });
  start = Clock::now();
  EXPECT_EQ(TL_Write("test", connected.ptr, bytes.data(), static_cast<uint32_t>(bytes.size()), 60),
            TransportResult::kWriteTimeout);
  aborter.join();
  EXPECT_LT(seconds_since(start), 5.0);
}

TEST_F(TransportTest, ConnectFailures) {
  tessel::test::LogCapture log;
  struct Case {
    const char* host;
    int port;
    TransportResult result;
    const char* line;
  };
  const Case cases[] = {
      {"127.0.0.1", tessel::test::free_port(), TransportResult::kConnectFailed,
       "TCP init connection error (first connect call, remote system \"127.0.0.1\" may not be "
       "operational): (10061)Connection refused"},
      {"no-such-host.invalid", port_, TransportResult::kResolveFailed,
       "Cannot resolve AVAILABLE address no-such-host.invalid"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    Record record;
    ASSERT_EQ(net::create_transport(nullptr, nullptr, &record.ptr), TransportResult::kSuccess);
    EXPECT_EQ(TL_Connect(record.ptr, c.host, std::to_string(c.port).c_str(), 2), c.result);
    EXPECT_EQ(record->socket, tessel::platform::kNoSocket);
    EXPECT_TRUE(log.contains(c.line));
  }
}

TEST_F(TransportTest, CloseLingerAndReset) {
  struct Case {
    const char* name;
    bool hard_close;
    bool peer_closes_first;
    double min_seconds;
    double max_seconds;
    bool peer_sees_reset;
  };
  const Case cases[] = {
      {"hard close", true, false, 0.0, 0.5, true},
      {"graceful, silent peer", false, false, 0.8, 3.0, true},
      {"graceful, peer closed", false, true, 0.0, 0.5, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(CV_Set_Bool_Config_Value(HARD_CLOSE_TCP_IP_CONNECTION, c.hard_close ? 1 : 0),
              CV_NORMAL_COMPLETION);
    Record connected, accepted;
    open_pair(connected, accepted);
    RawSocket peer(tessel::net::detach_socket(accepted.ptr));
    accepted.ptr = nullptr;
    if (c.peer_closes_first) ::shutdown(peer.get(), SHUT_WR);
    const Clock::time_point start = Clock::now();
    TL_Close_Transport(&connected.ptr);
    const double elapsed = seconds_since(start);
    EXPECT_GE(elapsed, c.min_seconds);
    EXPECT_LT(elapsed, c.max_seconds);
    ASSERT_TRUE(tessel::test::readable_within(peer.get(), 2000));
    char byte = 0;
    const ssize_t n = ::recv(peer.get(), &byte, 1, 0);
    if (c.peer_sees_reset) {
      EXPECT_EQ(n, -1);
      EXPECT_EQ(errno, ECONNRESET);
    } else {
      EXPECT_EQ(n, 0);
    }
  }
}

// "Secure" functions that XOR every byte with a key over the plain socket, counting calls.
constexpr uint8_t kKey = 0x5A;
struct XorContext {
  int socket = -1;
  int role = -1;
  bool refuse_start = false;
  int reads = 0;
  int writes = 0;
  int shutdowns = 0;
};

int32_t CV_CALL xor_start(CV_SOCKET socket, int32_t role, void* app, void** secure) {
  auto* context = static_cast<XorContext*>(app);
  context->role = role;
  if (context->refuse_start) return 1;
  context->socket = socket;
  *secure = context;
  return 0;
}

int32_t CV_CALL xor_read(void* secure, void*, void* buffer, uint32_t length, uint32_t* done,
                         int32_t timeout) {
  auto* context = static_cast<XorContext*>(secure);
  ++context->reads;
  auto* bytes = static_cast<uint8_t*>(buffer);
  *done = 0;
  while (*done < length) {
    if (!tessel::test::readable_within(context->socket, timeout * 1000)) return 2;
    const ssize_t n = ::recv(context->socket, bytes + *done, length - *done, 0);
    if (n <= 0) return 1;
    *done += static_cast<uint32_t>(n);
  }
  for (uint32_t i = 0; i < length; ++i) bytes[i] ^= kKey;
  return 0;
}

int32_t CV_CALL xor_write(void* secure, void*, const void* buffer, uint32_t length, uint32_t* done,
                          int32_t) {
  auto* context = static_cast<XorContext*>(secure);
  ++context->writes;
  std::vector<uint8_t> coded(static_cast<const uint8_t*>(buffer),
                             static_cast<const uint8_t*>(buffer) + length);
  for (uint8_t& byte : coded) byte ^= kKey;
  const ssize_t n = ::send(context->socket, coded.data(), coded.size(), MSG_NOSIGNAL);
  *done = n > 0 ? static_cast<uint32_t>(n) : 0;
  return *done == length ? 0 : 1;
}

int32_t CV_CALL xor_shutdown(void* secure, void*) {
  ++static_cast<XorContext*>(secure)->shutdowns;
  return 0;
}

TEST_F(TransportTest, SecureHooksCarryEveryByte) {
  XorContext context;
  SecureTransportHooks hooks{xor_start, xor_read, xor_write, xor_shutdown};
  Record connected, accepted;
  open_pair(connected, accepted, &hooks, &context);
  EXPECT_EQ(context.role, 0);
  // The record keeps its own copy of the table.
  hooks.write = nullptr;

  const std::string request = "A-ASSOCIATE-RQ stand-in";
  ASSERT_EQ(
      TL_Write("test", connected.ptr, request.data(), static_cast<uint32_t>(request.size()), 5),
      TransportResult::kSuccess);
  std::string wire(request.size(), '\0');
  uint32_t count = 0;
  ASSERT_EQ(TL_Read(accepted.ptr, wire.data(), static_cast<uint32_t>(wire.size()), &count, 5, 5),
            TransportResult::kSuccess);
  for (size_t i = 0; i < wire.size(); ++i) {
    EXPECT_EQ(static_cast<uint8_t>(wire[i]), static_cast<uint8_t>(request[i]) ^ kKey);
  }

  std::string reply = "reply";
  for (char& ch : reply) ch = static_cast<char>(static_cast<uint8_t>(ch) ^ kKey);
  ASSERT_EQ(TL_Write("test", accepted.ptr, reply.data(), 5, 5), TransportResult::kSuccess);
  char decoded[5];
  ASSERT_EQ(TL_Read(connected.ptr, decoded, 5, &count, 5, 5), TransportResult::kSuccess);
  EXPECT_EQ(std::string(decoded, 5), "reply");
  ASSERT_EQ(TL_Write("test", accepted.ptr, reply.data(), 5, 5), TransportResult::kSuccess);
  const uint8_t* in_place = nullptr;
  ASSERT_EQ(TL_Read_In_Place(connected.ptr, 5, &in_place, &count, 5, 5), TransportResult::kSuccess);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(in_place), 5), "reply");
  EXPECT_EQ(TL_Read(connected.ptr, decoded, 5, &count, 0, 5), TransportResult::kReadTimeout);
  EXPECT_EQ(context.writes, 1);
  EXPECT_EQ(context.reads, 3);
  // Gathered writes are for plain TCP only.
  const tessel::platform::SendPiece piece{request.data(), request.size()};
  EXPECT_EQ(TL_Write_Pieces("test", connected.ptr, &piece, 1, 5), TransportResult::kWriteError);
  EXPECT_EQ(context.writes, 1);
  TL_Close_Transport(&connected.ptr);
  EXPECT_EQ(context.shutdowns, 1);

  // A refused start drops the hooks and the connection.
  XorContext refusing;
  refusing.refuse_start = true;
  hooks.write = xor_write;
  tessel::test::LogCapture log;
  Record refused;
  ASSERT_EQ(net::create_transport(&hooks, &refusing, &refused.ptr), TransportResult::kSuccess);
  EXPECT_EQ(TL_Connect(refused.ptr, "127.0.0.1", std::to_string(port_).c_str(), 5),
            TransportResult::kConnectFailed);
  EXPECT_EQ(refused->hooks, nullptr);
  EXPECT_EQ(refused->socket, tessel::platform::kNoSocket);
  EXPECT_TRUE(log.contains("Unable to establish secure connection on socket"));
  TL_Close_Transport(&refused.ptr);
  EXPECT_EQ(refusing.shutdowns, 0);
}

TEST_F(TransportTest, CloseAllAndNodeName) {
  tessel::net::close_all_listeners();
  EXPECT_FALSE(tessel::core::g_state.sockets_started);
  EXPECT_EQ(tessel::test::connect_loopback(port_), -1);
  tessel::platform::SocketHandle socket = -1;
  EXPECT_FALSE(net::listener_socket(port_, nullptr, &socket));

  char name[3] = {'x', 'x', 'x'};
  net::local_node_name(name, sizeof name);
  EXPECT_EQ(name[2], '\0');
  char full[256];
  net::local_node_name(full, sizeof full);
  EXPECT_GT(std::strlen(full), 0u);
}

}  // namespace
