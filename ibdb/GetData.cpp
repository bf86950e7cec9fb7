// Columns bound to nothing: the package holds their values after a fetch and SQLGetData hands
// them over in pieces of the caller's buffer size.
#include <algorithm>
#include <cstring>

#include "ibdb/CTypes.h"

namespace IbDB {

using detail::kDateTextSize;
using detail::kMaxSegmentSize;
using detail::SetError;
using IBAPI::BaseType;

// What SQLGetData has handed over of each column of the current row.
struct TGetData {
  struct TColumn {
    isc_blob_handle Blob;  // open while a blob is being handed over
    int64_t Total;         // the value's length
    int64_t Offset;        // bytes handed over so far
    uint32_t Row;          // the row this progress belongs to
    uint8_t Started, Ended, Failed;
    char* Stage;                 // a segment read whole that did not fit the caller's buffer,
    uint32_t StageAt, StageEnd;  // and the part of it still to hand over
  };
  uint32_t Row;  // rows fetched so far
  int32_t Count;
  TColumn* Columns;
};

namespace {

constexpr int16_t kMoreData = 1;
constexpr int16_t kNoMoreData = 100;

// Copies in blocks of 4 KiB: vector moves, where one long memcpy would take the string
// instruction that instruction counts see as one instruction a byte.
void CopyInBlocks(char* to, const char* from, size_t n) {
  constexpr size_t kBlock = 4096;
  for (size_t k = 0; k < n; k += kBlock) std::memcpy(to + k, from + k, std::min(kBlock, n - k));
}

TGetData::TColumn& ProgressOf(TIbStmtRec* stmt, int32_t entry) {
  TGetData*& data = stmt->GetData;
  if (data == nullptr) {
    const int32_t count = stmt->OutSqlda->sqld;
    data = static_cast<TGetData*>(detail::ZeroAlloc(sizeof(TGetData)));
    data->Count = count;
    data->Columns = static_cast<TGetData::TColumn*>(
        detail::ZeroAlloc(static_cast<size_t>(std::max(count, 1)) * sizeof(TGetData::TColumn)));
  }
  TGetData::TColumn& column = data->Columns[entry];
  if (column.Row != data->Row) {
    char* stage = column.Stage;  // kept for the next row's blob
    column = TGetData::TColumn{0, 0, 0, data->Row, 0, 0, 0, stage, 0, 0};
  }
  return column;
}

// Whether SQLGetData can hand the column over in that C type (0: the entry's own type); a
// refusal is left in the statement, naming the column.
bool CheckGetData(TIbStmtRec* stmt, uint8_t icol, int16_t ctype, const void* rgbValue,
                  int32_t cbValueMax) {
  const XSQLDA* out = stmt->OutSqlda;
  detail::TRefusal why;
  auto refuse = [&] { return detail::Report(stmt, why, true, icol); };
  if (icol == 0 || icol > out->sqld) {
    detail::Refuse(why, isc_dsql_sqlda_value_err, "no such column");
    return refuse();
  }
  if (stmt->HasRow == 0) {
    SetError(stmt->Status, isc_no_cur_rec);
    return false;
  }
  if (stmt->ColIndex.Slots[icol - 1].Held == 0) {
    detail::Refuse(why, isc_dsql_sqlda_err, "bound, so fetched into its buffer");
    return refuse();
  }
  if (rgbValue == nullptr) {
    detail::Refuse(why, isc_dsql_sqlda_err, "no buffer");
    return refuse();
  }
  const XSQLVAR& var = out->sqlvar[icol - 1];
  const int16_t type = BaseType(var.sqltype);
  if (ctype != 0 && !detail::Convertible(var.sqltype, ctype)) {
    detail::Refuse(why, isc_dsql_datatype_err, "SQL type %d does not convert to C type %d",
                   var.sqltype, ctype);
    return refuse();
  }
  // Text needs room for a character and its NUL; a blob or bytes for a byte; other types their
  // whole value.
  int32_t least = var.sqllen;
  if (ctype == detail::kCChar || type == SQL_VARYING || type == SQL_TEXT || type == SQL_DATE) {
    least = 2;
  }
  if (ctype == detail::kCBinary || type == SQL_BLOB) least = 1;
  if (ctype != 0 && detail::CTypeSize(ctype) != 0) least = detail::CTypeSize(ctype);
  if (cbValueMax >= std::max(least, 1)) return true;
  detail::Refuse(why, isc_dsql_sqlda_value_err, "a buffer of %d bytes for a piece of at least %d",
                 cbValueMax, std::max(least, 1));
  return refuse();
}

// The next piece of a text value: at most cbValueMax - 1 characters and a NUL, or as bytes
// cbValueMax bytes and no NUL.
int16_t TextPiece(TGetData::TColumn& column, const char* text, int64_t length, char* buffer,
                  int32_t cbValueMax, int32_t* pcbValue, bool terminate = true) {
  const int64_t remaining = length - column.Offset;
  if (pcbValue != nullptr) *pcbValue = detail::ReportedLength(remaining);
  const int64_t n = std::min<int64_t>(remaining, cbValueMax - (terminate ? 1 : 0));
  std::memcpy(buffer, text + column.Offset, static_cast<size_t>(n));
  if (terminate) buffer[n] = '\0';
  column.Offset += n;
  if (column.Offset < length) return kMoreData;
  column.Ended = 1;
  return 0;
}

// The next piece of a blob, read from the client straight into the caller's buffer.
int16_t BlobPiece(TIbStmtRec* stmt, const XSQLVAR& var, TGetData::TColumn& column, char* buffer,
                  int32_t cbValueMax, int32_t* pcbValue) {
  TIbConnRec* conn = stmt->Conn;
  auto fail = [&] {
    detail::DiscardBlob(conn, &column.Blob);
    column.Failed = 1;
    return int16_t{-1};
  };
  if (column.Started == 0) {
    column.Started = 1;
    auto* id = reinterpret_cast<ISC_QUAD*>(var.sqldata);
    if (detail::Watch(conn, stmt->Status,
                      IBAPI::Entries.isc_open_blob2(stmt->Status, &conn->DbHandle, &conn->TrHandle,
                                                    &column.Blob, id, 0, nullptr)) != 0) {
      column.Blob = 0;
      return fail();
    }
    column.Total = detail::BlobLength(stmt, &column.Blob);
    if (column.Total < 0) return fail();
  }
  const int64_t remaining = column.Total - column.Offset;
  if (pcbValue != nullptr) *pcbValue = detail::ReportedLength(remaining);
  const int64_t want = std::min<int64_t>(cbValueMax, remaining);
  int64_t n = 0;
  bool ended = false;
  // What is left of a staged segment first; then segments read straight into the buffer while
  // the longest fits, or the blob's rest does; a segment that does not fit is read whole into
  // the stage, so that every read asks for the longest segment the client carries.
  while (n < want && !ended) {
    if (column.StageAt < column.StageEnd) {
      const auto part =
          static_cast<uint32_t>(std::min<int64_t>(column.StageEnd - column.StageAt, want - n));
      CopyInBlocks(buffer + n, column.Stage + column.StageAt, part);
      column.StageAt += part;
      n += part;
      continue;
    }
    const int64_t room = want - n;
    if (room >= kMaxSegmentSize || room >= remaining - n) {
      // The longest segment fits, or all that is left of the blob: one read, straight in.
      unsigned short length = 0;
      const ISC_STATUS rc = detail::Watch(
          conn, stmt->Status,
          IBAPI::Entries.isc_get_segment(
              stmt->Status, &column.Blob, &length,
              static_cast<unsigned short>(std::min<int64_t>(room, kMaxSegmentSize)), buffer + n));
      if (rc == isc_segstr_eof) ended = true;
      if (rc != 0 && rc != isc_segment && rc != isc_segstr_eof) return fail();
      n += length;
      continue;
    }
    if (column.Stage == nullptr) {
      column.Stage = static_cast<char*>(detail::ZeroAlloc(kMaxSegmentSize));
    }
    unsigned short length = 0;
    const ISC_STATUS rc =
        detail::Watch(conn, stmt->Status,
                      IBAPI::Entries.isc_get_segment(stmt->Status, &column.Blob, &length,
                                                     kMaxSegmentSize, column.Stage));
    if (rc == isc_segstr_eof) ended = true;
    if (rc != 0 && rc != isc_segment && rc != isc_segstr_eof) return fail();
    column.StageAt = 0;
    column.StageEnd = length;
  }
  column.Offset += n;
  if (column.Offset < column.Total && !ended) return kMoreData;
  column.Ended = 1;
  if (detail::Watch(conn, stmt->Status,
                    IBAPI::Entries.isc_close_blob(stmt->Status, &column.Blob)) != 0) {
    return fail();
  }
  column.Blob = 0;
  return 0;
}

// A value of a type fetched whole: all of it at once, scaled integers as their integer part.
int16_t WholeValue(const XSQLVAR& var, TGetData::TColumn& column, char* buffer, int32_t* pcbValue) {
  std::memcpy(buffer, var.sqldata, static_cast<size_t>(var.sqllen));
  const int16_t type = BaseType(var.sqltype);
  if ((type == SQL_LONG || type == SQL_SHORT) && var.sqlscale != 0) {
    detail::ScaleToIntegerPart(var, buffer);
  }
  if (pcbValue != nullptr) *pcbValue = var.sqllen;
  column.Ended = 1;
  return 0;
}

}  // namespace

void detail::NextHeldRow(TIbStmtRec* stmt) {
  TGetData* data = stmt->GetData;
  for (int32_t i = 0; i < data->Count; ++i) DiscardBlob(stmt->Conn, &data->Columns[i].Blob);
  ++data->Row;
}

void detail::ReleaseHeld(TIbStmtRec* stmt) {
  stmt->HasRow = 0;
  TGetData* data = stmt->GetData;
  if (data == nullptr) return;
  for (int32_t i = 0; i < data->Count; ++i) {
    DiscardBlob(stmt->Conn, &data->Columns[i].Blob);
    std::free(data->Columns[i].Stage);
  }
  std::free(data->Columns);
  std::free(data);
  stmt->GetData = nullptr;
}

namespace {

// A column's value in a C type: text and bytes in pieces, other types whole.
int16_t ConvertedValue(TIbStmtRec* stmt, int32_t entry, int16_t ctype, TGetData::TColumn& column,
                       char* buffer, int32_t cbValueMax, int32_t* pcbValue) {
  const XSQLVAR& var = stmt->OutSqlda->sqlvar[entry];
  const int16_t type = BaseType(var.sqltype);
  const bool text = ctype == detail::kCChar;
  if (type == SQL_BLOB) {
    const int64_t before = column.Offset;
    const int16_t rc = BlobPiece(stmt, var, column, buffer, cbValueMax - (text ? 1 : 0), pcbValue);
    if (text && rc >= 0) buffer[column.Offset - before] = '\0';
    return rc;
  }
  if (text || (ctype == detail::kCBinary && (type == SQL_VARYING || type == SQL_TEXT))) {
    char formatted[detail::kValueTextSize];
    const char* view = nullptr;
    const int32_t length = detail::ValueText(var, formatted, &view);
    if (length < 0) {
      detail::TRefusal why;
      detail::Refuse(why, isc_dsql_datatype_err, "no value of type %d as text", var.sqltype);
      detail::Report(stmt, why, true, entry + 1);
      return -1;
    }
    return TextPiece(column, view, length, buffer, cbValueMax, pcbValue, text);
  }
  const int16_t rc = detail::ColumnToC(stmt, entry, ctype, buffer, cbValueMax, pcbValue);
  if (rc >= 0) column.Ended = 1;
  return rc;
}

}  // namespace

int16_t SQLGetData(TIbStmtRec* hstmt, uint8_t icol, void* rgbValue, int32_t cbValueMax,
                   int32_t* pcbValue) {
  return SQLGetData(hstmt, icol, SQL_VARYING, rgbValue, cbValueMax, pcbValue);
}

int16_t SQLGetData(TIbStmtRec* hstmt, uint8_t icol, int16_t fCType, void* rgbValue,
                   int32_t cbValueMax, int32_t* pcbValue) {
  if (hstmt == nullptr || detail::Refused(hstmt) || detail::AwaitingData(hstmt)) return -1;
  const int16_t ctype = detail::IsCType(fCType) ? fCType : 0;
  if (!CheckGetData(hstmt, icol, ctype, rgbValue, cbValueMax)) return -1;
  const int32_t entry = icol - 1;
  const XSQLVAR& var = hstmt->OutSqlda->sqlvar[entry];
  TGetData::TColumn& column = ProgressOf(hstmt, entry);
  if (column.Failed != 0) return -1;  // the error stays in Status
  if (column.Ended != 0) return kNoMoreData;
  auto* buffer = static_cast<char*>(rgbValue);
  if (hstmt->ColIndex.Indicators[entry] == -1) {
    if (pcbValue != nullptr) *pcbValue = -1;
    column.Ended = 1;
    return 0;
  }
  detail::TRunning running(hstmt->Conn, hstmt->Status, hstmt->QueryTimeout);
  if (running.Failed) return -1;
  if (ctype != 0) {
    return ConvertedValue(hstmt, entry, ctype, column, buffer, cbValueMax, pcbValue);
  }
  switch (BaseType(var.sqltype)) {
    case SQL_VARYING: {
      uint16_t length;
      std::memcpy(&length, var.sqldata, sizeof(length));
      return TextPiece(column, var.sqldata + sizeof(length), std::min<int64_t>(length, var.sqllen),
                       buffer, cbValueMax, pcbValue);
    }
    case SQL_TEXT:
      return TextPiece(column, var.sqldata, var.sqllen, buffer, cbValueMax, pcbValue);
    case SQL_DATE: {
      char text[kDateTextSize];
      IBDateToTM(reinterpret_cast<const ISC_QUAD*>(var.sqldata), text);
      return TextPiece(column, text, static_cast<int64_t>(std::strlen(text)), buffer, cbValueMax,
                       pcbValue);
    }
    case SQL_BLOB:
      return BlobPiece(hstmt, var, column, buffer, cbValueMax, pcbValue);
    default:
      return WholeValue(var, column, buffer, pcbValue);
  }
}

}  // namespace IbDB
