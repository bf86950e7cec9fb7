// Date text reader and writer: any text either converts or raises the conversion error with the
// date untouched, never reading past its terminator; any client date gives at most 19 characters.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "framework/SysUtils.h"
#include "ibdb/IbDB.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The text up to its first NUL, in a block of exactly that size, so that any read past the
  // terminator is caught.
  size_t length = strnlen(reinterpret_cast<const char*>(data), size);
  std::vector<char> text(data, data + length);
  text.push_back('\0');
  const ISC_QUAD untouched{0x1234, 0x5678};
  ISC_QUAD date = untouched;
  try {
    IbDB::IBTMToDate(&date, text.data());
  } catch (const Framework::EConvertError&) {
    if (date.gds_quad_high != untouched.gds_quad_high ||
        date.gds_quad_low != untouched.gds_quad_low) {
      std::abort();
    }
  }

  if (size >= sizeof(ISC_QUAD)) {
    ISC_QUAD value;
    std::memcpy(&value, data, sizeof(value));
    value.gds_quad_low %= 864000000u;  // the client's time of day is below one day
    char out[20 + 8];
    std::memset(out, '#', sizeof(out));
    IbDB::IBDateToTM(&value, out);
    if (strnlen(out, 20) > 19 || out[20] != '#') std::abort();
  }
  return 0;
}
