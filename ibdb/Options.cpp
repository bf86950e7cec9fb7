// Connection options: auto-commit, the SQL dialect, the character set sent at attach, the login
// timeout, and the options of the connection's transactions.
#include <array>

#include "ibdb/Internal.h"

namespace IbDB {

using detail::SetError;

namespace {

enum ConnectOption : uint8_t {
  kAccessMode = 101,
  kAutoCommit = 102,
  kLoginTimeout = 103,
  kConnectionTimeout = 113,
  kIsolation = 108,
  kDialect = 150,
  kCharset = 151,
  kLockWait = 152,
  kCancelGrace = 153,
};

constexpr uint16_t kReadUncommitted = 1;
constexpr uint16_t kReadCommitted = 2;
constexpr uint16_t kRepeatableRead = 4;
constexpr uint16_t kSerializable = 8;
constexpr uint16_t kLockWaitForever = 65535;
constexpr uint16_t kLockWaitLongest = 32767;

struct TCharset {
  const char* name;
  uint8_t bytesPerCharacter;
};

// Firebird 3's character sets by number (RDB$CHARACTER_SETS); the gaps define none.
constexpr std::array<TCharset, 70> kCharsets = [] {
  std::array<TCharset, 70> t{};
  auto set = [&t](int id, const char* name, uint8_t width) { t[id] = TCharset{name, width}; };
  set(0, "NONE", 1);
  set(1, "OCTETS", 1);
  set(2, "ASCII", 1);
  set(3, "UNICODE_FSS", 3);
  set(4, "UTF8", 4);
  set(5, "SJIS_0208", 2);
  set(6, "EUCJ_0208", 2);
  set(9, "DOS737", 1);
  set(10, "DOS437", 1);
  set(11, "DOS850", 1);
  set(12, "DOS865", 1);
  set(13, "DOS860", 1);
  set(14, "DOS863", 1);
  set(15, "DOS775", 1);
  set(16, "DOS858", 1);
  set(17, "DOS862", 1);
  set(18, "DOS864", 1);
  set(19, "NEXT", 1);
  set(21, "ISO8859_1", 1);
  set(22, "ISO8859_2", 1);
  set(23, "ISO8859_3", 1);
  set(34, "ISO8859_4", 1);
  set(35, "ISO8859_5", 1);
  set(36, "ISO8859_6", 1);
  set(37, "ISO8859_7", 1);
  set(38, "ISO8859_8", 1);
  set(39, "ISO8859_9", 1);
  set(40, "ISO8859_13", 1);
  set(44, "KSC_5601", 2);
  set(45, "DOS852", 1);
  set(46, "DOS857", 1);
  set(47, "DOS861", 1);
  set(48, "DOS866", 1);
  set(49, "DOS869", 1);
  set(50, "CYRL", 1);
  set(51, "WIN1250", 1);
  set(52, "WIN1251", 1);
  set(53, "WIN1252", 1);
  set(54, "WIN1253", 1);
  set(55, "WIN1254", 1);
  set(56, "BIG_5", 2);
  set(57, "GB_2312", 2);
  set(58, "WIN1255", 1);
  set(59, "WIN1256", 1);
  set(60, "WIN1257", 1);
  set(63, "KOI8R", 1);
  set(64, "KOI8U", 1);
  set(65, "WIN1258", 1);
  set(66, "TIS620", 1);
  set(67, "GBK", 2);
  set(68, "CP943C", 2);
  set(69, "GB18030", 4);
  return t;
}();

bool ValidIsolation(uint16_t v) {
  return v == kReadUncommitted || v == kReadCommitted || v == kRepeatableRead || v == kSerializable;
}

bool ValidLockWait(uint16_t v) {
  return v <= kLockWaitLongest || v == kLockWaitForever;
}

// The transaction parameter buffer of the options set; empty while none is set, so that the
// client's defaults apply exactly as without options. An option left unset takes the client's
// default: snapshot, read-write, wait.
void BuildTpb(TConnState& state) {
  state.TpbLength = 0;
  if (state.Isolation == 0 && state.AccessMode == 0 && state.LockWait == 0) return;
  char* tpb = state.Tpb;
  size_t n = 0;
  tpb[n++] = isc_tpb_version3;
  switch (state.Isolation) {
    case kReadUncommitted:
    case kReadCommitted:
      tpb[n++] = isc_tpb_read_committed;
      tpb[n++] = isc_tpb_rec_version;
      break;
    case kSerializable:
      tpb[n++] = isc_tpb_consistency;
      break;
    default:
      tpb[n++] = isc_tpb_concurrency;
      break;
  }
  tpb[n++] = state.AccessMode == 2 ? isc_tpb_read : isc_tpb_write;
  const int wait = state.LockWait == 0 ? kLockWaitForever : state.LockWait - 1;
  if (wait == 0) {
    tpb[n++] = isc_tpb_nowait;
  } else {
    tpb[n++] = isc_tpb_wait;
    if (wait != kLockWaitForever) {
      tpb[n++] = isc_tpb_lock_timeout;
      tpb[n++] = 4;
      for (int shift = 0; shift < 32; shift += 8) tpb[n++] = static_cast<char>(wait >> shift);
    }
  }
  state.TpbLength = static_cast<uint8_t>(n);
}

}  // namespace

const char* detail::CharsetName(uint16_t id) {
  return id < kCharsets.size() ? kCharsets[id].name : nullptr;
}

int detail::BytesPerCharacter(uint16_t id) {
  return id < kCharsets.size() && kCharsets[id].name != nullptr ? kCharsets[id].bytesPerCharacter
                                                                : 1;
}

int32_t SQLSetConnectOption(TIbConnRec* hdbc, uint8_t fOption, uint16_t vParam) {
  if (hdbc == nullptr) return -1;
  TConnState& state = hdbc->State;
  switch (fOption) {
    case kAutoCommit: {
      if (vParam != 1 || hdbc->TrHandle == 0) return 0;
      if (detail::Refused(hdbc, hdbc->Status)) return -1;
      detail::TRunning running(hdbc, hdbc->Status, state.ConnTimeout);
      return running.Failed || detail::EndTransaction(hdbc, true) != 0 ? -1 : 0;
    }
    case kAccessMode:
      if (vParam > 1) break;
      state.AccessMode = static_cast<uint16_t>(vParam + 1);
      BuildTpb(state);
      return 0;
    case kIsolation:
      if (!ValidIsolation(vParam)) break;
      state.Isolation = vParam;
      BuildTpb(state);
      return 0;
    case kLockWait:
      if (!ValidLockWait(vParam)) break;
      state.LockWait = static_cast<uint16_t>(vParam + 1);
      BuildTpb(state);
      return 0;
    case kDialect:
      if (vParam != 0 && vParam != 1 && vParam != 3) {
        SetError(hdbc->Status, isc_inv_client_dialect_specified, vParam);
        return -1;
      }
      state.ForcedDialect = static_cast<uint8_t>(vParam);
      return 0;
    case kCharset:
      if (detail::CharsetName(vParam) == nullptr) {
        SetError(hdbc->Status, isc_charset_not_found, vParam);
        return -1;
      }
      state.Charset = vParam;
      state.HasCharset = 1;
      return 0;
    case kLoginTimeout:
      state.LoginTimeout = vParam;
      return 0;
    case kConnectionTimeout:
      state.ConnTimeout = vParam;
      return 0;
    case kCancelGrace:
      state.CancelGrace = vParam + 1u;
      return 0;
    default:
      return 0;  // options the package does not know change nothing
  }
  SetError(hdbc->Status, isc_bad_tpb_content);
  return -1;
}

}  // namespace IbDB
