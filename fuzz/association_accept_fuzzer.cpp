// Fuzz target: the acceptor side of the network, driven by a peer that sends the input bytes.
// Every input gets a fresh loopback TCP connection whose accepted end goes to
// CV_Process_Association_Request, the call for a connection the application accepted itself.
// A peer thread writes the input, closes its sending side and reads whatever the library
// answers, so the library sees the end of the stream instead of waiting for a time-out and is
// never held up writing. The library judges the request (or answers a verification-only
// association itself); an association handed out is accepted and its messages are read and
// answered until it ends. Every input must end with the library's side of the connection
// closed and nothing left behind.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <thread>

#include "fuzz/fuzz_support.hpp"
#include <netinet/in.h>
#include <sys/socket.h>

#include "tessel/tessel.h"

namespace {

// The local application the requests call, and the list their contexts are judged against.
// The storage list has no Verification of its own, so the library's own echo answers are
// reached as well: verification-only associations and C-ECHO requests beside storage.
constexpr char kTitle[] = "FUZZ_SCP";
constexpr char kServiceList[] = "STORAGE_SERVICE_LIST";

// Seconds a read may wait; never reached, since the peer's side is closed after the input.
constexpr int32_t kReadTimeout = 5;
// Bounds the messages read on one association.
constexpr int kMaxMessages = 4096;

constexpr int32_t kResponseBit = 0x8000;
constexpr int32_t kCancelRequest = 0x0FFF;

int g_listener = -1;
sockaddr_in g_address{};

using tessel::fuzz::fail;
using tessel::fuzz::kStallMilliseconds;

// Connects the peer's socket and accepts the library's end. The peer closes with a reset, so
// that no connection lingers in TIME_WAIT across thousands of inputs.
void connect_pair(int* peer, int* accepted) {
  *peer = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (*peer < 0) fail("socket");
  const linger reset{1, 0};
  (void)setsockopt(*peer, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  if (connect(*peer, reinterpret_cast<const sockaddr*>(&g_address), sizeof g_address) != 0) {
    // A signal (the fuzzer's own, when it is told to stop) interrupts the call but not the
    // connection, which completes in the background.
    if (errno != EINTR) fail("connect");
    pollfd entry{*peer, POLLOUT, 0};
    int error = 0;
    socklen_t length = sizeof error;
    while (poll(&entry, 1, kStallMilliseconds) < 0 && errno == EINTR) {
    }
    if (getsockopt(*peer, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
      fail("connect");
    }
  }
  do {
    *accepted = accept4(g_listener, nullptr, nullptr, SOCK_CLOEXEC);
  } while (*accepted < 0 && errno == EINTR);
  if (*accepted < 0) fail("accept");
}

// Answers a request with a success response of its own service; responses and cancels get no
// answer. A failed send has ended the association, which the next read reports.
void answer(int32_t association, const char* service, int32_t command) {
  if ((command & kResponseBit) != 0 || command == kCancelRequest || service == nullptr) return;
  int32_t response = CV_NO_ID;
  if (CV_Open_Message(&response, service, command | kResponseBit) == CV_NORMAL_COMPLETION) {
    (void)CV_Send_Response_Message(association, 0, response);
  }
  if (response != CV_NO_ID) (void)CV_Free_Message(&response);
}

// Accepts the pending request and serves the association until it ends.
void serve(int32_t association) {
  tessel::fuzz::list_acceptable_services(association);
  if (CV_Accept_Association(association) == CV_NORMAL_COMPLETION) {
    for (int i = 0; i < kMaxMessages; ++i) {
      int32_t message = CV_NO_ID;
      const char* service = nullptr;
      int32_t command = 0;
      if (CV_Read_Message(association, kReadTimeout, &message, &service, &command) !=
          CV_NORMAL_COMPLETION) {
        break;
      }
      answer(association, service, command);
      (void)CV_Free_Message(&message);
    }
  }
  // Ends an association still open; one that has ended already is just reported unknown.
  (void)CV_Abort_Association(&association);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tessel::fuzz::ensure_library();
  // The peer is 127.0.0.1: no host name lookup for every input.
  if (CV_Set_Bool_Config_Value(ACCEPT_ANY_HOSTNAME, 1) != CV_NORMAL_COMPLETION) {
    fail("ACCEPT_ANY_HOSTNAME");
  }
  int32_t application = CV_NO_ID;
  if (CV_Register_Application(&application, kTitle) != CV_NORMAL_COMPLETION) {
    fail("CV_Register_Application");
  }
  g_listener = tessel::fuzz::listen_on_loopback(&g_address);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int peer = -1;
  int accepted = -1;
  connect_pair(&peer, &accepted);
  std::thread peer_thread(tessel::fuzz::play_peer, peer, data, size);
  int32_t application = CV_NO_ID;
  int32_t association = CV_NO_ID;
  // The accepted socket belongs to the library from here on, whatever the outcome.
  if (CV_Process_Association_Request(accepted, kServiceList, &application, &association) ==
      CV_NORMAL_COMPLETION) {
    serve(association);
  }
  peer_thread.join();
  close(peer);
  return 0;
}
