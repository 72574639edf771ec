#include "tests/objects/objects_support.hpp"

#include "core/named_lock.hpp"
#include "data/dictionary.hpp"
#include "data/objects.hpp"
#include "data/vr.hpp"
#include "memory/pool.hpp"

namespace tessel::test {

using data::MsgObj;
using data::TagObj;

void ObjectsTest::SetUp() {
  restart(shipped_ini());
}

void ObjectsTest::TearDown() {
  library_.reset();
}

void ObjectsTest::restart(const std::string& ini_path) {
  library_.reset();
  library_ = std::make_unique<LibraryScope>(ini_path);
  ASSERT_EQ(library_->status(), CV_NORMAL_COMPLETION);
}

MsgObj& ObjectsTest::object(int32_t id) {
  MsgObj* found = data::find_object(id);
  EXPECT_NE(found, nullptr) << "no object " << id;
  return *found;
}

TagObj* ObjectsTest::attribute(int32_t id, uint32_t tag) {
  MsgObj* found = data::find_object(id);
  return found != nullptr ? data::find_attribute(*found, tag) : nullptr;
}

int32_t ObjectsTest::open_empty_message() {
  int32_t id = -1;
  EXPECT_EQ(CV_Open_Empty_Message(&id), CV_NORMAL_COMPLETION);
  return id;
}

int32_t ObjectsTest::open_empty_item() {
  int32_t id = -1;
  EXPECT_EQ(CV_Open_Empty_Item(&id), CV_NORMAL_COMPLETION);
  return id;
}

namespace {

TagObj* attribute_for(int32_t id, uint32_t tag, int32_t fallback_vr) {
  MsgObj* found = data::find_object(id);
  if (found == nullptr) {
    ADD_FAILURE() << "no object " << id;
    return nullptr;
  }
  TagObj* record = data::find_attribute(*found, tag);
  if (record != nullptr) return record;
  int32_t vr = fallback_vr;
  if (CVI_Get_Dictionary_Info(tag, "", &vr, nullptr, nullptr, nullptr, 0) != CV_NORMAL_COMPLETION) {
    vr = fallback_vr;
  }
  EXPECT_EQ(data::add_attribute(*found, tag, vr, 1, 255, &record).code(), CV_NORMAL_COMPLETION);
  return record;
}

}  // namespace

void add_as(int32_t id, uint32_t tag, int32_t vr) {
  MsgObj* found = data::find_object(id);
  ASSERT_NE(found, nullptr) << "no object " << id;
  EXPECT_EQ(data::add_attribute(*found, tag, vr, 1, 255, nullptr).code(), CV_NORMAL_COMPLETION);
}

void put_texts(int32_t id, uint32_t tag, std::initializer_list<std::string> values) {
  TagObj* record = attribute_for(id, tag, CV_VR_LO);
  if (record == nullptr) return;
  MsgObj& object = *data::find_object(id);
  core::LockHold hold(object.lock);
  data::release_values(object, *record, false, false);
  for (const std::string& value : values) {
    ASSERT_EQ(
        data::append_memory_node(*record, value.data(), static_cast<uint32_t>(value.size()), 1)
            .code(),
        CV_NORMAL_COMPLETION);
  }
}

void put_bytes(int32_t id, uint32_t tag, const std::string& bytes) {
  TagObj* record = attribute_for(id, tag, CV_VR_OB);
  if (record == nullptr) return;
  MsgObj& object = *data::find_object(id);
  ASSERT_EQ(
      data::store_single_value(object, *record, bytes.data(), static_cast<uint32_t>(bytes.size()))
          .code(),
      CV_NORMAL_COMPLETION);
}

void put_item(int32_t id, uint32_t tag, int32_t item_id) {
  TagObj* record = attribute_for(id, tag, CV_VR_SQ);
  MsgObj* item = data::find_object(item_id);
  ASSERT_NE(record, nullptr);
  ASSERT_NE(item, nullptr);
  MsgObj& object = *data::find_object(id);
  core::LockHold hold(object.lock);
  ASSERT_EQ(data::append_item_node(*record, *item).code(), CV_NORMAL_COMPLETION);
}

std::vector<uint32_t> tags_of(int32_t id) {
  std::vector<uint32_t> tags;
  uint32_t tag = 0;
  for (int32_t s = CV_Get_First_Attribute(id, &tag, nullptr, nullptr); s == CV_NORMAL_COMPLETION;
       s = CV_Get_Next_Attribute(id, &tag, nullptr, nullptr)) {
    tags.push_back(tag);
  }
  return tags;
}

std::vector<std::string> texts_of(int32_t id, uint32_t tag) {
  std::vector<std::string> texts;
  MsgObj* found = data::find_object(id);
  TagObj* record = found != nullptr ? data::find_attribute(*found, tag) : nullptr;
  if (record == nullptr) return texts;
  for (const data::ValueObj* node = record->head; node != nullptr; node = node->next) {
    texts.emplace_back(reinterpret_cast<const char*>(node->bytes), node->length);
  }
  return texts;
}

std::string bytes_of(int32_t id, uint32_t tag) {
  std::string bytes;
  for (const std::string& piece : texts_of(id, tag)) bytes += piece;
  return bytes;
}

std::vector<int32_t> items_of(int32_t id, uint32_t tag) {
  std::vector<int32_t> items;
  MsgObj* found = data::find_object(id);
  TagObj* record = found != nullptr ? data::find_attribute(*found, tag) : nullptr;
  if (record == nullptr) return items;
  for (const data::ValueObj* node = record->head; node != nullptr; node = node->next) {
    const auto* ref = reinterpret_cast<const data::ItemRef*>(node->bytes);
    items.push_back(ref != nullptr ? ref->item_id : -1);
  }
  return items;
}

uint64_t live_objects() {
  return memory::pool_stats(memory::PoolId::MsgObj).live_objects;
}

}  // namespace tessel::test
