// Fetching: the next row into the bound caller variables, finished by type.
#include <algorithm>
#include <cstring>

#include "ibdb/CTypes.h"

namespace IbDB {

using detail::kDateTextLength;
using IBAPI::BaseType;

namespace {

constexpr ISC_STATUS kNoMoreRows = 100;
constexpr int16_t kCut = 1;  // success with information: a bounded value was cut

// Gives every column bound to nothing a buffer of the package's, so that the fetch delivers it
// and SQLGetData can hand it over.
void HoldUnbound(TIbStmtRec* stmt) {
  XSQLDA* out = stmt->OutSqlda;
  TBindIndex& index = stmt->ColIndex;
  detail::EnsureIndex(index, out->sqld);
  for (int32_t i = 0; i < out->sqld; ++i) {
    TBindSlot& slot = index.Slots[i];
    if (slot.Node != nullptr || slot.Held != 0) continue;
    XSQLVAR& var = out->sqlvar[i];
    size_t size = static_cast<size_t>(std::max<ISC_SHORT>(var.sqllen, 1));
    if (BaseType(var.sqltype) == SQL_VARYING) size += 2;
    var.sqldata = static_cast<ISC_SCHAR*>(detail::ZeroAlloc(size));
    var.sqlind = &index.Indicators[i];
    slot = TBindSlot{};
    slot.OwnsData = 1;
    slot.Held = 1;
  }
  index.PlanStale = 1;
}

// What the row loop walks: the null flags (side by side, or one address each), and only the
// columns that need work after their flag.
void MakePlan(TBindIndex& index, int32_t count, uint8_t* scratch) {
  std::free(index.Flags);
  std::free(index.Finishing);
  index.Flags = nullptr;
  index.Finishing = nullptr;
  index.FinishingCount = 0;
  auto flagOf = [&](int32_t i) {
    const TBindSlot& slot = index.Slots[i];
    return slot.NullFlag != nullptr ? slot.NullFlag : scratch;
  };
  index.FlagBase = count > 0 ? flagOf(0) : nullptr;
  bool sideBySide = true;
  for (int32_t i = 1; i < count && sideBySide; ++i) sideBySide = flagOf(i) == index.FlagBase + i;
  const auto n = static_cast<size_t>(std::max(count, 1));
  if (!sideBySide) {
    index.Flags = static_cast<uint8_t**>(detail::ZeroAlloc(n * sizeof(uint8_t*)));
    for (int32_t i = 0; i < count; ++i) index.Flags[i] = flagOf(i);
  }
  index.Finishing = static_cast<int32_t*>(detail::ZeroAlloc(n * sizeof(int32_t)));
  for (int32_t i = 0; i < count; ++i) {
    const TBindSlot& slot = index.Slots[i];
    if (slot.Held == 0 && (slot.Finish != detail::kFinishNone || slot.Length != nullptr)) {
      index.Finishing[index.FinishingCount++] = i;
    }
  }
  index.PlanStale = 0;
}

// Reads a blob into a bounded buffer, as text (with a NUL) or as bytes; its full length goes to
// the caller's length variable. Whether it was cut.
bool ReadBoundedBlob(TIbStmtRec* stmt, const XSQLVAR& var, const TBindSlot& slot, bool text) {
  int64_t total = 0;
  auto* buffer = static_cast<char*>(slot.Node->Data);
  const int64_t read = detail::ReadBlobInto(stmt, reinterpret_cast<const ISC_QUAD*>(var.sqldata),
                                            buffer, slot.ValueMax - (text ? 1 : 0), &total);
  if (text && read >= 0) buffer[read] = '\0';
  if (slot.Length != nullptr) *slot.Length = read < 0 ? -1 : detail::ReportedLength(total);
  return read >= 0 && total > read;
}

// A column converted to the caller's C type: 0, 1 when cut, -1 when refused (the refusal left in
// the statement, nothing written).
int16_t Convert(TIbStmtRec* stmt, int32_t entry, const XSQLVAR& var, const TBindSlot& slot) {
  if (BaseType(var.sqltype) == SQL_BLOB) {
    return ReadBoundedBlob(stmt, var, slot, slot.CType == detail::kCChar) ? kCut : 0;
  }
  return detail::ColumnToC(stmt, entry, slot.CType, static_cast<char*>(slot.Node->Data),
                           slot.ValueMax, slot.Length);
}

}  // namespace

int16_t SQLFetch(TIbStmtRec* hstmt) {
  if (hstmt == nullptr || detail::Refused(hstmt) || detail::AwaitingData(hstmt)) return -1;
  XSQLDA* out = hstmt->OutSqlda;
  TBindIndex& index = hstmt->ColIndex;
  hstmt->HasRow = 0;
  if (out->sqld > 0 && (index.Slots == nullptr || index.Bound < out->sqld)) {
    if (index.Classic > 0) {
      // A statement bound in the classic form fetches every column into the caller's variables.
      detail::SetError(hstmt->Status, isc_dsql_sqlda_err);
      return -1;
    }
    HoldUnbound(hstmt);
  }
  if (index.PlanStale != 0) MakePlan(index, out->sqld, &hstmt->HeldNull);
  detail::TRunning running(hstmt->Conn, hstmt->Status, hstmt->QueryTimeout);
  if (running.Failed) return -1;
  if (hstmt->GetData != nullptr) detail::NextHeldRow(hstmt);
  ISC_STATUS rc = detail::Watch(
      hstmt->Conn, hstmt->Status,
      IBAPI::Entries.isc_dsql_fetch(hstmt->Status, &hstmt->StmtHandle, SQLDA_VERSION1, out));
  if (rc == kNoMoreRows) return kNoMoreRows;
  if (rc != 0) return -1;

  const int32_t count = out->sqld;
  const ISC_SHORT* indicators = index.Indicators;
  if (index.Flags == nullptr) {
    uint8_t* flags = index.FlagBase;
    for (int32_t i = 0; i < count; ++i) flags[i] = indicators[i] == -1 ? 1 : 0;
  } else {
    uint8_t* const* flags = index.Flags;
    for (int32_t i = 0; i < count; ++i) *flags[i] = indicators[i] == -1 ? 1 : 0;
  }

  int16_t result = 0;
  for (int32_t k = 0; k < index.FinishingCount; ++k) {
    const int32_t i = index.Finishing[k];
    const TBindSlot& slot = index.Slots[i];
    XSQLVAR& var = out->sqlvar[i];
    const bool bounded = slot.ValueMax != 0;
    if (indicators[i] == -1) {
      if (slot.Length != nullptr) *slot.Length = -1;
      continue;  // no conversion: the caller's variables keep what they held
    }
    int32_t length = var.sqllen;
    switch (slot.Finish) {
      case detail::kFinishVarying: {
        uint16_t stored;
        std::memcpy(&stored, var.sqldata, sizeof(stored));
        length = std::min<int32_t>(stored, var.sqllen);
        const int32_t n = bounded ? std::min(length, slot.ValueMax - 1) : length;
        auto* target = static_cast<char*>(slot.Node->Data);
        std::memcpy(target, var.sqldata + sizeof(stored), static_cast<size_t>(n));
        target[n] = '\0';
        if (n < length && result == 0) result = kCut;
        break;
      }
      case detail::kFinishText:
        var.sqldata[var.sqllen] = '\0';
        break;
      case detail::kFinishTextCopy: {
        const int32_t n = std::min<int32_t>(var.sqllen, slot.ValueMax - 1);
        auto* target = static_cast<char*>(slot.Node->Data);
        std::memcpy(target, var.sqldata, static_cast<size_t>(n));
        target[n] = '\0';
        if (n < length && result == 0) result = kCut;
        break;
      }
      case detail::kFinishScaled:
        detail::ScaleToIntegerPart(var, var.sqldata);
        break;
      case detail::kFinishDate:
        IBDateToTM(reinterpret_cast<const ISC_QUAD*>(var.sqldata),
                   static_cast<char*>(slot.Node->Data));
        length = kDateTextLength;
        break;
      case detail::kFinishBlob:
        if (bounded) {
          if (ReadBoundedBlob(hstmt, var, slot, false) && result == 0) result = kCut;
          continue;  // the length is the blob's
        }
        *slot.Node->SizePtr = IBBlobToPtr(hstmt, reinterpret_cast<const ISC_QUAD*>(var.sqldata),
                                          slot.Node->Data, slot.Node->Size);
        continue;
      case detail::kFinishConvert: {
        const int16_t rc = Convert(hstmt, i, var, slot);
        if (rc != 0 && result >= 0) result = rc;  // a refusal outweighs a cut
        continue;
      }
      default:
        break;
    }
    if (slot.Length != nullptr) *slot.Length = length;
  }
  hstmt->HasRow = 1;
  return result;
}

}  // namespace IbDB
