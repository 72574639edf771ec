// Messages exchanged over 127.0.0.1 between two associations of one process.
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "config/config_record.hpp"
#include "net/association.hpp"
#include "net/dimse.hpp"
#include "net/pdu.hpp"
#include "tests/dimse/dimse_fixture.hpp"

#include "tessel/tessel.h"
#include "tessel/tessel_association.h"

namespace tessel::test {
namespace {

constexpr uint32_t kStatusTag = 0x00000900;
constexpr uint32_t kPatientName = 0x00100010;
constexpr uint32_t kPixelData = 0x7FE00010;

using Clock = std::chrono::steady_clock;

// Reads one message and answers it with a response of `status`; gives the command read.
int32_t answer_one(int32_t association, uint16_t status) {
  int32_t request = -1;
  int32_t command = 0;
  const char* service = nullptr;
  if (CV_Read_Message(association, 10, &request, &service, &command) != CV_NORMAL_COMPLETION) {
    return -1;
  }
  const int32_t response = open_message(service, command | 0x8000);
  EXPECT_EQ(CV_Send_Response_Message(association, status, response), CV_NORMAL_COMPLETION);
  free_message(response);
  free_message(request);
  return command;
}

// An idle read that timed out leaves the association usable for an echo.
TEST_F(DimseTest, EchoRoundTripAfterAnIdleReadTimedOut) {
  ASSERT_TRUE(connect(kQueryList, kQueryList));
  const auto start = Clock::now();
  int32_t none = -1;
  EXPECT_EQ(CV_Read_Message(scp_, 1, &none, nullptr, nullptr), CV_TIMEOUT);
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  EXPECT_GE(waited.count(), 900);
  EXPECT_LE(waited.count(), 3000);
  std::thread scp([&] { EXPECT_EQ(answer_one(scp_, 0), 0x0030); });
  const int32_t request = open_message("STANDARD_ECHO", 0x0030);
  ASSERT_EQ(CV_Send_Request_Message(scu_, request), CV_NORMAL_COMPLETION);
  int32_t response = -1;
  int32_t command = 0;
  const char* service = nullptr;
  ASSERT_EQ(CV_Read_Message(scu_, 10, &response, &service, &command), CV_NORMAL_COMPLETION);
  scp.join();
  EXPECT_EQ(command, 0x8030);
  EXPECT_STREQ(service, "STANDARD_ECHO");
  EXPECT_EQ(ushort_of(response, kStatusTag), 0);
  EXPECT_EQ(ushort_of(request, 0x00000110), ushort_of(response, 0x00000120));
  free_message(request);
  free_message(response);
  // A release seen by a read frees the association and ends the read.
  std::thread closer([&] { EXPECT_EQ(CV_Close_Association(&scu_), CV_NORMAL_COMPLETION); });
  EXPECT_EQ(CV_Read_Message(scp_, 10, &none, nullptr, nullptr), CV_ASSOCIATION_CLOSED);
  closer.join();
  EXPECT_EQ(net::find_association(scp_), nullptr);
}

TEST_F(DimseTest, EchoIsAnsweredByTheLibraryWhenTheListLacksVerification) {
  Cfg->bools[AUTO_ECHO_SUPPORT] = 1;
  ASSERT_TRUE(connect(kStorageList, kStorageOnlyList));
  std::thread scp([&] {
    int32_t msg = -1;
    // The echo request is answered inside the read, which then runs out of time.
    EXPECT_EQ(CV_Read_Message(scp_, 2, &msg, nullptr, nullptr), CV_TIMEOUT);
  });
  const int32_t request = open_message("STANDARD_ECHO", 0x0030);
  ASSERT_EQ(CV_Send_Request_Message(scu_, request), CV_NORMAL_COMPLETION);
  int32_t response = -1;
  ASSERT_EQ(CV_Read_Message(scu_, 10, &response, nullptr, nullptr), CV_NORMAL_COMPLETION);
  EXPECT_EQ(ushort_of(response, kStatusTag), 0);
  scp.join();
  free_message(request);
  free_message(response);
}

// A CT storage request with 200000 bytes of pixel data in *pixels (null: Pixel Data without a
// value, as the CT template holds it).
int32_t store_request(std::vector<uint8_t>* pixels) {
  const int32_t msg = open_message("STANDARD_CT", 0x0001);
  EXPECT_GE(msg, 0);
  EXPECT_EQ(CV_Set_Value_From_String(msg, 0x00001000, "1.2.3.4.5"), CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Set_Value_From_String(msg, 0x00080016, "1.2.840.10008.5.1.4.1.1.2"),
            CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Set_Value_From_String(msg, 0x00080018, "1.2.3.4.5"), CV_NORMAL_COMPLETION);
  EXPECT_EQ(CV_Set_Value_From_String(msg, kPatientName, "DOE^JANE"), CV_NORMAL_COMPLETION);
  if (pixels == nullptr) {
    const int32_t added = CV_Add_Standard_Attribute(msg, kPixelData);
    EXPECT_TRUE(added == CV_NORMAL_COMPLETION || added == CV_TAG_ALREADY_EXISTS) << added;
    return msg;
  }
  pixels->resize(200000);
  for (size_t i = 0; i < pixels->size(); ++i) (*pixels)[i] = static_cast<uint8_t>(i * 7);
  EXPECT_EQ(CV_Set_Value_From_Buffer(msg, kPixelData, pixels->data(),
                                     static_cast<uint32_t>(pixels->size())),
            CV_NORMAL_COMPLETION);
  return msg;
}

// Pixel Data of a message read back, compared with what was sent.
void expect_pixels(int32_t msg, const std::vector<uint8_t>& sent) {
  std::vector<uint8_t> back(sent.size());
  uint32_t length = 0;
  EXPECT_EQ(CV_Get_Value_To_Buffer(msg, kPixelData, static_cast<uint32_t>(back.size()), back.data(),
                                   &length),
            CV_NORMAL_COMPLETION);
  EXPECT_EQ(length, sent.size());
  EXPECT_EQ(back, sent);
}

// A store goes out in P-DATA-TF PDUs within the peer's maximum; read back, a read stopped at a
// tag continues to the end or to a stream.
TEST_F(DimseTest, StoreIsFragmentedAndAStoppedReadContinues) {
  Cfg->longs[PDU_MAXIMUM_LENGTH] = 16384;
  ASSERT_TRUE(connect(kStorageList, kStorageList));
  std::vector<uint8_t> pixels;
  const int32_t request = store_request(&pixels);

  // First the PDUs as they arrive: each P-DATA-TF within 16384 bytes and carrying one PDV.
  net::Association* scp = net::find_association(scp_);
  ASSERT_NE(scp, nullptr);
  std::thread raw([&] {
    size_t data_bytes = 0;
    const net::PdvList* pdvs = nullptr;
    for (bool last = false; !last;) {
      ASSERT_EQ(DUL_read_pdvs(net::handle_slot(*scp), 10, &pdvs), 6);
      uint32_t pdu_length = 0;
      for (const net::Pdv& pdv : *pdvs) {
        pdu_length += pdv.length + 6;
        if (pdv.data_set) data_bytes += pdv.length;
        last = pdv.data_set && pdv.last_fragment;
      }
      EXPECT_EQ(pdvs->count(), 1U);
      EXPECT_LE(pdu_length, 16384U);
    }
    EXPECT_GT(data_bytes, pixels.size());
    // These PDVs were taken past the message reader.
    net::dimse_state(*scp).next_pdv = pdvs->count();
  });
  ASSERT_EQ(CV_Send_Request_Message(scu_, request), CV_NORMAL_COMPLETION);
  raw.join();

  // Then the same message twice, read by the library.
  ASSERT_EQ(CV_Send_Request_Message(scu_, request), CV_NORMAL_COMPLETION);
  ASSERT_EQ(CV_Send_Request_Message(scu_, request), CV_NORMAL_COMPLETION);
  int32_t first = -1;
  int32_t command = 0;
  ASSERT_EQ(CV_Read_Message_To_Tag(scp_, 10, &first, nullptr, &command, kPatientName),
            CV_NORMAL_COMPLETION);
  EXPECT_EQ(command, 0x0001);
  int32_t other = -1;
  EXPECT_EQ(CV_Read_Message(scp_, 1, &other, nullptr, nullptr), CV_READ_NOT_FINISHED);
  int32_t vr = 0;
  int32_t count = 0;
  EXPECT_EQ(CV_Get_Attribute_Info(first, kPixelData, &vr, &count), CV_INVALID_TAG);
  EXPECT_EQ(CV_Continue_Read_Message_To_Tag(scp_, first, 0x00080000), CV_INVALID_TAG);
  ASSERT_EQ(CV_Continue_Read_Message(scp_, first), CV_NORMAL_COMPLETION);
  char name[32] = {};
  EXPECT_EQ(CV_Get_Value_To_String(first, kPatientName, sizeof name, name), CV_NORMAL_COMPLETION);
  EXPECT_STREQ(name, "DOE^JANE");
  expect_pixels(first, pixels);

  int32_t second = -1;
  ASSERT_EQ(CV_Read_Message_To_Tag(scp_, 10, &second, nullptr, nullptr, kPatientName),
            CV_NORMAL_COMPLETION);
  struct Collected {
    std::vector<uint8_t> bytes;
    int lasts = 0;
  } collected;
  auto sink = [](int32_t, void* user, uint32_t size, void* data, int32_t,
                 int32_t is_last) -> int32_t {
    auto* out = static_cast<Collected*>(user);
    const auto* bytes = static_cast<const uint8_t*>(data);
    out->bytes.insert(out->bytes.end(), bytes, bytes + size);
    out->lasts += is_last;
    return CV_NORMAL_COMPLETION;
  };
  ASSERT_EQ(CV_Continue_Read_Message_To_Stream(scp_, second, &collected, sink),
            CV_NORMAL_COMPLETION);
  EXPECT_EQ(collected.lasts, 1);
  // The raw rest ends with the pixel data value.
  ASSERT_GE(collected.bytes.size(), pixels.size());
  EXPECT_TRUE(std::equal(pixels.begin(), pixels.end(), collected.bytes.end() - pixels.size()));
  EXPECT_EQ(CV_Continue_Read_Message(scp_, second), CV_INVALID_MESSAGE_ID);
  EXPECT_TRUE(log().contains("Can't continue.  No additional data"));
  free_message(first);
  free_message(second);
  free_message(request);
}

// Pixel data supplied by a value callback that fails at a chosen block (-1: never).
struct FailingPixels {
  std::vector<uint8_t> bytes = std::vector<uint8_t>(200000);
  int fail_at = -1;
  int block = 0;
  static int32_t supply(int32_t, uint32_t, void* user, int32_t request, uint32_t* size, void** data,
                        int32_t is_first, int32_t* is_last) {
    auto* self = static_cast<FailingPixels*>(user);
    if (request == CV_CB_GET_LENGTH) {
      *size = static_cast<uint32_t>(self->bytes.size());
      return CV_NORMAL_COMPLETION;
    }
    if (is_first != 0) self->block = 0;
    if (self->block == self->fail_at) return CV_CALLBACK_CANNOT_COMPLY;
    constexpr uint32_t kBlock = 50000;
    *size = kBlock;
    *data = self->bytes.data() + self->block * kBlock;
    *is_last = ++self->block * kBlock == self->bytes.size() ? 1 : 0;
    return CV_NORMAL_COMPLETION;
  }
};

// A send that fails before anything of the message left keeps the association; one that fails
// after some of its PDUs went out aborts it, since the peer holds part of a message.
TEST_F(DimseTest, FailedSendAbortsOnlyWhenPartOfTheMessageLeft) {
  Cfg->longs[PDU_MAXIMUM_LENGTH] = 16384;
  ASSERT_TRUE(connect(kStorageList, kStorageList));
  FailingPixels pixels;
  for (size_t i = 0; i < pixels.bytes.size(); ++i) pixels.bytes[i] = static_cast<uint8_t>(i * 13);
  const int32_t request = store_request(nullptr);
  ASSERT_EQ(CV_Register_Callback_Function(scu_app_, kPixelData, &pixels, FailingPixels::supply),
            CV_NORMAL_COMPLETION);
  ASSERT_EQ(CV_Set_Message_Callbacks(scu_app_, request), CV_NORMAL_COMPLETION);

  pixels.fail_at = 0;
  EXPECT_EQ(CV_Send_Request_Message(scu_, request), CV_SYSTEM_ERROR);
  ASSERT_NE(net::find_association(scu_), nullptr);
  // The peer then reads the next message whole, not the remains of the failed one.
  int32_t stored = -1;
  std::thread scp_read([&] {
    EXPECT_EQ(CV_Read_Message(scp_, 10, &stored, nullptr, nullptr), CV_NORMAL_COMPLETION);
  });
  pixels.fail_at = -1;
  EXPECT_EQ(CV_Send_Request_Message(scu_, request), CV_NORMAL_COMPLETION);
  scp_read.join();
  ASSERT_GE(stored, 0);
  expect_pixels(stored, pixels.bytes);
  free_message(stored);

  pixels.fail_at = 2;  // after 100000 bytes, several 16 KiB PDUs
  EXPECT_EQ(CV_Send_Request_Message(scu_, request), CV_SYSTEM_ERROR);
  EXPECT_EQ(net::find_association(scu_), nullptr);
  EXPECT_TRUE(log().contains("Message only partly sent, aborting the association"));
  int32_t partial = -1;
  EXPECT_EQ(CV_Read_Message(scp_, 10, &partial, nullptr, nullptr), CV_ASSOCIATION_ABORTED);
  EXPECT_EQ(net::find_association(scp_), nullptr);
  free_message(request);
}

TEST_F(DimseTest, PendingFindResponsesKeepTheRequestAndTheWindowRefuses) {
  ASSERT_TRUE(connect(kQueryList, kQueryList));
  net::Association* scu = net::find_association(scu_);
  ASSERT_NE(scu, nullptr);
  scu->max_operations_invoked = 1;
  const int32_t find = open_message("STANDARD_STUDY_ROOT_QR_FIND", 0x0020);
  ASSERT_EQ(CV_Set_Value_From_String(find, kPatientName, "DOE*"), CV_NORMAL_COMPLETION);
  ASSERT_EQ(CV_Send_Request_Message(scu_, find), CV_NORMAL_COMPLETION);
  const int32_t second = open_message("STANDARD_ECHO", 0x0030);
  EXPECT_EQ(CV_Send_Request_Message(scu_, second), CV_MAX_OPERATIONS_EXCEEDED);
  EXPECT_TRUE(log().contains("Maximum outstanding request messages already met (1)"));

  std::thread scp([&] {
    int32_t request = -1;
    const char* service = nullptr;
    int32_t command = 0;
    ASSERT_EQ(CV_Read_Message(scp_, 10, &request, &service, &command), CV_NORMAL_COMPLETION);
    for (uint16_t status : {0xFF00, 0xFF00, 0x0000}) {
      const int32_t response = open_message(service, 0x8020);
      if (status != 0) {
        ASSERT_EQ(CV_Set_Value_From_String(response, kPatientName, "DOE^X"), CV_NORMAL_COMPLETION);
      }
      EXPECT_EQ(CV_Send_Response_Message(scp_, status, response), CV_NORMAL_COMPLETION);
      free_message(response);
    }
    free_message(request);
  });
  net::DimseState& state = net::dimse_state(*scu);
  for (uint16_t expected : {0xFF00, 0xFF00, 0x0000}) {
    int32_t response = -1;
    ASSERT_EQ(CV_Read_Message(scu_, 10, &response, nullptr, nullptr), CV_NORMAL_COMPLETION);
    EXPECT_EQ(ushort_of(response, kStatusTag), expected);
    EXPECT_EQ(state.sent.size(), expected == 0 ? 0U : 1U);
    free_message(response);
  }
  scp.join();
  EXPECT_EQ(CV_Send_Request_Message(scu_, second), CV_NORMAL_COMPLETION);
  free_message(find);
  free_message(second);
}

TEST_F(DimseTest, PeerStoppingInTheDataSetEndsTheReadAfterTheInactivityTimeout) {
  ASSERT_EQ(CV_Set_Int_Config_Value(INACTIVITY_TIMEOUT, 2), CV_NORMAL_COMPLETION);
  ASSERT_TRUE(connect(kStorageList, kStorageList));
  net::Association* scu = net::find_association(scu_);
  ASSERT_NE(scu, nullptr);
  const uint8_t context = scu->accepted.front().context_id;
  // A command announcing a data set, then one data set fragment that is not the last.
  const int32_t command = open_message(scu->accepted.front().service->name.c_str(), 0x0001);
  ASSERT_EQ(CV_Set_Value_From_String(command, 0x00001000, "1.2.3"), CV_NORMAL_COMPLETION);
  ASSERT_EQ(
      CV_Set_Value_From_String(command, 0x00000002, scu->accepted.front().service->uid.c_str()),
      CV_NORMAL_COMPLETION);
  ASSERT_EQ(CV_Set_Value_From_UShortInt(command, 0x00000100, 0x0001), CV_NORMAL_COMPLETION);
  ASSERT_EQ(CV_Set_Value_From_UShortInt(command, 0x00000110, 5), CV_NORMAL_COMPLETION);
  ASSERT_EQ(CV_Set_Value_From_UShortInt(command, 0x00000800, 0), CV_NORMAL_COMPLETION);
  std::vector<uint8_t> bytes(net::kPdataReserve + 512);
  struct Sink {
    std::vector<uint8_t>* bytes;
    size_t used;
  } sink{&bytes, net::kPdataReserve};
  auto collect = [](int32_t, void* user, uint32_t size, void* data, int32_t, int32_t) -> int32_t {
    auto* out = static_cast<Sink*>(user);
    std::memcpy(out->bytes->data() + out->used, data, size);
    out->used += size;
    return CV_NORMAL_COMPLETION;
  };
  ASSERT_EQ(CV_Message_To_Stream(command, 0, 0x0000FFFF, IMPLICIT_LITTLE_ENDIAN, &sink, collect),
            CV_NORMAL_COMPLETION);
  const uint32_t command_length = static_cast<uint32_t>(sink.used - net::kPdataReserve);
  net::DulAssociation** slot = net::handle_slot(*scu);
  ASSERT_EQ(DUL_write_pdvs(slot, net::PdvToSend{bytes.data() + net::kPdataReserve, command_length,
                                                context, true, true, 0}),
            1);
  std::vector<uint8_t> part(net::kPdataReserve + 8, 0);
  const uint8_t element[8] = {0x10, 0x00, 0x10, 0x00, 0x20, 0x00, 0x00, 0x00};  // (0010,0010), 32
  std::memcpy(part.data() + net::kPdataReserve, element, sizeof element);
  ASSERT_EQ(DUL_write_pdvs(slot, net::PdvToSend{part.data() + net::kPdataReserve, 8, context, false,
                                                false, 0}),
            1);
  const auto start = Clock::now();
  int32_t msg = -1;
  EXPECT_EQ(CV_Read_Message(scp_, 1, &msg, nullptr, nullptr), CV_TIMEOUT_IN_TRANSFER);
  EXPECT_GE(std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count(), 1);
  EXPECT_TRUE(log().contains("Inactivity timeout in CV_Read_Message, closing connection"));
  EXPECT_EQ(net::find_association(scp_), nullptr);
  free_message(command);
}

}  // namespace
}  // namespace tessel::test
