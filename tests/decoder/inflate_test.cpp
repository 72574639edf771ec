// The inflate stage alone: output across growth steps and inputs, and every failure it reports.
#include "codec/inflate.hpp"

#include <zlib.h>

#include <string>

#include <gtest/gtest.h>

#include "tests/decoder/decoder_support.hpp"

namespace tessel::test {
namespace {

// Inflates `compressed` handed over in inputs of `step` bytes; returns the last status.
Status inflate_all(const std::string& compressed, size_t step, std::string* out) {
  codec::InflateStage stage;
  size_t at = 0;
  for (;;) {
    const size_t n = compressed.size() - at < step ? compressed.size() - at : step;
    stage.set_input(reinterpret_cast<const uint8_t*>(compressed.data()) + at,
                    static_cast<uint32_t>(n), at + n == compressed.size());
    at += n;
    for (;;) {
      const uint8_t* block = nullptr;
      uint32_t length = 0;
      bool ended = false;
      const Status status = stage.inflate(&block, &length, &ended);
      if (status.is(CV_DECOMPRESSED_DATA_AVAILABLE)) {
        out->append(reinterpret_cast<const char*>(block), length);
        continue;
      }
      if (!status.ok()) return status;
      if (ended) return stage.end();
      break;
    }
  }
}

TEST(InflateTest, OutputMatchesInputAcrossGrowthAndInputs) {
  std::string plain;
  for (int i = 0; i < 200000; ++i)
    plain.push_back(static_cast<char>((i * 31) % 251 < 200 ? 'a' : i));
  const std::string compressed = deflate_raw(plain);
  for (const size_t step : {size_t{1}, size_t{7}, size_t{4096}, compressed.size()}) {
    LogCapture log;
    std::string out;
    ASSERT_TRUE(inflate_all(compressed, step, &out).ok()) << step;
    EXPECT_TRUE(out == plain) << step;
    EXPECT_TRUE(log.contains("Inflate resources allocated"));
    EXPECT_TRUE(log.contains("Inflate resources released"));
    if (step == compressed.size()) {
      EXPECT_TRUE(log.contains("Output Buffer reallocated (")) << step;
      EXPECT_TRUE(log.contains("): inflate")) << step;
    }
  }
}

TEST(InflateTest, FailuresAreReported) {
  const std::string compressed = deflate_raw(std::string(5000, 'z') + "tail");
  struct Row {
    const char* name;
    std::string input;
    const char* line;
  };
  const Row rows[] = {
      {"corrupt", "\xff\xff\xff\xff" + compressed, "Unexpected error with inflate: (-3)"},
      {"corrupt later", compressed.substr(0, 4) + std::string(64, '\xff'), "Unexpected error with"},
      {"ends early", compressed.substr(0, compressed.size() / 2),
       "Unexpected error: Last flags don't match (CVI_inflate)"},
  };
  for (const Row& row : rows) {
    LogCapture log;
    std::string out;
    EXPECT_TRUE(inflate_all(row.input, 16, &out).is(CV_ZLIB_ERROR)) << row.name;
    EXPECT_TRUE(log.contains(row.line)) << row.name;
  }
}

}  // namespace
}  // namespace tessel::test
