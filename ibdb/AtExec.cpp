// Data at execution: parameters whose values the caller sends in pieces after SQLExecute, blobs
// straight to the client, other values collected up to what their entry holds.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ibdb/Params.h"

namespace IbDB {

struct TAtExec {
  struct TValue {
    int32_t Entry = 0;
    uint8_t Null = 0;               // SQLPutData sent NULL
    uint8_t Given = 0;              // a piece or NULL was sent
    isc_blob_handle Blob = 0;       // a blob being written
    ISC_QUAD Id{};                  // the blob written
    std::unique_ptr<char[]> Carry;  // the start of the blob's next segment
    int32_t Carried = 0;
    std::string Text;  // the pieces of any other value
  };
  std::vector<TValue> Values;
  int32_t Current = -1;  // the value SQLParamData named last
};

using detail::Watch;
using IBAPI::BaseType;
using IBAPI::Entries;

namespace {

constexpr int32_t kNullData = -1;
// The longest text of a number or a date collected for a value that is not text.
constexpr int64_t kOtherText = 1024;

int16_t SequenceError(TIbStmtRec* stmt, const char* what) {
  std::snprintf(stmt->Message, sizeof(stmt->Message), "function sequence error: %s", what);
  detail::SetText(stmt->Status, stmt->Message);
  return -1;
}

// The sequence the statement awaits data for, or nil; one that SQLCancel marked ends here.
TAtExec* Awaited(TIbStmtRec* stmt) {
  if (stmt->AtExec != nullptr &&
      std::atomic_ref<uint8_t>(stmt->AtExecCancel).exchange(0, std::memory_order_acq_rel) != 0) {
    detail::EndAtExec(stmt);
  }
  return stmt->AtExec;
}

// The size of a value that comes whole, in one piece: a fixed-size C type, or the entry's own
// type where it is neither text nor blob nor date text; 0 for values sent in pieces.
int64_t FixedSize(const XSQLVAR& var, const TBindSlot& slot) {
  if (slot.CType != 0) return detail::CTypeSize(slot.CType);
  const int16_t type = BaseType(var.sqltype);
  if (type == SQL_VARYING || type == SQL_TEXT || type == SQL_BLOB || type == SQL_DATE) return 0;
  return var.sqllen;
}

// The most bytes collected for a value sent in pieces that is not a blob.
int64_t Room(const XSQLVAR& var) {
  const int16_t type = BaseType(var.sqltype);
  if (type == SQL_VARYING || type == SQL_TEXT) return std::max<int64_t>(var.sqllen, 0);
  return type == SQL_DATE ? detail::kDateTextLength : kOtherText;
}

// Copies in 32-byte moves kept inline: the carried bytes are most of every piece.
void CopyBytes(char* to, const char* from, size_t n) {
  size_t i = 0;
  for (; i + 32 <= n; i += 32) std::memcpy(to + i, from + i, 32);
  std::memcpy(to + i, from + i, n - i);
}

// Writes a piece of a blob. Over the network every segment costs a round trip, so segments are
// as long as the client carries whatever the pieces' lengths: what does not fill one waits for
// the next piece, or for the blob's end. Embedded a segment costs a call, and a piece goes as it
// is, in as few segments of even length as it needs.
bool PutPiece(TIbStmtRec* stmt, TAtExec::TValue& value, const char* bytes, int64_t length) {
  constexpr int32_t kFull = detail::kMaxSegmentSize;
  if (stmt->Conn->State.Remote == 0) {
    const int64_t count = (length + kFull - 1) / kFull;
    const auto segment = static_cast<int32_t>(count > 1 ? (length + count - 1) / count : length);
    return detail::PutSegments(stmt, &value.Blob, bytes, length, std::max(segment, 1));
  }
  if (value.Carried > 0) {
    const auto take = static_cast<int32_t>(std::min<int64_t>(length, kFull - value.Carried));
    CopyBytes(value.Carry.get() + value.Carried, bytes, static_cast<size_t>(take));
    value.Carried += take;
    bytes += take;
    length -= take;
    if (value.Carried < kFull) return true;
    value.Carried = 0;
    if (!detail::PutSegments(stmt, &value.Blob, value.Carry.get(), kFull, kFull)) return false;
  }
  const int64_t whole = length - length % kFull;
  if (!detail::PutSegments(stmt, &value.Blob, bytes, whole, kFull)) return false;
  if (whole < length) {
    if (!value.Carry) value.Carry.reset(new char[kFull]);
    value.Carried = static_cast<int32_t>(length - whole);
    CopyBytes(value.Carry.get(), bytes + whole, static_cast<size_t>(value.Carried));
  }
  return true;
}

bool CreateBlob(TIbStmtRec* stmt, TAtExec::TValue& value) {
  TIbConnRec* conn = stmt->Conn;
  if (!detail::StartIfNone(stmt)) return false;
  if (Watch(conn, stmt->Status,
            Entries.isc_create_blob(stmt->Status, &conn->DbHandle, &conn->TrHandle, &value.Blob,
                                    &value.Id)) != 0) {
    value.Blob = 0;
    return false;
  }
  return true;
}

// Ends the value SQLParamData named: a blob is closed (created empty when no piece came); a
// fixed-size value must have come.
bool Finish(TIbStmtRec* stmt, TAtExec::TValue& value) {
  const XSQLVAR& var = stmt->InSqlda->sqlvar[value.Entry];
  if (value.Null != 0) return true;
  if (BaseType(var.sqltype) != SQL_BLOB) {
    const int64_t fixed = FixedSize(var, stmt->ParamIndex.Slots[value.Entry]);
    if (fixed == 0 || static_cast<int64_t>(value.Text.size()) == fixed) return true;
    detail::TRefusal why;
    detail::Refuse(why, isc_dsql_sqlda_value_err, "no value was sent");
    return detail::Report(stmt, why, false, value.Entry + 1);
  }
  detail::TRunning running(stmt->Conn, stmt->Status, stmt->QueryTimeout);
  if (running.Failed || (value.Blob == 0 && !CreateBlob(stmt, value))) return false;
  const int32_t carried = std::exchange(value.Carried, 0);
  if (!detail::PutSegments(stmt, &value.Blob, value.Carry.get(), carried, carried)) return false;
  const bool closed =
      Watch(stmt->Conn, stmt->Status, Entries.isc_close_blob(stmt->Status, &value.Blob)) == 0;
  if (!closed) detail::DiscardBlob(stmt->Conn, &value.Blob);
  value.Blob = 0;
  return closed;
}

// Executes with every value sent: each such parameter's binding stands in for the length of the
// call by one over what was sent, so that the execution checks and puts it as any other.
int16_t ExecuteWithData(TIbStmtRec* stmt) {
  TAtExec* seq = stmt->AtExec;
  stmt->AtExec = nullptr;
  TBindSlot* slots = stmt->ParamIndex.Slots;
  const size_t count = seq->Values.size();
  std::vector<TBindSlot> saved(count);
  std::vector<TBindNode> nodes(count);
  std::vector<int32_t> lengths(count);
  std::vector<uint8_t> nulls(count);
  for (size_t k = 0; k < count; ++k) {
    TAtExec::TValue& value = seq->Values[k];
    TBindSlot& slot = slots[value.Entry];
    const bool blob = BaseType(stmt->InSqlda->sqlvar[value.Entry].sqltype) == SQL_BLOB;
    saved[k] = slot;
    nodes[k] = *slot.Node;
    nodes[k].Data = blob ? static_cast<void*>(&value.Id) : value.Text.data();
    lengths[k] =
        blob ? static_cast<int32_t>(sizeof(ISC_QUAD)) : static_cast<int32_t>(value.Text.size());
    nulls[k] = value.Null;
    slot.Node = &nodes[k];
    slot.NullFlag = &nulls[k];
    slot.Length = &lengths[k];
    slot.ValueMax = std::max(lengths[k], 1);
    if (blob) slot.Check = detail::kCheckBlobId;
  }
  const int16_t rc = detail::ExecuteOnce(stmt);
  for (size_t k = 0; k < count; ++k) slots[seq->Values[k].Entry] = saved[k];
  delete seq;
  return rc;
}

}  // namespace

void detail::WantData(TIbStmtRec* stmt, int32_t entry) {
  if (stmt->AtExec == nullptr) {
    stmt->AtExec = new TAtExec;
    std::atomic_ref<uint8_t>(stmt->AtExecCancel).store(0, std::memory_order_release);
  }
  stmt->AtExec->Values.emplace_back().Entry = entry;
}

void detail::EndAtExec(TIbStmtRec* stmt) {
  TAtExec* seq = stmt->AtExec;
  if (seq == nullptr) return;
  stmt->AtExec = nullptr;
  for (TAtExec::TValue& value : seq->Values) DiscardBlob(stmt->Conn, &value.Blob);
  delete seq;
}

bool detail::RefuseAwaiting(TIbStmtRec* stmt) {
  if (Awaited(stmt) == nullptr) return false;
  SequenceError(stmt, "data at execution is awaited (SQLParamData, SQLPutData or SQLCancel)");
  return true;
}

int16_t SQLParamData(TIbStmtRec* hstmt, void** prgbValue) {
  if (hstmt == nullptr || !detail::Live(hstmt)) return -1;
  if (Awaited(hstmt) == nullptr) return SequenceError(hstmt, "no data at execution is awaited");
  TAtExec& seq = *hstmt->AtExec;
  if (detail::Refused(hstmt) ||
      (seq.Current >= 0 && !Finish(hstmt, seq.Values[static_cast<size_t>(seq.Current)]))) {
    detail::EndAtExec(hstmt);
    return -1;
  }
  if (static_cast<size_t>(++seq.Current) < seq.Values.size()) {
    const int32_t entry = seq.Values[static_cast<size_t>(seq.Current)].Entry;
    if (prgbValue != nullptr) *prgbValue = hstmt->ParamIndex.Slots[entry].Node->Data;
    return 99;
  }
  return ExecuteWithData(hstmt);
}

int16_t SQLPutData(TIbStmtRec* hstmt, const void* rgbValue, int32_t cbValue) {
  if (hstmt == nullptr || !detail::Live(hstmt)) return -1;
  if (Awaited(hstmt) == nullptr) return SequenceError(hstmt, "no data at execution is awaited");
  TAtExec& seq = *hstmt->AtExec;
  if (seq.Current < 0) return SequenceError(hstmt, "SQLParamData has named no parameter yet");
  if (detail::Refused(hstmt)) {
    detail::EndAtExec(hstmt);
    return -1;
  }
  TAtExec::TValue& value = seq.Values[static_cast<size_t>(seq.Current)];
  const XSQLVAR& var = hstmt->InSqlda->sqlvar[value.Entry];
  const TBindSlot& slot = hstmt->ParamIndex.Slots[value.Entry];
  detail::TRefusal why;
  auto refuse = [&]() -> int16_t {
    detail::Report(hstmt, why, false, value.Entry + 1);
    detail::EndAtExec(hstmt);
    return -1;
  };
  if (value.Null != 0 || (cbValue == kNullData && value.Given != 0)) {
    detail::Refuse(why, isc_dsql_sqlda_value_err, "NULL and data for one value");
    return refuse();
  }
  const auto* bytes = static_cast<const char*>(rgbValue);
  const int64_t fixed = FixedSize(var, slot);
  int64_t length = cbValue;
  if (cbValue == kNullData) {
    value.Null = 1;
  } else if (fixed != 0) {  // the whole value, whatever the length says, as ODBC reads it
    if (value.Given != 0) {
      detail::Refuse(why, isc_dsql_sqlda_value_err, "a value of a fixed-size type in pieces");
      return refuse();
    }
    length = fixed;
  } else if (cbValue == detail::kNullTerminated && bytes != nullptr) {
    length = static_cast<int64_t>(std::strlen(bytes));
  } else if (cbValue < 0) {
    detail::Refuse(why, isc_dsql_sqlda_value_err, "a piece's length of %d", cbValue);
    return refuse();
  }
  if (length > 0 && bytes == nullptr) {
    detail::Refuse(why, isc_dsql_sqlda_value_err, "a piece of %lld bytes at no address",
                   static_cast<long long>(length));
    return refuse();
  }
  value.Given = 1;
  if (value.Null != 0) return 0;
  if (BaseType(var.sqltype) == SQL_BLOB) {
    detail::TRunning running(hstmt->Conn, hstmt->Status, hstmt->QueryTimeout);
    if (running.Failed || (value.Blob == 0 && !CreateBlob(hstmt, value)) ||
        !PutPiece(hstmt, value, bytes, length)) {
      detail::EndAtExec(hstmt);
      return -1;
    }
    return 0;
  }
  const int64_t room = fixed != 0 ? fixed : Room(var);
  if (static_cast<int64_t>(value.Text.size()) + length > room) {
    detail::Refuse(why, isc_string_truncation, "%lld bytes for a column of %lld",
                   static_cast<long long>(value.Text.size()) + length,
                   static_cast<long long>(room));
    return refuse();
  }
  value.Text.append(bytes, static_cast<size_t>(length));
  return 0;
}

}  // namespace IbDB
