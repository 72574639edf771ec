// Helpers shared by the negotiation sources.
#ifndef TESSEL_NET_NEGOTIATION_INTERNAL_HPP_
#define TESSEL_NET_NEGOTIATION_INTERNAL_HPP_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/application.hpp"

#include "tessel/tessel_core.h"

namespace tessel::net {

// Copies a text into a fixed field, cut to the field and always terminated.
template <size_t N>
void copy_text(char (&field)[N], const char* text) {
  size_t n = 0;
  if (text != nullptr) {
    while (n + 1 < N && text[n] != '\0') ++n;
    std::memcpy(field, text, n);
  }
  field[n] = '\0';
}

std::string format_text(const char* format, ...) CV_PRINTF_FORMAT(1, 2);

// The registry of CV_Set_Negotiation_Info through the installed functions; the caller holds
// the application's extended-negotiation lock.
bool has_registered_negotiation(const core::Application& app);
bool find_registered_negotiation(const core::Application& app, const char* sop_class_uid,
                                 const uint8_t** data, uint32_t* length);

}  // namespace tessel::net

#endif  // TESSEL_NET_NEGOTIATION_INTERNAL_HPP_
