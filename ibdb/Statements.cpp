// Statement records: allocation, preparation with description of both areas, close and drop.
#include <algorithm>
#include <cstring>

#include "ibdb/Internal.h"

namespace IbDB {

using detail::SetError;
using detail::Watch;
using IBAPI::Entries;
using IBAPI::XsqldaLength;

namespace {

constexpr uint16_t kInitialEntries = 5;
constexpr uint8_t kCloseOption = 0;
constexpr uint8_t kDropOption = 1;

XSQLDA* NewArea(uint16_t entries) {
  auto* area = static_cast<XSQLDA*>(detail::ZeroAlloc(XsqldaLength(entries)));
  area->version = SQLDA_VERSION1;
  area->sqln = static_cast<ISC_SHORT>(entries);
  return area;
}

// Grows an area to the count the client described; the added entries start cleared.
XSQLDA* GrowArea(XSQLDA* area) {
  auto oldCount = static_cast<uint16_t>(area->sqln);
  auto newCount = static_cast<uint16_t>(area->sqld);
  area = static_cast<XSQLDA*>(detail::Resize(area, XsqldaLength(newCount)));
  std::memset(static_cast<void*>(area->sqlvar + oldCount), 0,
              (newCount - oldCount) * sizeof(XSQLVAR));
  area->sqln = static_cast<ISC_SHORT>(newCount);
  area->version = SQLDA_VERSION1;
  return area;
}

void ReleaseSide(XSQLDA* area, int16_t& boundFlag, TBindIndex& index,
                 std::initializer_list<TBindNode**> lists) {
  const int32_t entries = std::min<int32_t>(area->sqln, index.Count);
  for (int32_t i = 0; i < entries; ++i) {
    XSQLVAR& var = area->sqlvar[i];
    if (index.Slots[i].OwnsData != 0) std::free(var.sqldata);
    var.sqldata = nullptr;
    var.sqlind = nullptr;
  }
  for (TBindNode** list : lists) DestroyLL(*list);
  std::free(index.Slots);
  std::free(index.Indicators);
  std::free(index.Flags);
  std::free(index.Finishing);
  index = TBindIndex{};
  boundFlag = 0;
}

}  // namespace

void detail::EnsureIndex(TBindIndex& index, int32_t count) {
  if (index.Slots != nullptr) return;
  const auto n = static_cast<size_t>(std::max(count, 1));
  index.Slots = static_cast<TBindSlot*>(detail::ZeroAlloc(n * sizeof(TBindSlot)));
  index.Indicators = static_cast<ISC_SHORT*>(detail::ZeroAlloc(n * sizeof(ISC_SHORT)));
  index.Count = count;
  index.PlanStale = 1;
}

void detail::ReleaseBindings(TIbStmtRec* stmt) {
  detail::ReleaseHeld(stmt);
  if (stmt->ColsBound != 0 || stmt->ColIndex.Slots != nullptr) {
    ReleaseSide(stmt->OutSqlda, stmt->ColsBound, stmt->ColIndex,
                {&stmt->DateCols, &stmt->BlobCols, &stmt->VaryCols, &stmt->PlainCols});
  }
  if (stmt->ParamsBound != 0 || stmt->ParamIndex.Slots != nullptr) {
    ReleaseSide(stmt->InSqlda, stmt->ParamsBound, stmt->ParamIndex,
                {&stmt->DateParams, &stmt->BlobParams, &stmt->VaryParams, &stmt->PlainParams});
  }
}

int32_t SQLAllocStmt(TIbConnRec* hdbc, TIbStmtRec*& hstmt) {
  hstmt = nullptr;
  if (hdbc == nullptr || detail::Refused(hdbc, hdbc->Status)) return -1;
  auto* stmt = static_cast<TIbStmtRec*>(detail::ZeroAlloc(sizeof(TIbStmtRec)));
  if (Watch(hdbc, hdbc->Status,
            Entries.isc_dsql_allocate_statement(hdbc->Status, &hdbc->DbHandle,
                                                &stmt->StmtHandle)) != 0) {
    std::free(stmt);
    return -1;
  }
  stmt->Conn = hdbc;
  stmt->OutSqlda = NewArea(kInitialEntries);
  stmt->InSqlda = NewArea(kInitialEntries);
  detail::Register(stmt);
  hstmt = stmt;
  return 0;
}

int16_t SQLPrepare(TIbStmtRec* hstmt, const char* szSqlStr, int32_t /*cbSqlStr*/) {
  if (hstmt == nullptr || detail::Refused(hstmt) || detail::AwaitingData(hstmt)) return -1;
  if (szSqlStr == nullptr) {
    SetError(hstmt->Status, isc_dsql_command_err);
    return -1;
  }
  // The new description may give an entry another type: no binding outlives a preparation.
  detail::ReleaseBindings(hstmt);
  detail::KeepText(hstmt, szSqlStr);
  detail::TRunning running(hstmt->Conn, hstmt->Status, hstmt->QueryTimeout);

  TIbConnRec* conn = hstmt->Conn;
  if (running.Failed || !detail::StartIfNone(hstmt)) return -1;
  hstmt->Dialect = static_cast<uint8_t>(detail::DialectOf(conn));
  if (Watch(conn, hstmt->Status,
            Entries.isc_dsql_prepare(hstmt->Status, &conn->TrHandle, &hstmt->StmtHandle, 0,
                                     szSqlStr, hstmt->Dialect, hstmt->OutSqlda)) != 0) {
    return -1;
  }

  int16_t result = 0;
  XSQLDA*& out = hstmt->OutSqlda;
  if (out->sqld > out->sqln) {
    out = GrowArea(out);
    if (Watch(conn, hstmt->Status,
              Entries.isc_dsql_describe(hstmt->Status, &hstmt->StmtHandle, SQLDA_VERSION1, out)) !=
        0) {
      out->sqld = 0;
      result = -1;
      if (conn->State.Lost != 0) return result;
    }
  }

  hstmt->HasParamMarkers = std::strchr(szSqlStr, '?') != nullptr ? 1 : 0;
  XSQLDA*& in = hstmt->InSqlda;
  if (hstmt->HasParamMarkers == 0) {
    in->sqld = 0;  // no description of an earlier text survives
    return result;
  }
  auto describeBind = [&] {
    return Watch(
        conn, hstmt->Status,
        Entries.isc_dsql_describe_bind(hstmt->Status, &hstmt->StmtHandle, SQLDA_VERSION1, in));
  };
  if (describeBind() != 0) return -1;
  if (in->sqld > in->sqln) {
    in = GrowArea(in);
    if (describeBind() != 0) return -1;
  }
  return result;
}

void detail::DropRecord(TIbStmtRec* stmt) {
  // Nothing goes to a lost attachment: its detach releases the client's statement.
  if (stmt->Conn->State.Lost == 0) {
    Watch(stmt->Conn, stmt->Status,
          Entries.isc_dsql_free_statement(stmt->Status, &stmt->StmtHandle, DSQL_drop));
  }
  detail::EndAtExec(stmt);
  detail::ReleaseBindings(stmt);
  detail::ReleaseArrays(stmt, true);
  std::free(stmt->OutSqlda);
  std::free(stmt->InSqlda);
  std::free(stmt);
}

int16_t SQLFreeStmt(TIbStmtRec* hstmt, uint8_t fOption) {
  if (hstmt == nullptr) return 0;
  if (!detail::Live(hstmt)) return -1;  // freed already, by a drop or its connection's end
  detail::EndAtExec(hstmt);
  if (fOption == kCloseOption) {
    detail::ReleaseHeld(hstmt);
    if (hstmt->Conn->State.Lost == 0) {  // a lost attachment's detach closes the cursor
      Watch(hstmt->Conn, hstmt->Status,
            Entries.isc_dsql_free_statement(hstmt->Status, &hstmt->StmtHandle, DSQL_close));
    }
  } else if (fOption == kDropOption) {
    detail::Unregister(hstmt);  // no call reaches it any more
    detail::DropRecord(hstmt);
  }
  return 0;
}

}  // namespace IbDB
