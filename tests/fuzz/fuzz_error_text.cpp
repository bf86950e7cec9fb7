// Error text into a bounded buffer: any well-formed status vector and any buffer size keep the
// text within the size, NUL-terminated, with the earlier text in front.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ibdb/IbDB.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const size_t bufferSize = (data[0] | (data[1] << 8)) % 1200;
  const size_t prefixLength = data[2] % 64;
  size_t pos = 3;
  auto take = [&](size_t n) {
    std::string s;
    while (n-- > 0 && pos < size) s += static_cast<char>(data[pos++] | 1);  // no NUL inside
    return s;
  };
  const std::string prefix = take(prefixLength);

  // A vector of up to six messages, each a code of the client with its arguments.
  static const ISC_STATUS kCodes[] = {isc_random,   isc_bad_db_handle, isc_dsql_command_err,
                                      isc_io_error, isc_convert_error, isc_att_shutdown};
  std::vector<std::string> strings;
  strings.reserve(16);
  ISC_STATUS status[20] = {};
  int n = 0;
  while (pos < size && n + 5 < 20) {
    const uint8_t choice = data[pos++];
    const ISC_STATUS code = kCodes[choice % 6];
    status[n++] = isc_arg_gds;
    status[n++] = code;
    if (code == isc_random || code == isc_convert_error || code == isc_io_error) {
      strings.push_back(take(choice));
      status[n++] = isc_arg_string;
      status[n++] = reinterpret_cast<ISC_STATUS>(strings.back().c_str());
    }
  }
  status[n] = isc_arg_end;
  if (n == 0) return 0;

  IbDB::TIbConnRec conn{};
  std::memcpy(conn.Status, status, sizeof(status));
  constexpr size_t kGuard = 32;
  std::vector<char> buffer(bufferSize + kGuard, '#');
  if (bufferSize > 0) {
    size_t keep = std::min(prefix.size(), bufferSize - 1);
    std::memcpy(buffer.data(), prefix.data(), keep);
    buffer[keep] = '\0';
  }
  IbDB::SQLError(&conn, nullptr, buffer.data(), bufferSize);
  for (size_t i = bufferSize; i < buffer.size(); ++i) {
    if (buffer[i] != '#') std::abort();
  }
  if (bufferSize == 0) return 0;
  const size_t length = strnlen(buffer.data(), bufferSize);
  if (length == bufferSize) std::abort();  // no terminator within the size
  const size_t keep = std::min(prefix.size(), bufferSize - 1);
  if (std::memcmp(buffer.data(), prefix.data(), keep) != 0) std::abort();
  if (length > keep && buffer[keep] != '|') std::abort();
  return 0;
}
