// tessel-storescp: a storage acceptor. Accepts every storage SOP class in the native syntaxes,
// writes each received data set as a DICOM file named by its SOP Instance UID and answers
// C-STORE and C-ECHO requests. Each association is served by a thread of its own; threads
// are kept for later associations.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/common/tool_common.hpp"
#include <sys/stat.h>

#include "tessel/tessel.h"
#include "tessel/tessel_file_io.h"

namespace {

constexpr const char* kProgram = "tessel-storescp";
constexpr const char* kUsage =
    "usage: tessel-storescp [--ini PATH] [--aet AE] [--port PORT] [--address ADDR] "
    "[--threads N] --output-dir DIR\n";
constexpr const char* kStorageList = "STORAGE_SERVICE_LIST";
constexpr int32_t kStoreRequest = 0x0001;
constexpr int32_t kStoreResponse = 0x8001;
constexpr int32_t kEchoRequest = 0x0030;
constexpr int32_t kEchoResponse = 0x8030;
constexpr uint32_t kAffectedClassTag = 0x00000002;
constexpr uint32_t kAffectedInstanceTag = 0x00001000;
constexpr uint32_t kMetaSopClassTag = 0x00020002;
constexpr uint32_t kMetaInstanceTag = 0x00020003;
constexpr uint32_t kMetaSyntaxTag = 0x00020010;
constexpr uint32_t kUnusedMetaTags[] = {0x00020016, 0x00020100, 0x00020102};
constexpr uint32_t kSopClassTag = 0x00080016;
constexpr uint32_t kSopInstanceTag = 0x00080018;
// Storage statuses: refused for lack of resources, and cannot understand.
constexpr int32_t kStatusOutOfResources = 0xA700;
constexpr int32_t kStatusCannotUnderstand = 0xC000;
// Every wait is cut into slices this long so that a stop request is seen promptly.
constexpr int32_t kWaitSlice = 1;

// Set by the signal handler on the main thread, read by every worker: a lock-free atomic is
// safe in the handler and between threads (a volatile sig_atomic_t is only the former).
std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void on_stop_signal(int) {
  g_stop.store(true);
}

std::mutex g_print_lock;

void report(FILE* stream, const char* format, ...) __attribute__((format(printf, 2, 3)));
void report(FILE* stream, const char* format, ...) {
  std::lock_guard<std::mutex> hold(g_print_lock);
  va_list args;
  va_start(args, format);
  std::vfprintf(stream, format, args);
  va_end(args);
  std::fputc('\n', stream);
  std::fflush(stream);
}

bool parse_number(const std::string& text, long low, long high, int32_t* out) {
  if (text.empty() || text.size() > 6) return false;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < low || value > high) return false;
  *out = static_cast<int32_t>(value);
  return true;
}

// A UID is digits and periods: safe as a file name on every system.
bool valid_uid(const std::string& uid) {
  if (uid.empty() || uid.size() > 64 || uid.front() == '.') return false;
  for (const char c : uid) {
    if ((c < '0' || c > '9') && c != '.') return false;
  }
  return true;
}

struct Settings {
  std::string aet = "TESSEL_SCP";
  int32_t port = 0;  // 0: TCPIP_LISTEN_PORT of the system profile
  std::string address;
  int32_t threads = 4;
  std::string output_dir;
};

// One association's worker: reads requests until the peer releases or aborts, or a stop is
// requested.
class AssociationWorker {
 public:
  AssociationWorker(const Settings& settings, int32_t assoc_id)
      : settings_(settings), assoc_id_(assoc_id) {}
  void run();

 private:
  // Writes the data set of a C-STORE request as a file; returns the response status.
  int32_t store(int32_t* msg_id);
  void answer(const char* service, int32_t command, int32_t status);

  const Settings& settings_;
  int32_t assoc_id_;
  int files_ = 0;
};

int32_t AssociationWorker::store(int32_t* msg_id) {
  std::string sop_class = tessel_tools::text_value(*msg_id, kAffectedClassTag);
  if (sop_class.empty()) sop_class = tessel_tools::text_value(*msg_id, kSopClassTag);
  std::string instance = tessel_tools::text_value(*msg_id, kAffectedInstanceTag);
  if (instance.empty()) instance = tessel_tools::text_value(*msg_id, kSopInstanceTag);
  if (!valid_uid(instance) || sop_class.empty()) {
    report(stderr, "association %d: C-STORE request without a usable SOP Instance UID (\"%s\")",
           assoc_id_, instance.c_str());
    return kStatusCannotUnderstand;
  }
  const std::string path = settings_.output_dir + "/" + instance + ".dcm";
  // Two associations may carry the same instance at once: each writes its own partial file.
  const std::string partial = path + "." + std::to_string(assoc_id_) + ".part";
  char syntax_uid[65] = {};
  int32_t status = CV_Message_To_File(*msg_id, path.c_str());
  // The optional meta elements this acceptor has no values for are left out of the file.
  for (const uint32_t tag : kUnusedMetaTags) {
    if (status == CV_NORMAL_COMPLETION) status = CV_Delete_Attribute(*msg_id, tag);
  }
  if (status == CV_NORMAL_COMPLETION) {
    status = CV_Set_Value_From_String(*msg_id, kMetaSopClassTag, sop_class.c_str());
  }
  if (status == CV_NORMAL_COMPLETION) {
    status = CV_Set_Value_From_String(*msg_id, kMetaInstanceTag, instance.c_str());
  }
  if (status == CV_NORMAL_COMPLETION) {
    status =
        CV_Get_Transfer_Syntax_From_Enum(EXPLICIT_LITTLE_ENDIAN, syntax_uid, sizeof syntax_uid);
  }
  if (status == CV_NORMAL_COMPLETION) {
    status = CV_Set_Value_From_String(*msg_id, kMetaSyntaxTag, syntax_uid);
  }
  if (status != CV_NORMAL_COMPLETION) {
    report(stderr, "association %d: cannot prepare %s: %s", assoc_id_, path.c_str(),
           CV_Error_Message(status));
    return kStatusOutOfResources;
  }
  // The file appears under its final name only once it is complete.
  CV_FILE_IO io;
  status = CV_File_IO_Open_Write(&io, partial.c_str());
  if (status == CV_NORMAL_COMPLETION) {
    status = CV_Write_File(*msg_id, 0, &io, CV_File_IO_Write);
    if (CV_File_IO_Close(&io) != CV_NORMAL_COMPLETION && status == CV_NORMAL_COMPLETION) {
      status = CV_CALLBACK_CANNOT_COMPLY;
    }
  }
  if (status == CV_NORMAL_COMPLETION && std::rename(partial.c_str(), path.c_str()) != 0) {
    io.error = errno;
    status = CV_CALLBACK_CANNOT_COMPLY;
  }
  if (status != CV_NORMAL_COMPLETION) {
    unlink(partial.c_str());
    report(stderr, "association %d: cannot write %s: %s%s%s", assoc_id_, path.c_str(),
           CV_Error_Message(status), io.error != 0 ? ": " : "",
           io.error != 0 ? std::strerror(io.error) : "");
    return kStatusOutOfResources;
  }
  ++files_;
  report(stdout, "association %d: stored %s", assoc_id_, path.c_str());
  return 0;
}

void AssociationWorker::answer(const char* service, int32_t command, int32_t status) {
  int32_t response = CV_NO_ID;
  int32_t result = CV_Open_Message(&response, service, command);
  if (result == CV_NORMAL_COMPLETION)
    result = CV_Send_Response_Message(assoc_id_, status, response);
  if (result != CV_NORMAL_COMPLETION) {
    report(stderr, "association %d: cannot send the response: %s", assoc_id_,
           CV_Error_Message(result));
  }
  if (response != CV_NO_ID) CV_Free_Message(&response);
}

void AssociationWorker::run() {
  while (assoc_id_ != CV_NO_ID) {
    if (g_stop.load()) {
      CV_Abort_Association(&assoc_id_);
      report(stdout, "association aborted on shutdown after %d file(s)", files_);
      break;
    }
    int32_t msg_id = CV_NO_ID;
    const char* service = nullptr;
    int32_t command = 0;
    const int32_t status = CV_Read_Message(assoc_id_, kWaitSlice, &msg_id, &service, &command);
    if (status == CV_TIMEOUT) continue;
    if (status != CV_NORMAL_COMPLETION) {
      // Every other outcome has ended and freed the association.
      if (status == CV_ASSOCIATION_CLOSED) {
        report(stdout, "association %d released after %d file(s)", assoc_id_, files_);
      } else {
        report(stdout, "association %d ended after %d file(s): %s", assoc_id_, files_,
               CV_Error_Message(status));
      }
      assoc_id_ = CV_NO_ID;
      break;
    }
    const std::string service_name = service != nullptr ? service : "";
    if (command == kStoreRequest) {
      const int32_t result = store(&msg_id);
      answer(service_name.c_str(), kStoreResponse, result);
    } else if (command == kEchoRequest) {
      answer(service_name.c_str(), kEchoResponse, 0);
      report(stdout, "association %d: answered C-ECHO", assoc_id_);
    } else {
      report(stderr, "association %d: ignored a request with command 0x%04X", assoc_id_,
             static_cast<unsigned>(command));
    }
    CV_Free_Message(&msg_id);
  }
}

// Threads serving associations, kept for the next one once their association has ended: a
// thread is started only when none is idle, and at most `threads` serve at once.
class WorkerPool {
 public:
  explicit WorkerPool(const Settings& settings) : settings_(settings) {}
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;
  ~WorkerPool() { stop(); }

  // Waits up to `patience` for a thread to become free; false when all stay busy.
  bool wait_for_room(std::chrono::milliseconds patience) {
    std::unique_lock<std::mutex> hold(lock_);
    return room_.wait_for(hold, patience, [this] { return busy_ < settings_.threads; });
  }

  // Hands an accepted association to an idle thread, or to a new one.
  void serve(int32_t assoc_id) {
    std::lock_guard<std::mutex> hold(lock_);
    ++busy_;
    waiting_.push_back(assoc_id);
    // Idle threads that were woken may not have taken their association yet.
    if (waiting_.size() <= static_cast<size_t>(idle_)) {
      work_.notify_one();
    } else {
      threads_.push_back(start_thread());
    }
  }

  // Lets every thread finish its association and joins them.
  void stop() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      stopping_ = true;
    }
    work_.notify_all();
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
  }

 private:
  // Starts a thread with the stop signals blocked: only the main thread takes them, so that no
  // network wait of a worker is cut short by a signal.
  std::thread start_thread() {
    sigset_t blocked;
    sigset_t previous;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    std::thread thread([this] { run(); });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return thread;
  }

  void run() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
      ++idle_;
      work_.wait(hold, [this] { return stopping_ || !waiting_.empty(); });
      --idle_;
      if (waiting_.empty()) break;
      const int32_t assoc_id = waiting_.front();
      waiting_.pop_front();
      hold.unlock();
      AssociationWorker(settings_, assoc_id).run();
      hold.lock();
      --busy_;
      room_.notify_one();
    }
    hold.unlock();
    CV_Thread_Release();
  }

  const Settings& settings_;
  std::mutex lock_;
  std::condition_variable work_;
  std::condition_variable room_;
  std::deque<int32_t> waiting_;
  std::vector<std::thread> threads_;
  int32_t busy_ = 0;
  int32_t idle_ = 0;
  bool stopping_ = false;
};

int serve(const Settings& settings) {
  int32_t app_id = CV_NO_ID;
  int32_t status = CV_Register_Application(&app_id, settings.aet.c_str());
  if (status != CV_NORMAL_COMPLETION) {
    report(stderr, "%s: cannot register %s: %s", kProgram, settings.aet.c_str(),
           CV_Error_Message(status));
    return 1;
  }
  const char* address = settings.address.empty() ? nullptr : settings.address.c_str();
  WorkerPool workers(settings);
  int exit_code = 0;
  bool announced = false;
  while (!g_stop.load()) {
    int32_t assoc_id = CV_NO_ID;
    status = CV_Wait_For_Association_On_Address(kStorageList, kWaitSlice, app_id, settings.port,
                                                address, &assoc_id);
    if (!announced && (status == CV_NORMAL_COMPLETION || status == CV_TIMEOUT)) {
      announced = true;
      const std::string port =
          settings.port > 0 ? std::to_string(settings.port) : std::string("TCPIP_LISTEN_PORT");
      report(stdout, "%s: %s listening on port %s, writing to %s", kProgram, settings.aet.c_str(),
             port.c_str(), settings.output_dir.c_str());
    }
    if (status == CV_TIMEOUT || status == CV_SYSTEM_CALL_INTERRUPTED ||
        status == CV_NEGOTIATION_ABORTED) {
      continue;
    }
    if (status != CV_NORMAL_COMPLETION) {
      report(stderr, "%s: cannot wait for associations: %s", kProgram, CV_Error_Message(status));
      exit_code = 1;
      break;
    }
    // A worker whose peer has just released may still be finishing: give it a moment.
    if (!workers.wait_for_room(std::chrono::seconds(2))) {
      CV_Reject_Association(assoc_id, CV_REJECT_TEMPORARY_CONGESTION);
      report(stdout, "association rejected: all %d threads busy", settings.threads);
      continue;
    }
    status = CV_Accept_Association(assoc_id);
    if (status != CV_NORMAL_COMPLETION) {
      report(stderr, "association %d: cannot accept: %s", assoc_id, CV_Error_Message(status));
      continue;
    }
    report(stdout, "association %d accepted", assoc_id);
    workers.serve(assoc_id);
  }
  workers.stop();
  CV_Release_Application(&app_id);
  if (exit_code == 0) report(stdout, "%s: stopped", kProgram);
  return exit_code;
}

}  // namespace

int main(int argc, char** argv) {
  std::string ini;
  Settings settings;
  bool bad = false;
  for (int i = 1; i < argc && !bad; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--ini" && has_value) {
      ini = argv[++i];
    } else if (arg == "--aet" && has_value) {
      settings.aet = argv[++i];
      bad = settings.aet.empty() || settings.aet.size() > 16;
    } else if (arg == "--port" && has_value) {
      bad = !parse_number(argv[++i], 1, 65535, &settings.port);
    } else if (arg == "--address" && has_value) {
      settings.address = argv[++i];
    } else if (arg == "--threads" && has_value) {
      bad = !parse_number(argv[++i], 1, 256, &settings.threads);
    } else if (arg == "--output-dir" && has_value) {
      settings.output_dir = argv[++i];
    } else if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      std::puts(
          "Accepts associations as --aet (default TESSEL_SCP) on --port (default "
          "TCPIP_LISTEN_PORT of the\nsystem profile) and --address (default every address), "
          "for every storage class in the native\nsyntaxes; writes each received data set to "
          "DIR as <SOP Instance UID>.dcm and answers C-STORE\nand C-ECHO requests. Up to "
          "--threads N (default 4) associations are served at once. SIGINT or\nSIGTERM stops "
          "it. --ini PATH names the initialisation file (else TESSEL_INI, else the shipped\n"
          "one). Exit status: 0 stopped by a signal, 1 failed, 2 bad arguments.");
      return 0;
    } else {
      bad = true;
    }
  }
  if (bad || settings.output_dir.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  struct stat info {};
  if (stat(settings.output_dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    std::fprintf(stderr, "%s: %s is not a directory\n", kProgram, settings.output_dir.c_str());
    return 1;
  }
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  if (!tessel_tools::start_library(tessel_tools::find_ini(ini), kProgram)) return 1;
  const int exit_code = serve(settings);
  CV_Library_Release();
  return exit_code;
}
