// Description of columns and parameters, and binding of caller variables to them.
#include <algorithm>
#include <cstring>

#include "ibdb/Internal.h"

namespace IbDB {

using detail::SetError;
using IBAPI::KindOf;
using IBAPI::TypeKind;

namespace {

constexpr int16_t kNoSuchEntry = 100;
constexpr int16_t kDefaultSegmentSize = 80;
constexpr size_t kNameBufferSize = 32;
constexpr int32_t kMaxSegmentSize = 65535;

enum class Side { Columns, Params };

struct SideRefs {
  XSQLDA* area;
  int16_t& boundFlag;
  TBindIndex& index;
  TBindNode*& blob;
  TBindNode*& date;
  TBindNode*& vary;
  TBindNode*& plain;

  TBindNode*& ListFor(TypeKind kind) const {
    switch (kind) {
      case TypeKind::Varying:
        return vary;
      case TypeKind::Date:
        return date;
      case TypeKind::Blob:
        return blob;
      case TypeKind::Plain:
        break;
    }
    return plain;
  }
};

SideRefs RefsOf(TIbStmtRec* s, Side side) {
  if (side == Side::Columns) {
    return {s->OutSqlda, s->ColsBound, s->ColIndex, s->BlobCols,
            s->DateCols, s->VaryCols,  s->PlainCols};
  }
  return {s->InSqlda,    s->ParamsBound, s->ParamIndex, s->BlobParams,
          s->DateParams, s->VaryParams,  s->PlainParams};
}

// The described entry of a 1-based number, or nil past the last one.
XSQLVAR* DescribedEntry(XSQLDA* area, uint8_t number) {
  if (number == 0 || number > area->sqld) return nullptr;
  return &area->sqlvar[number - 1];
}

void CopyName(char (&target)[kNameBufferSize], const char* name, ISC_SHORT length) {
  size_t n = std::clamp<ISC_SHORT>(length, 0, kNameBufferSize - 1);
  std::memcpy(target, name, n);
  target[n] = '\0';
}

// The length SQLGetCol reports for a column: for a blob, the segment size of the column's
// blob definition as a read size that SQLBindCol takes (above 32767 as 32767; 80 where the
// definition gives 0 or cannot be read); for every other type its sqllen.
int16_t ColumnLength(TIbStmtRec* hstmt, const XSQLVAR& var) {
  if (KindOf(var.sqltype) != TypeKind::Blob) return var.sqllen;
  char relation[kNameBufferSize];
  char column[kNameBufferSize];
  char global[kNameBufferSize];
  CopyName(relation, var.relname, var.relname_length);
  CopyName(column, var.sqlname, var.sqlname_length);
  ISC_BLOB_DESC desc{};
  TIbConnRec* conn = hstmt->Conn;
  ISC_STATUS rc = detail::Watch(
      conn, hstmt->Status,
      IBAPI::Entries.isc_blob_lookup_desc(
          hstmt->Status, &conn->DbHandle, &conn->TrHandle, reinterpret_cast<ISC_UCHAR*>(relation),
          reinterpret_cast<ISC_UCHAR*>(column), &desc, reinterpret_cast<ISC_UCHAR*>(global)));
  const uint16_t size = desc.blob_desc_segment_size;
  if (rc != 0 || size == 0) return kDefaultSegmentSize;
  return static_cast<int16_t>(std::min<uint16_t>(size, INT16_MAX));
}

int16_t Describe(TIbStmtRec* hstmt, Side side, uint8_t number, int16_t& pfSqlType,
                 int16_t& pcbLen) {
  if (hstmt == nullptr || detail::Refused(hstmt)) return -1;
  const XSQLVAR* var = DescribedEntry(RefsOf(hstmt, side).area, number);
  if (var == nullptr) return kNoSuchEntry;
  pfSqlType = var->sqltype;
  pcbLen = side == Side::Params ? var->sqllen : ColumnLength(hstmt, *var);
  return 0;
}

// Why a binding is refused, or 0 when it can be made.
ISC_STATUS CheckBinding(const XSQLVAR* var, Side side, int16_t fSqlType, const void* rgbValue,
                        const uint8_t* pfNull, const int32_t* pcbValue, uint16_t cbSegment) {
  if (var == nullptr) return isc_dsql_sqlda_value_err;
  if (KindOf(fSqlType) != KindOf(var->sqltype)) return isc_dsql_datatype_err;
  if (rgbValue == nullptr || pfNull == nullptr) return isc_dsql_sqlda_err;
  if (KindOf(fSqlType) != TypeKind::Blob) return 0;
  if (pcbValue == nullptr) return isc_dsql_sqlda_err;
  if (side == Side::Params) return cbSegment == 0 ? isc_dsql_sqlda_value_err : 0;
  // A blob column reads in pieces of the length the caller's variable holds now.
  return *pcbValue < 1 || *pcbValue > kMaxSegmentSize ? isc_dsql_sqlda_value_err : 0;
}

int32_t Bind(TIbStmtRec* hstmt, Side side, uint8_t number, int16_t fSqlType, void* rgbValue,
             uint8_t* pfNull, int32_t* pcbValue, uint16_t cbSegment) {
  if (hstmt == nullptr || detail::Refused(hstmt)) return -1;
  SideRefs refs = RefsOf(hstmt, side);
  XSQLVAR* var = DescribedEntry(refs.area, number);
  if (ISC_STATUS refusal =
          CheckBinding(var, side, fSqlType, rgbValue, pfNull, pcbValue, cbSegment)) {
    SetError(hstmt->Status, refusal);
    return -1;
  }

  const int32_t entry = number - 1;
  TBindIndex& index = refs.index;
  if (index.Slots == nullptr) {
    index.Count = refs.area->sqld;
    index.Slots = static_cast<TBindSlot*>(
        detail::ZeroAlloc(static_cast<size_t>(index.Count) * sizeof(TBindSlot)));
  }
  refs.boundFlag = 1;

  const TypeKind kind = KindOf(fSqlType);
  // A binding made again replaces the earlier one: its buffers go, its node is reused.
  if (kind != TypeKind::Plain) std::free(var->sqldata);
  std::free(var->sqlind);
  var->sqldata = nullptr;
  var->sqlind = nullptr;

  switch (kind) {
    case TypeKind::Varying:
      var->sqldata =
          static_cast<ISC_SCHAR*>(detail::ZeroAlloc(static_cast<size_t>(var->sqllen) + 2));
      break;
    case TypeKind::Date:
    case TypeKind::Blob:
      var->sqldata = static_cast<ISC_SCHAR*>(detail::ZeroAlloc(sizeof(ISC_QUAD)));
      break;
    case TypeKind::Plain:
      var->sqldata = static_cast<ISC_SCHAR*>(rgbValue);
      break;
  }
  var->sqlind = static_cast<ISC_SHORT*>(detail::ZeroAlloc(sizeof(ISC_SHORT)));

  int32_t* sizePtr = kind == TypeKind::Blob ? pcbValue : nullptr;
  int32_t size = 0;
  if (kind == TypeKind::Blob) size = side == Side::Params ? cbSegment : *pcbValue;

  TBindNode*& list = refs.ListFor(kind);
  TBindSlot& slot = index.Slots[entry];
  TBindNode* node = slot.Node;
  if (node == nullptr) {
    AddLL(list, entry, rgbValue, pfNull, sizePtr, size);
    node = list;
    while (node->Next != nullptr) node = node->Next;  // the appended node
    slot.Node = node;
    ++index.Bound;
  } else {
    node->Data = rgbValue;
    node->NullFlag = pfNull;
    node->SizePtr = sizePtr;
    node->Size = size;
    *pfNull = 0;
  }
  slot.Indicator = var->sqlind;
  slot.NullFlag = pfNull;
  slot.Finish = detail::FinishOf(*var);
  return 0;
}

}  // namespace

int16_t SQLGetCol(TIbStmtRec* hstmt, uint8_t icol, int16_t& pfSqlType, int16_t& pcbLen) {
  return Describe(hstmt, Side::Columns, icol, pfSqlType, pcbLen);
}

int16_t SQLGetParam(TIbStmtRec* hstmt, uint8_t ipar, int16_t& pfSqlType, int16_t& pcbLen) {
  return Describe(hstmt, Side::Params, ipar, pfSqlType, pcbLen);
}

int16_t SQLDescribeCol(TIbStmtRec* hstmt, uint8_t icol, char* szColName, int16_t cbColNameMax,
                       int16_t* pcbColName, int16_t* pfSqlType, int32_t* pcbColDef,
                       int16_t* pibScale, int16_t* pfNullable) {
  if (hstmt == nullptr || detail::Refused(hstmt)) return -1;
  const XSQLVAR* var = DescribedEntry(hstmt->OutSqlda, icol);
  if (var == nullptr) return kNoSuchEntry;
  const auto nameLength =
      static_cast<int16_t>(std::clamp<ISC_SHORT>(var->aliasname_length, 0, sizeof(var->aliasname)));
  if (szColName != nullptr && cbColNameMax > 0) {
    const auto n = static_cast<size_t>(std::min<int16_t>(nameLength, cbColNameMax - 1));
    std::memcpy(szColName, var->aliasname, n);
    szColName[n] = '\0';
  }
  if (pcbColName != nullptr) *pcbColName = nameLength;
  if (pfSqlType != nullptr) *pfSqlType = var->sqltype;
  if (pcbColDef != nullptr) *pcbColDef = ColumnLength(hstmt, *var);
  if (pibScale != nullptr) *pibScale = var->sqlscale;
  if (pfNullable != nullptr) *pfNullable = static_cast<int16_t>(var->sqltype & 1);
  return 0;
}

int32_t SQLBindCol(TIbStmtRec* hstmt, uint8_t icol, int16_t fSqlType, void* rgbValue,
                   uint8_t* pfNull, int32_t* pcbValue) {
  return Bind(hstmt, Side::Columns, icol, fSqlType, rgbValue, pfNull, pcbValue, 0);
}

int32_t SQLBindParameter(TIbStmtRec* hstmt, uint8_t ipar, int16_t fSqlType, void* rgbValue,
                         uint8_t* pfNull, int32_t* pcbValue, uint16_t cbSegment) {
  return Bind(hstmt, Side::Params, ipar, fSqlType, rgbValue, pfNull, pcbValue, cbSegment);
}

}  // namespace IbDB
