// Error text: the messages of a failed record's status vector, each preceded by "|".
#include <algorithm>
#include <cstring>

#include "ibdb/Internal.h"

namespace IbDB {

namespace {

constexpr size_t kMessageBufferSize = 513;

// The vector that carries the failure: the connection's wins over the statement's.
const ISC_STATUS* FailedVector(const TIbConnRec* hdbc, const TIbStmtRec* hstmt) {
  if (hdbc != nullptr && hdbc->Status[1] != 0) return hdbc->Status;
  if (hstmt != nullptr && hstmt->Status[1] != 0) return hstmt->Status;
  return nullptr;
}

}  // namespace

void SQLError(TIbConnRec* hdbc, TIbStmtRec* hstmt, char* szErrorMsg, size_t cbErrorMsgMax) {
  if (szErrorMsg == nullptr || cbErrorMsgMax == 0) return;
  const ISC_STATUS* cursor = FailedVector(hdbc, hstmt);
  if (cursor == nullptr) return;
  size_t used = strnlen(szErrorMsg, cbErrorMsgMax);
  if (used == cbErrorMsgMax) return;  // no terminator within the buffer: nothing can be added

  char message[kMessageBufferSize] = {};
  while (IBAPI::Entries.fb_interpret(message, sizeof(message), &cursor) != 0) {
    size_t room = cbErrorMsgMax - 1 - used;
    if (room == 0) break;
    szErrorMsg[used++] = '|';
    size_t n = std::min(strnlen(message, sizeof(message)), room - 1);
    std::memcpy(szErrorMsg + used, message, n);
    used += n;
    szErrorMsg[used] = '\0';
    std::memset(message, 0, sizeof(message));
  }
  szErrorMsg[used] = '\0';
}

void SQLError(TIbConnRec* hdbc, TIbStmtRec* hstmt, char* szErrorMsg) {
  SQLError(hdbc, hstmt, szErrorMsg, SIZE_MAX);
}

}  // namespace IbDB
