#include "net/ul_status.hpp"

#include <cstdio>
#include <cstring>

namespace tessel::net {
namespace {

struct Entry {
  UlStatus status;
  const char* text;
};

constexpr Entry kTexts[] = {
    {UlStatus::kNormal, "Normal completion"},
    {UlStatus::kReleaseConfirmed, "Association release confirmed"},
    {UlStatus::kNoAssociation, "No association received"},
    {UlStatus::kInterrupted, "Transport Layer system call interrupted"},
    {UlStatus::kPeerRequestedRelease, "Peer requested release"},
    {UlStatus::kPdataArrived, "Pdata arrived OK"},
    {UlStatus::kUnknownRejectResult, "Unknown reject result"},
    {UlStatus::kUnknownRejectReason, "Unknown reject reason"},
    {UlStatus::kUnknownHost, "Unknown host"},
    {UlStatus::kWrongOrder, "Function called in wrong order"},
    {UlStatus::kProviderAborted, "UL Provider aborted the association"},
    {UlStatus::kPeerRejected, "Peer rejected association"},
    {UlStatus::kPeerAborted, "Peer aborted association"},
    {UlStatus::kNullPdvList, "Null pointer to PDV list"},
    {UlStatus::kNullAbortCode, "Null pointer to abort code"},
    {UlStatus::kReadTimeout, "Transport read timeout"},
    {UlStatus::kNullHandle, "NULL handle received"},
    {UlStatus::kWrongHandleTag, "Invalid Handle: wrong structure tag"},
    {UlStatus::kNullParameters, "Null pointer to Association Parameters"},
    {UlStatus::kAbortRequested,
     "A request from another thread was received to abort the association"},
    {UlStatus::kUnknownRemoteNode, "Unknown remode node"},
    {UlStatus::kUnknownPduType, "Unknown PDU type"},
    {UlStatus::kConnectFailed, "Unable to connect to remote host"},
    {UlStatus::kTransportInitError, "Transport initialization error"},
    {UlStatus::kUnexpected, "Totally unexpected!!"},
    {UlStatus::kNoMemory, "Insufficient memory to malloc needed structures"},
    {UlStatus::kWriteTimeout, "Timeout during network write"},
    {UlStatus::kTransportShutDown, "Transport has shut down"},
    {UlStatus::kNetworkIoError, "Network I/O error"},
    {UlStatus::kDeformedPdu, "Deformed PDU"},
    {UlStatus::kNoHandle, "Can't create association handle"},
};

}  // namespace

const char* ul_known_text(int32_t value) noexcept {
  for (const Entry& entry : kTexts) {
    if (code(entry.status) == value) return entry.text;
  }
  return nullptr;
}

UlText ul_status_text(int32_t value) noexcept {
  UlText out{};
  const char* known = ul_known_text(value);
  if (known != nullptr) {
    std::snprintf(out.text, sizeof out.text, "%s", known);
  } else {
    std::snprintf(out.text, sizeof out.text, "Unknown Upper Layer status: %d",
                  static_cast<int>(value));
  }
  return out;
}

}  // namespace tessel::net
