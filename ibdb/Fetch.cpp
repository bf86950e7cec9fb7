// Fetching: the next row into the bound caller variables, finished by type.
#include <algorithm>
#include <cstring>

#include "ibdb/Internal.h"

namespace IbDB {

using IBAPI::BaseType;

namespace {

constexpr ISC_STATUS kNoMoreRows = 100;

// 10 to the power of -scale, or 0 when that exceeds every 32-bit value.
int64_t ScaleDivisor(ISC_SHORT scale) {
  int64_t divisor = 1;
  for (int i = scale; i < 0; ++i) {
    divisor *= 10;
    if (divisor > INT32_MAX) return 0;
  }
  return divisor;
}

// Reduces a scaled integer in the caller's variable to its integer part, truncated toward zero.
template <typename Int>
void ScaleInPlace(ISC_SCHAR* data, ISC_SHORT scale) {
  int64_t divisor = ScaleDivisor(scale);
  Int value;
  std::memcpy(&value, data, sizeof(value));
  value = divisor == 0 ? 0 : static_cast<Int>(value / divisor);
  std::memcpy(data, &value, sizeof(value));
}

}  // namespace

int16_t SQLFetch(TIbStmtRec* hstmt) {
  if (hstmt == nullptr || detail::Refused(hstmt)) return -1;
  XSQLDA* out = hstmt->OutSqlda;
  const TBindIndex& index = hstmt->ColIndex;
  if (out->sqld > 0 && (index.Slots == nullptr || index.Bound < out->sqld)) {
    detail::SetError(hstmt->Status, isc_dsql_sqlda_err);  // a described column is not bound
    return -1;
  }
  ISC_STATUS rc = detail::Watch(
      hstmt->Conn, hstmt->Status,
      IBAPI::Entries.isc_dsql_fetch(hstmt->Status, &hstmt->StmtHandle, SQLDA_VERSION1, out));
  if (rc == kNoMoreRows) return kNoMoreRows;
  if (rc != 0) return -1;

  const TBindSlot* slots = index.Slots;
  for (int32_t i = 0; i < out->sqld; ++i) {
    const TBindSlot& slot = slots[i];
    if (*slot.Indicator == -1) {
      *slot.NullFlag = 1;
      continue;
    }
    *slot.NullFlag = 0;
    if (slot.Finish == detail::kFinishNone) continue;
    XSQLVAR& var = out->sqlvar[i];
    const TBindNode* node = slot.Node;
    switch (slot.Finish) {
      case detail::kFinishVarying: {
        uint16_t length;
        std::memcpy(&length, var.sqldata, sizeof(length));
        length = std::min<uint16_t>(length, static_cast<uint16_t>(var.sqllen));
        auto* target = static_cast<char*>(node->Data);
        std::memcpy(target, var.sqldata + sizeof(length), length);
        target[length] = '\0';
        break;
      }
      case detail::kFinishText:
        var.sqldata[var.sqllen] = '\0';
        break;
      case detail::kFinishScaled:
        if (BaseType(var.sqltype) == SQL_LONG) {
          ScaleInPlace<int32_t>(var.sqldata, var.sqlscale);
        } else {
          ScaleInPlace<int16_t>(var.sqldata, var.sqlscale);
        }
        break;
      case detail::kFinishDate:
        IBDateToTM(reinterpret_cast<const ISC_QUAD*>(var.sqldata), static_cast<char*>(node->Data));
        break;
      case detail::kFinishBlob:
        *node->SizePtr = IBBlobToPtr(hstmt, reinterpret_cast<const ISC_QUAD*>(var.sqldata),
                                     node->Data, node->Size);
        break;
      default:
        break;
    }
  }
  return 0;
}

}  // namespace IbDB
