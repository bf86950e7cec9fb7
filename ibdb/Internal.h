// Helpers shared by the parts of the call-level interface; not exported to callers.
#pragma once

#include "client/IBAPI.h"
#include "ibdb/IbDB.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <vector>

namespace IbDB::detail {

// The longest blob segment the client carries.
constexpr int32_t kMaxSegmentSize = 65535;
// The package's date text "MM/DD/YYYY hh:mm:ss": its characters, and its buffer with the NUL.
constexpr int32_t kDateTextLength = 19;
constexpr int32_t kDateTextSize = 20;

// Leaves a client error code in a status vector, for a call the package refuses on its own.
inline void SetError(ISC_STATUS* status, ISC_STATUS code) {
  status[0] = isc_arg_gds;
  status[1] = code;
  status[2] = isc_arg_end;
}

// The same with the number the code's text names ("CHARACTER SET 999 is not defined").
inline void SetError(ISC_STATUS* status, ISC_STATUS code, ISC_STATUS number) {
  status[0] = isc_arg_gds;
  status[1] = code;
  status[2] = isc_arg_number;
  status[3] = number;
  status[4] = isc_arg_end;
}

// The same with a text of the package's own, which must outlive the vector.
inline void SetText(ISC_STATUS* status, const char* text) {
  status[0] = isc_arg_gds;
  status[1] = isc_random;
  status[2] = isc_arg_string;
  status[3] = reinterpret_cast<ISC_STATUS>(text);
  status[4] = isc_arg_end;
}

// Whether a status vector reports that the attachment is gone: shut down by the server, or its
// connection broken.
bool ReportsLoss(const ISC_STATUS* status);

// Copies a status vector item by item, its strings into a buffer of the target's own, so that
// the copy stays readable after the client has reused its own storage.
void CopyStatus(const ISC_STATUS* from, ISC_STATUS (&to)[20], char* strings, size_t room);

// Records that the connection's attachment is gone, with a copy of the vector that said so.
// Nothing but the detach is sent on it afterwards: further requests on a shut-down attachment
// can leave the client waiting for an answer that never comes.
void RecordLoss(TIbConnRec* conn, const ISC_STATUS* status);

// The result of a client call made on the connection's attachment alone; a loss it reports is
// recorded on the connection.
inline ISC_STATUS Watch(TIbConnRec* conn, const ISC_STATUS* status, ISC_STATUS rc) {
  if (rc != 0 && conn->State.Lost == 0 && ReportsLoss(status)) RecordLoss(conn, status);
  return rc;
}

// Whether a call on the connection is refused because its attachment is gone; the vector that
// reported the loss is then left in status.
inline bool Refused(const TIbConnRec* conn, ISC_STATUS* status) {
  if (conn->State.Lost == 0) return false;
  std::memcpy(status, conn->State.LostStatus, sizeof(conn->State.LostStatus));
  return true;
}
// Whether a statement handle is one the package allocated and has not freed: the registry of
// live statements answers, and each thread remembers the last few handles it found there until
// any statement is freed. A freed handle's memory is never read.
struct TLiveCache {
  TIbStmtRec* Stmts[4];
  uint64_t Frees;  // StatementsFreed when they were found
  uint32_t Next;
};
// Initial-exec: one load off the thread pointer, where the general model calls into the loader
// on every use; the 48 bytes fit the static room glibc keeps for libraries loaded later.
extern constinit thread_local TLiveCache LastLive __attribute__((tls_model("initial-exec")));
extern std::atomic<uint64_t> StatementsFreed;
bool LiveInRegistry(TIbStmtRec* stmt);
inline bool Live(TIbStmtRec* stmt) {
  const TLiveCache& cache = LastLive;
  if (stmt != nullptr && cache.Frees == StatementsFreed.load(std::memory_order_acquire)) {
    for (TIbStmtRec* known : cache.Stmts) {
      if (known == stmt) return true;
    }
  }
  return LiveInRegistry(stmt);
}

inline bool Refused(TIbStmtRec* stmt) {
  return !Live(stmt) || Refused(stmt->Conn, stmt->Status);
}

// Marks a call running on the connection for the length of its scope, so that SQLCancel (and
// the statement's query timeout, armed when given) reaches it; a call made within another call
// on the connection leaves the marking to that one. At its end a cancel that found no request
// is withdrawn, and a connection whose side was closed under the call is recorded as lost with
// the call's status vector.
constexpr uint32_t kCallIdle = 0;     // a connection's Running word: no call
constexpr uint32_t kCallRunning = 1;  // a call runs, nothing sent to it

class TRunning {
 public:
  TRunning(TIbConnRec* conn, ISC_STATUS* status, uint32_t timeoutSeconds = 0)
      : Conn(conn), Status(status) {
    std::atomic_ref<uint32_t> running(conn->State.Running);
    if (running.load(std::memory_order_relaxed) != kCallIdle) {
      Conn = nullptr;  // within another call on the connection: that one is the running call
      return;
    }
    if (conn->State.Remote != 0) {  // what a cancel allows the call depends on it, over TCP
      timespec now;                 // the coarse clock: a few instructions, no system call
      clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
      conn->State.Started = now.tv_sec * 1000 + now.tv_nsec / 1000000;
    }
    running.store(kCallRunning, std::memory_order_release);
    if (timeoutSeconds != 0 && !Arm(timeoutSeconds)) Refuse(status);
  }
  ~TRunning() {
    if (Conn == nullptr) return;
    uint32_t was = kCallRunning;
    if (!Armed) {
      was = std::atomic_ref<uint32_t>(Conn->State.Running)
                .exchange(kCallIdle, std::memory_order_acq_rel);
      if (was == kCallRunning) return;  // nothing was sent to the call: the common end
    }
    Finish(was);
  }
  TRunning(const TRunning&) = delete;
  TRunning& operator=(const TRunning&) = delete;

  // Read by the timer under its mutex.
  TIbConnRec* Conn;
  ISC_STATUS* Status;
  std::chrono::steady_clock::time_point When{};
  bool Armed = false;
  bool Failed = false;  // no deadline could be set: the call must not run (the error in status)

 private:
  bool Arm(uint32_t timeoutSeconds);  // a deadline for the timer; false without a timer thread
  void Refuse(ISC_STATUS* status);    // the call is not marked running after all
  void Finish(uint32_t was);          // a cancel sent or a deadline armed: settle it
};

// The login timeout's first part: for a name reached over TCP, whether a connection to the
// server's port opens within the timeout. The seconds left for the client's own wait, or -1
// with the error left in the connection's Status.
int LoginProbe(TIbConnRec* conn);
// Records the host and port a database name reaches the server on (none for a name the client
// opens itself), for the login probe and for asking a server whether it still answers.
void RecordPeer(TIbConnRec* conn, const std::string& dbName);
std::string PeerHost(const TIbConnRec* conn);
// Leaves a failed login's error in the connection's Status: the host (empty for a local name)
// and what happened, the strings kept in the record.
void LoginFailed(TIbConnRec* conn, const std::string& host, const std::string& text);

// The statements SQLCancel and every other call may reach: registered when allocated,
// unregistered before they are freed; a connection's are taken out all at once before its
// detach, which frees them.
void Register(TIbStmtRec* stmt);
void Unregister(TIbStmtRec* stmt);
std::vector<TIbStmtRec*> UnregisterAll(TIbConnRec* conn);
// Drops a statement on its attachment (unless that is lost: its detach releases it) and frees
// the record and all it holds.
void DropRecord(TIbStmtRec* stmt);

// Transaction-existence block as the client reads it.
struct TTeb {
  isc_db_handle* db;
  int32_t tpb_length;
  const char* tpb;
};

// The connection's block: its transaction options, or none (the client's defaults) while the
// caller has set none.
inline TTeb TebOf(TIbConnRec* conn) {
  const TConnState& state = conn->State;
  return TTeb{&conn->DbHandle, state.TpbLength, state.TpbLength != 0 ? state.Tpb : nullptr};
}

// The SQL dialect statements of the connection are prepared in.
inline unsigned short DialectOf(const TIbConnRec* conn) {
  const TConnState& state = conn->State;
  if (state.ForcedDialect != 0) return state.ForcedDialect;
  return state.Dialect != 0 ? state.Dialect : 1;
}

// Firebird's name of a character set number, or nil for a number it does not define; and the
// most bytes one of its characters takes.
const char* CharsetName(uint16_t id);
int BytesPerCharacter(uint16_t id);

// Commits or rolls back the connection's transaction, shared or not, recording a loss where
// the client reports one.
ISC_STATUS EndTransaction(TIbConnRec* conn, bool commit);

// Records that the transaction the connection held (old) has ended: every connection that
// shared it holds none any more. Called after every attempt to end a transaction.
void TransactionEnded(TIbConnRec* conn, isc_tr_handle old);

// Starts the connection's transaction with its options.
inline ISC_STATUS StartTransaction(ISC_STATUS* status, TIbConnRec* conn) {
  TTeb teb = TebOf(conn);
  return Watch(conn, status, IBAPI::Entries.isc_start_multiple(status, &conn->TrHandle, 1, &teb));
}

// Starts the connection's transaction when none is open, for a statement. False when that found
// the attachment gone; a failure of the start is otherwise left to the next call to report.
inline bool StartIfNone(TIbStmtRec* stmt) {
  if (stmt->Conn->TrHandle == 0) StartTransaction(stmt->Status, stmt->Conn);
  return stmt->Conn->State.Lost == 0;
}

inline void* ZeroAlloc(size_t size) {
  void* p = std::calloc(1, size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

inline void* Resize(void* block, size_t size) {
  void* p = std::realloc(block, size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

// What a fetch does for a column after setting its null flag.
enum TFinish : uint8_t {
  kFinishNone,      // fetched in place
  kFinishVarying,   // copy the characters out of the package's buffer and terminate them
  kFinishText,      // terminate the characters in place
  kFinishTextCopy,  // copy the characters out of the package's buffer, cut to the caller's
  kFinishScaled,    // reduce a scaled integer to its integer part
  kFinishDate,      // date text
  kFinishBlob,      // read the blob
  kFinishConvert,   // convert to the caller's C type
};

// What execution checks of a parameter's value in each row, beyond its null flag.
enum TCheck : uint8_t {
  kCheckNothing,      // read as it is
  kCheckClassicText,  // classic VARCHAR: a NUL within sqllen characters
  kCheckClassicBlob,  // classic blob: a length variable and a segment size
  kCheckLength,       // bounded text: its length by ODBC's rules, within sqllen
  kCheckBytes,        // bounded blob, also from C text or bytes: its length by ODBC's rules
  kCheckConverted,    // a C type: converted to the entry's own form
  kCheckDateText,     // the package's date text: readable, in an array before anything is sent
  kCheckBlobId,       // a blob written at execution: the value is its id
};

inline TCheck CheckOf(const XSQLVAR& var, const TBindSlot& slot) {
  const int16_t type = IBAPI::BaseType(var.sqltype);
  if (slot.ValueMax == 0) {
    return type == SQL_VARYING ? kCheckClassicText
           : type == SQL_BLOB  ? kCheckClassicBlob
                               : kCheckNothing;
  }
  if (type == SQL_BLOB) return kCheckBytes;
  if (slot.CType != 0) return kCheckConverted;
  if (type == SQL_VARYING || type == SQL_TEXT) return kCheckLength;
  return type == SQL_DATE ? kCheckDateText : kCheckNothing;
}

inline TFinish FinishOf(const XSQLVAR& var, const TBindSlot& slot) {
  if (slot.CType != 0) return kFinishConvert;
  switch (IBAPI::BaseType(var.sqltype)) {
    case SQL_VARYING:
      return kFinishVarying;
    case SQL_TEXT:
      return slot.OwnsData != 0 ? kFinishTextCopy : kFinishText;
    case SQL_LONG:
    case SQL_SHORT:
      return var.sqlscale != 0 ? kFinishScaled : kFinishNone;
    case SQL_DATE:
      return kFinishDate;
    case SQL_BLOB:
      return kFinishBlob;
    default:
      return kFinishNone;
  }
}

// Reduces a scaled INTEGER or SMALLINT value in place to its integer part, truncated toward
// zero (0 for scales below -9, whose divisor exceeds every 32-bit value).
template <typename Int>
void ScaleToIntegerPart(ISC_SCHAR* data, ISC_SHORT scale) {
  int64_t divisor = 1;
  for (int i = scale; i < 0 && divisor <= INT32_MAX; ++i) divisor *= 10;
  Int value;
  std::memcpy(&value, data, sizeof(value));
  value = divisor > INT32_MAX ? 0 : static_cast<Int>(value / divisor);
  std::memcpy(data, &value, sizeof(value));
}
inline void ScaleToIntegerPart(const XSQLVAR& var, ISC_SCHAR* data) {
  if (IBAPI::BaseType(var.sqltype) == SQL_LONG) {
    ScaleToIntegerPart<int32_t>(data, var.sqlscale);
  } else {
    ScaleToIntegerPart<int16_t>(data, var.sqlscale);
  }
}

// Whether a date text of the package's layout (at most size bytes, a NUL ending it earlier)
// holds a real date and time, each field plain digits: what IBTMToDate takes without raising.
bool ValidDateText(const char* text, size_t size);
// IBTMToDate of a text in a buffer of size bytes (0: unknown, the text ends at its NUL), a NUL
// ending it earlier.
void DateTextToDate(ISC_QUAD* date, const char* text, size_t size);

// Gives a side its binding index, with count slots and indicators, unless it has one.
void EnsureIndex(TBindIndex& index, int32_t count);

// Blob reading. ReadBlobInto reads the blob with that id into buffer, never more than room
// bytes, in the longest pieces the client carries; its full length goes to total. The bytes
// read, or -1 with the error in the statement's Status.
int64_t ReadBlobInto(TIbStmtRec* stmt, const ISC_QUAD* id, char* buffer, int64_t room,
                     int64_t* total);
// Reads an open blob into buffer: at most room bytes, each read no longer than what is left of
// the buffer. The bytes read, or -1; ended tells whether the blob's end was reached.
int64_t ReadPieces(TIbStmtRec* stmt, isc_blob_handle* blob, char* buffer, int64_t room,
                   bool& ended);
// The full length of an open blob, or -1.
int64_t BlobLength(TIbStmtRec* stmt, isc_blob_handle* blob);
// A length as a 32-bit length variable carries it: longer than 2^31 - 1 is -4 (ODBC's "no
// total").
inline int32_t ReportedLength(int64_t length) {
  return length > INT32_MAX ? -4 : static_cast<int32_t>(length);
}
// Closes a blob without touching the statement's Status; nothing goes to a lost attachment.
void DiscardBlob(TIbConnRec* conn, isc_blob_handle* blob);

// Parameter arrays: keeps the text a statement is prepared from (and forgets the blocks made
// for an earlier one); releases the blocks, and with all everything; runs an execution of
// ParamRows rows.
void KeepText(TIbStmtRec* stmt, const char* text);
void ReleaseArrays(TIbStmtRec* stmt, bool all);
int16_t ExecuteRows(TIbStmtRec* stmt);

// Columns held for SQLGetData: a new row begins (what was handed over of the last one is
// forgotten, its open blob closed); and everything released.
void NextHeldRow(TIbStmtRec* stmt);
void ReleaseHeld(TIbStmtRec* stmt);

// Data at execution. Ends a sequence, nothing executed (a blob left unfinished is closed);
// whether a call on the statement is refused because data at execution is awaited (a sequence
// that SQLCancel ended is ended there, and refuses nothing).
void EndAtExec(TIbStmtRec* stmt);
bool RefuseAwaiting(TIbStmtRec* stmt);
inline bool AwaitingData(TIbStmtRec* stmt) {
  return stmt->AtExec != nullptr && RefuseAwaiting(stmt);
}

// Releases every binding of a statement: package buffers, indicators, lists and the index.
void ReleaseBindings(TIbStmtRec* stmt);

}  // namespace IbDB::detail
