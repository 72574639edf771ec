// Fuzz target: a tiny interpreter that turns the input into a sequence of value and attribute
// calls on one message and a few items (sets and gets in every type, deletes, sequences, VR
// changes, duplicates, private blocks, listing), then frees everything.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.hpp"

#include "tessel/tessel.h"

namespace {

// Attributes the interpreter works on: every VR class, a sequence, repeating groups, a private
// element, pixel data and a tag outside the dictionary.
constexpr uint32_t kTags[] = {
    0x00080005, 0x00080008, 0x00080016, 0x00080020, 0x00080030, 0x00080050, 0x00080090, 0x00081030,
    0x00100010, 0x00100020, 0x00100030, 0x00101010, 0x00101030, 0x00180050, 0x00200013, 0x00200032,
    0x00280010, 0x00280011, 0x00280030, 0x00280100, 0x00281050, 0x0040A730, 0x00081140, 0x00089215,
    0x00209157, 0x00186016, 0x00189087, 0x00181310, 0x00280009, 0x00400275, 0x50000010, 0x60003000,
    0x60020010, 0x7FE00010, 0x00091010, 0x00290010, 0x00291010, 0x00111234, 0x00082111, 0x0020000D,
};
constexpr size_t kTagCount = sizeof kTags / sizeof kTags[0];

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool more() const { return pos_ < size_; }
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint32_t u32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | byte();
    return v;
  }
  std::string text() {
    const size_t length = byte() % 48;
    std::string out;
    for (size_t i = 0; i < length && more(); ++i) out.push_back(static_cast<char>(byte()));
    return out;
  }
  uint32_t tag() { return kTags[byte() % kTagCount]; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tessel::fuzz::ensure_library();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!tessel::fuzz::ensure_library()) return 0;
  Reader in(data, size);
  int32_t message = -1;
  if (CV_Open_Empty_Message(&message) != CV_NORMAL_COMPLETION) return 0;
  std::vector<int32_t> items;
  std::vector<int32_t> objects{message};
  auto pick = [&]() -> int32_t { return objects[in.byte() % objects.size()]; };
  char buffer[300];
  const std::string list_path = tessel::fuzz::scratch_dir() + "/listing.txt";

  for (int step = 0; step < 200 && in.more(); ++step) {
    const uint8_t op = in.byte() % 24;
    const int32_t id = pick();
    const uint32_t tag = in.tag();
    switch (op) {
      case 0:
        CV_Set_Value_From_String(id, tag, in.text().c_str());
        break;
      case 1:
        CV_Set_Next_Value_From_String(id, tag, in.text().c_str());
        break;
      case 2: {
        const int32_t value = static_cast<int32_t>(in.u32());
        switch (in.byte() % 5) {
          case 0:
            CV_Set_Value_From_Int(id, tag, value);
            break;
          case 1:
            CV_Set_Next_Value_From_UShortInt(id, tag, static_cast<uint16_t>(value));
            break;
          case 2:
            CV_Set_Value_From_LongInt(id, tag, value);
            break;
          case 3:
            CV_Set_Next_Value_From_Double(id, tag, value / 7.0);
            break;
          default:
            CV_Set_Value_From_Float(id, tag, static_cast<float>(value) / 3.0f);
            break;
        }
        break;
      }
      case 3:
        CV_Get_Value_To_String(id, tag, 1 + in.byte() % sizeof buffer, buffer);
        break;
      case 4: {
        double d = 0;
        int32_t i = 0;
        int16_t s = 0;
        CV_Get_Next_Value_To_Double(id, tag, &d);
        CV_Get_Value_To_Int(id, tag, &i);
        CV_Get_Next_Value_To_ShortInt(id, tag, &s);
        break;
      }
      case 5:
        CV_Delete_Attribute(id, tag);
        break;
      case 6:
        CV_Delete_Range(id, tag, in.tag());
        break;
      case 7:
        CV_Set_Value_To_NULL(id, tag);
        CV_Set_Next_Value_To_NULL(id, in.tag());
        break;
      case 8:
        CV_Set_Value_To_Empty(id, tag);
        break;
      case 9:
        if (items.size() < 16) {
          int32_t item = -1;
          if (CV_Open_Empty_Item(&item) == CV_NORMAL_COMPLETION) {
            items.push_back(item);
            objects.push_back(item);
          }
        }
        break;
      case 10:
        if (!items.empty())
          CV_Set_Next_Value_From_Int(id, 0x0040A730, items[in.byte() % items.size()]);
        break;
      case 11:
        CV_Set_Value_Representation(id, tag, in.byte() % 30);
        break;
      case 12: {
        uint32_t t = 0;
        int32_t vr = 0;
        int32_t count = 0;
        for (int32_t s = CV_Get_First_Attribute(id, &t, &vr, &count); s == CV_NORMAL_COMPLETION;
             s = CV_Get_Next_Attribute(id, &t, &vr, &count)) {
        }
        break;
      }
      case 13: {
        int32_t copy = -1;
        if (CV_Duplicate_Message(id, &copy, 0, nullptr, nullptr) == CV_NORMAL_COMPLETION) {
          CV_Free_Message(&copy);
          CV_Free_Item(&copy);
        }
        break;
      }
      case 14:
        CV_Empty_Message(id);
        CV_Empty_Item(id);
        break;
      case 15: {
        const std::string bytes = in.text();
        CV_Set_Value_From_Buffer(id, tag, bytes.data(), static_cast<uint32_t>(bytes.size()));
        break;
      }
      case 16: {
        uint32_t length = 0;
        CV_Get_Value_To_Buffer(id, tag, 1 + in.byte() % sizeof buffer, buffer, &length);
        break;
      }
      case 17:
        CV_Byte_Swap_OBOW(id, tag);
        break;
      case 18: {
        const std::string creator = in.text();
        const uint16_t group = static_cast<uint16_t>(0x0009 + 2 * (in.byte() % 4));
        CV_Add_Private_Block(id, creator.c_str(), group);
        CV_Add_Private_Attribute(id, creator.c_str(), group, in.byte(), in.byte() % 28);
        CV_Set_pValue_From_String(id, creator.c_str(), group, in.byte(), in.text().c_str());
        CV_Get_pValue_To_String(id, creator.c_str(), group, in.byte(), sizeof buffer, buffer);
        if (in.byte() % 4 == 0) CV_Delete_Private_Block(id, creator.c_str(), group);
        break;
      }
      case 19:
        CV_List_Message(id, list_path.c_str());
        CV_List_Item(id, list_path.c_str());
        break;
      case 20: {
        int32_t count = 0;
        uint32_t length = 0;
        CV_Get_Value_Count(id, tag, &count);
        CV_Get_Value_Length(id, tag, static_cast<int32_t>(in.byte() % 4), &length);
        break;
      }
      case 21:
        CV_Add_Nonstandard_Attribute(id, in.u32(), in.byte() % 28);
        CV_Add_Standard_Attribute(id, tag);
        break;
      case 22:
        CV_Delete_Current_Value(id, tag);
        break;
      default:
        if (!items.empty()) {
          // Freeing an item still held by a sequence is refused; its identifier stays valid.
          const size_t index = in.byte() % items.size();
          int32_t item = items[index];
          if (CV_Free_Item(&item) == CV_NORMAL_COMPLETION && item == -1) {
            objects.erase(std::find(objects.begin(), objects.end(), items[index]));
            items.erase(items.begin() + static_cast<std::ptrdiff_t>(index));
          }
        }
        break;
    }
  }
  CV_Free_Message(&message);
  for (int32_t item : items) CV_Free_Item(&item);
  return 0;
}
