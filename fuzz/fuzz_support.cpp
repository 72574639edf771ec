#include "fuzz/fuzz_support.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include <arpa/inet.h>
#include <sys/socket.h>

#include "tessel/tessel.h"

namespace tessel::fuzz {

const std::string& scratch_dir() {
  static const std::string dir = [] {
    std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("tessel-fuzz-" + std::to_string(getpid()));
    std::filesystem::create_directories(path);
    return path.string();
  }();
  return dir;
}

bool ensure_library() {
  static const bool ready = [] {
    CV_Set_TesselINI(TESSEL_FUZZ_ETC_DIR "/tessel.ini");
    const int32_t status = CV_Library_Initialization(nullptr, nullptr, nullptr);
    if (status != CV_NORMAL_COMPLETION) {
      std::fprintf(stderr, "fuzz: library initialisation failed: %s\n", CV_Error_Message(status));
      std::abort();
    }
    // The log goes to the scratch directory, not the working directory.
    CV_Set_String_Config_Value(LOG_FILE, (scratch_dir() + "/tessel.log").c_str());
    return true;
  }();
  return ready;
}

void fail(const char* what) {
  std::fprintf(stderr, "fuzz: %s (errno %d)\n", what, errno);
  std::abort();
}

int listen_on_loopback(sockaddr_in* address) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) fail("socket");
  *address = sockaddr_in{};
  address->sin_family = AF_INET;
  address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof *address;
  if (bind(listener, reinterpret_cast<const sockaddr*>(address), sizeof *address) != 0 ||
      listen(listener, 4) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(address), &length) != 0) {
    fail("loopback listener");
  }
  return listener;
}

void play_peer(int socket, const uint8_t* data, size_t size) {
  size_t sent = 0;
  bool sending = true;
  uint8_t sink[16384];
  for (;;) {
    if (sending && sent == size) {
      (void)shutdown(socket, SHUT_WR);
      sending = false;
    }
    pollfd entry{socket, static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0};
    const int ready = poll(&entry, 1, kStallMilliseconds);
    if (ready == 0) fail("the library stalled: a time-out was waited on or the connection kept");
    if (ready < 0) {
      if (errno == EINTR) continue;
      fail("poll");
    }
    if (sending && (entry.revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
      const ssize_t count = send(socket, data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (count > 0) {
        sent += static_cast<size_t>(count);
      } else if (errno != EAGAIN && errno != EINTR) {
        sent = size;  // the library closed the connection: the rest is not wanted
      }
    }
    if ((entry.revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
      const ssize_t count = recv(socket, sink, sizeof sink, MSG_DONTWAIT);
      if (count == 0) return;
      if (count < 0 && errno != EAGAIN && errno != EINTR) return;
    }
  }
}

void list_acceptable_services(int32_t association) {
  ServiceInfo info;
  int32_t status = CV_Get_First_Acceptable_Service(association, &info);
  for (int i = 0; i < 256 && status != CV_END_OF_LIST; ++i) {
    status = CV_Get_Next_Acceptable_Service(association, &info);
  }
}

}  // namespace tessel::fuzz
