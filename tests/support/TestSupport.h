// Test services: temporary folders, real databases made with the raw client, a second raw
// attachment to check what the package did, and a spy over the client entry-point table.
#pragma once

#include <ibase.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ibdb/IbDB.h"

namespace VarloTest {

// A fresh folder under /tmp, open to the server's user, removed with all it holds.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Credentials of the test user the test command creates on the server.
std::string ServerUser();
std::string ServerPassword();

// Creates a database of the SQL dialect (1 unless given) at path with the embedded engine and
// runs the statements in it, committing after each. With forServer, the file is handed to the
// server's user afterwards and the test user owns the database; the name to attach to is then
// ServerName(path).
void CreateDatabase(const std::string& path, const std::vector<std::string>& statements = {},
                    bool forServer = false, unsigned short dialect = 1);
std::string ServerName(const std::string& path);

// A raw-client attachment of its own, for setting up data and checking results.
class RawDb {
 public:
  RawDb(const std::string& name, const std::string& user = "", const std::string& password = "");
  ~RawDb();
  RawDb(const RawDb&) = delete;
  RawDb& operator=(const RawDb&) = delete;

  // Runs a statement (of SQL dialect 1 unless given) in a transaction of its own and commits it.
  void Exec(const std::string& sql, unsigned short dialect = 1);
  // The first column of the first row as an integer, or nullopt when NULL or no row.
  std::optional<int64_t> QueryInt(const std::string& sql, unsigned short dialect = 1);
  isc_db_handle Handle() const { return db_; }

 private:
  isc_db_handle db_ = 0;
};

// The error text of a status vector, for test failure messages.
std::string StatusText(const ISC_STATUS* status);

// What SQLError reports for a connection and statement (either may be nil).
std::string ErrorText(IbDB::TIbConnRec* conn, IbDB::TIbStmtRec* stmt);

// The first column of the first row of a query run through the package on the connection, as
// "type value": the type code's even number and the value as text ("NULL"; integers with their
// scale as decimals; doubles as %.17g; text and blobs as delivered, NULs included, up to 64 KiB;
// timestamps as the package's date text; DATE and TIME as ISO), or "error" and the error text.
std::string QueryText(IbDB::TIbConnRec* conn, const std::string& sql);

// Runs one test of this test program in a child process of its own, with the environment
// variable VARLO_CHILD set to argument, and waits at most timeoutSeconds for it: a call that
// never returns costs the deadline, not the run. The child's output goes to output.
struct ChildResult {
  bool finished = false;  // false: killed at the deadline
  int exitCode = -1;
  double seconds = 0;
  std::string output;
};
ChildResult RunChildTest(const std::string& testName, const std::string& argument,
                         int timeoutSeconds);
// The argument the parent gave, or nullopt outside such a child.
std::optional<std::string> ChildArgument();
// Expects the child to have finished in time and passed its one test; prints the line of its
// output that starts with summary.
void ExpectChildPassed(const ChildResult& child, const std::string& summary);

// A TCP proxy in front of the real server on 127.0.0.1:3050. It forwards until Pause(); then
// it keeps both sockets of every connection open and forwards nothing, as a frozen server or a
// broken path would, until Resume(). Attach through Name(path).
class TcpProxy {
 public:
  TcpProxy();
  ~TcpProxy();
  TcpProxy(const TcpProxy&) = delete;
  TcpProxy& operator=(const TcpProxy&) = delete;
  std::string Name(const std::string& path) const;
  void Pause();
  void Resume();
  // Waits up to seconds for every forwarded connection to have closed; whether they did.
  bool WaitIdle(int seconds) const;

 private:
  void Loop();
  int listener_ = -1;
  int port_ = 0;
  int wake_[2] = {-1, -1};
  std::atomic<int> open_{0};
  std::atomic<bool> paused_{false};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A listener on 127.0.0.1 that never answers: it accepts connections and says nothing (a server
// that hangs before its greeting), or with dropRequests its accept queue is full, so that new
// connection requests are dropped as from a host that is gone.
class SilentListener {
 public:
  explicit SilentListener(bool dropRequests);
  ~SilentListener();
  SilentListener(const SilentListener&) = delete;
  SilentListener& operator=(const SilentListener&) = delete;
  std::string Name(const std::string& path) const;

 private:
  void Loop();
  int listener_ = -1;
  int port_ = 0;
  std::vector<int> held_;
  int wake_[2] = {-1, -1};
  std::thread thread_;
};

// The number of descriptors this process holds open.
int OpenDescriptors();

// Replaces every entry of the client table with a wrapper that counts calls and, on request,
// makes one call fail with a real client error vector. One spy at a time.
class ClientSpy {
 public:
  ClientSpy();
  ~ClientSpy();
  ClientSpy(const ClientSpy&) = delete;
  ClientSpy& operator=(const ClientSpy&) = delete;

  int Calls(const std::string& entry) const;
  int TotalCalls() const { return total_; }
  // Calls of entries that take a status vector and can fail.
  int FailableCalls() const { return failable_; }
  const std::vector<std::string>& Log() const { return log_; }
  void Reset();

  // The k-th failable call from now (1-based) fails.
  void FailCall(int k);
  // The n-th call of one entry from now (1-based) fails.
  void FailEntry(const std::string& entry, int n = 1);
  // The failure vector: {isc_arg_gds, isc_random, isc_arg_string, "injected fault", isc_arg_end}.
  static const char* FaultText() { return "injected fault"; }
  bool Injected() const { return injected_; }

  // Used by the wrappers.
  static ClientSpy* Active();
  bool Enter(const char* entry, bool failable);

 private:
  std::map<std::string, int> counts_;
  std::vector<std::string> log_;
  int total_ = 0;
  int failable_ = 0;
  int failAt_ = 0;
  std::string failEntry_;
  int failEntryAt_ = 0;
  bool injected_ = false;
};

// Writes the injected failure into a status vector and returns its code.
ISC_STATUS InjectFault(ISC_STATUS* status);

}  // namespace VarloTest
