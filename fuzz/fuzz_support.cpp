#include "fuzz/fuzz_support.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

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

}  // namespace tessel::fuzz
