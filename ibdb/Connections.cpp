// Connection records, attach and detach, the one transaction of each connection, and what the
// package records when an attachment is lost.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "ibdb/Internal.h"

namespace IbDB {

// The connections that SQLTransactMdb gave one transaction, so that ending it through any of
// them ends it for all.
struct TSharedTransaction {
  isc_tr_handle Handle;
  std::vector<TIbConnRec*> Members;
};

using detail::Refused;
using detail::SetError;
using detail::Watch;
using IBAPI::Entries;

namespace {

constexpr size_t kMaxDpbItemLength = 255;

enum TransactCode : uint8_t { kCommit = 0, kRollback = 1, kStart = 2 };

void AppendDpbItem(std::string& dpb, char item, const std::string& value) {
  dpb.push_back(item);
  dpb.push_back(static_cast<char>(value.size()));
  dpb.append(value);
}

// A name with a host part ("host:path", "inet://host/path") is reached through the server.
bool IsRemoteName(const std::string& name) {
  size_t colon = name.find(':');
  return colon != std::string::npos && colon > 0;
}

// Whether the connection holds the transaction SQLTransactMdb made for several connections.
bool SharesTransaction(const TIbConnRec* conn) {
  const TSharedTransaction* shared = conn->State.Shared;
  return conn->TrHandle != 0 && shared != nullptr && conn->TrHandle == shared->Handle;
}

// Takes the connection out of the shared transaction it belongs to.
void Leave(TIbConnRec* conn) {
  TSharedTransaction* shared = conn->State.Shared;
  if (shared == nullptr) return;
  conn->State.Shared = nullptr;
  auto& members = shared->Members;
  members.erase(std::remove(members.begin(), members.end(), conn), members.end());
  if (members.empty()) delete shared;
}

// Records that the connections hold one transaction.
void Share(const std::vector<TIbConnRec*>& conns, isc_tr_handle handle) {
  auto* shared = new TSharedTransaction{handle, {}};
  for (TIbConnRec* conn : conns) {
    if (conn->State.Shared == shared) continue;  // listed twice
    Leave(conn);
    conn->State.Shared = shared;
    shared->Members.push_back(conn);
  }
}

// Records a loss reported by ending a transaction. When the transaction is shared with other
// connections the client's error does not say whose attachment was lost; it is then recorded
// only on connections that reach their database over the network: an embedded attachment
// cannot lose its connection, and a shut-down one answers at once, so a healthy embedded
// connection is never taken for lost.
void WatchEnd(TIbConnRec* conn, const ISC_STATUS* status, ISC_STATUS rc, bool shared) {
  if (!shared || conn->State.Remote != 0) Watch(conn, status, rc);
}

// Rolls back. The client ends the parts of a shared transaction in order and stops at a part
// whose attachment is lost, after dropping it; a second call then rolls back the others.
ISC_STATUS Rollback(ISC_STATUS* status, isc_tr_handle* tr, bool shared) {
  ISC_STATUS rc = Entries.isc_rollback_transaction(status, tr);
  if (rc != 0 && shared && *tr != 0 && detail::ReportsLoss(status)) {
    rc = Entries.isc_rollback_transaction(status, tr);
  }
  return rc;
}

// Commits. A shared transaction that cannot commit because an attachment is lost is rolled back
// at once, so that no healthy connection keeps its part open; status keeps the commit's error.
ISC_STATUS Commit(ISC_STATUS* status, isc_tr_handle* tr, bool shared) {
  ISC_STATUS rc = Entries.isc_commit_transaction(status, tr);
  if (rc != 0 && shared && *tr != 0 && detail::ReportsLoss(status)) {
    ISC_STATUS scratch[20];
    Rollback(scratch, tr, true);
  }
  return rc;
}

// A transaction's end cut by a lost connection: the server may have done it or not. The
// client's own entries follow the package's.
void OutcomeUnknown(ISC_STATUS* status) {
  static const char kText[] =
      "the outcome of the commit or rollback is unknown: the connection was lost before the "
      "server answered";
  ISC_STATUS copy[20];
  std::memcpy(copy, status, sizeof(copy));
  int k = 0;
  status[k++] = isc_arg_gds;
  status[k++] = isc_random;
  status[k++] = isc_arg_string;
  status[k++] = reinterpret_cast<ISC_STATUS>(kText);
  for (int i = 0; i < 20 && copy[i] != isc_arg_end;) {
    const int width = copy[i] == isc_arg_cstring ? 3 : 2;
    if (i + width > 20 || k + width > 19) break;
    for (int w = 0; w < width; ++w) status[k++] = copy[i + w];
    i += width;
  }
  status[k] = isc_arg_end;
}

// Learns the database's SQL dialect; databases older than the information item are dialect 1.
ISC_STATUS ReadDialect(TIbConnRec* conn) {
  const ISC_SCHAR items[] = {isc_info_db_sql_dialect, isc_info_end};
  unsigned char answer[16] = {};
  ISC_STATUS rc = Entries.isc_database_info(conn->Status, &conn->DbHandle, sizeof(items), items,
                                            sizeof(answer), reinterpret_cast<ISC_SCHAR*>(answer));
  if (rc != 0) return rc;
  conn->State.Dialect = 1;
  const unsigned length = answer[1] | answer[2] << 8u;
  if (answer[0] == isc_info_db_sql_dialect && length >= 1 && length <= 4) {
    conn->State.Dialect = answer[3];  // little-endian: 1 or 3 fits the first byte
  }
  return 0;
}

// Attaches and learns the dialect; on failure nothing stays attached.
int32_t Attach(TIbConnRec* conn, const char* name, const std::string& dpb) {
  // Name length 0: the name is NUL-terminated. A failed attach has no attachment to lose.
  if (Entries.isc_attach_database(conn->Status, 0, name, &conn->DbHandle,
                                  static_cast<short>(dpb.size()), dpb.data()) != 0) {
    return -1;
  }
  if (ReadDialect(conn) != 0) {
    // Statements could not be prepared in the database's dialect: no attachment is kept.
    ISC_STATUS scratch[20];
    Entries.isc_detach_database(scratch, &conn->DbHandle);
    conn->DbHandle = 0;
    return -1;
  }
  return 0;
}

// An attach run in a thread of its own, so that the caller's wait ends at the login timeout
// whatever the server does; one the caller gave up on is detached when it returns.
struct TAttachJob {
  TIbConnRec Work{};  // the attach's own handle, status and dialect
  std::string Name, Dpb;
  ISC_STATUS Status[20] = {};  // Work's status, its strings kept below: the client's may go
  char Strings[256] = {};      // with the thread
  int32_t Rc = -1;
  bool Done = false;
  bool Abandoned = false;
  std::mutex Mutex;
  std::condition_variable Ended;
};

int32_t AttachWithin(TIbConnRec* hdbc, const std::string& dbName, const std::string& dpb,
                     std::chrono::steady_clock::time_point deadline) {
  auto job = std::make_shared<TAttachJob>();
  job->Name = dbName;
  job->Dpb = dpb;
  try {
    std::thread([job] {
      const int32_t rc = Attach(&job->Work, job->Name.c_str(), job->Dpb);
      std::unique_lock lock(job->Mutex);
      if (job->Abandoned) {
        lock.unlock();
        ISC_STATUS scratch[20];
        if (rc == 0) Entries.isc_detach_database(scratch, &job->Work.DbHandle);
        return;
      }
      detail::CopyStatus(job->Work.Status, job->Status, job->Strings, sizeof(job->Strings));
      job->Rc = rc;
      job->Done = true;
      job->Ended.notify_one();
    }).detach();
  } catch (const std::system_error&) {
    detail::SetText(hdbc->Status, "the login timeout's thread could not be started");
    return -1;
  }
  std::unique_lock lock(job->Mutex);
  if (!job->Ended.wait_until(lock, deadline, [&] { return job->Done; })) {
    job->Abandoned = true;
    detail::LoginFailed(
        hdbc, detail::PeerHost(hdbc),
        "login timeout of " + std::to_string(hdbc->State.LoginTimeout) + " s expired");
    return -1;
  }
  if (job->Rc != 0) {
    detail::CopyStatus(job->Status, hdbc->Status, hdbc->State.LostStrings,
                       sizeof(hdbc->State.LostStrings));
    return -1;
  }
  hdbc->DbHandle = job->Work.DbHandle;
  hdbc->State.Dialect = job->Work.State.Dialect;
  return 0;
}

}  // namespace

void detail::CopyStatus(const ISC_STATUS* from, ISC_STATUS (&to)[20], char* strings, size_t room) {
  size_t out = 0;
  size_t used = 0;
  auto keep = [&](const char* text, size_t length) {
    length = std::min(length, room - used - 1);
    char* copy = strings + used;
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    used += length + 1;
    return reinterpret_cast<ISC_STATUS>(copy);
  };
  for (size_t in = 0; in < 20 && from[in] != isc_arg_end;) {
    const ISC_STATUS kind = from[in];
    const size_t width = kind == isc_arg_cstring ? 3 : 2;
    if (in + width > 20 || out + width > 19 || used + 1 >= room) break;
    to[out] = kind;
    switch (kind) {
      case isc_arg_cstring:
        to[out] = isc_arg_string;
        to[out + 1] =
            keep(reinterpret_cast<const char*>(from[in + 2]), static_cast<size_t>(from[in + 1]));
        out += 2;
        break;
      case isc_arg_string:
      case isc_arg_interpreted:
      case isc_arg_sql_state: {
        const char* text = reinterpret_cast<const char*>(from[in + 1]);
        to[out + 1] = keep(text, strnlen(text, room));
        out += 2;
        break;
      }
      default:
        to[out + 1] = from[in + 1];
        out += 2;
        break;
    }
    in += width;
  }
  to[out] = isc_arg_end;
}

ISC_STATUS detail::EndTransaction(TIbConnRec* conn, bool commit) {
  const bool shared = SharesTransaction(conn);
  const isc_tr_handle old = conn->TrHandle;
  ISC_STATUS rc = commit ? Commit(conn->Status, &conn->TrHandle, shared)
                         : Rollback(conn->Status, &conn->TrHandle, shared);
  WatchEnd(conn, conn->Status, rc, shared);
  if (rc != 0 && detail::ReportsLoss(conn->Status)) OutcomeUnknown(conn->Status);
  TransactionEnded(conn, old);
  return rc;
}

void detail::TransactionEnded(TIbConnRec* conn, isc_tr_handle old) {
  TSharedTransaction* shared = conn->State.Shared;
  if (conn->TrHandle != 0 || old == 0 || shared == nullptr || shared->Handle != old) return;
  for (TIbConnRec* member : shared->Members) {
    if (member->TrHandle == old) member->TrHandle = 0;
    member->State.Shared = nullptr;
  }
  delete shared;
}

bool detail::ReportsLoss(const ISC_STATUS* status) {
  if (status[1] == 0) return false;
  for (int i = 0; i < 19 && status[i] != isc_arg_end; i += status[i] == isc_arg_cstring ? 3 : 2) {
    if (status[i] != isc_arg_gds) continue;
    switch (status[i + 1]) {
      case isc_att_shutdown:
      case isc_shutdown:
      case isc_conn_lost:
      case isc_lost_db_connection:
      case isc_network_error:
      case isc_net_read_err:
      case isc_net_write_err:
      case isc_net_server_shutdown:
        return true;
      default:
        break;
    }
  }
  return false;
}

void detail::RecordLoss(TIbConnRec* conn, const ISC_STATUS* status) {
  TConnState& state = conn->State;
  CopyStatus(status, state.LostStatus, state.LostStrings, sizeof(state.LostStrings));
  std::atomic_ref<uint8_t>(state.Lost).store(1, std::memory_order_release);  // SQLCancel reads it
}

int32_t SQLAllocConnect(TIbConnRec*& hdbc) {
  hdbc = static_cast<TIbConnRec*>(detail::ZeroAlloc(sizeof(TIbConnRec)));
  return 0;
}

int32_t SQLConnect(TIbConnRec* hdbc, const std::string& dbName, const std::string& userName,
                   const std::string& password) {
  if (hdbc == nullptr) return -1;
  if (Refused(hdbc, hdbc->Status)) return -1;
  // One length byte per item; a NUL inside the name would make the client open another path.
  if (userName.size() > kMaxDpbItemLength || password.size() > kMaxDpbItemLength ||
      dbName.find('\0') != std::string::npos) {
    SetError(hdbc->Status, isc_bad_dpb_content);
    return -1;
  }
  const auto start = std::chrono::steady_clock::now();
  std::string dpb;
  dpb.reserve(5 + userName.size() + password.size());
  dpb.push_back(static_cast<char>(isc_dpb_version1));
  AppendDpbItem(dpb, isc_dpb_user_name, userName);
  AppendDpbItem(dpb, isc_dpb_password, password);
  if (hdbc->State.HasCharset != 0) {
    AppendDpbItem(dpb, isc_dpb_lc_ctype, detail::CharsetName(hdbc->State.Charset));
  }
  hdbc->State.Remote = IsRemoteName(dbName) ? 1 : 0;
  detail::RecordPeer(hdbc, dbName);
  hdbc->State.Dialect = 0;
  const uint16_t timeout = hdbc->State.LoginTimeout;
  if (timeout == 0) return Attach(hdbc, dbName.c_str(), dpb);
  // The TCP connection is opened by a probe of the package's own first (the client's connect
  // waits for the kernel's retries), so that a refused port says so; the whole attach then ends
  // by the deadline, the client's connect timeout set to what is left.
  const int wait = detail::LoginProbe(hdbc);
  if (wait < 0) return -1;
  dpb.push_back(static_cast<char>(isc_dpb_connect_timeout));
  dpb.push_back(4);
  for (int shift = 0; shift < 32; shift += 8) dpb.push_back(static_cast<char>(wait >> shift));
  return AttachWithin(hdbc, dbName, dpb, start + std::chrono::seconds(timeout));
}

int32_t SQLDisconnect(TIbConnRec*& hdbc) {
  if (hdbc == nullptr) return 0;
  std::optional<detail::TRunning> running(std::in_place, hdbc, hdbc->Status,
                                          hdbc->State.ConnTimeout);
  if (running->Failed) running.reset();  // no deadline to be had: the detach goes on unbounded
  // Its statements end with it: no call reaches them from here on, and their records go (the
  // client's statements with a drop while the attachment answers, else with the detach).
  for (TIbStmtRec* stmt : detail::UnregisterAll(hdbc)) detail::DropRecord(stmt);
  const bool shared = SharesTransaction(hdbc);
  const isc_tr_handle old = hdbc->TrHandle;
  if (hdbc->State.Lost != 0) {
    // The parts of a shared transaction that the other connections hold could never end once
    // this attachment is detached: end them now.
    if (shared) Rollback(hdbc->Status, &hdbc->TrHandle, true);
  } else if (hdbc->TrHandle != 0 && detail::EndTransaction(hdbc, true) != 0 &&
             hdbc->TrHandle != 0 && hdbc->State.Lost == 0) {
    // The work could not be committed; end the transaction anyway so that the detach can
    // release the attachment instead of leaving it open behind a freed record.
    Rollback(hdbc->Status, &hdbc->TrHandle, shared);
  }
  if (Entries.isc_detach_database(hdbc->Status, &hdbc->DbHandle) == isc_open_trans &&
      hdbc->TrHandle != 0) {
    // The attachment answered, so it can still be closed: end what keeps it open and try again.
    Rollback(hdbc->Status, &hdbc->TrHandle, shared);
    Entries.isc_detach_database(hdbc->Status, &hdbc->DbHandle);
  }
  running.reset();  // before the record goes
  detail::TransactionEnded(hdbc, old);
  Leave(hdbc);
  std::free(hdbc);
  hdbc = nullptr;
  return 0;
}

int32_t SQLTransact(TIbConnRec* hdbc, uint8_t fType) {
  if (hdbc == nullptr) return -1;
  if (fType != kStart && hdbc->TrHandle == 0) return 0;
  if (Refused(hdbc, hdbc->Status)) return -1;
  detail::TRunning running(hdbc, hdbc->Status, hdbc->State.ConnTimeout);
  if (running.Failed) return -1;
  ISC_STATUS rc;
  if (fType == kStart) {
    rc = detail::StartTransaction(hdbc->Status, hdbc);
  } else {
    rc = detail::EndTransaction(hdbc, fType == kCommit);
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
    if (Refused(*hdbcs[i], leader->Status)) return -1;
  }

  // Each member's connection timeout bounds the call on its own connection.
  std::vector<std::unique_ptr<detail::TRunning>> running;
  for (int32_t i = 0; i < count; ++i) {
    TIbConnRec* member = *hdbcs[i];
    running.push_back(
        std::make_unique<detail::TRunning>(member, leader->Status, member->State.ConnTimeout));
    if (running.back()->Failed) return -1;
  }
  const bool shared = count > 1 || SharesTransaction(leader);
  const isc_tr_handle old = leader->TrHandle;
  ISC_STATUS rc;
  if (fType == kStart) {
    std::vector<detail::TTeb> blocks;
    blocks.reserve(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) blocks.push_back(detail::TebOf(*hdbcs[i]));
    rc = Entries.isc_start_multiple(leader->Status, &leader->TrHandle, static_cast<short>(count),
                                    blocks.data());
  } else if (fType == kCommit) {
    rc = Commit(leader->Status, &leader->TrHandle, shared);
  } else {
    rc = Rollback(leader->Status, &leader->TrHandle, shared);
  }
  for (int32_t i = 0; i < count; ++i) WatchEnd(*hdbcs[i], leader->Status, rc, shared);
  if (fType != kStart) {
    if (rc != 0 && detail::ReportsLoss(leader->Status)) OutcomeUnknown(leader->Status);
    detail::TransactionEnded(leader, old);
  }

  // Every listed connection shares the leader's transaction and result.
  std::vector<TIbConnRec*> members;
  for (int32_t i = 0; i < count; ++i) {
    TIbConnRec* conn = *hdbcs[i];
    members.push_back(conn);
    if (conn == leader) continue;  // listed twice: nothing to copy
    conn->TrHandle = leader->TrHandle;
    std::memcpy(conn->Status, leader->Status, sizeof(conn->Status));
  }
  if (fType == kStart && rc == 0 && count > 1) Share(members, leader->TrHandle);
  return rc != 0 ? -1 : 0;
}

}  // namespace IbDB
