// The human-readable listing of a message, item, file or DICOMDIR.
#ifndef TESSEL_DATA_LISTING_HPP_
#define TESSEL_DATA_LISTING_HPP_

#include <cstdint>
#include <cstdio>

#include "core/status.hpp"

namespace tessel::data {

// Lists object `id` to `out`, or, when `out` is null, to the log at trace 2 (one raw line per
// listing line; nothing is built while trace 2 is off). An identifier that names nothing
// prints "Invalid message/item ID: %d" and returns `invalid_status`. Lines about private
// attributes without a valid creator are logged under `function`.
//
// Layout: attributes with at most one value (other than sequences) take one short line:
//   gggg,eeee VR |value|  (length) name
// with the value cut to 15 characters, or to 200 with " <Too big. Can't print>" when even that
// is too little. Attributes with several values and sequences take the long form: a heading
// line (name, VR, value count and VM bounds) and one line per value, long texts continued on
// further lines; items of sequences are listed inside their attribute, one level deeper.
Status write_listing(int32_t id, std::FILE* out, int32_t invalid_status, const char* function);

// As write_listing, to a file created (or truncated) under `file_name`, or to the log when
// `file_name` is null. CV_SYSTEM_ERROR when the file cannot be created ("Can't open %s").
Status list_to_file(int32_t id, const char* file_name, int32_t invalid_status,
                    const char* function);

}  // namespace tessel::data

#endif  // TESSEL_DATA_LISTING_HPP_
