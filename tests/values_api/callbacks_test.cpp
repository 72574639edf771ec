// Values supplied by registered value callbacks: binding, the requests of the value functions,
// freeing data, private attributes, and callbacks that call back into the library.
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "data/object.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/values_api/values_api_support.hpp"

namespace tessel::test {
namespace {

// The application side of a value callback: supplies `data` in chunks of 4 bytes, records every
// request and what it is handed.
struct Provider {
  std::string data;
  size_t offset = 0;
  std::vector<int32_t> requests;
  std::string received;
  std::vector<std::pair<int32_t, int32_t>> received_flags;
  int32_t free_result = CV_NORMAL_COMPLETION;
  void (*on_length)(Provider&) = nullptr;
  int32_t reentry_status = -1;
  std::future<int32_t> pending;  // work started by the callback on another thread
  int32_t msg_id = -1;
  std::string private_address;  // creator, group and element of a private callback
};

int32_t answer(Provider& p, int32_t request, uint32_t* size, void** data, int32_t is_first,
               int32_t* is_last) {
  p.requests.push_back(request);
  switch (request) {
    case CV_CB_GET_LENGTH:
      if (p.on_length != nullptr) p.on_length(p);
      *size = static_cast<uint32_t>(p.data.size());
      return kOk;
    case CV_CB_GET_DATA:
      if (is_first != 0) p.offset = 0;
      *size = static_cast<uint32_t>(std::min<size_t>(4, p.data.size() - p.offset));
      *data = p.data.data() + p.offset;
      p.offset += *size;
      *is_last = p.offset == p.data.size() ? 1 : 0;
      return kOk;
    case CV_CB_PROVIDE_DATA:
    case CV_CB_SET_DATA:
      if (is_first != 0) p.received.clear();
      p.received.append(static_cast<const char*>(*data), *size);
      p.received_flags.emplace_back(is_first, *is_last);
      return kOk;
    case CV_CB_FREE_DATA:
      return p.free_result;
    default:
      return CV_CALLBACK_CANNOT_COMPLY;
  }
}

int32_t value_callback(int32_t msg_id, uint32_t, void* user, int32_t request, uint32_t* size,
                       void** data, int32_t is_first, int32_t* is_last) {
  auto* p = static_cast<Provider*>(user);
  p->msg_id = msg_id;
  return answer(*p, request, size, data, is_first, is_last);
}

int32_t private_callback(int32_t msg_id, const char* creator, uint16_t group, uint8_t element,
                         void* user, int32_t request, uint32_t* size, void** data, int32_t is_first,
                         int32_t* is_last) {
  auto* p = static_cast<Provider*>(user);
  p->msg_id = msg_id;
  p->private_address =
      std::string(creator) + " " + std::to_string(group) + " " + std::to_string(element);
  return answer(*p, request, size, data, is_first, is_last);
}

class ValuesCallbacks : public ValuesTest {
 protected:
  void SetUp() override {
    ValuesTest::SetUp();
    // The first registration also registers the library's own echo application, which stays.
    ASSERT_EQ(CV_Register_Application(&app_, "VALUES_TEST"), kOk);
    ASSERT_EQ(CV_Release_Application(&app_), kOk);
    reset_memory_baseline();
    ASSERT_EQ(CV_Register_Application(&app_, "VALUES_TEST"), kOk);
  }
  void before_check() override { EXPECT_EQ(CV_Release_Application(&app_), kOk); }
  // A message with the attribute present and bound to `provider`.
  int32_t bound_message(uint32_t tag, Provider& provider) {
    const int32_t id = open_message();
    EXPECT_EQ(CV_Add_Standard_Attribute(id, tag), kOk);
    EXPECT_EQ(CV_Register_Callback_Function(app_, tag, &provider, value_callback), kOk);
    EXPECT_EQ(CV_Set_Message_Callbacks(app_, id), kOk);
    EXPECT_EQ(attribute(id, tag)->storage, data::kStoredByCallback);
    return id;
  }
  int32_t app_ = -1;
};

TEST_F(ValuesCallbacks, BoundValuesAreReadThroughTheirCallback) {
  Provider provider;
  provider.data = "0123456789";
  const int32_t id = bound_message(kOB, provider);
  EXPECT_EQ(count_of(id, kOB), 1);
  uint32_t length = 0;
  EXPECT_EQ(length_of(id, kOB, 1), 10);
  EXPECT_EQ(length_of(id, kOB, 2), CV_INVALID_VALUE_NUMBER);
  EXPECT_EQ(provider.requests, (std::vector<int32_t>{CV_CB_GET_LENGTH, CV_CB_GET_LENGTH}));
  EXPECT_EQ(provider.msg_id, id);
  EXPECT_EQ(raw_of(id, kOB), provider.data);
  char small[6];
  EXPECT_EQ(CV_Get_Value_To_Buffer(id, kOB, sizeof small, small, &length), CV_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, 4u);  // the third chunk does not fit
  EXPECT_EQ(pieces_of(id, kOB), (std::vector<std::string>{"0123", "4567", "89"}));
  // The binding keeps its own copy of the registration: releasing the application leaves the
  // bound attribute working.
  ASSERT_EQ(CV_Release_Callback_Function(app_, kOB), kOk);
  ASSERT_EQ(CV_Release_Application(&app_), kOk);
  EXPECT_EQ(raw_of(id, kOB), provider.data);
  ASSERT_EQ(CV_Register_Application(&app_, "VALUES_TEST"), kOk);
}

TEST_F(ValuesCallbacks, OnlyAttributesWithoutValuesAndOfBulkVrsAreBound) {
  Provider provider;
  const int32_t id = open_message();
  ASSERT_EQ(CV_Add_Standard_Attribute(id, kPN), kOk);
  ASSERT_EQ(CV_Set_Value_From_Buffer(id, kOW, "xy", 2), kOk);
  ASSERT_EQ(CV_Add_Standard_Attribute(id, kOF), kOk);
  for (uint32_t tag : {kPN, kOW, kOF, kOL}) {
    ASSERT_EQ(CV_Register_Callback_Function(app_, tag, &provider, value_callback), kOk);
  }
  LogCapture log;
  ASSERT_EQ(CV_Set_Message_Callbacks(app_, id), kOk);
  EXPECT_EQ(log.count("CV3(CV_Set_Message_Callbacks) E: Ignoring callback for non-OB/OW/OL/OF "
                      "tag: 0x00100010"),
            1);
  EXPECT_EQ(attribute(id, kPN)->storage, data::kStoredInMemory);
  EXPECT_EQ(attribute(id, kOW)->storage, data::kStoredInMemory);  // holds a value
  EXPECT_EQ(attribute(id, kOF)->storage, data::kStoredByCallback);
  EXPECT_EQ(attribute(id, kOL), nullptr);
  EXPECT_EQ(CV_Byte_Swap_OBOW(id, kOF), CV_CALLBACK_REGISTERED);
  EXPECT_TRUE(provider.requests.empty());
}

TEST_F(ValuesCallbacks, SetsHandTheBytesToTheCallbackAndFreeDataFollowsTheConfiguration) {
  Provider provider;
  const int32_t id = bound_message(kOW, provider);
  ASSERT_EQ(CV_Set_Value_From_Buffer(id, kOW, "abcd", 4), kOk);
  EXPECT_EQ(provider.received, "abcd");
  EXPECT_EQ(provider.requests, std::vector<int32_t>{CV_CB_PROVIDE_DATA});
  EXPECT_EQ(attribute(id, kOW)->length, 4u);
  provider = Provider{};
  Script script("wxyz0123", {{4}, {4}});
  ASSERT_EQ(CV_Set_Value_From_Function(id, kOW, &script, scripted_supplier), kOk);
  EXPECT_EQ(provider.received, "wxyz0123");
  EXPECT_EQ(provider.requests, (std::vector<int32_t>{CV_CB_SET_DATA, CV_CB_SET_DATA}));
  EXPECT_EQ(provider.received_flags, (std::vector<std::pair<int32_t, int32_t>>{{1, 0}, {0, 1}}));
  // A NULL value keeps the binding and reads as NULL without asking the callback.
  provider.requests.clear();
  ASSERT_EQ(CV_Set_Value_To_NULL(id, kOW), kOk);
  EXPECT_EQ(count_of(id, kOW), CV_NULL_VALUE);
  EXPECT_EQ(attribute(id, kOW)->storage, data::kStoredByCallback);
  EXPECT_TRUE(provider.requests.empty());
  // Free data requests follow the configuration.
  ASSERT_EQ(CV_Set_Value_To_Empty(id, kOW), kOk);
  EXPECT_TRUE(provider.requests.empty());
  set_bool(USE_FREE_DATA_CALLBACK, true);
  ASSERT_EQ(CV_Set_Value_From_Buffer(id, kOW, "ef", 2), kOk);
  EXPECT_EQ(provider.requests, (std::vector<int32_t>{CV_CB_FREE_DATA, CV_CB_PROVIDE_DATA}));
  provider.requests.clear();
  provider.free_result = CV_CALLBACK_CANNOT_COMPLY;
  LogCapture log;
  free_now(id);
  EXPECT_EQ(provider.requests, std::vector<int32_t>{CV_CB_FREE_DATA});
  EXPECT_EQ(log.count("W: Unexpected return status when calling registered callback with "
                      "FREE_DATA: Callback cannot comply"),
            1);
}

TEST_F(ValuesCallbacks, PrivateCallbacksAreBoundThroughTheirCreator) {
  Provider provider;
  provider.data = "private!";
  const int32_t id = open_message();
  ASSERT_EQ(CV_Add_Private_Block(id, "OTHER", 0x0029), kOk);
  ASSERT_EQ(CV_Add_Private_Block(id, "ACME", 0x0029), kOk);
  ASSERT_EQ(CV_Add_Private_Attribute(id, "ACME", 0x0029, 0x10, CV_VR_OB), kOk);
  ASSERT_EQ(
      CV_Register_pCallback_Function(app_, "ACME  ", 0x0029, 0x10, &provider, private_callback),
      kOk);
  ASSERT_EQ(CV_Set_Message_Callbacks(app_, id), kOk);
  EXPECT_EQ(attribute(id, 0x00291110)->storage, data::kStoredByCallback);  // the second block
  EXPECT_EQ(raw_of(id, 0x00291110), "private!");
  EXPECT_EQ(provider.private_address, "ACME 41 16");
}

// A callback runs with no lock held: another thread can use the same message meanwhile, and the
// same thread may call in as well.
TEST_F(ValuesCallbacks, CallbackRunsWithoutLocksThread) {
  Provider provider;
  provider.data = "abcdef";
  const int32_t id = bound_message(kOB, provider);
  ASSERT_EQ(CV_Set_Value_From_String(id, kPN, "Doe^John"), kOk);
  provider.on_length = [](Provider& p) {
    // Kept in the provider, so that a blocked thread cannot hold the callback up forever.
    p.pending = std::async(std::launch::async, [id = p.msg_id] {
      return text_of(id, kPN) == "Doe^John" ? CV_Set_Value_From_String(id, kLO, "ID-1") : -1;
    });
    p.reentry_status = p.pending.wait_for(std::chrono::seconds(5)) == std::future_status::ready
                           ? p.pending.get()
                           : -2;
  };
  ASSERT_EQ(length_of(id, kOB, 1), 6);
  EXPECT_EQ(provider.reentry_status, kOk);
  provider.on_length = [](Provider& p) {
    p.reentry_status = CV_Set_Value_From_String(p.msg_id, kSH, "ACC");
  };
  int32_t count = 0;
  ASSERT_EQ(CV_Get_Value_Count(id, kOB, &count), kOk);
  EXPECT_EQ(provider.reentry_status, kOk);
  EXPECT_EQ(text_of(id, kSH), "ACC");
  EXPECT_EQ(text_of(id, kLO), "ID-1");
}

}  // namespace
}  // namespace tessel::test
