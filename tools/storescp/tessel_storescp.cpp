// tessel-storescp: a storage acceptor. Accepts every storage SOP class in the native syntaxes,
// writes each received data set as a DICOM file named by its SOP Instance UID (byte for byte as
// it arrived, unless --decode is given) and answers C-STORE and C-ECHO requests. Each association
// is served by a thread of its own; threads are kept for later associations.
#include <fcntl.h>
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
#include <map>
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
    "[--threads N] [--decode] --output-dir DIR\n";
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
// Reads stop after the command: no data set element lies at or below this tag.
constexpr uint32_t kCommandEnd = 0x00010000;
constexpr uint32_t kDataSetTypeTag = 0x00000800;
constexpr uint16_t kNoDataSet = 0x0101;
// A service with accepted contexts in more than one transfer syntax.
constexpr int32_t kSeveralSyntaxes = -1;

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
  bool decode = false;  // read every data set whole and write it in explicit VR little endian
  std::string output_dir;
};

// Where the raw data set bytes of a streamed C-STORE go. After a failed write the rest is
// still taken from the network and dropped, so that the peer gets a status instead of an abort.
struct StreamTarget {
  int fd = -1;
  int error = 0;  // errno of the first failure
};

int32_t CV_CALL write_chunk(int32_t /*msg_id*/, void* user_info, uint32_t data_size, void* data,
                            int32_t /*is_first*/, int32_t /*is_last*/) {
  auto* target = static_cast<StreamTarget*>(user_info);
  const char* bytes = static_cast<const char*>(data);
  while (data_size > 0 && target->error == 0) {
    const ssize_t written = write(target->fd, bytes, data_size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      target->error = written < 0 ? errno : EIO;
      break;
    }
    bytes += written;
    data_size -= static_cast<uint32_t>(written);
  }
  return CV_NORMAL_COMPLETION;
}

// Whether a message read whole holds any element besides its command group.
bool has_data_set_elements(int32_t msg_id) {
  uint32_t tag = 0;
  int32_t status = CV_Get_First_Attribute(msg_id, &tag, nullptr, nullptr);
  while (status == CV_NORMAL_COMPLETION && (tag >> 16) == 0) {
    status = CV_Get_Next_Attribute(msg_id, &tag, nullptr, nullptr);
  }
  return status == CV_NORMAL_COMPLETION;
}

// Whether the command of a request announces a data set.
bool has_data_set(int32_t msg_id) {
  uint16_t type = kNoDataSet;
  return CV_Get_Value_To_UShortInt(msg_id, kDataSetTypeTag, &type) == CV_NORMAL_COMPLETION &&
         type != kNoDataSet;
}

// One association's worker: reads requests until the peer releases or aborts, or a stop is
// requested.
//
// Data sets are stored as they arrive whenever the transfer syntax of a C-STORE is known for
// certain: its service has a single accepted context, or several in one syntax. The read then
// stops after the command, the file header is written from the command's UIDs, and the data set
// bytes go from the network straight into the file, never decoded. Everything else (a service
// accepted in several syntaxes, a request without Affected SOP Instance UID) is read whole and
// written by the library. An association with a deflated context is read whole throughout: a
// deflated data set cannot be stopped after its command.
class AssociationWorker {
 public:
  AssociationWorker(const Settings& settings, int32_t assoc_id)
      : settings_(settings), assoc_id_(assoc_id) {}
  void run();

 private:
  // Learns the syntax of every accepted service and whether reads may stop after the command.
  void plan_streaming();
  // The syntax a C-STORE of `service` arrives in, or 0 when it is not known for certain.
  int32_t stream_syntax(const std::string& service) const;
  // Writes the data set of a C-STORE request as a file; returns the response status.
  int32_t store(int32_t* msg_id);
  // The same for a request whose data set is still in the network, in `syntax`. Sets *ended
  // when the association ended while the data set was read (no response can be sent then).
  int32_t store_streamed(int32_t* msg_id, int32_t syntax, const std::string& sop_class,
                         const std::string& instance, bool* ended);
  // Sets up a file object for `msg_id` (which holds the command only, or the whole request)
  // with the meta information of `sop_class`, `instance` and `syntax`.
  int32_t prepare_file(int32_t msg_id, const std::string& path, const std::string& sop_class,
                       const std::string& instance, int32_t syntax);
  // The final name of an instance's file, and the partial file written before it.
  std::string final_path(const std::string& instance) const;
  std::string partial_path(const std::string& path) const;
  // Ends the write of a partial file: renames it to `path` when `status` is success, else removes
  // it and reports `step` with `status` and errno `error` (0: none). The response status.
  int32_t finish_file(int32_t status, int error, const char* step, const std::string& partial,
                      const std::string& path);
  // Puts a complete partial file in place of `path`. An earlier file of that name trades places
  // with it and is removed only by remove_replaced(), after the response: freeing a large file
  // takes long enough to delay the response noticeably.
  bool move_into_place(const std::string& partial, const std::string& path);
  void remove_replaced();
  void answer(const char* service, int32_t command, int32_t status);
  // Reports a C-STORE request that carries no data set; the response status.
  int32_t refuse_without_data_set();

  const Settings& settings_;
  int32_t assoc_id_;
  int files_ = 0;
  bool stream_ = false;
  std::map<std::string, int32_t> syntaxes_;  // service name -> syntax or kSeveralSyntaxes
  std::string replaced_;  // the earlier file of an instance stored again, until it is removed
};

void AssociationWorker::plan_streaming() {
  ServiceInfo info;
  bool deflated = false;
  int32_t status = CV_Get_First_Acceptable_Service(assoc_id_, &info);
  while (status == CV_NORMAL_COMPLETION) {
    deflated = deflated || info.SyntaxType == DEFLATED_EXPLICIT_LITTLE_ENDIAN;
    const auto [entry, added] = syntaxes_.emplace(info.ServiceName, info.SyntaxType);
    if (!added && entry->second != info.SyntaxType) entry->second = kSeveralSyntaxes;
    status = CV_Get_Next_Acceptable_Service(assoc_id_, &info);
  }
  stream_ = status == CV_END_OF_LIST && !deflated;
  if (status != CV_END_OF_LIST) {
    report(stderr, "association %d: cannot list the accepted services: %s", assoc_id_,
           CV_Error_Message(status));
  }
}

int32_t AssociationWorker::stream_syntax(const std::string& service) const {
  const auto entry = syntaxes_.find(service);
  return entry == syntaxes_.end() || entry->second == kSeveralSyntaxes ? 0 : entry->second;
}

int32_t AssociationWorker::store(int32_t* msg_id) {
  if (!has_data_set_elements(*msg_id)) return refuse_without_data_set();
  std::string sop_class = tessel_tools::text_value(*msg_id, kAffectedClassTag);
  if (sop_class.empty()) sop_class = tessel_tools::text_value(*msg_id, kSopClassTag);
  std::string instance = tessel_tools::text_value(*msg_id, kAffectedInstanceTag);
  if (instance.empty()) instance = tessel_tools::text_value(*msg_id, kSopInstanceTag);
  if (!valid_uid(instance) || sop_class.empty()) {
    report(stderr, "association %d: C-STORE request without a usable SOP Instance UID (\"%s\")",
           assoc_id_, instance.c_str());
    return kStatusCannotUnderstand;
  }
  const std::string path = final_path(instance);
  const std::string partial = partial_path(path);
  int32_t status = prepare_file(*msg_id, path, sop_class, instance, EXPLICIT_LITTLE_ENDIAN);
  if (status != CV_NORMAL_COMPLETION) return finish_file(status, 0, "prepare", partial, path);
  CV_FILE_IO io;
  status = CV_File_IO_Open_Write(&io, partial.c_str());
  if (status == CV_NORMAL_COMPLETION) {
    status = CV_Write_File(*msg_id, 0, &io, CV_File_IO_Write);
    if (CV_File_IO_Close(&io) != CV_NORMAL_COMPLETION && status == CV_NORMAL_COMPLETION) {
      status = CV_CALLBACK_CANNOT_COMPLY;
    }
  }
  return finish_file(status, io.error, "write", partial, path);
}

std::string AssociationWorker::final_path(const std::string& instance) const {
  return settings_.output_dir + "/" + instance + ".dcm";
}

std::string AssociationWorker::partial_path(const std::string& path) const {
  // Two associations may carry the same instance at once: each writes its own partial file.
  return path + "." + std::to_string(assoc_id_) + ".part";
}

int32_t AssociationWorker::finish_file(int32_t status, int error, const char* step,
                                       const std::string& partial, const std::string& path) {
  // The file appears under its final name only once it is complete.
  if (status == CV_NORMAL_COMPLETION && !move_into_place(partial, path)) {
    error = errno;
    status = CV_CALLBACK_CANNOT_COMPLY;
  }
  if (status != CV_NORMAL_COMPLETION) {
    unlink(partial.c_str());
    report(stderr, "association %d: cannot %s %s: %s%s%s", assoc_id_, step, path.c_str(),
           CV_Error_Message(status), error != 0 ? ": " : "",
           error != 0 ? std::strerror(error) : "");
    return kStatusOutOfResources;
  }
  ++files_;
  report(stdout, "association %d: stored %s", assoc_id_, path.c_str());
  return 0;
}

bool AssociationWorker::move_into_place(const std::string& partial, const std::string& path) {
#ifdef RENAME_EXCHANGE
  struct stat existing {};
  if (lstat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode) &&
      renameat2(AT_FDCWD, partial.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) == 0) {
    replaced_ = partial;
    return true;
  }
#endif
  return std::rename(partial.c_str(), path.c_str()) == 0;
}

void AssociationWorker::remove_replaced() {
  if (replaced_.empty()) return;
  if (unlink(replaced_.c_str()) != 0) {
    report(stderr, "association %d: cannot remove %s: %s", assoc_id_, replaced_.c_str(),
           std::strerror(errno));
  }
  replaced_.clear();
}

int32_t AssociationWorker::prepare_file(int32_t msg_id, const std::string& path,
                                        const std::string& sop_class, const std::string& instance,
                                        int32_t syntax) {
  char syntax_uid[65] = {};
  int32_t status = CV_Message_To_File(msg_id, path.c_str());
  // The optional meta elements this acceptor has no values for are left out of the file.
  for (const uint32_t tag : kUnusedMetaTags) {
    if (status == CV_NORMAL_COMPLETION) status = CV_Delete_Attribute(msg_id, tag);
  }
  if (status == CV_NORMAL_COMPLETION) {
    status = CV_Set_Value_From_String(msg_id, kMetaSopClassTag, sop_class.c_str());
  }
  if (status == CV_NORMAL_COMPLETION) {
    status = CV_Set_Value_From_String(msg_id, kMetaInstanceTag, instance.c_str());
  }
  if (status == CV_NORMAL_COMPLETION) {
    status = CV_Get_Transfer_Syntax_From_Enum(syntax, syntax_uid, sizeof syntax_uid);
  }
  if (status == CV_NORMAL_COMPLETION) {
    status = CV_Set_Value_From_String(msg_id, kMetaSyntaxTag, syntax_uid);
  }
  return status;
}

int32_t AssociationWorker::store_streamed(int32_t* msg_id, int32_t syntax,
                                          const std::string& sop_class, const std::string& instance,
                                          bool* ended) {
  *ended = false;
  const std::string path = final_path(instance);
  const std::string partial = partial_path(path);
  // The header: preamble, prefix and meta information, written by the library from a file
  // object that holds nothing else (the command group goes when the message becomes a file).
  CV_FILE_IO io{};
  int32_t status = prepare_file(*msg_id, path, sop_class, instance, syntax);
  const char* failed_step = "prepare";
  if (status == CV_NORMAL_COMPLETION) {
    failed_step = "write";
    status = CV_File_IO_Open_Write(&io, partial.c_str());
  }
  if (status == CV_NORMAL_COMPLETION) status = CV_Write_File(*msg_id, 0, &io, CV_File_IO_Write);
  // The data set goes to the descriptor behind stdio's back: the header must be out of its
  // buffer first.
  if (status == CV_NORMAL_COMPLETION) {
    errno = 0;
    if (std::fflush(io.file) != 0) {
      io.error = errno != 0 ? errno : EIO;
      status = CV_CALLBACK_CANNOT_COMPLY;
    }
  }
  StreamTarget target;
  if (status == CV_NORMAL_COMPLETION) {
    target.fd = fileno(io.file);
  } else {
    // Nothing can be stored; the data set is still taken off the network.
    target.error = io.error != 0 ? io.error : EIO;
  }
  const int32_t read = CV_Continue_Read_Message_To_Stream(assoc_id_, *msg_id, &target, write_chunk);
  if (read != CV_NORMAL_COMPLETION) {
    CV_File_IO_Close(&io);
    unlink(partial.c_str());
    // The announced data set was empty, so the read did not stop after the command.
    if (read == CV_INVALID_MESSAGE_ID) return refuse_without_data_set();
    report(stdout, "association %d ended after %d file(s), in the data set of %s: %s", assoc_id_,
           files_, instance.c_str(), CV_Error_Message(read));
    *ended = true;
    return kStatusOutOfResources;
  }
  if (status == CV_NORMAL_COMPLETION && target.error != 0) {
    io.error = target.error;
    status = CV_CALLBACK_CANNOT_COMPLY;
  }
  if (CV_File_IO_Close(&io) != CV_NORMAL_COMPLETION && status == CV_NORMAL_COMPLETION) {
    status = CV_CALLBACK_CANNOT_COMPLY;
  }
  return finish_file(status, io.error != 0 ? io.error : target.error, failed_step, partial, path);
}

int32_t AssociationWorker::refuse_without_data_set() {
  report(stderr, "association %d: C-STORE request without a data set", assoc_id_);
  return kStatusCannotUnderstand;
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
  if (!settings_.decode) plan_streaming();
  while (assoc_id_ != CV_NO_ID) {
    if (g_stop.load()) {
      CV_Abort_Association(&assoc_id_);
      report(stdout, "association aborted on shutdown after %d file(s)", files_);
      break;
    }
    int32_t msg_id = CV_NO_ID;
    const char* service = nullptr;
    int32_t command = 0;
    const int32_t status =
        stream_ ? CV_Read_Message_To_Tag(assoc_id_, kWaitSlice, &msg_id, &service, &command,
                                         kCommandEnd)
                : CV_Read_Message(assoc_id_, kWaitSlice, &msg_id, &service, &command);
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
    if (stream_ && has_data_set(msg_id)) {
      const int32_t syntax = command == kStoreRequest ? stream_syntax(service_name) : 0;
      const std::string sop_class = tessel_tools::text_value(msg_id, kAffectedClassTag);
      const std::string instance = tessel_tools::text_value(msg_id, kAffectedInstanceTag);
      if (syntax != 0 && !sop_class.empty() && valid_uid(instance)) {
        bool ended = false;
        const int32_t result = store_streamed(&msg_id, syntax, sop_class, instance, &ended);
        if (!ended) answer(service_name.c_str(), kStoreResponse, result);
        remove_replaced();
        CV_Free_Message(&msg_id);
        if (ended) {
          // The association may still be there when the read failed without ending it.
          CV_Abort_Association(&assoc_id_);
          assoc_id_ = CV_NO_ID;
        }
        continue;
      }
      // Everything else is read whole, as without streaming. An empty data set leaves nothing
      // to continue with (CV_INVALID_MESSAGE_ID).
      const int32_t rest = CV_Continue_Read_Message(assoc_id_, msg_id);
      if (rest != CV_NORMAL_COMPLETION && rest != CV_INVALID_MESSAGE_ID) {
        report(stdout, "association %d ended after %d file(s): %s", assoc_id_, files_,
               CV_Error_Message(rest));
        CV_Free_Message(&msg_id);
        CV_Abort_Association(&assoc_id_);
        assoc_id_ = CV_NO_ID;
        break;
      }
    }
    if (command == kStoreRequest) {
      const int32_t result = store(&msg_id);
      answer(service_name.c_str(), kStoreResponse, result);
      remove_replaced();
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
    } else if (arg == "--decode") {
      settings.decode = true;
    } else if (arg == "--output-dir" && has_value) {
      settings.output_dir = argv[++i];
    } else if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      std::puts(
          "Accepts associations as --aet (default TESSEL_SCP) on --port (default "
          "TCPIP_LISTEN_PORT of the\nsystem profile) and --address (default every address), "
          "for every storage class in the native\nsyntaxes; writes each received data set to "
          "DIR as <SOP Instance UID>.dcm and answers C-STORE\nand C-ECHO requests. Data sets "
          "are stored byte for byte as they arrive, in the syntax they\ntravelled in. With "
          "--decode, or for a class accepted in several syntaxes at once, they are\nread "
          "whole and written in explicit VR little endian.\nUp to "
          "--threads N (default 4) associations are served at once. SIGINT or SIGTERM stops "
          "it.\n--ini PATH names the initialisation file (else TESSEL_INI, else the shipped "
          "one).\nExit status: 0 stopped by a signal, 1 failed, 2 bad arguments.");
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
