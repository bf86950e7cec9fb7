// Connection records, attach and detach, and the one transaction of each connection.
#include <cstring>

#include "ibdb/Internal.h"

namespace IbDB {

using detail::SetError;
using IBAPI::Entries;

namespace {

constexpr uint8_t kAutoCommitOption = 102;
constexpr size_t kMaxDpbItemLength = 255;

enum TransactCode : uint8_t { kCommit = 0, kRollback = 1, kStart = 2 };

void AppendDpbItem(std::string& dpb, char item, const std::string& value) {
  dpb.push_back(item);
  dpb.push_back(static_cast<char>(value.size()));
  dpb.append(value);
}

}  // namespace

int32_t SQLAllocConnect(TIbConnRec*& hdbc) {
  hdbc = static_cast<TIbConnRec*>(detail::ZeroAlloc(sizeof(TIbConnRec)));
  return 0;
}

int32_t SQLSetConnectOption(TIbConnRec* hdbc, uint8_t fOption, uint16_t vParam) {
  if (hdbc == nullptr) return -1;
  if (fOption != kAutoCommitOption || vParam != 1 || hdbc->TrHandle == 0) return 0;
  if (detail::ConnectionLost(hdbc)) return -1;
  return Entries.isc_commit_transaction(hdbc->Status, &hdbc->TrHandle) != 0 ? -1 : 0;
}

int32_t SQLConnect(TIbConnRec* hdbc, const std::string& dbName, const std::string& userName,
                   const std::string& password) {
  if (hdbc == nullptr) return -1;
  // One length byte per item; a NUL inside the name would make the client open another path.
  if (userName.size() > kMaxDpbItemLength || password.size() > kMaxDpbItemLength ||
      dbName.find('\0') != std::string::npos) {
    SetError(hdbc->Status, isc_bad_dpb_content);
    return -1;
  }
  std::string dpb;
  dpb.reserve(5 + userName.size() + password.size());
  dpb.push_back(static_cast<char>(isc_dpb_version1));
  AppendDpbItem(dpb, isc_dpb_user_name, userName);
  AppendDpbItem(dpb, isc_dpb_password, password);
  // Name length 0: the name is NUL-terminated.
  ISC_STATUS rc = Entries.isc_attach_database(hdbc->Status, 0, dbName.c_str(), &hdbc->DbHandle,
                                              static_cast<short>(dpb.size()), dpb.data());
  return rc != 0 ? -1 : 0;
}

int32_t SQLDisconnect(TIbConnRec*& hdbc) {
  if (hdbc == nullptr) return 0;
  // A lost attachment has no transaction left to end.
  if (hdbc->TrHandle != 0 && !detail::ConnectionLost(hdbc)) {
    if (Entries.isc_commit_transaction(hdbc->Status, &hdbc->TrHandle) != 0 &&
        !detail::ConnectionLost(hdbc)) {
      // The work could not be committed; end the transaction anyway so that the detach can
      // release the attachment instead of leaving it open behind a freed record.
      Entries.isc_rollback_transaction(hdbc->Status, &hdbc->TrHandle);
    }
  }
  Entries.isc_detach_database(hdbc->Status, &hdbc->DbHandle);
  std::free(hdbc);
  hdbc = nullptr;
  return 0;
}

int32_t SQLTransact(TIbConnRec* hdbc, uint8_t fType) {
  if (hdbc == nullptr) return -1;
  if (fType != kStart && hdbc->TrHandle == 0) return 0;
  if (detail::ConnectionLost(hdbc)) return -1;
  ISC_STATUS rc;
  if (fType == kStart) {
    rc = detail::StartTransaction(hdbc->Status, hdbc);
  } else if (fType == kCommit) {
    rc = Entries.isc_commit_transaction(hdbc->Status, &hdbc->TrHandle);
  } else {
    rc = Entries.isc_rollback_transaction(hdbc->Status, &hdbc->TrHandle);
  }
  return rc != 0 ? -1 : 0;
}

int16_t SQLTransactMdb(const std::vector<TIbConnRec**>& hdbcs, uint8_t fType, int32_t count) {
  if (fType != kCommit && fType != kRollback && fType != kStart) return 0;
  TIbConnRec* leader = !hdbcs.empty() && hdbcs[0] != nullptr ? *hdbcs[0] : nullptr;
  if (leader == nullptr) return -1;
  if (count < 1 || static_cast<size_t>(count) > hdbcs.size()) {
    SetError(leader->Status, isc_bad_db_handle);
    return -1;
  }
  if (count > INT16_MAX) {  // the client takes the count as a 16-bit value
    SetError(leader->Status, isc_imp_exc);
    return -1;
  }
  for (int32_t i = 1; i < count; ++i) {
    if (hdbcs[i] == nullptr || *hdbcs[i] == nullptr) {
      SetError(leader->Status, isc_bad_db_handle);
      return -1;
    }
  }
  for (int32_t i = 0; i < count; ++i) {
    if (detail::ConnectionLost(*hdbcs[i])) {
      if (i > 0) std::memcpy(leader->Status, (*hdbcs[i])->Status, sizeof(leader->Status));
      return -1;
    }
  }

  ISC_STATUS rc;
  if (fType == kStart) {
    std::vector<detail::TTeb> blocks;
    blocks.reserve(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) blocks.push_back(detail::TebOf(*hdbcs[i]));
    rc = Entries.isc_start_multiple(leader->Status, &leader->TrHandle, static_cast<short>(count),
                                    blocks.data());
  } else if (fType == kCommit) {
    rc = Entries.isc_commit_transaction(leader->Status, &leader->TrHandle);
  } else {
    rc = Entries.isc_rollback_transaction(leader->Status, &leader->TrHandle);
  }

  // Every listed connection shares the leader's transaction and result.
  for (int32_t i = 1; i < count; ++i) {
    TIbConnRec* conn = *hdbcs[i];
    conn->TrHandle = leader->TrHandle;
    std::memcpy(conn->Status, leader->Status, sizeof(conn->Status));
  }
  return rc != 0 ? -1 : 0;
}

}  // namespace IbDB
