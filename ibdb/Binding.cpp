// Description of columns and parameters, and binding of caller variables to them.
#include <algorithm>
#include <cstring>

#include "ibdb/CTypes.h"

namespace IbDB {

using detail::kDateTextLength;
using detail::kDateTextSize;
using detail::kMaxSegmentSize;
using detail::SetError;
using IBAPI::KindOf;
using IBAPI::TypeKind;

namespace {

constexpr int16_t kNoSuchEntry = 100;
constexpr int16_t kDefaultSegmentSize = 80;
constexpr size_t kNameBufferSize = 32;

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

// What a bind operation was given. Bounded: the size of the caller's buffer came with it.
struct TBindArgs {
  int16_t type;
  void* data;
  int32_t valueMax;  // bounded form only
  uint8_t* null;
  int32_t* length;
  uint16_t segment;  // classic blob parameters only
  bool bounded;
};

// Whether a binding can be made: false with why filled when it cannot.
bool CanBind(const XSQLVAR* var, Side side, const TBindArgs& a, detail::TRefusal& why) {
  using detail::Refuse;
  if (var == nullptr) return Refuse(why, isc_dsql_sqlda_value_err, "no such entry");
  const bool converted = a.bounded && detail::IsCType(a.type);
  if (converted && !detail::Convertible(var->sqltype, a.type)) {
    return Refuse(why, isc_dsql_datatype_err, "C type %d does not convert to or from SQL type %d",
                  a.type, var->sqltype);
  }
  const TypeKind kind = KindOf(a.type);
  if (!converted && kind != KindOf(var->sqltype)) {
    return Refuse(why, isc_dsql_datatype_err, "type %d given for an entry of type %d", a.type,
                  var->sqltype);
  }
  if (a.data == nullptr || a.null == nullptr) {
    return Refuse(why, isc_dsql_sqlda_err, "no buffer or null flag");
  }
  if (a.bounded) {
    // C types need their size; the package's date text its own; text and blobs are cut or
    // padded; every other type is read or written in place, whole.
    int32_t least = 1;
    if (converted) {
      least = detail::CTypeSize(a.type);
    } else if (kind == TypeKind::Date) {
      least = side == Side::Columns ? kDateTextSize : kDateTextLength;
    } else if (kind == TypeKind::Plain && IBAPI::BaseType(var->sqltype) != SQL_TEXT) {
      least = var->sqllen;
    }
    least = std::max(least, 1);
    if (a.valueMax >= least) return true;
    return Refuse(why, isc_dsql_sqlda_value_err, "a buffer of %d bytes for a value of %d",
                  a.valueMax, least);
  }
  if (kind != TypeKind::Blob) return true;
  if (a.length == nullptr) return Refuse(why, isc_dsql_sqlda_err, "a blob without a length");
  if (side == Side::Params) {
    return a.segment != 0 || Refuse(why, isc_dsql_sqlda_value_err, "a segment size of 0");
  }
  // A blob column reads in pieces of the length the caller's variable holds now.
  return (*a.length >= 1 && *a.length <= kMaxSegmentSize) ||
         Refuse(why, isc_dsql_sqlda_value_err, "a read size of %d", *a.length);
}

// Where the entry's value lives once bound: the caller's buffer (0), or a buffer of the
// package's of that many bytes.
size_t PackageBufferSize(const XSQLVAR& var, Side side, const TBindArgs& a) {
  if (a.bounded && detail::IsCType(a.type)) {  // converted from the entry's own form
    const int16_t type = IBAPI::BaseType(var.sqltype);
    if (type == SQL_BLOB) return sizeof(ISC_QUAD);
    return static_cast<size_t>(std::max<ISC_SHORT>(var.sqllen, 1)) + (type == SQL_VARYING ? 2 : 0);
  }
  switch (KindOf(a.type)) {
    case TypeKind::Varying:
      return static_cast<size_t>(var.sqllen) + 2;
    case TypeKind::Date:
    case TypeKind::Blob:
      return sizeof(ISC_QUAD);
    case TypeKind::Plain:
      break;
  }
  // Bounded CHAR: padded from the caller's text, or fetched whole and cut to the buffer.
  const bool text = IBAPI::BaseType(var.sqltype) == SQL_TEXT;
  if (a.bounded && text && (side == Side::Params || a.valueMax <= var.sqllen)) {
    return static_cast<size_t>(std::max<ISC_SHORT>(var.sqllen, 1));
  }
  return 0;
}

int32_t Bind(TIbStmtRec* hstmt, Side side, uint8_t number, const TBindArgs& a) {
  if (hstmt == nullptr || detail::Refused(hstmt) || detail::AwaitingData(hstmt)) return -1;
  SideRefs refs = RefsOf(hstmt, side);
  XSQLVAR* var = DescribedEntry(refs.area, number);
  detail::TRefusal why;
  if (!CanBind(var, side, a, why)) {
    // The classic forms keep the client's code alone, as it always read.
    detail::Report(hstmt, why, side == Side::Columns, number, 0, a.bounded);
    return -1;
  }

  const int32_t entry = number - 1;
  TBindIndex& index = refs.index;
  detail::EnsureIndex(index, refs.area->sqld);
  refs.boundFlag = 1;
  TBindSlot& slot = index.Slots[entry];
  // A binding made again replaces the earlier one: its buffers go, its node is reused.
  if (slot.OwnsData != 0) std::free(var->sqldata);
  const size_t owned = PackageBufferSize(*var, side, a);
  var->sqldata = owned != 0 ? static_cast<ISC_SCHAR*>(detail::ZeroAlloc(owned))
                            : static_cast<ISC_SCHAR*>(a.data);
  var->sqlind = &index.Indicators[entry];
  *var->sqlind = 0;

  const bool converted = a.bounded && detail::IsCType(a.type);
  // The list a binding joins: by the entry's own type where a C type was given.
  const TypeKind kind = KindOf(converted ? var->sqltype : a.type);
  int32_t* sizePtr = kind == TypeKind::Blob ? a.length : nullptr;
  int32_t size = 0;
  if (kind == TypeKind::Blob) {
    if (a.bounded) {
      size = kMaxSegmentSize;  // the package reads and writes in the longest pieces it can
    } else {
      size = side == Side::Params ? a.segment : *a.length;
    }
  }

  TBindNode*& list = refs.ListFor(kind);
  TBindNode* node = slot.Node;
  // The classic forms set the null flag to 0; the bounded ones leave the caller's flags as
  // they are, as ODBC's callers fill them before binding.
  uint8_t unused = 0;
  if (node == nullptr) {
    AddLL(list, entry, a.data, a.bounded ? &unused : a.null, sizePtr, size);
    node = list;
    while (node->Next != nullptr) node = node->Next;  // the appended node
    node->NullFlag = a.null;
    slot.Node = node;
    ++index.Bound;
  } else {
    node->Data = a.data;
    node->NullFlag = a.null;
    node->SizePtr = sizePtr;
    node->Size = size;
    if (!a.bounded) *a.null = 0;
    if (slot.ValueMax == 0) --index.Classic;
  }
  if (!a.bounded) ++index.Classic;
  slot.NullFlag = a.null;
  slot.Length = a.bounded ? a.length : nullptr;
  slot.ValueMax = a.bounded ? a.valueMax : 0;
  slot.OwnsData = owned != 0 ? 1 : 0;
  slot.Held = 0;
  slot.CType = converted ? a.type : 0;
  slot.Finish = detail::FinishOf(*var, slot);
  slot.Check = detail::CheckOf(*var, slot);
  index.PlanStale = 1;
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
  return Bind(hstmt, Side::Columns, icol,
              TBindArgs{fSqlType, rgbValue, 0, pfNull, pcbValue, 0, false});
}

int32_t SQLBindParameter(TIbStmtRec* hstmt, uint8_t ipar, int16_t fSqlType, void* rgbValue,
                         uint8_t* pfNull, int32_t* pcbValue, uint16_t cbSegment) {
  return Bind(hstmt, Side::Params, ipar,
              TBindArgs{fSqlType, rgbValue, 0, pfNull, pcbValue, cbSegment, false});
}

int32_t SQLBindCol(TIbStmtRec* hstmt, uint8_t icol, int16_t fSqlType, void* rgbValue,
                   int32_t cbValueMax, uint8_t* pfNull, int32_t* pcbValue) {
  return Bind(hstmt, Side::Columns, icol,
              TBindArgs{fSqlType, rgbValue, cbValueMax, pfNull, pcbValue, 0, true});
}

int32_t SQLBindParameter(TIbStmtRec* hstmt, uint8_t ipar, int16_t fSqlType, void* rgbValue,
                         int32_t cbValueMax, uint8_t* pfNull, int32_t* pcbValue) {
  return Bind(hstmt, Side::Params, ipar,
              TBindArgs{fSqlType, rgbValue, cbValueMax, pfNull, pcbValue, 0, true});
}

}  // namespace IbDB
