// Result codes of the upper layer (the DUL_ functions and the PDU code below them) and their
// texts. Only the association layer turns them into public status codes.
#ifndef TESSEL_NET_UL_STATUS_HPP_
#define TESSEL_NET_UL_STATUS_HPP_

#include <cstdint>

namespace tessel::net {

enum class UlStatus : int32_t {
  kNormal = 1,
  kReleaseConfirmed = 2,
  kNoAssociation = 3,
  kInterrupted = 4,
  kPeerRequestedRelease = 5,
  kPdataArrived = 6,
  kUnknownRejectResult = -987,
  kUnknownRejectReason = -988,
  kUnknownHost = -989,
  kWrongOrder = -990,
  kProviderAborted = -991,
  kPeerRejected = -992,
  kPeerAborted = -993,
  kNullPdvList = -994,
  kNullAbortCode = -995,
  kReadTimeout = -996,
  kNullHandle = -997,
  kWrongHandleTag = -998,
  kNullParameters = -999,
  kAbortRequested = -1987,
  kUnknownRemoteNode = -1989,
  kUnknownPduType = -1990,
  kConnectFailed = -1991,
  kTransportInitError = -1992,
  kUnexpected = -1993,
  kNoMemory = -1994,
  kWriteTimeout = -1995,
  kTransportShutDown = -1996,
  kNetworkIoError = -1997,
  kDeformedPdu = -1998,
  kNoHandle = -1999,
};

constexpr int32_t code(UlStatus status) {
  return static_cast<int32_t>(status);
}

// Fixed text of a known code, null for any other value.
const char* ul_known_text(int32_t code) noexcept;

// Text of any code: the fixed text, or "Unknown Upper Layer status: %d" for values outside the
// table. The text lives in the returned value, so it can be used inside one log call.
struct UlText {
  char text[80];
};
UlText ul_status_text(int32_t code) noexcept;
inline UlText ul_status_text(UlStatus status) noexcept {
  return ul_status_text(code(status));
}

}  // namespace tessel::net

#endif  // TESSEL_NET_UL_STATUS_HPP_
