// POSIX implementation of the platform services.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <new>

#include "platform/platform.hpp"
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>

namespace tessel::platform {

static_assert(sizeof(pthread_mutex_t) <= 64, "lock storage too small");

namespace {
pthread_mutex_t* native(unsigned char* storage) {
  return std::launder(reinterpret_cast<pthread_mutex_t*>(storage));
}
}  // namespace

void RecursiveMutex::create(int32_t spin_count) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_t* m = new (storage_) pthread_mutex_t;
  pthread_mutex_init(m, &attr);
  pthread_mutexattr_destroy(&attr);
  spin_count_ = spin_count > 0 ? spin_count : 0;
  created_ = true;
}

void RecursiveMutex::destroy() {
  if (!created_) return;
  pthread_mutex_destroy(native(storage_));
  created_ = false;
}

void RecursiveMutex::lock() {
  pthread_mutex_t* m = native(storage_);
  for (int32_t i = 0; i < spin_count_; ++i) {
    if (pthread_mutex_trylock(m) == 0) return;
    sched_yield();
  }
  pthread_mutex_lock(m);
}

void RecursiveMutex::unlock() {
  pthread_mutex_unlock(native(storage_));
}

bool RecursiveMutex::try_lock() {
  return pthread_mutex_trylock(native(storage_)) == 0;
}

uint64_t current_thread_id() {
  return static_cast<uint64_t>(syscall(SYS_gettid));
}

std::optional<std::string> get_env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::string current_directory() {
  char buffer[4096];
  if (getcwd(buffer, sizeof buffer) == nullptr) return {};
  std::string dir(buffer);
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

bool file_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool directory_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool rename_file(const std::string& from, const std::string& to) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

bool remove_file(const std::string& path) {
  return std::remove(path.c_str()) == 0;
}

std::string native_path(const std::string& path) {
  std::string result(path);
  for (char& c : result) {
    if (c == '\\') c = '/';
  }
  return result;
}

char path_list_separator() {
  return ':';
}

bool is_absolute_path(const std::string& path) {
  return !path.empty() && (path[0] == '/' || path[0] == '\\');
}

MappedFile::~MappedFile() {
  if (data_ != nullptr) munmap(const_cast<char*>(data_), size_);
}

bool MappedFile::open(const std::string& path) {
  const int fd = ::open(native_path(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    if (errno == 0) errno = EISDIR;
    return false;
  }
  size_ = static_cast<size_t>(st.st_size);
  if (size_ > 0) {
    void* mapped = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
    if (mapped == MAP_FAILED) {
      ::close(fd);
      size_ = 0;
      return false;
    }
    data_ = static_cast<const char*>(mapped);
  }
  ::close(fd);
  return true;
}

int64_t monotonic_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

LocalTime local_time_now() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm parts;
  time_t seconds = tv.tv_sec;
  localtime_r(&seconds, &parts);
  return LocalTime{parts.tm_year,
                   parts.tm_mon,
                   parts.tm_mday,
                   parts.tm_hour,
                   parts.tm_min,
                   parts.tm_sec,
                   static_cast<int>(tv.tv_usec / 10000)};
}

int last_error() {
  return errno;
}

}  // namespace tessel::platform
