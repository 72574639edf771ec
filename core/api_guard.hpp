// The guard every exported function runs its body in: the initialised check, then the body with
// every exception kept inside the library.
#ifndef TESSEL_CORE_API_GUARD_HPP_
#define TESSEL_CORE_API_GUARD_HPP_

#include <exception>
#include <new>

#include "core/state.hpp"
#include "core/status.hpp"
#include "log/log.hpp"

namespace tessel::api {

// Runs `body` (returning Status) without the initialised check. Out-of-memory becomes
// CV_SYSTEM_ERROR with its log line; any other exception an "Internal error, " line.
template <typename Body>
int32_t call_uninitialised(const char* function, Body&& body) noexcept {
  try {
    return body().code();
  } catch (const std::bad_alloc&) {
    log::write(function, log::kError, "Unable to allocate memory");
    return CV_SYSTEM_ERROR;
  } catch (const std::exception& e) {
    log::write(function, log::kError, "Internal error, %s", e.what());
    return CV_SYSTEM_ERROR;
  } catch (...) {
    log::write(function, log::kError, "Internal error, unexpected exception");
    return CV_SYSTEM_ERROR;
  }
}

// Runs `body` after the initialised check.
template <typename Body>
int32_t call(const char* function, Body&& body) noexcept {
  if (!core::is_initialised()) return CV_LIBRARY_NOT_INITIALIZED;
  return call_uninitialised(function, static_cast<Body&&>(body));
}

}  // namespace tessel::api

#endif  // TESSEL_CORE_API_GUARD_HPP_
