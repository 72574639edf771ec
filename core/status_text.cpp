// Status texts and socket error texts.
#include <cstdio>

#include "core/api_guard.hpp"

#include "tessel/tessel.h"

namespace {

struct StatusText {
  int32_t code;
  const char* text;
};

constexpr StatusText kStatusTexts[] = {
#define X(name, value, text) {value, text},
#include "core/status_table.inc"
#undef X
};

struct SocketText {
  int32_t number;
  const char* text;
};

constexpr SocketText kSocketTexts[] = {
    {0, "no error"},
    {10022, "Invalid argument"},
    {10035, "Resource temporarily unavailable.  EWOULDBLOCK"},
    {10036, "Operation now in progress.  EINPROGRESS"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection on reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10093, "Successful WSAStartup not yet performed"},
};

// Rewritten by every call with an unknown number; the result is valid until the next such call.
char g_unknown_socket_text[11] = "error #xxx";

}  // namespace

extern "C" CV_API const char* CV_Error_Message(int32_t status) {
  for (const StatusText& entry : kStatusTexts) {
    if (entry.code == status) return entry.text;
  }
  return "Unknown Error";
}

extern "C" CV_API const char* CV3_strerror(int32_t error_number) {
  for (const SocketText& entry : kSocketTexts) {
    if (entry.number == error_number) return entry.text;
  }
  // Three digits: hundreds, tens and units. A negative number renders its magnitude's digits.
  int32_t magnitude = error_number < 0 ? -(error_number % 1000) : error_number % 1000;
  std::snprintf(g_unknown_socket_text, sizeof g_unknown_socket_text, "error #%03d",
                static_cast<int>(magnitude));
  return g_unknown_socket_text;
}
