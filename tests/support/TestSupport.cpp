#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <thread>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <type_traits>

#include "client/IBAPI.h"

namespace VarloTest {

namespace {

[[noreturn]] void Fail(const std::string& what, const ISC_STATUS* status) {
  throw std::runtime_error(what + ": " + StatusText(status));
}

std::string EnvOr(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? v : fallback;
}

std::string Dpb(const std::string& user, const std::string& password) {
  std::string dpb(1, static_cast<char>(isc_dpb_version1));
  for (auto [item, value] : {std::pair{isc_dpb_user_name, &user}, {isc_dpb_password, &password}}) {
    if (value->empty()) continue;
    dpb += static_cast<char>(item);
    dpb += static_cast<char>(value->size());
    dpb += *value;
  }
  return dpb;
}

void ExecImmediate(isc_db_handle* db, const std::string& sql, unsigned short dialect = 1) {
  ISC_STATUS status[20];
  isc_tr_handle tr = 0;
  if (isc_start_transaction(status, &tr, 1, db, 0, nullptr) != 0) Fail("start", status);
  if (isc_dsql_execute_immediate(status, db, &tr, 0, sql.c_str(), dialect, nullptr) != 0) {
    ISC_STATUS scratch[20];
    isc_rollback_transaction(scratch, &tr);
    Fail(sql, status);
  }
  if (isc_commit_transaction(status, &tr) != 0) Fail("commit", status);
}

}  // namespace

TempDir::TempDir() {
  char pattern[] = "/tmp/varlo-test.XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
  chmod(path_.c_str(), 0777);  // the server opens databases here as its own user
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ServerUser() {
  return EnvOr("VARLO_TEST_USER", "VARLO_TEST");
}
std::string ServerPassword() {
  return EnvOr("VARLO_TEST_PASSWORD", "varlo-test-pw");
}
std::string ServerName(const std::string& path) {
  return "localhost:" + path;
}

void CreateDatabase(const std::string& path, const std::vector<std::string>& statements,
                    bool forServer, unsigned short dialect) {
  ISC_STATUS status[20];
  isc_db_handle db = 0;
  isc_tr_handle tr = 0;
  std::string sql = "CREATE DATABASE '" + path + "'";
  if (forServer) sql += " USER '" + ServerUser() + "'";
  sql += " DEFAULT CHARACTER SET NONE";
  if (isc_dsql_execute_immediate(status, &db, &tr, 0, sql.c_str(), dialect, nullptr) != 0) {
    Fail(sql, status);
  }
  for (const std::string& statement : statements) ExecImmediate(&db, statement, dialect);
  isc_detach_database(status, &db);
  if (forServer) {
    const passwd* pw = getpwnam("firebird");
    if (pw == nullptr || chown(path.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
      throw std::runtime_error("cannot hand " + path + " to the firebird user");
    }
  }
}

RawDb::RawDb(const std::string& name, const std::string& user, const std::string& password) {
  ISC_STATUS status[20];
  std::string dpb = Dpb(user, password);
  if (isc_attach_database(status, 0, name.c_str(), &db_, static_cast<short>(dpb.size()),
                          dpb.data()) != 0) {
    Fail("attach " + name, status);
  }
}

RawDb::~RawDb() {
  ISC_STATUS status[20];
  isc_detach_database(status, &db_);
}

void RawDb::Exec(const std::string& sql, unsigned short dialect) {
  ExecImmediate(&db_, sql, dialect);
}

std::optional<int64_t> RawDb::QueryInt(const std::string& sql, unsigned short dialect) {
  ISC_STATUS status[20];
  isc_tr_handle tr = 0;
  isc_stmt_handle stmt = 0;
  if (isc_start_transaction(status, &tr, 1, &db_, 0, nullptr) != 0) Fail("start", status);
  alignas(XSQLDA) char area[sizeof(XSQLDA)] = {};
  auto* out = reinterpret_cast<XSQLDA*>(area);
  out->version = SQLDA_VERSION1;
  out->sqln = 1;
  int64_t value = 0;
  short indicator = 0;
  std::optional<int64_t> result;
  if (isc_dsql_allocate_statement(status, &db_, &stmt) != 0 ||
      isc_dsql_prepare(status, &tr, &stmt, 0, sql.c_str(), dialect, out) != 0) {
    ISC_STATUS scratch[20];
    isc_rollback_transaction(scratch, &tr);
    Fail(sql, status);
  }
  XSQLVAR& var = out->sqlvar[0];
  var.sqltype = SQL_INT64 | 1;
  var.sqllen = sizeof(value);
  var.sqlscale = 0;
  var.sqldata = reinterpret_cast<ISC_SCHAR*>(&value);
  var.sqlind = &indicator;
  if (isc_dsql_execute(status, &tr, &stmt, 1, nullptr) != 0) Fail(sql, status);
  ISC_STATUS rc = isc_dsql_fetch(status, &stmt, 1, out);
  if (rc == 0 && indicator != -1) result = value;
  if (rc != 0 && rc != 100) Fail(sql, status);
  isc_dsql_free_statement(status, &stmt, DSQL_drop);
  isc_commit_transaction(status, &tr);
  return result;
}

std::string StatusText(const ISC_STATUS* status) {
  std::string text;
  char message[512];
  const ISC_STATUS* cursor = status;
  while (fb_interpret(message, sizeof(message), &cursor) != 0) {
    if (!text.empty()) text += "; ";
    text += message;
  }
  return text;
}

std::string ErrorText(IbDB::TIbConnRec* conn, IbDB::TIbStmtRec* stmt) {
  char text[1024] = {};
  IbDB::SQLError(conn, stmt, text, sizeof(text));
  return text;
}

std::string QueryText(IbDB::TIbConnRec* conn, const std::string& sql) {
  IbDB::TIbStmtRec* stmt = nullptr;
  if (IbDB::SQLAllocStmt(conn, stmt) != 0) return "error " + ErrorText(conn, nullptr);
  std::string result;
  int16_t type = 0, scale = 0;
  int32_t length = 0;
  std::vector<char> value(64 * 1024);
  uint8_t null = 0;
  if (IbDB::SQLPrepare(stmt, sql.c_str(), 0) != 0 ||
      IbDB::SQLDescribeCol(stmt, 1, nullptr, 0, nullptr, &type, &length, &scale, nullptr) != 0 ||
      IbDB::SQLBindCol(stmt, 1, type, value.data(), static_cast<int32_t>(value.size()), &null,
                       &length) != 0 ||
      IbDB::SQLExecute(stmt) != 0 || IbDB::SQLFetch(stmt) != 0) {
    result = "error " + ErrorText(conn, stmt);
  } else {
    const int base = type & ~1;
    const char* data = value.data();
    auto read = [data](auto v) {
      std::memcpy(&v, data, sizeof(v));
      return v;
    };
    auto decimal = [scale](int64_t v) {
      std::string digits = std::to_string(v < 0 ? -v : v);
      if (scale < 0) {
        digits.insert(0, std::max<int>(0, 1 - scale - static_cast<int>(digits.size())), '0');
        digits.insert(digits.size() + scale, ".");
      }
      return (v < 0 ? "-" : "") + digits;
    };
    std::string text;
    if (null == 1) {
      text = "NULL";
    } else if (base == SQL_LONG || base == SQL_SHORT) {
      text = std::to_string(base == SQL_LONG ? read(int32_t{}) : read(int16_t{}));
    } else if (base == SQL_INT64) {
      text = decimal(read(int64_t{}));
    } else if (base == SQL_DOUBLE || base == SQL_FLOAT) {
      char buffer[64];
      std::snprintf(buffer, sizeof(buffer), "%.17g",
                    base == SQL_DOUBLE ? read(double{}) : static_cast<double>(read(float{})));
      text = buffer;
    } else if (base == SQL_TYPE_DATE || base == SQL_TYPE_TIME) {
      std::tm t{};
      char buffer[32];
      if (base == SQL_TYPE_DATE) {
        ISC_DATE date = read(ISC_DATE{});
        isc_decode_sql_date(&date, &t);
        std::strftime(buffer, sizeof(buffer), "%Y-%m-%d", &t);
      } else {
        ISC_TIME time = read(ISC_TIME{});
        isc_decode_sql_time(&time, &t);
        std::strftime(buffer, sizeof(buffer), "%H:%M:%S", &t);
      }
      text = buffer;
    } else if (base == SQL_BLOB || base == SQL_VARYING || base == SQL_TEXT) {
      text.assign(data, std::min(value.size(), static_cast<size_t>(std::max(length, 0))));
    } else {
      text = data;  // the package's date text
    }
    result = std::to_string(base) + " " + text;
  }
  IbDB::SQLFreeStmt(stmt, 1);
  return result;
}

// ---- child processes ----

ChildResult RunChildTest(const std::string& testName, const std::string& argument,
                         int timeoutSeconds) {
  ChildResult result;
  TempDir dir;
  const std::string log = dir.File("child.log");
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  if (n <= 0) throw std::runtime_error("cannot find this program");
  exe[n] = '\0';
  std::string filter = "--gtest_filter=" + testName;
  char* argv[] = {exe, filter.data(), nullptr};
  std::vector<std::string> env;
  for (char** e = ::environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "VARLO_CHILD=", 12) != 0) env.emplace_back(*e);
  }
  env.push_back("VARLO_CHILD=" + argument);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, exe, &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + std::string(exe));
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::seconds(timeoutSeconds);
  int status = 0;
  for (;;) {
    if (waitpid(pid, &status, WNOHANG) == pid) {
      result.finished = true;
      result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::ifstream in(log);
  std::stringstream text;
  text << in.rdbuf();
  result.output = text.str();
  return result;
}

std::optional<std::string> ChildArgument() {
  const char* v = std::getenv("VARLO_CHILD");
  if (v == nullptr) return std::nullopt;
  return std::string(v);
}

void ExpectChildPassed(const ChildResult& child, const std::string& summary) {
  ASSERT_TRUE(child.finished) << "killed after " << child.seconds << " s:\n" << child.output;
  EXPECT_EQ(child.exitCode, 0) << child.output;
  EXPECT_NE(child.output.find("[  PASSED  ] 1 test"), std::string::npos) << child.output;
  size_t line = child.output.find(summary);
  if (line != std::string::npos) {
    std::printf("%s", child.output.substr(line, child.output.find('\n', line) - line + 1).c_str());
  }
}

// ---- network stand-ins ----

namespace {

int ListenOnLoopback(int backlog, int& port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof(address);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      listen(fd, backlog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    throw std::runtime_error("cannot listen on the loopback interface");
  }
  port = ntohs(address.sin_port);
  return fd;
}

int ConnectTo(int port, bool blocking) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (blocking ? 0 : SOCK_NONBLOCK), 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 &&
      errno != EINPROGRESS) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string LoopbackName(int port, const std::string& path) {
  return "127.0.0.1/" + std::to_string(port) + ":" + path;
}

}  // namespace

TcpProxy::TcpProxy() {
  listener_ = ListenOnLoopback(16, port_);
  if (pipe2(wake_, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  thread_ = std::thread([this] { Loop(); });
}

TcpProxy::~TcpProxy() {
  stop_ = true;
  [[maybe_unused]] ssize_t n = write(wake_[1], "x", 1);
  thread_.join();
  close(listener_);
  close(wake_[0]);
  close(wake_[1]);
}

std::string TcpProxy::Name(const std::string& path) const {
  return LoopbackName(port_, path);
}

void TcpProxy::Pause() {
  paused_ = true;
  [[maybe_unused]] ssize_t n = write(wake_[1], "x", 1);
}

void TcpProxy::Resume() {
  paused_ = false;
  [[maybe_unused]] ssize_t n = write(wake_[1], "x", 1);
}

bool TcpProxy::WaitIdle(int seconds) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (open_ != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return open_ == 0;
}

void TcpProxy::Loop() {
  std::vector<std::pair<int, int>> pairs;  // client side, server side
  while (!stop_) {
    std::vector<pollfd> fds{{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    const bool forwarding = !paused_;
    if (forwarding) {
      for (auto [a, b] : pairs) {
        fds.push_back({a, POLLIN, 0});
        fds.push_back({b, POLLIN, 0});
      }
    }
    if (poll(fds.data(), fds.size(), 1000) <= 0) continue;
    if (fds[1].revents != 0) {
      char drain[16];
      [[maybe_unused]] ssize_t n = read(wake_[0], drain, sizeof(drain));
    }
    const size_t polled = forwarding ? pairs.size() : 0;  // the pairs fds holds
    if (fds[0].revents != 0) {
      const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      const int server = client >= 0 ? ConnectTo(3050, true) : -1;
      if (server >= 0) {
        pairs.emplace_back(client, server);
        open_ = static_cast<int>(pairs.size());
      } else if (client >= 0) {
        close(client);
      }
    }
    if (!forwarding) continue;
    std::vector<std::pair<int, int>> kept;
    for (size_t k = 0; k < pairs.size(); ++k) {
      bool open = true;
      if (k >= polled) {  // accepted in this round
        kept.push_back(pairs[k]);
        continue;
      }
      for (int side = 0; side < 2 && open; ++side) {
        const pollfd& p = fds[2 + 2 * k + static_cast<size_t>(side)];
        if (p.revents == 0) continue;
        const int from = side == 0 ? pairs[k].first : pairs[k].second;
        const int to = side == 0 ? pairs[k].second : pairs[k].first;
        char buffer[65536];
        const ssize_t n = read(from, buffer, sizeof(buffer));
        open = n > 0 && send(to, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) == n;
      }
      if (open) {
        kept.push_back(pairs[k]);
      } else {
        close(pairs[k].first);
        close(pairs[k].second);
      }
    }
    pairs = kept;
    open_ = static_cast<int>(pairs.size());
  }
  for (auto [a, b] : pairs) {
    close(a);
    close(b);
  }
}

SilentListener::SilentListener(bool dropRequests) {
  listener_ = ListenOnLoopback(dropRequests ? 0 : 16, port_);
  if (pipe2(wake_, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  if (dropRequests) {
    // Fill the accept queue: once a connection stays pending, requests are dropped.
    for (int k = 0; k < 8; ++k) {
      const int fd = ConnectTo(port_, false);
      held_.push_back(fd);
      pollfd p{fd, POLLOUT, 0};
      if (poll(&p, 1, 200) == 0) return;
    }
    throw std::runtime_error("the accept queue would not fill");
  }
  thread_ = std::thread([this] { Loop(); });
}

SilentListener::~SilentListener() {
  if (thread_.joinable()) {
    [[maybe_unused]] ssize_t n = write(wake_[1], "x", 1);
    thread_.join();
  }
  for (int fd : held_) close(fd);
  close(listener_);
  close(wake_[0]);
  close(wake_[1]);
}

std::string SilentListener::Name(const std::string& path) const {
  return LoopbackName(port_, path);
}

void SilentListener::Loop() {
  for (;;) {
    pollfd fds[] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) <= 0) continue;
    if (fds[1].revents != 0) return;
    const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) held_.push_back(fd);  // accepted, and never answered
  }
}

int OpenDescriptors() {
  int n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++n;
  }
  return n;
}

// ---- the spy ----

namespace {

ClientSpy* activeSpy = nullptr;

template <typename... A>
struct FirstOf {
  using type = void;
};
template <typename F, typename... A>
struct FirstOf<F, A...> {
  using type = F;
};

template <auto Member, typename Fn>
struct Wrapper;

template <auto Member, typename R, typename... A>
struct Wrapper<Member, R (*)(A...)> {
  static inline R (*saved)(A...) = nullptr;
  static inline const char* name = nullptr;
  static constexpr bool kFailable =
      std::is_same_v<typename FirstOf<A...>::type, ISC_STATUS*> && std::is_same_v<R, ISC_STATUS>;

  static R Call(A... args) {
    ClientSpy* spy = ClientSpy::Active();
    if (spy != nullptr && spy->Enter(name, kFailable)) {
      if constexpr (kFailable) {
        return InjectFault(std::get<0>(std::forward_as_tuple(args...)));
      }
    }
    return saved(args...);
  }
  static void Install(const char* entryName) {
    name = entryName;
    saved = IBAPI::Entries.*Member;
    IBAPI::Entries.*Member = &Call;
  }
  static void Restore() { IBAPI::Entries.*Member = saved; }
};

// clang-format off
#define VARLO_CLIENT_ENTRIES(X) \
  X(isc_attach_database) \
  X(isc_detach_database) \
  X(isc_start_multiple) \
  X(isc_commit_transaction) \
  X(isc_rollback_transaction) \
  X(isc_dsql_allocate_statement) \
  X(isc_dsql_prepare) \
  X(isc_dsql_describe) \
  X(isc_dsql_describe_bind) \
  X(isc_dsql_free_statement) \
  X(isc_dsql_execute) \
  X(isc_dsql_fetch) \
  X(isc_create_blob) \
  X(isc_put_segment) \
  X(isc_open_blob2) \
  X(isc_get_segment) \
  X(isc_close_blob) \
  X(isc_blob_lookup_desc) \
  X(isc_encode_date) \
  X(isc_decode_date) \
  X(isc_interprete) \
  X(fb_interpret) \
  X(isc_database_info) \
  X(isc_blob_info) \
  X(isc_dsql_sql_info) \
  X(isc_dsql_execute_immediate) \
  X(fb_cancel_operation)
// clang-format on

#define VARLO_WRAPPER(entry) \
  Wrapper<&IBAPI::ClientEntries::entry, decltype(IBAPI::ClientEntries::entry)>

}  // namespace

ClientSpy::ClientSpy() {
  if (activeSpy != nullptr) throw std::logic_error("one ClientSpy at a time");
#define VARLO_INSTALL(entry) VARLO_WRAPPER(entry)::Install(#entry);
  VARLO_CLIENT_ENTRIES(VARLO_INSTALL)
#undef VARLO_INSTALL
  activeSpy = this;
}

ClientSpy::~ClientSpy() {
  activeSpy = nullptr;
#define VARLO_RESTORE(entry) VARLO_WRAPPER(entry)::Restore();
  VARLO_CLIENT_ENTRIES(VARLO_RESTORE)
#undef VARLO_RESTORE
}

ClientSpy* ClientSpy::Active() {
  return activeSpy;
}

int ClientSpy::Calls(const std::string& entry) const {
  auto it = counts_.find(entry);
  return it == counts_.end() ? 0 : it->second;
}

void ClientSpy::Reset() {
  counts_.clear();
  log_.clear();
  total_ = failable_ = failAt_ = failEntryAt_ = 0;
  failEntry_.clear();
  injected_ = false;
}

void ClientSpy::FailCall(int k) {
  failAt_ = failable_ + k;
}

void ClientSpy::FailEntry(const std::string& entry, int n) {
  failEntry_ = entry;
  failEntryAt_ = Calls(entry) + n;
}

bool ClientSpy::Enter(const char* entry, bool failable) {
  int& count = counts_[entry];
  ++count;
  ++total_;
  log_.emplace_back(entry);
  if (!failable) return false;
  ++failable_;
  bool fail = (failAt_ != 0 && failable_ == failAt_) ||
              (failEntryAt_ != 0 && failEntry_ == entry && count == failEntryAt_);
  if (fail) injected_ = true;
  return fail;
}

ISC_STATUS InjectFault(ISC_STATUS* status) {
  status[0] = isc_arg_gds;
  status[1] = isc_random;
  status[2] = isc_arg_string;
  status[3] = reinterpret_cast<ISC_STATUS>(ClientSpy::FaultText());
  status[4] = isc_arg_end;
  return isc_random;
}

}  // namespace VarloTest
