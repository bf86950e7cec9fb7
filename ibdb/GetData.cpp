// Columns bound to nothing: the package holds their values after a fetch and SQLGetData hands
// them over in pieces of the caller's buffer size.
#include <algorithm>
#include <cstring>

#include "ibdb/Internal.h"

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

// Why SQLGetData refuses, or 0.
ISC_STATUS CheckGetData(const TIbStmtRec* stmt, uint8_t icol, const void* rgbValue,
                        int32_t cbValueMax) {
  const XSQLDA* out = stmt->OutSqlda;
  if (icol == 0 || icol > out->sqld) return isc_dsql_sqlda_value_err;
  if (stmt->HasRow == 0) return isc_no_cur_rec;
  if (stmt->ColIndex.Slots[icol - 1].Held == 0) return isc_dsql_sqlda_err;  // bound
  if (rgbValue == nullptr) return isc_dsql_sqlda_err;
  const XSQLVAR& var = out->sqlvar[icol - 1];
  const int16_t type = BaseType(var.sqltype);
  // Text needs room for a character and its NUL; a blob for a byte; other types their whole
  // value.
  int32_t least = var.sqllen;
  if (type == SQL_VARYING || type == SQL_TEXT || type == SQL_DATE) least = 2;
  if (type == SQL_BLOB) least = 1;
  return cbValueMax < std::max(least, 1) ? isc_dsql_sqlda_value_err : 0;
}

// The next piece of a text value: at most cbValueMax - 1 characters and a NUL.
int16_t TextPiece(TGetData::TColumn& column, const char* text, int64_t length, char* buffer,
                  int32_t cbValueMax, int32_t* pcbValue) {
  const int64_t remaining = length - column.Offset;
  if (pcbValue != nullptr) *pcbValue = detail::ReportedLength(remaining);
  const int64_t n = std::min<int64_t>(remaining, cbValueMax - 1);
  std::memcpy(buffer, text + column.Offset, static_cast<size_t>(n));
  buffer[n] = '\0';
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

int16_t SQLGetData(TIbStmtRec* hstmt, uint8_t icol, void* rgbValue, int32_t cbValueMax,
                   int32_t* pcbValue) {
  if (hstmt == nullptr || detail::Refused(hstmt)) return -1;
  if (ISC_STATUS refusal = CheckGetData(hstmt, icol, rgbValue, cbValueMax)) {
    SetError(hstmt->Status, refusal);
    return -1;
  }
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
