// Network: Tessel's storage tools and association calls against DCMTK's, measured in the same run
// on 127.0.0.1.
//   1) 500 CT slices (512x512, 16-bit, explicit VR little endian), written once by DCMTK into a
//      scratch directory, sent over one association per run: the wall time of the sender process
//      from its start to its exit, with the acceptor already listening, for tessel-store and
//      storescu against tessel-storescp and storescp in every pairing.
//   2) A 400-frame image of 210 MB sent the same way, beside the loopback bandwidth of a plain
//      socket pair in this process and the same file copied over such a pair with plain system
//      calls (read at one end, written at the other).
//   3) Association open, C-ECHO and release in this process, with Tessel's C interface and with
//      DCMTK's dcmnet, against tessel-storescp and against storescp.
// Every figure is the best of a few rounds; the rounds of the different pairings interleave so
// that a busy moment of the machine does not hit one pairing alone.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_util.hpp"
#include "bench/dcmtk_images.hpp"
#include <arpa/inet.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dimse.h>
#include <linux/magic.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/wait.h>

#include "tessel/tessel.h"

extern char** environ;

namespace {

using namespace tessel::bench;

using Clock = std::chrono::steady_clock;

constexpr int kSlices = 500;
constexpr uint32_t kLargeFrames = 400;
constexpr uint64_t kLoopbackBytes = uint64_t{2} << 30;
constexpr size_t kLoopbackChunk = size_t{1} << 20;
constexpr const char* kTesselTitle = "TESSEL_SCP";
constexpr const char* kDcmtkTitle = "DCMTK_SCP";
constexpr const char* kLoopback = "127.0.0.1";

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// ---- Workloads, written by DCMTK ----------------------------------------------------------------

// The slices differ in SOP Instance UID, instance number and position.
bool write_slices(const std::string& dir, std::vector<std::string>* paths) {
  DcmFileFormat file;
  DcmDataset& ds = *file.getDataset();
  put_ct_header(ds, 1);
  if (!add_pixels(ds, 1)) return false;
  for (int i = 0; i < kSlices; ++i) {
    const std::string n = std::to_string(i + 1);
    put(ds, DCM_SOPInstanceUID, ("1.2.826.0.1.3680043.8.498.20240611.1.1." + n).c_str());
    put(ds, DCM_InstanceNumber, n.c_str());
    put(ds, DCM_SliceLocation, std::to_string(-250.0 + i).c_str());
    paths->push_back(dir + "/ct" + n + ".dcm");
    if (!save(file, paths->back())) return false;
  }
  return true;
}

bool write_large(const std::string& path) {
  DcmFileFormat file;
  DcmDataset& ds = *file.getDataset();
  put_ct_header(ds, kLargeFrames);
  put(ds, DCM_SOPInstanceUID, "1.2.826.0.1.3680043.8.498.20240611.9.1");
  return add_pixels(ds, kLargeFrames) && save(file, path);
}

// ---- Processes ----------------------------------------------------------------------------------

// This process's environment without TCP_NODELAY, plus `extra` ("NAME=value").
std::vector<std::string> environment(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "TCP_NODELAY=", 12) != 0) env.emplace_back(*entry);
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> list;
  for (std::string& text : texts) list.push_back(text.data());
  list.push_back(nullptr);
  return list;
}

// Starts argv[0] (searched in PATH when it has no slash) with standard output and error appended
// to `log`; -1 on failure.
pid_t spawn(std::vector<std::string> argv, std::vector<std::string> env, const std::string& log) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  std::vector<char*> args = pointers(argv);
  std::vector<char*> vars = pointers(env);
  pid_t pid = -1;
  const int failed = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), vars.data());
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) {
    std::fprintf(stderr, "cannot start %s: %s\n", args[0], std::strerror(failed));
    return -1;
  }
  return pid;
}

// Exit status of a child, -1 when it did not exit normally; *cpu_seconds (when given) receives
// the processor time, user and system, it used.
int wait_exit(pid_t pid, double* cpu_seconds = nullptr) {
  int status = 0;
  struct rusage usage {};
  if (::wait4(pid, &status, 0, &usage) != pid) return -1;
  if (cpu_seconds != nullptr) {
    *cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A port nobody listens on right now.
int free_port() {
  const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = -1;
  if (::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(probe);
  return port;
}

// Whether a socket of this machine listens on `port`, from the kernel's tables: a probing
// connection would count as an association attempt at the acceptor.
bool listening(int port) {
  char wanted[8];
  std::snprintf(wanted, sizeof wanted, ":%04X", static_cast<unsigned>(port));
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // column titles
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state;
      fields >> slot >> local >> remote >> state;
      if (state == "0A" && local.size() > 5 && local.compare(local.size() - 5, 5, wanted) == 0) {
        return true;
      }
    }
  }
  return false;
}

size_t count_files(const std::string& dir) {
  size_t n = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) n += entry.is_regular_file();
  return n;
}

void empty_dir(const std::string& dir) {
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::filesystem::remove_all(entry.path());
  }
}

struct Tools {
  std::string ini;
  std::string log;  // where the children's output goes
  std::vector<std::string> nodelay;
  std::vector<std::string> plain;
};

enum class Side { kTessel, kDcmtk };

struct AcceptorSetup {
  Side side;
  const std::vector<std::string>* env;
  bool ignore = false;  // storescp --ignore: receive, do not write
};

// An acceptor process on a free port, listening once start() returned true.
class Acceptor {
 public:
  Acceptor(const Tools& tools, const AcceptorSetup& setup, const std::string& out)
      : tools_(tools), setup_(setup), out_(out) {}
  ~Acceptor() { stop(); }
  Acceptor(const Acceptor&) = delete;
  Acceptor& operator=(const Acceptor&) = delete;

  bool start() {
    port_ = free_port();
    const std::string port = std::to_string(port_);
    std::vector<std::string> argv;
    if (setup_.side == Side::kTessel) {
      argv = {
          TESSEL_BENCH_STORESCP, "--ini",   tools_.ini,     "--aet", kTesselTitle, "--port", port,
          "--address",           kLoopback, "--output-dir", out_};
    } else {
      argv = {"storescp", "-aet", kDcmtkTitle, "-od", out_};
      if (setup_.ignore) argv.emplace_back("--ignore");
      argv.push_back(port);
    }
    pid_ = spawn(argv, *setup_.env, tools_.log);
    if (pid_ < 0) return false;
    const auto start = Clock::now();
    while (seconds_since(start) < 10.0) {
      if (listening(port_)) return true;
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::fprintf(stderr, "%s did not start listening on port %d (see %s)\n", argv[0].c_str(), port_,
                 tools_.log.c_str());
    return false;
  }

  // Stops the acceptor; the processor time it used over its life, or -1 when not running.
  double stop() {
    if (pid_ < 0) return -1;
    ::kill(pid_, SIGTERM);
    double cpu = -1;
    (void)wait_exit(pid_, &cpu);
    pid_ = -1;
    return cpu;
  }

  int port() const { return port_; }
  const char* title() const { return setup_.side == Side::kTessel ? kTesselTitle : kDcmtkTitle; }

 private:
  const Tools& tools_;
  AcceptorSetup setup_;
  std::string out_;
  int port_ = -1;
  pid_t pid_ = -1;
};

struct SenderSetup {
  Side side;
  const std::vector<std::string>* env;
};

// Runs the sender once against a listening acceptor; the wall time in seconds from its start to
// its exit, or -1 when it failed. *cpu_seconds receives the sender's processor time.
double send_files(const Tools& tools, const SenderSetup& sender, const Acceptor& acceptor,
                  const std::vector<std::string>& files, double* cpu_seconds) {
  const std::string port = std::to_string(acceptor.port());
  std::vector<std::string> argv;
  if (sender.side == Side::kTessel) {
    argv = {TESSEL_BENCH_STORE, "--ini", tools.ini, "--aec", acceptor.title(), kLoopback, port};
  } else {
    argv = {"storescu", "-aet", "DCMTK_SCU", "-aec", acceptor.title(), kLoopback, port};
  }
  argv.insert(argv.end(), files.begin(), files.end());
  const auto start = Clock::now();
  const pid_t pid = spawn(argv, *sender.env, tools.log);
  if (pid < 0) return -1;
  const int exit_code = wait_exit(pid, cpu_seconds);
  const double seconds = seconds_since(start);
  if (exit_code != 0) {
    std::fprintf(stderr, "%s exited with %d (see %s)\n", argv[0].c_str(), exit_code,
                 tools.log.c_str());
    return -1;
  }
  return seconds;
}

// One run: the sender's wall time, and the processor time (user and system) of the sender and
// of the acceptor over its whole life, its start-up included.
struct Run {
  double seconds;
  double sender_cpu;
  double acceptor_cpu;
};

struct Pairing {
  std::string name;
  SenderSetup sender;
  AcceptorSetup acceptor;
  std::vector<Run> runs;  // one per round

  // The fastest run.
  Run best() const {
    Run fastest{-1, -1, -1};
    for (const Run& run : runs) {
      if (fastest.seconds < 0 || run.seconds < fastest.seconds) fastest = run;
    }
    return fastest;
  }
  double median() const {
    std::vector<double> sorted;
    for (const Run& run : runs) sorted.push_back(run.seconds);
    std::sort(sorted.begin(), sorted.end());
    return sorted.empty() ? -1 : sorted[sorted.size() / 2];
  }
};

// Runs every pairing `rounds` times, interleaved; each run starts a fresh acceptor on an empty
// output directory and checks that every file arrived.
bool run_pairings(const Tools& tools, std::vector<Pairing>& pairings,
                  const std::vector<std::string>& files, const std::string& out, int rounds) {
  for (int round = 0; round < rounds; ++round) {
    for (Pairing& pairing : pairings) {
      empty_dir(out);
      ::sync();
      Acceptor acceptor(tools, pairing.acceptor, out);
      if (!acceptor.start()) return false;
      double sender_cpu = -1;
      const double seconds = send_files(tools, pairing.sender, acceptor, files, &sender_cpu);
      const double acceptor_cpu = acceptor.stop();
      const size_t expected = pairing.acceptor.ignore ? 0 : files.size();
      const size_t arrived = count_files(out);
      if (seconds < 0 || arrived != expected) {
        std::fprintf(stderr, "%s: %zu of %zu files arrived\n", pairing.name.c_str(), arrived,
                     expected);
        return false;
      }
      pairing.runs.push_back(Run{seconds, sender_cpu, acceptor_cpu});
    }
  }
  empty_dir(out);
  return true;
}

// ---- Loopback bandwidth -------------------------------------------------------------------------

// Seconds to move `bytes` from one thread to another over a TCP connection on 127.0.0.1, in
// calls of `chunk` bytes, with the system's socket buffer sizes; -1 on failure. With `copy` the
// bytes are those of copy->from, read with pread, and the receiver writes them into copy->to: a
// file copied over the loopback with plain system calls and nothing else, the least work any
// transfer that reads the file at one end and writes it at the other does with these calls.
struct FileCopy {
  std::string from;
  std::string to;
};

double loopback_seconds(uint64_t bytes, size_t chunk, const FileCopy* copy = nullptr) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 1) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(listener);
    return -1;
  }
  const int input = copy != nullptr ? ::open(copy->from.c_str(), O_RDONLY) : -1;
  const int output =
      copy != nullptr ? ::open(copy->to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644) : -1;
  std::atomic<uint64_t> received{0};
  std::atomic<bool> written{true};
  std::thread reader([&] {
    const int socket = ::accept(listener, nullptr, nullptr);
    if (socket < 0) return;
    std::vector<uint8_t> buffer(chunk);
    ssize_t got = 0;
    uint64_t total = 0;
    while ((got = ::recv(socket, buffer.data(), buffer.size(), 0)) > 0) {
      total += static_cast<uint64_t>(got);
      if (output >= 0 && ::write(output, buffer.data(), static_cast<size_t>(got)) != got) {
        written = false;
      }
    }
    received = total;
    ::close(socket);
  });
  const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
  std::vector<uint8_t> source(chunk);
  for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<uint8_t>(i * 7);
  const auto start = Clock::now();
  bool ok = ::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            (copy == nullptr || (input >= 0 && output >= 0));
  for (uint64_t sent = 0; ok && sent < bytes;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk, bytes - sent));
    if (input >= 0) {
      ok = ::pread(input, source.data(), n, static_cast<off_t>(sent)) == static_cast<ssize_t>(n);
    }
    size_t done = 0;
    while (ok && done < n) {
      const ssize_t w = ::send(socket, source.data() + done, n - done, MSG_NOSIGNAL);
      ok = w > 0;
      done += ok ? static_cast<size_t>(w) : 0;
    }
    sent += done;
  }
  ::shutdown(socket, SHUT_WR);
  reader.join();
  const double seconds = seconds_since(start);
  ::close(socket);
  ::close(listener);
  if (input >= 0) ::close(input);
  if (output >= 0) ::close(output);
  if (copy != nullptr) ::unlink(copy->to.c_str());
  return ok && written && received == bytes ? seconds : -1;
}

// ---- Association open + C-ECHO + release, in this process ------------------------------------

constexpr int32_t kEchoRequest = 0x0030;
constexpr int32_t kEchoResponse = 0x8030;
constexpr uint32_t kStatusTag = 0x00000900;

// One association with Tessel's C interface; false on any failure.
bool tessel_echo(int32_t app_id, const char* title, int32_t port) {
  int32_t assoc_id = CV_NO_ID;
  int32_t status =
      CV_Open_Association(app_id, &assoc_id, title, &port, kLoopback, "ECHO_SERVICE_LIST");
  if (status != CV_NORMAL_COMPLETION) {
    std::fprintf(stderr, "CV_Open_Association: %s\n", CV_Error_Message(status));
    return false;
  }
  int32_t request = CV_NO_ID;
  int32_t response = CV_NO_ID;
  int32_t command = 0;
  int32_t dimse_status = -1;
  status = CV_Open_Message(&request, "STANDARD_ECHO", kEchoRequest);
  if (status == CV_NORMAL_COMPLETION) status = CV_Send_Request_Message(assoc_id, request);
  if (status == CV_NORMAL_COMPLETION) {
    status = CV_Read_Message(assoc_id, 30, &response, nullptr, &command);
  }
  if (status == CV_NORMAL_COMPLETION)
    status = CV_Get_Value_To_Int(response, kStatusTag, &dimse_status);
  if (request != CV_NO_ID) CV_Free_Message(&request);
  if (response != CV_NO_ID) CV_Free_Message(&response);
  const bool answered =
      status == CV_NORMAL_COMPLETION && command == kEchoResponse && dimse_status == 0;
  if (!answered) {
    std::fprintf(stderr, "Tessel C-ECHO: %s\n", CV_Error_Message(status));
    if (assoc_id != CV_NO_ID) CV_Abort_Association(&assoc_id);
    return false;
  }
  status = CV_Close_Association(&assoc_id);
  if (status != CV_NORMAL_COMPLETION) {
    std::fprintf(stderr, "CV_Close_Association: %s\n", CV_Error_Message(status));
    return false;
  }
  return true;
}

// One association with DCMTK's dcmnet; false on any failure.
bool dcmtk_echo(T_ASC_Network* network, const char* title, int port, DIC_US message_id) {
  T_ASC_Parameters* params = nullptr;
  if (ASC_createAssociationParameters(&params, ASC_DEFAULTMAXPDU).bad()) return false;
  const std::string peer = std::string(kLoopback) + ":" + std::to_string(port);
  const char* syntaxes[] = {UID_LittleEndianExplicitTransferSyntax,
                            UID_LittleEndianImplicitTransferSyntax};
  ASC_setAPTitles(params, "DCMTK_SCU", title, nullptr);
  ASC_setPresentationAddresses(params, "localhost", peer.c_str());
  ASC_addPresentationContext(params, 1, UID_VerificationSOPClass, syntaxes, 2);
  T_ASC_Association* assoc = nullptr;
  OFCondition result = ASC_requestAssociation(network, params, &assoc);
  if (result.bad()) {
    std::fprintf(stderr, "ASC_requestAssociation: %s\n", result.text());
    if (assoc != nullptr) {
      ASC_destroyAssociation(&assoc);
    } else {
      ASC_destroyAssociationParameters(&params);
    }
    return false;
  }
  DIC_US status = 0xFFFF;
  DcmDataset* detail = nullptr;
  result = ASC_countAcceptedPresentationContexts(params) == 1
               ? DIMSE_echoUser(assoc, message_id, DIMSE_BLOCKING, 0, &status, &detail)
               : makeOFCondition(0, 1, OF_error, "no accepted context");
  delete detail;
  if (result.good() && status == 0) result = ASC_releaseAssociation(assoc);
  const bool ok = result.good() && status == 0;
  if (!ok) {
    std::fprintf(stderr, "DCMTK C-ECHO: %s\n", result.text());
    ASC_abortAssociation(assoc);
  }
  ASC_destroyAssociation(&assoc);
  return ok;
}

// Mean seconds per association over `n` rounds of `once`; -1 when one failed.
double mean_seconds(int n, const std::function<bool()>& once) {
  const auto start = Clock::now();
  for (int i = 0; i < n; ++i) {
    if (!once()) return -1;
  }
  return seconds_since(start) / n;
}

// ---- The three parts ----------------------------------------------------------------------------

const char* verdict(bool met) {
  return met ? "met" : "MISSED";
}

struct Setups {
  explicit Setups(const Tools& tools)
      : tessel_store{Side::kTessel, &tools.plain},
        storescu_nodelay{Side::kDcmtk, &tools.nodelay},
        storescu_plain{Side::kDcmtk, &tools.plain},
        tessel_scp{Side::kTessel, &tools.plain},
        storescp_nodelay{Side::kDcmtk, &tools.nodelay},
        storescp_plain{Side::kDcmtk, &tools.plain},
        storescp_ignore{Side::kDcmtk, &tools.nodelay, true} {}
  SenderSetup tessel_store;
  SenderSetup storescu_nodelay;
  SenderSetup storescu_plain;
  AcceptorSetup tessel_scp;
  AcceptorSetup storescp_nodelay;
  AcceptorSetup storescp_plain;
  AcceptorSetup storescp_ignore;
};

bool slices_part(const Tools& tools, const Setups& s, const std::vector<std::string>& slices,
                 const std::string& out, int rounds) {
  uint64_t bytes = 0;
  for (const std::string& path : slices) bytes += file_size(path);
  std::vector<Pairing> rows = {
      {"tessel-store -> tessel-storescp", s.tessel_store, s.tessel_scp, {}},
      {"storescu -> storescp", s.storescu_nodelay, s.storescp_nodelay, {}},
      {"storescu -> storescp, default", s.storescu_plain, s.storescp_plain, {}},
      {"tessel-store -> storescp", s.tessel_store, s.storescp_nodelay, {}},
      {"storescu -> tessel-storescp", s.storescu_nodelay, s.tessel_scp, {}},
      {"tessel-store -> storescp --ignore", s.tessel_store, s.storescp_ignore, {}},
      {"storescu -> storescp --ignore", s.storescu_nodelay, s.storescp_ignore, {}},
  };
  if (!run_pairings(tools, rows, slices, out, rounds)) return false;
  const double mb = static_cast<double>(bytes) / 1e6;
  const double count = static_cast<double>(slices.size());
  std::printf("1) %zu CT slices 512x512x16, CT Image Storage, explicit VR little endian,\n",
              slices.size());
  std::printf("   %.1f MB in all (%llu bytes each), one association per run\n", mb,
              static_cast<unsigned long long>(bytes / slices.size()));
  std::printf("   %-34s %7s %8s %8s %7s %7s %7s\n", "sender -> acceptor", "best s", "median s",
              "files/s", "MB/s", "snd cpu", "acc cpu");
  for (const Pairing& row : rows) {
    const Run best = row.best();
    std::printf("   %-34s %7.3f %8.3f %8.1f %7.1f %7.3f %7.3f\n", row.name.c_str(), best.seconds,
                row.median(), count / best.seconds, mb / best.seconds, best.sender_cpu,
                best.acceptor_cpu);
  }
  const double nodelay_ratio = rows[1].best().seconds / rows[0].best().seconds;
  const double plain_ratio = rows[2].best().seconds / rows[0].best().seconds;
  std::printf(
      "   tessel->tessel files/s over DCMTK->DCMTK, TCP_NODELAY=1: %5.2f  target >= 2.00 %s\n",
      nodelay_ratio, verdict(nodelay_ratio >= 2.0));
  std::printf("   tessel->tessel files/s over DCMTK->DCMTK, default:       %5.2f\n\n", plain_ratio);
  return true;
}

bool large_part(const Tools& tools, const Setups& s, const std::string& large,
                const std::string& out, int rounds) {
  double loopback = 1e300;
  double plain_copy = 1e300;
  const FileCopy copy{large, out + "/plain-copy.bin"};
  for (int round = 0; round < rounds; ++round) {
    const double seconds = loopback_seconds(kLoopbackBytes, kLoopbackChunk);
    const double copied = loopback_seconds(file_size(large), kLoopbackChunk, &copy);
    if (seconds < 0 || copied < 0) {
      std::fprintf(stderr, "loopback transfer failed\n");
      return false;
    }
    loopback = std::min(loopback, seconds);
    plain_copy = std::min(plain_copy, copied);
  }
  const double loopback_rate = static_cast<double>(kLoopbackBytes) / 1e6 / loopback;
  std::vector<Pairing> rows = {
      {"tessel-store -> tessel-storescp", s.tessel_store, s.tessel_scp, {}},
      {"tessel-store -> storescp --ignore", s.tessel_store, s.storescp_ignore, {}},
      {"storescu -> storescp", s.storescu_nodelay, s.storescp_nodelay, {}},
      {"storescu -> storescp --ignore", s.storescu_nodelay, s.storescp_ignore, {}},
  };
  if (!run_pairings(tools, rows, {large}, out, rounds)) return false;
  const double mb = static_cast<double>(file_size(large)) / 1e6;
  std::printf("2) loopback TCP, 2 GiB in 1 MiB send() calls between two threads: %.0f MB/s\n",
              loopback_rate);
  std::printf("   one %u-frame 512x512x16 image, %.1f MB, multi-frame word SC\n", kLargeFrames, mb);
  std::printf("   %-34s %7s %8s %8s %7s %7s %7s\n", "sender -> acceptor", "best s", "median s",
              "MB/s", "/loopbk", "snd cpu", "acc cpu");
  for (const Pairing& row : rows) {
    const Run best = row.best();
    const double rate = mb / best.seconds;
    std::printf("   %-34s %7.3f %8.3f %8.1f %7.3f %7.3f %7.3f\n", row.name.c_str(), best.seconds,
                row.median(), rate, rate / loopback_rate, best.sender_cpu, best.acceptor_cpu);
  }
  // The same file copied with plain system calls between two threads, 1 MiB at a time: what is
  // left of the loopback once a file is read at one end and written at the other.
  const double copy_rate = mb / plain_copy;
  std::printf("   %-34s %7.3f %8s %8.1f %7.3f\n", "plain copy: pread/send/recv/write", plain_copy,
              "", copy_rate, copy_rate / loopback_rate);
  const double fraction = mb / rows[0].best().seconds / loopback_rate;
  std::printf("   tessel-store -> tessel-storescp at %.3f of loopback  target >= 0.50 %s\n",
              fraction, verdict(fraction >= 0.5));
  std::printf("   tessel-store -> tessel-storescp at %.3f of the plain copy\n\n",
              mb / rows[0].best().seconds / copy_rate);
  return true;
}

bool echo_part(const Tools& tools, const Setups& s, const std::string& out, int rounds,
               int echo_count) {
  // This process's DCMTK requestor disables Nagle as the tools do.
  ::setenv("TCP_NODELAY", "1", 1);
  CV_Set_TesselINI(tools.ini.c_str());
  int32_t app_id = CV_NO_ID;
  if (CV_Library_Initialization(nullptr, nullptr, nullptr) != CV_NORMAL_COMPLETION ||
      CV_Register_Application(&app_id, "TESSEL_SCU") != CV_NORMAL_COMPLETION) {
    std::fprintf(stderr, "cannot initialise the library\n");
    return false;
  }
  T_ASC_Network* network = nullptr;
  if (ASC_initializeNetwork(NET_REQUESTOR, 0, 30, &network).bad()) {
    std::fprintf(stderr, "cannot initialise DCMTK's network\n");
    CV_Release_Application(&app_id);
    CV_Library_Release();
    return false;
  }
  struct EchoRow {
    const char* name;
    AcceptorSetup acceptor;
    double tessel = 1e300;
    double dcmtk = 1e300;
  };
  EchoRow rows[] = {{"tessel-storescp", s.tessel_scp}, {"storescp", s.storescp_nodelay}};
  bool ok = true;
  DIC_US message_id = 0;
  for (EchoRow& row : rows) {
    Acceptor acceptor(tools, row.acceptor, out);
    ok = acceptor.start();
    const char* title = acceptor.title();
    const int32_t port = acceptor.port();
    const auto tessel_once = [&] { return tessel_echo(app_id, title, port); };
    const auto dcmtk_once = [&] { return dcmtk_echo(network, title, port, ++message_id); };
    // A few untimed associations first, so that both meet a warm acceptor.
    ok = ok && mean_seconds(10, tessel_once) > 0 && mean_seconds(10, dcmtk_once) > 0;
    for (int round = 0; ok && round < rounds; ++round) {
      const double tessel = mean_seconds(echo_count, tessel_once);
      const double dcmtk = mean_seconds(echo_count, dcmtk_once);
      ok = tessel > 0 && dcmtk > 0;
      row.tessel = std::min(row.tessel, tessel);
      row.dcmtk = std::min(row.dcmtk, dcmtk);
    }
    if (!ok) break;
  }
  ASC_dropNetwork(&network);
  CV_Release_Application(&app_id);
  CV_Library_Release();
  if (!ok) {
    std::fprintf(stderr, "an association failed\n");
    return false;
  }
  std::printf("3) association open + C-ECHO + release in this process, %d in a row, best mean\n",
              echo_count);
  std::printf("   of %d rounds; Tessel: CV_Open_Association (ECHO_SERVICE_LIST), C-ECHO,\n",
              rounds);
  std::printf("   CV_Close_Association; DCMTK: ASC_requestAssociation, DIMSE_echoUser,\n");
  std::printf("   ASC_releaseAssociation (TCP_NODELAY=1)\n");
  std::printf("   %-20s %12s %12s %8s\n", "acceptor", "tessel ms", "dcmtk ms", "ratio");
  for (const EchoRow& row : rows) {
    std::printf("   %-20s %12.3f %12.3f %8.2f\n", row.name, row.tessel * 1e3, row.dcmtk * 1e3,
                row.tessel / row.dcmtk);
  }
  // As for files/s: each toolkit at both ends.
  const double pair = rows[0].tessel / rows[1].dcmtk;
  std::printf("   Tessel -> tessel-storescp over DCMTK -> storescp: %.2f  target <= 0.70 %s\n",
              pair, verdict(pair <= 0.7));
  return true;
}

// Whether the directory lies on a file system kept in memory.
bool is_memory_file_system(const std::string& dir) {
  struct statfs info {};
  return ::statfs(dir.c_str(), &info) == 0 && info.f_type == TMPFS_MAGIC;
}

// Where the acceptors' output directory is made: TESSEL_BENCH_OUTPUT when set, else /dev/shm
// when it is a tmpfs with room for the largest part's files, else the system's /tmp.
std::string output_parent() {
  if (const char* chosen = std::getenv("TESSEL_BENCH_OUTPUT"); chosen != nullptr && *chosen) {
    return chosen;
  }
  constexpr uint64_t kRoomNeeded = uint64_t{1} << 30;
  struct statvfs space {};
  if (is_memory_file_system("/dev/shm") && ::statvfs("/dev/shm", &space) == 0 &&
      static_cast<uint64_t>(space.f_bavail) * space.f_frsize >= kRoomNeeded) {
    return "/dev/shm";
  }
  return "/tmp";
}

// Writes the freshly made input files to disk before anything is timed: left dirty, they are
// written back half a minute later, in the middle of the measured runs.
void settle_inputs() {
  ::sync();
}

}  // namespace

int main(int argc, char** argv) {
  // Optional arguments: rounds per figure (default 3), associations per echo figure (300) and
  // the parts to run (default "123"), for short runs while profiling.
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const int echo_count = argc > 2 ? std::max(1, std::atoi(argv[2])) : 300;
  const std::string parts = argc > 3 ? argv[3] : "123";
  const auto wanted = [&](char part) { return parts.find(part) != std::string::npos; };

  // The tools and this process keep their log files in the scratch directory.
  const tessel::bench::ScratchDir scratch("tessel_net_bench");
  if (scratch.path().empty()) return 1;
  const std::string dir = scratch.path();
  const std::string in = dir + "/in";
  std::filesystem::create_directory(in);
  // The acceptors write into memory (tmpfs) when the machine has room there: on a disk, the
  // files of earlier runs make the next ones slower for reasons of the file system's own (inodes
  // freed moments ago are skipped one by one when new files are created, and write-back of the
  // gigabytes written throttles later runs), which says nothing about either toolkit and blurs
  // their ratio. TESSEL_BENCH_OUTPUT names another parent directory, a disk one for instance.
  const std::string out_parent = output_parent();
  const tessel::bench::ScratchDir out_scratch("tessel_net_bench_out", out_parent, false);
  if (out_scratch.path().empty()) return 1;
  const std::string out = out_scratch.path();

  Tools tools;
  tools.ini = TESSEL_BENCH_ETC_DIR "/tessel.ini";
  tools.log = dir + "/children.log";
  tools.nodelay = environment({"TCP_NODELAY=1"});
  tools.plain = environment({});
  const Setups setups(tools);

  std::printf(
      "Network, 127.0.0.1, scratch directory %s; MB = 10^6 bytes.\n"
      "Tessel: %s and tessel-storescp with %s.\n"
      "DCMTK: storescu and storescp from PATH with their defaults; the environment of both\n"
      "holds TCP_NODELAY=1 unless a row says \"default\" (then it holds no TCP_NODELAY).\n"
      "Acceptors write into %s (%s); storescp --ignore receives without writing.\n"
      "Times: wall time of the sender process from its start to its exit, best of %d rounds\n"
      "(median beside it); a fresh acceptor listens before each start. cpu: processor seconds\n"
      "(user + system) of the sender and of the acceptor (start-up included) in the best run.\n\n",
      dir.c_str(), TESSEL_BENCH_STORE, tools.ini.c_str(), out.c_str(),
      is_memory_file_system(out_parent) ? "in memory, tmpfs" : "not tmpfs", rounds);

  if (wanted('1')) {
    std::vector<std::string> slices;
    if (!write_slices(in, &slices)) return 1;
    settle_inputs();
    if (!slices_part(tools, setups, slices, out, rounds)) return 1;
  }
  if (wanted('2')) {
    const std::string large = dir + "/large.dcm";
    if (!write_large(large)) return 1;
    settle_inputs();
    if (!large_part(tools, setups, large, out, rounds)) return 1;
  }
  if (wanted('3') && !echo_part(tools, setups, out, rounds, echo_count)) return 1;
  return 0;
}
