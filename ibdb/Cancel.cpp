// Bounded waits: SQLCancel from any thread, the query timeout of a statement (one timer thread
// for the whole package), and the registry of live statements that makes a cancel harmless
// after the statement is gone.
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "ibdb/Internal.h"

namespace IbDB {

using detail::TRunning;
using IBAPI::Entries;
using Clock = std::chrono::steady_clock;

namespace {

// What a connection's Running word holds.
enum TRunState : uint32_t {
  kIdle = detail::kCallIdle,
  kRunning = detail::kCallRunning,
  kRaised = 2,   // a cancel went to the running request
  kAborted = 3,  // the connection's side was closed under it
};

// A cancelled call that goes on this long over the network has the server asked, on a new TCP
// connection, whether it still answers; one that does not answer within kAnswer has stopped (or
// the path to it has), and the connection's side is closed. One that answers is busy (undoing,
// sending a long value): the call goes on, asked again every kAsk, until the connection's
// grace (option 153) has passed since the cancel; a call the server never cancels ends there.
constexpr auto kAsk = std::chrono::seconds(1);
constexpr auto kAnswer = std::chrono::seconds(1);
constexpr uint32_t kDefaultGraceSeconds = 60;
// How often a cancel is raised again while the call it was meant for goes on: over the network
// the client sends it without waiting, and a server that has not begun the request yet drops it.
constexpr auto kRetry = std::chrono::milliseconds(20);

// A cancel for a sender thread to send (Kind), or a server to ask whether it answers (Kind
// kAsking: Question, and the peer copied, since the connection may go meanwhile).
constexpr int kAsking = -1;
struct TSend {
  TIbConnRec* Conn;
  int Kind;
  uint64_t Question = 0;
  std::string Host, Port;
};

// A cancelled call that goes on.
struct TRetry {
  TIbConnRec* Conn;
  Clock::time_point Raised;  // when the cancel was first raised
  Clock::duration Allowed;   // how long the call may go on after it while its server answers
  Clock::time_point Ask;     // when the server is next asked whether it answers
  uint64_t Question = 0;     // the question under way, 0 none
};

// Everything here lives for the life of the process: the timer thread may still wait on it
// while the process exits.
struct TShared {
  std::mutex Mutex;  // the registry, the armed deadlines, the cancels under way
  std::condition_variable Wake;
  std::condition_variable Sent;  // a connection's last cancel under way came back
  std::condition_variable Work;  // a cancel waits for a parked sender
  std::deque<TSend> Sends;       // cancels to send, servers to ask
  size_t Parked = 0;             // senders waiting for one
  std::unordered_set<TIbStmtRec*> Live;
  std::vector<TRunning*> Armed;
  // Connections whose call was cancelled and goes on: raised again until the call ends, and
  // over the network their side closed when the server is silent or the allowance has passed.
  std::vector<TRetry> Retries;
  uint64_t Asked = 0;  // the last question's number
  bool TimerStarted = false;
};

// A forked child has the parent's state but only the thread that forked: the mutex is taken
// around the fork so that the child's copy is whole, and the child starts a timer of its own
// when it needs one; the deadlines and retries were the parent's calls'.
void BeforeFork();
void AfterForkParent();
void AfterForkChild();

TShared& Shared() {
  static TShared* shared = [] {
    auto* made = new TShared;
    pthread_atfork(BeforeFork, AfterForkParent, AfterForkChild);
    return made;
  }();
  return *shared;
}

void BeforeFork() {
  Shared().Mutex.lock();
}
void AfterForkParent() {
  Shared().Mutex.unlock();
}
void AfterForkChild() {
  TShared& shared = Shared();
  shared.Armed.clear();
  shared.Retries.clear();
  shared.TimerStarted = false;
  // The parent's threads may have waited on the conditions: the child's copies start afresh.
  new (&shared.Wake) std::condition_variable;
  new (&shared.Sent) std::condition_variable;
  new (&shared.Work) std::condition_variable;
  shared.Sends.clear();
  shared.Parked = 0;
  shared.Mutex.unlock();
}

std::atomic_ref<uint32_t> RunningOf(TIbConnRec* conn) {
  return std::atomic_ref<uint32_t>(conn->State.Running);
}

bool LostNow(TIbConnRec* conn) {
  return std::atomic_ref<uint8_t>(conn->State.Lost).load(std::memory_order_acquire) != 0;
}

// Sends a cancel of the given kind to the connection's running request.
ISC_STATUS Send(TIbConnRec* conn, int kind) {
  ISC_STATUS status[20] = {};
  return Entries.fb_cancel_operation(status, &conn->DbHandle, static_cast<unsigned short>(kind));
}

// The port recorded after the host (detail::PeerHost).
std::string PeerPort(const TIbConnRec* conn) {
  return conn->State.Peer + std::strlen(conn->State.Peer) + 1;
}

void SenderLoop();

// Queues work for a sender thread: one parked takes it, or one more starts (whenever the work
// waiting outnumbers the parked senders; they stay parked for the next once done). False, the
// work taken back, when no thread could be had. Under the mutex.
bool Queue(TShared& shared, TSend send) {
  shared.Sends.push_back(std::move(send));
  if (shared.Sends.size() <= shared.Parked) {
    shared.Work.notify_one();
    return true;
  }
  try {
    std::thread(SenderLoop).detach();
  } catch (const std::system_error&) {
    shared.Sends.pop_back();
    return false;
  }
  return true;
}

// Sends a cancel in a thread other than the caller's, under the mutex: the client's cancel can
// wait on a connection whose server stopped reading, and that wait then holds nothing but its
// sender and the end of the cancelled call (which waits for it, so that the connection
// outlives it). Without a thread to be had it is sent here.
void SendAside(TIbConnRec* conn, int kind) {
  TShared& shared = Shared();
  ++conn->State.Sending;
  if (!Queue(shared, TSend{conn, kind, 0, {}, {}})) {
    --conn->State.Sending;
    Send(conn, kind);
  }
}

// Whether the descriptor is ready for the events before the deadline.
bool Await(int fd, short events, Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  pollfd p{fd, events, 0};
  return poll(&p, 1, static_cast<int>(std::max<int64_t>(left.count(), 0))) == 1 &&
         (p.revents & events) != 0;
}

// A TCP connection to the address opened before the deadline: its descriptor, or -1 with the
// error in failure (ETIMEDOUT when the deadline passed first; unchanged when no socket could be
// had).
int ConnectWithin(const addrinfo* a, Clock::time_point deadline, int& failure) {
  const int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  failure = 0;
  if (connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
    failure = errno;
    if (failure == EINPROGRESS) {
      socklen_t size = sizeof(failure);
      if (!Await(fd, POLLOUT, deadline)) {
        failure = ETIMEDOUT;
      } else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &size) != 0) {
        failure = ETIMEDOUT;
      }
    }
  }
  if (failure == 0) return fd;
  close(fd);
  return -1;
}

// Whether the server at host and port answers a connect request by the deadline (accepting or
// refusing it: either is an answer). A name that does not resolve now tells nothing: true.
bool Answers(const std::string& host, const std::string& port, Clock::time_point deadline) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return true;
  int failure = 0;
  const int fd = ConnectWithin(found, deadline, failure);
  freeaddrinfo(found);
  // The wire protocol's connect request (big-endian words): op_connect, op_attach, connect
  // version 3, generic architecture, no file name, one protocol (version 10, generic, types 2
  // to 3, weight 2), no user identification.
  static constexpr unsigned char kConnect[] = {0, 0, 0, 1, 0, 0, 0, 19, 0, 0, 0, 3, 0, 0, 0, 1,
                                               0, 0, 0, 0, 0, 0, 0, 1,  0, 0, 0, 0, 0, 0, 0, 10,
                                               0, 0, 0, 1, 0, 0, 0, 2,  0, 0, 0, 3, 0, 0, 0, 2};
  if (fd < 0) return false;
  unsigned char answer[4];
  const bool answered = send(fd, kConnect, sizeof(kConnect), MSG_NOSIGNAL) == sizeof(kConnect) &&
                        Await(fd, POLLIN, deadline) && recv(fd, answer, sizeof(answer), 0) > 0;
  close(fd);
  return answered;
}

void Abort(TIbConnRec* conn);

// A server's answer to the question: a busy one is asked again later, a silent one has its
// connection's side closed. Under the mutex.
void Settle(TShared& shared, uint64_t question, bool answered) {
  auto it = std::find_if(shared.Retries.begin(), shared.Retries.end(),
                         [&](const TRetry& retry) { return retry.Question == question; });
  if (it == shared.Retries.end()) return;  // the call ended meanwhile
  if (answered) {
    it->Question = 0;
    it->Ask = Clock::now() + kAsk;
    return;
  }
  Abort(it->Conn);
  shared.Retries.erase(it);
}

void SenderLoop() {
  TShared& shared = Shared();
  std::unique_lock lock(shared.Mutex);
  for (;;) {
    while (shared.Sends.empty()) {
      ++shared.Parked;
      shared.Work.wait(lock);
      --shared.Parked;
    }
    const TSend send = std::move(shared.Sends.front());
    shared.Sends.pop_front();
    lock.unlock();
    if (send.Kind == kAsking) {
      const bool answered = Answers(send.Host, send.Port, Clock::now() + kAnswer);
      lock.lock();
      Settle(shared, send.Question, answered);
      continue;
    }
    Send(send.Conn, send.Kind);
    lock.lock();
    if (--send.Conn->State.Sending == 0) shared.Sent.notify_all();
  }
}

void TimerLoop();

// Starts the timer thread unless it runs; false when no thread could be had.
bool StartTimer(TShared& shared) {
  if (shared.TimerStarted) return true;
  try {
    std::thread(TimerLoop).detach();
  } catch (const std::system_error&) {
    return false;
  }
  shared.TimerStarted = true;
  return true;
}

// How long a call cancelled now may go on over the network while its server answers: undoing
// takes up to 1.8 times as long as the work undone (measured), so twice as long as the call had
// run and a second more, within the connection's grace. A call that met its end when the cancel
// came, whose answer the server may drop, is so ended within about a second.
Clock::duration Allowed(const TIbConnRec* conn, Clock::time_point now) {
  const uint32_t grace = conn->State.CancelGrace;
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch());
  const auto ran =
      std::chrono::milliseconds(std::max<int64_t>(0, ms.count() - conn->State.Started));
  const Clock::duration undo = 2 * ran + std::chrono::seconds(1);
  if (grace == 1) return undo;  // no grace: the undo's allowance alone
  return std::min<Clock::duration>(
      undo, std::chrono::seconds(grace == 0 ? kDefaultGraceSeconds : grace - 1));
}

// Raises a cancel on the request running on the connection, if one runs; under the mutex. It is
// raised again until the call ends, since a server that has not begun the request yet drops
// it, and past its allowance the connection's side is closed: whatever the server does, the
// call ends over the network. False for a connection that is lost.
bool Raise(TShared& shared, TIbConnRec* conn) {
  uint32_t expected = kRunning;
  if (!RunningOf(conn).compare_exchange_strong(expected, kRaised)) return true;  // none runs
  if (LostNow(conn)) return false;
  SendAside(conn, fb_cancel_raise);
  const auto now = Clock::now();
  shared.Retries.push_back(TRetry{conn, now, Allowed(conn, now), now + kAsk});
  StartTimer(shared);
  shared.Wake.notify_one();
  return true;
}

// Closes the connection's side under a cancelled call that does not end, which ends its wait
// at once; the call then records the loss. Once: the retries and the deadline's grace may both
// come to it. Under the mutex.
void Abort(TIbConnRec* conn) {
  uint32_t expected = kRaised;
  if (LostNow(conn) || !RunningOf(conn).compare_exchange_strong(expected, kAborted)) return;
  SendAside(conn, fb_cancel_abort);
}

// Raises the cancels to retry again, asks the servers of calls that go on whether they answer,
// and closes the side of a connection whose call goes on past its grace: a server may never
// cancel some work (a sort), and the Firebird 3.0.11 server now and then drops the answer to a
// request that a cancel met at its end, for which the client would wait forever. Embedded the
// engine runs the call in the caller's thread and ends it when it has undone its work: closing
// its side would only lose the attachment. Under the mutex.
void RetryCancels(TShared& shared) {
  const auto now = Clock::now();
  std::erase_if(shared.Retries, [&](TRetry& retry) {
    TIbConnRec* conn = retry.Conn;
    if (RunningOf(conn).load() != kRaised || LostNow(conn)) return true;
    if (conn->State.Remote != 0) {
      if (now - retry.Raised >= retry.Allowed) {
        Abort(conn);
        return true;
      }
      if (retry.Question == 0 && now >= retry.Ask && conn->State.Peer[0] != '\0') {
        retry.Question = ++shared.Asked;
        TSend ask{conn, kAsking, retry.Question, detail::PeerHost(conn), PeerPort(conn)};
        if (!Queue(shared, std::move(ask))) retry.Question = 0;  // asked again next time
      }
    }
    if (conn->State.Sending == 0) SendAside(conn, fb_cancel_raise);  // else still under way
    return false;
  });
}

void TimerLoop() {
  TShared& shared = Shared();
  std::unique_lock lock(shared.Mutex);
  auto nextRetry = Clock::now();
  for (;;) {
    if (!shared.Retries.empty() && Clock::now() >= nextRetry) {
      RetryCancels(shared);
      nextRetry = Clock::now() + kRetry;
    }
    auto next = std::min_element(shared.Armed.begin(), shared.Armed.end(),
                                 [](TRunning* a, TRunning* b) { return a->When < b->When; });
    const auto due = next == shared.Armed.end() ? Clock::time_point::max() : (*next)->When;
    const auto wake = shared.Retries.empty() ? due : std::min(due, nextRetry);
    if (wake == Clock::time_point::max()) {
      shared.Wake.wait(lock);
      continue;
    }
    if (Clock::now() < due) {
      shared.Wake.wait_until(lock, wake);
      continue;
    }
    // Past the deadline: cancel; the retries see to the rest.
    TIbConnRec* conn = (*next)->Conn;
    shared.Armed.erase(next);
    Raise(shared, conn);
  }
}

}  // namespace

bool TRunning::Arm(uint32_t timeoutSeconds) {
  TShared& shared = Shared();
  std::lock_guard lock(shared.Mutex);
  if (!StartTimer(shared)) return false;
  When = Clock::now() + std::chrono::seconds(timeoutSeconds);
  shared.Armed.push_back(this);
  Armed = true;
  shared.Wake.notify_one();
  return true;
}

void TRunning::Refuse(ISC_STATUS* status) {
  detail::SetText(status, "the query timeout's timer thread could not be started");
  RunningOf(Conn).store(kIdle, std::memory_order_release);
  Conn = nullptr;
  Failed = true;
}

void TRunning::Finish(uint32_t was) {
  std::atomic_ref<uint32_t> running = RunningOf(Conn);
  {
    // A cancel sent, or a deadline armed: wait for the cancels under way to this connection.
    TShared& shared = Shared();
    std::unique_lock lock(shared.Mutex);
    shared.Sent.wait(lock, [this] { return Conn->State.Sending == 0; });
    if (Armed) {
      auto it = std::find(shared.Armed.begin(), shared.Armed.end(), this);
      if (it != shared.Armed.end()) shared.Armed.erase(it);  // unless the timer took it off
      was = running.exchange(kIdle, std::memory_order_acq_rel);
    }
    std::erase_if(shared.Retries, [this](const TRetry& retry) { return retry.Conn == Conn; });
  }
  if (was == kRunning || LostNow(Conn)) return;
  if (was == kAborted) {
    // The connection's side is closed: it is lost, whatever the call reported.
    ISC_STATUS lost[20] = {isc_arg_gds, isc_conn_lost, isc_arg_end};
    detail::RecordLoss(Conn, Status[1] != 0 ? Status : lost);
    return;
  }
  // A raised cancel that met no request would fail the next call: withdraw it.
  ISC_STATUS scratch[20];
  Entries.fb_cancel_operation(scratch, &Conn->DbHandle, fb_cancel_disable);
  Entries.fb_cancel_operation(scratch, &Conn->DbHandle, fb_cancel_enable);
}

namespace {

// The host and port a database name reaches the server on ("host:path", "host/port:path",
// "inet://host:port/path", "[v6]:path"), or false for a name the client opens itself.
bool Endpoint(const std::string& name, std::string& host, std::string& port) {
  std::string rest = name;
  port.clear();
  for (const char* scheme : {"inet://", "inet4://", "inet6://"}) {
    if (rest.rfind(scheme, 0) != 0) continue;
    rest = rest.substr(std::strlen(scheme));
    const size_t slash = rest.find('/');
    if (slash == std::string::npos || slash == 0) return false;
    host = rest.substr(0, slash);
    const size_t colon = host.rfind(':');
    if (colon != std::string::npos && host.find(']') == std::string::npos) {
      port = host.substr(colon + 1);
      host.resize(colon);
    }
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
      host = host.substr(1, host.size() - 2);
    }
    return !host.empty();
  }
  if (rest.find("://") != std::string::npos) return false;  // a protocol without TCP
  size_t colon;
  if (!rest.empty() && rest[0] == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos) return false;
    host = rest.substr(1, close - 1);
    colon = rest.find(':', close);
    if (close + 1 < colon && rest[close + 1] == '/')
      port = rest.substr(close + 2, colon - close - 2);
  } else {
    colon = rest.find(':');
    if (colon == std::string::npos || colon == 0) return false;
    host = rest.substr(0, colon);
    const size_t slash = host.find('/');
    if (slash != std::string::npos) {
      port = host.substr(slash + 1);
      host.resize(slash);
    }
  }
  return colon != std::string::npos && !host.empty();
}

// Whether a TCP connection to host and port opens before the deadline: 0, or the error of the
// last address tried (ETIMEDOUT when the deadline passed first).
int Reachable(const std::string& host, const std::string& port, Clock::time_point deadline) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return 0;  // the client says
  int failure = ETIMEDOUT;
  for (addrinfo* a = found; a != nullptr && failure != 0 && Clock::now() < deadline;
       a = a->ai_next) {
    const int fd = ConnectWithin(a, deadline, failure);
    if (fd >= 0) close(fd);
  }
  freeaddrinfo(found);
  return failure;
}

}  // namespace

void detail::RecordPeer(TIbConnRec* conn, const std::string& dbName) {
  char* peer = conn->State.Peer;
  std::memset(peer, 0, sizeof(conn->State.Peer));
  std::string host, port;
  if (!Endpoint(dbName, host, port)) return;
  if (port.empty()) {
    servent entry{};
    servent* service = nullptr;
    char buffer[1024];
    getservbyname_r("gds_db", "tcp", &entry, buffer, sizeof(buffer), &service);
    port =
        service != nullptr ? std::to_string(ntohs(static_cast<uint16_t>(service->s_port))) : "3050";
  }
  if (host.size() + port.size() + 2 > sizeof(conn->State.Peer)) return;  // no probe for it
  std::memcpy(peer, host.data(), host.size());
  std::memcpy(peer + host.size() + 1, port.data(), port.size());
}

std::string detail::PeerHost(const TIbConnRec* conn) {
  return conn->State.Peer;
}

int detail::LoginProbe(TIbConnRec* conn) {
  const uint16_t seconds = conn->State.LoginTimeout;
  const std::string host = detail::PeerHost(conn), port = PeerPort(conn);
  if (host.empty()) return seconds;
  const auto start = Clock::now();
  const int failure = Reachable(host, port, start + std::chrono::seconds(seconds));
  if (failure == 0) {
    const auto spent = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start);
    return std::max<int>(1, seconds - static_cast<int>(spent.count()));
  }
  detail::LoginFailed(
      conn, host,
      failure == ETIMEDOUT
          ? "login timeout of " + std::to_string(seconds) + " s expired"
          : std::string(strerrordesc_np(failure) != nullptr ? strerrordesc_np(failure) : "error") +
                " (" + host + " port " + port + ")");
  return -1;
}

void detail::LoginFailed(TIbConnRec* conn, const std::string& host, const std::string& text) {
  // The strings live in the record, as a lost attachment's do.
  char* strings = conn->State.LostStrings;
  const size_t hostLength = std::min(host.size(), sizeof(conn->State.LostStrings) / 2 - 1);
  std::memcpy(strings, host.data(), hostLength);
  strings[hostLength] = '\0';
  char* message = strings + hostLength + 1;
  std::snprintf(message, sizeof(conn->State.LostStrings) - hostLength - 1, "%s", text.c_str());
  if (host.empty()) {
    detail::SetText(conn->Status, message);
    return;
  }
  const ISC_STATUS vector[] = {
      isc_arg_gds, isc_network_error,   isc_arg_string,      reinterpret_cast<ISC_STATUS>(strings),
      isc_arg_gds, isc_net_connect_err, isc_arg_interpreted, reinterpret_cast<ISC_STATUS>(message),
      isc_arg_end};
  std::memcpy(conn->Status, vector, sizeof(vector));
}

constinit thread_local detail::TLiveCache detail::LastLive
    __attribute__((tls_model("initial-exec"))){};
std::atomic<uint64_t> detail::StatementsFreed{1};  // never the 0 of a new thread's cache

bool detail::LiveInRegistry(TIbStmtRec* stmt) {
  if (stmt == nullptr) return false;
  TShared& shared = Shared();
  std::lock_guard lock(shared.Mutex);
  if (shared.Live.count(stmt) == 0) return false;
  TLiveCache& cache = LastLive;
  const uint64_t frees = StatementsFreed.load(std::memory_order_relaxed);
  if (cache.Frees != frees) cache = TLiveCache{{}, frees, 0};
  cache.Stmts[cache.Next++ % 4] = stmt;
  return true;
}

void detail::Register(TIbStmtRec* stmt) {
  TShared& shared = Shared();
  std::lock_guard lock(shared.Mutex);
  shared.Live.insert(stmt);
}

void detail::Unregister(TIbStmtRec* stmt) {
  TShared& shared = Shared();
  std::lock_guard lock(shared.Mutex);
  shared.Live.erase(stmt);
  StatementsFreed.fetch_add(1, std::memory_order_release);
}

std::vector<TIbStmtRec*> detail::UnregisterAll(TIbConnRec* conn) {
  TShared& shared = Shared();
  std::lock_guard lock(shared.Mutex);
  std::vector<TIbStmtRec*> taken;
  std::erase_if(shared.Live, [&](TIbStmtRec* stmt) {
    if (stmt->Conn != conn) return false;
    taken.push_back(stmt);
    return true;
  });
  StatementsFreed.fetch_add(1, std::memory_order_release);
  return taken;
}

int16_t SQLCancel(TIbStmtRec* hstmt) {
  TShared& shared = Shared();
  std::lock_guard lock(shared.Mutex);
  if (shared.Live.count(hstmt) == 0) return -1;  // freed, or never a statement
  // Data at execution awaited ends at the statement's next call, in the caller's thread.
  std::atomic_ref<uint8_t>(hstmt->AtExecCancel).store(1, std::memory_order_release);
  return Raise(shared, hstmt->Conn) ? 0 : -1;
}

int32_t SQLSetStmtOption(TIbStmtRec* hstmt, uint16_t fOption, uint32_t vParam) {
  constexpr uint16_t kQueryTimeout = 0;
  constexpr uint16_t kArrayMode = 150;
  if (hstmt == nullptr || !detail::Live(hstmt)) return -1;
  if (fOption == kQueryTimeout) hstmt->QueryTimeout = vParam;
  if (fOption == kArrayMode) {
    if (vParam > 1) {
      detail::SetError(hstmt->Status, isc_dsql_sqlda_value_err);
      return -1;
    }
    hstmt->RowByRow = static_cast<uint8_t>(vParam);
  }
  return 0;  // options the package does not know change nothing
}

}  // namespace IbDB
