#include "tests/values_api/values_api_support.hpp"

#include <algorithm>

#include "data/objects.hpp"
#include "memory/pool.hpp"

namespace tessel::test {
namespace {

// Objects, attribute records, value buffers and callback copies in use in the pools.
uint64_t live_value_memory() {
  using memory::PoolId;
  uint64_t live = 0;
  for (size_t i = 0; i < memory::kPoolCount; ++i) {
    const auto pool = static_cast<PoolId>(i);
    if (pool <= PoolId::bPixel || pool == PoolId::TagObj || pool == PoolId::MsgObj ||
        pool == PoolId::CBObj || pool == PoolId::FileObj || pool == PoolId::FileValueObj) {
      live += memory::pool_stats(pool).live_objects;
    }
  }
  return live + memory::direct_stats().count;
}

}  // namespace

void ValuesTest::SetUp() {
  library_ = std::make_unique<LibraryScope>(shipped_ini());
  ASSERT_EQ(library_->status(), CV_NORMAL_COMPLETION);
  live_at_start_ = live_value_memory();
}

void ValuesTest::TearDown() {
  for (auto it = messages_.rbegin(); it != messages_.rend(); ++it) {
    int32_t id = *it;
    EXPECT_EQ(CV_Free_Message(&id), CV_NORMAL_COMPLETION);
  }
  // Items go once nothing refers to them any more; items inside items free their inner ones.
  for (bool progress = true; progress && !items_.empty();) {
    progress = false;
    for (auto it = items_.rbegin(); it != items_.rend(); ++it) {
      data::MsgObj* item = data::find_object(*it);
      if (item != nullptr && item->reference_count > 0) continue;
      if (item != nullptr) {
        int32_t id = *it;
        EXPECT_EQ(CV_Free_Item(&id), CV_NORMAL_COMPLETION);
      }
      items_.erase(std::next(it).base());
      progress = true;
      break;
    }
  }
  EXPECT_TRUE(items_.empty()) << "items still referenced at the end of the test";
  // Every object, record and value buffer of the test went back to its pool.
  before_check();
  EXPECT_EQ(live_value_memory(), live_at_start_);
  library_.reset();
}

void ValuesTest::reset_memory_baseline() {
  live_at_start_ = live_value_memory();
}

int32_t ValuesTest::open_message() {
  int32_t id = -1;
  EXPECT_EQ(CV_Open_Empty_Message(&id), CV_NORMAL_COMPLETION);
  messages_.push_back(id);
  return id;
}

int32_t ValuesTest::open_item() {
  int32_t id = -1;
  EXPECT_EQ(CV_Open_Empty_Item(&id), CV_NORMAL_COMPLETION);
  items_.push_back(id);
  return id;
}

void ValuesTest::free_now(int32_t id) {
  const bool message = std::find(messages_.begin(), messages_.end(), id) != messages_.end();
  auto& list = message ? messages_ : items_;
  list.erase(std::remove(list.begin(), list.end(), id), list.end());
  int32_t copy = id;
  EXPECT_EQ(message ? CV_Free_Message(&copy) : CV_Free_Item(&copy), CV_NORMAL_COMPLETION);
}

data::MsgObj& ValuesTest::object(int32_t id) {
  data::MsgObj* object = data::find_object(id);
  EXPECT_NE(object, nullptr);
  return *object;
}

data::TagObj* ValuesTest::attribute(int32_t id, uint32_t tag) {
  return data::find_attribute(object(id), tag);
}

void ValuesTest::set_bool(int32_t parm, bool on) {
  ASSERT_EQ(CV_Set_Bool_Config_Value(parm, on ? 1 : 0), CV_NORMAL_COMPLETION);
}

std::string text_of(int32_t id, uint32_t tag) {
  char buffer[1024] = {};
  CV_Get_Value_To_String(id, tag, sizeof buffer, buffer);
  return buffer;
}

std::vector<std::string> all_texts(int32_t id, uint32_t tag) {
  std::vector<std::string> texts;
  char buffer[1024] = {};
  int32_t status = CV_Get_Value_To_String(id, tag, sizeof buffer, buffer);
  while (status == CV_NORMAL_COMPLETION || status == CV_NULL_VALUE) {
    texts.emplace_back(status == CV_NULL_VALUE ? "<null>" : buffer);
    status = CV_Get_Next_Value_To_String(id, tag, sizeof buffer, buffer);
  }
  EXPECT_EQ(status, CV_NO_MORE_VALUES);
  return texts;
}

std::string raw_of(int32_t id, uint32_t tag) {
  std::string bytes(1 << 20, '\0');
  uint32_t length = 0;
  EXPECT_EQ(
      CV_Get_Value_To_Buffer(id, tag, static_cast<uint32_t>(bytes.size()), bytes.data(), &length),
      CV_NORMAL_COMPLETION);
  bytes.resize(length);
  return bytes;
}

int32_t count_of(int32_t id, uint32_t tag) {
  int32_t count = -1;
  const int32_t status = CV_Get_Value_Count(id, tag, &count);
  return status == CV_NORMAL_COMPLETION ? count : status;
}

int64_t length_of(int32_t id, uint32_t tag, int32_t n) {
  uint32_t length = 0;
  const int32_t status = CV_Get_Value_Length(id, tag, n, &length);
  return status == CV_NORMAL_COMPLETION ? int64_t{length} : status;
}

std::string pattern(size_t n, int seed) {
  std::string bytes(n, '\0');
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>((i * 7 + size_t(seed)) & 0xFF);
  return bytes;
}

int32_t scripted_supplier(int32_t, uint32_t, int32_t is_first, void* user, int32_t* size,
                          void** data, int32_t* is_last) {
  auto* script = static_cast<Script*>(user);
  script->first_flags.push_back(is_first);
  if (script->next >= script->steps.size()) return 0;
  const Script::Step& step = script->steps[script->next++];
  *size = step.size;
  *data = step.null_data ? nullptr : script->bytes.data() + script->offset;
  if (step.size > 0) script->offset += static_cast<size_t>(step.size);
  *is_last = script->next == script->steps.size() ? 1 : 0;
  return step.result;
}

int32_t collect(int32_t, uint32_t, void* user, int32_t length, void* data, int32_t is_first,
                int32_t is_last) {
  auto* pieces = static_cast<Pieces*>(user);
  pieces->pieces.emplace_back(static_cast<const char*>(data), static_cast<size_t>(length));
  pieces->flags.emplace_back(is_first, is_last);
  return CV_NORMAL_COMPLETION;
}

std::vector<std::string> pieces_of(int32_t id, uint32_t tag,
                                   std::vector<std::pair<int32_t, int32_t>>* flags) {
  Pieces pieces;
  EXPECT_EQ(CV_Get_Value_To_Function(id, tag, &pieces, collect), CV_NORMAL_COMPLETION);
  if (flags != nullptr) *flags = pieces.flags;
  return pieces.pieces;
}

std::string consumed(int32_t id, uint32_t tag) {
  std::string all;
  for (const std::string& piece : pieces_of(id, tag)) all += piece;
  return all;
}

int node_count(int32_t id, uint32_t tag) {
  const data::TagObj* record = data::find_attribute(*data::find_object(id), tag);
  int count = 0;
  for (const data::ValueObj* node = record != nullptr ? record->head : nullptr; node != nullptr;
       node = node->next) {
    ++count;
  }
  return count;
}

}  // namespace tessel::test
