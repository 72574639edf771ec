// Fuzz target: the requestor side of the network, talking to a remote acceptor whose answers are
// the input bytes. The first byte chooses how the library asks (bit 0: with user identity and a
// server response requested; bit 1: responses read in two parts, stopping after Patient's Name);
// the rest is what the acceptor sends. Every input gets a fresh loopback connection: the library
// opens an association proposing the query/retrieve list (role selection included), sends a
// C-ECHO and a C-FIND request, reads whatever messages arrive (answering the requests among them)
// and releases the association. A peer thread accepts the connection, writes the input while
// reading the library's side, closes its sending side once the input is out and reads until the
// library closes. Every input must end with the library's side closed and nothing left behind.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <thread>

#include "fuzz/fuzz_support.hpp"
#include "net/dimse.hpp"
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "tessel/tessel.h"

namespace {

constexpr char kTitle[] = "FUZZ_SCU";
constexpr char kRemoteTitle[] = "FUZZ_PEER";
constexpr char kServiceList[] = "QUERY_RETRIEVE_SERVICE_LIST";

constexpr uint8_t kWithIdentity = 0x01;
constexpr uint8_t kReadInParts = 0x02;

// Seconds a read may wait; never reached, since the peer's side is closed after the input.
constexpr int32_t kReadTimeout = 5;
// Bounds the messages read on one association.
constexpr int kMaxMessages = 4096;

constexpr int32_t kEchoRequest = 0x0030;
constexpr int32_t kFindRequest = 0x0020;
constexpr int32_t kResponseBit = 0x8000;
constexpr int32_t kCancelRequest = 0x0FFF;
constexpr int32_t kStatusPending = 0xFF00;
constexpr int32_t kStatusPendingWarning = 0xFF01;
constexpr uint32_t kStatusTag = 0x00000900;
constexpr uint32_t kQueryLevel = 0x00080052;
constexpr uint32_t kPatientName = 0x00100010;
constexpr uint32_t kPatientId = 0x00100020;

int g_listener = -1;
int32_t g_port = 0;
int32_t g_application = CV_NO_ID;

using tessel::fuzz::fail;
using tessel::fuzz::kStallMilliseconds;

// Waits for the library's connection; the library always connects, so a stall is a fault.
int accept_library() {
  pollfd entry{g_listener, POLLIN, 0};
  for (;;) {
    const int ready = poll(&entry, 1, kStallMilliseconds);
    if (ready == 0) fail("the library never connected");
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) fail("poll");
    const int accepted = accept4(g_listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (accepted >= 0) return accepted;
    if (errno != EINTR && errno != EAGAIN) fail("accept");
  }
}

// The remote acceptor: plays the input on the library's connection, then closes with a reset,
// so that no connection lingers in TIME_WAIT across thousands of inputs.
void run_peer(const uint8_t* data, size_t size) {
  const int socket = accept_library();
  tessel::fuzz::play_peer(socket, data, size);
  const linger reset{1, 0};
  (void)setsockopt(socket, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  close(socket);
}

// Sends a request of `service`; a failed send (no accepted context, association gone) is
// simply part of what the input led to.
void send_request(int32_t association, const char* service, int32_t command, bool identifier) {
  int32_t message = CV_NO_ID;
  if (CV_Open_Message(&message, service, command) == CV_NORMAL_COMPLETION) {
    if (identifier) {
      (void)CV_Set_Value_From_String(message, kQueryLevel, "PATIENT");
      (void)CV_Set_Value_From_String(message, kPatientName, "DOE*");
      (void)CV_Set_Value_From_String(message, kPatientId, "*");
    }
    (void)CV_Send_Request_Message(association, message);
  }
  if (message != CV_NO_ID) (void)CV_Free_Message(&message);
}

// Answers a request from the acceptor with a success response of its own service.
void answer(int32_t association, const char* service, int32_t command) {
  if ((command & kResponseBit) != 0 || command == kCancelRequest || service == nullptr) return;
  int32_t response = CV_NO_ID;
  if (CV_Open_Message(&response, service, command | kResponseBit) == CV_NORMAL_COMPLETION) {
    (void)CV_Send_Response_Message(association, 0, response);
  }
  if (response != CV_NO_ID) (void)CV_Free_Message(&response);
}

// Reads one message, whole or in two parts, and counts down the requests still unanswered
// (a pending C-FIND response leaves its request open); false when the association has nothing
// more.
bool read_one(int32_t association, bool in_parts, int* unanswered) {
  int32_t message = CV_NO_ID;
  const char* service = nullptr;
  int32_t command = 0;
  const int32_t status =
      in_parts ? CV_Read_Message_To_Tag(association, kReadTimeout, &message, &service, &command,
                                        kPatientName)
               : CV_Read_Message(association, kReadTimeout, &message, &service, &command);
  if (status != CV_NORMAL_COMPLETION) return false;
  if (in_parts) (void)CV_Continue_Read_Message(association, message);
  if ((command & kResponseBit) != 0) {
    int32_t dimse_status = 0;
    (void)CV_Get_Value_To_Int(message, kStatusTag, &dimse_status);
    if (dimse_status != kStatusPending && dimse_status != kStatusPendingWarning) --*unanswered;
  }
  answer(association, service, command);
  (void)CV_Free_Message(&message);
  return true;
}

void converse(uint8_t how) {
  int32_t association = CV_NO_ID;
  const int32_t opened =
      (how & kWithIdentity) != 0
          ? CV_Open_Association_With_Identity(
                g_application, &association, kRemoteTitle, &g_port, "127.0.0.1", kServiceList,
                nullptr, nullptr, CV_IDENTITY_USERNAME_PASSCODE, 1, "fuzz", 4, "secret", 6)
          : CV_Open_Association(g_application, &association, kRemoteTitle, &g_port, "127.0.0.1",
                                kServiceList);
  if (opened != CV_NORMAL_COMPLETION) return;
  // The accepted contexts as the answer left them.
  tessel::fuzz::list_acceptable_services(association);
  send_request(association, "STANDARD_ECHO", kEchoRequest, false);
  send_request(association, "STANDARD_PATIENT_ROOT_QR_FIND", kFindRequest, true);
  // Reads until both requests are answered, so that what the acceptor sends after its last
  // response meets the release.
  int unanswered = 2;
  for (int i = 0; i < kMaxMessages && unanswered > 0; ++i) {
    if (!read_one(association, (how & kReadInParts) != 0, &unanswered)) break;
  }
  // A release the acceptor does not answer ends in an abort; an association that has ended
  // already is just reported unknown.
  if (CV_Close_Association(&association) != CV_NORMAL_COMPLETION) {
    (void)CV_Abort_Association(&association);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tessel::fuzz::ensure_library();
  if (CV_Register_Application(&g_application, kTitle) != CV_NORMAL_COMPLETION) {
    fail("CV_Register_Application");
  }
  // The remote acceptor's socket, kept for the whole run.
  sockaddr_in address{};
  g_listener = tessel::fuzz::listen_on_loopback(&address);
  g_port = ntohs(address.sin_port);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // Every input sees the same message IDs: 1 for the C-ECHO, 2 for the C-FIND.
  tessel::net::detail::set_last_message_id(0);
  std::thread peer(run_peer, data + 1, size - 1);
  converse(data[0]);
  peer.join();
  return 0;
}
