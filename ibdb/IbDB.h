// Call-level interface over the Firebird client: connections, transactions, statements, bound
// caller variables, execution, fetching, date and blob conversion, error text.
//
// Results: 0 success, -1 failure (the client's error, or a code of the package's own checks, is
// left in the Status of the record involved; SQLError turns it into text), 1 success with
// information (SQLFetch: a bounded value was cut; SQLGetData: more of the value remains), 100
// no more data (SQLFetch, SQLGetData) or no such column/parameter (SQLGetCol, SQLGetParam,
// SQLDescribeCol).
//
// Bind in your C type (the C type codes below: text, numbers, date records, bytes) with the
// size of your buffer (cbValueMax, as in ODBC): the package converts between it and the entry's
// SQL type by ODBC's rules and never writes or reads past the buffer, whatever the database
// holds (the README's "SQL types and C types" has the whole table).
//   columns     text as isql-fb prints the value (exact decimals with their scale, YYYY-MM-DD,
//               hh:mm:ss.ffff), cut to cbValueMax - 1 bytes and a NUL; numbers with the scale
//               applied; date records; bytes as stored. *pcbValue the full length (-1 and the
//               null flag 1 for NULL). SQLFetch returns 1 when a value was cut or lost a fraction
//               or a time of day, -1 when one does not convert or fit (that column untouched).
//   parameters  converted at SQLExecute; a value that does not convert or fit (a fraction
//               beyond the scale, an impossible date, text longer than the column) is refused
//               with -1 before any client call, naming the parameter. Text and bytes are
//               *pcbValue of them when it holds 0 to cbValueMax, up to a NUL or cbValueMax when
//               pcbValue is nil or holds -3; other lengths are refused. Fixed-size types read
//               their own size. A null flag of 1 sends NULL, whatever the entry's description.
//   binding     the bounded forms never write the caller's buffers or flags at binding.
//   SQLGetData  a column bound to nothing is held after each fetch and handed over in pieces
//               of the caller's buffer (text with a NUL), a blob of any size in flat memory.
//               Fetching with columns bound to nothing is allowed unless a column is bound in
//               the classic form.
// A code of 448 and above given to the bounded forms is the entry's own type, in place as the
// client delivers it (VARCHAR and CHAR as text, the dialect-1 DATE 510 as "MM/DD/YYYY hh:mm:ss"
// in 20 bytes for columns and 19 for parameters, every other type its sqllen bytes).
//
// The classic SQLBindCol/SQLBindParameter (without cbValueMax) trust the caller's buffers:
//   VARCHAR and CHAR columns   sqllen + 1 bytes (the characters and a NUL)
//   DATE columns               20 bytes ("MM/DD/YYYY hh:mm:ss" and a NUL)
//   BLOB columns               the whole blob: each fetch reads the blob to its end, and a blob
//                              longer than the buffer overwrites the memory behind it
//   VARCHAR parameters         a NUL-terminated string of at most sqllen characters
//   CHAR parameters            exactly sqllen bytes, read in place; no terminator is looked for,
//                              so a shorter buffer makes the client read past its end
//   DATE parameters            a date text of the layout above
//   BLOB parameters            as many bytes as the bound length variable says
// Bound variables must stay valid until the statement is dropped or prepared again.
//
// What else a caller must know (the README's section "What a caller must know" says more):
// - Statements are prepared in the database's SQL dialect, learnt at SQLConnect; connection
//   option 150 forces 1 or 3. Options 101, 108 and 152 (access mode, isolation, lock wait)
//   take effect at the next start of the connection's transaction; 151 (character set) and 103
//   (login timeout) at the next SQLConnect; 113 (connection timeout, seconds) bounds the
//   connection's own calls: transactions, option 102's commit and SQLDisconnect.
// - SQLPrepare does not read cbSqlStr: the text ends at its first NUL, and whatever follows a
//   NUL is not part of the statement. Preparing again first releases every binding of the
//   statement (ColsBound and ParamsBound back to 0), whatever the client then answers; a text
//   without '?' leaves the input area with sqld 0.
// - Numbers of columns and parameters are 1 to 255: a statement with more columns can be
//   prepared but not fetched, one with more parameters not executed (an unbound entry is
//   refused).
// - Classic forms: NUMERIC/DECIMAL stored as INTEGER or SMALLINT (scale below 0): a parameter is
//   given as its raw scaled integer (12.34 at scale -2 as 1234), while a fetch gives the integer
//   part, truncated (1234 arrives as 12; scales below -9 give 0). Bind CChar or CDouble instead.
// - A classic blob column's read size is the value its length variable holds when bound (1 to
//   65535). Each read is one client call, so a small size is slow: use 65535.
// - Date text of the classic forms: years below 1000 are written with leading blanks (" 999");
//   the year is read from all four characters; a date later than 9999 is cut to the text's 19
//   characters; a date the calendar does not have (month 13, February 30, hour 24) raises the
//   conversion error, as a malformed text does.
// - SQLExecute opens the connection's transaction before it writes blob parameters, so that the
//   blobs belong to the transaction that executes; a DATE parameter whose text does not convert
//   then leaves that transaction open.
// - SQLDisconnect ends the connection's statements that are still alive (their records are
//   freed); every call but SQLError refuses a freed statement handle with -1 without reading it.
//   A commit or rollback cut by a lost connection reports that its outcome is unknown.
// - SQLDisconnect commits; if the commit fails it rolls back, and if the detach fails because a
//   transaction is still open it rolls that back and detaches again, so that it never frees a
//   record whose attachment the client could still close.
// - A transaction started over several connections (SQLTransactMdb) ends for all of them when
//   it ends through any: commit, rollback, disconnect or the auto-commit option.
// - A lost attachment (shut down by the server, or its connection broken) is recorded on its
//   connection when a call made for that connection or one of its statements reports it. From
//   then on every call on the connection or its statements returns -1 at once with the text
//   that reported the loss (SQLFreeStmt and SQLDisconnect still 0), and nothing but the detach
//   is sent on that attachment. A copied status vector marks nothing. A transaction shared by
//   several connections whose commit fails for a lost attachment is rolled back at once; the
//   client's error does not say whose attachment was lost, so that loss is recorded on the
//   listed connections whose names have a host part ("host:path").
// - Threads: records are not locked. Distinct connections (and their statements) may be used
//   from distinct threads at once; one connection and everything hanging from it from one
//   thread at a time, but for SQLCancel, which any thread may call.
// - Error text is read with the client's fb_interpret (isc_interprete is unbounded).
#pragma once

#include <ibase.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace IbDB {

struct TSharedTransaction;  // package-internal: the connections of one shared transaction

// What the package records about a connection: its options, and facts about its attachment
// recorded at the moment the package learns them.
struct TConnState {
  uint8_t Remote;              // the name has a host part: the database is reached over the network
  uint8_t Lost;                // the attachment is gone: nothing but the detach goes to it any more
  uint8_t Dialect;             // the database's SQL dialect, learnt by SQLConnect
  uint8_t ForcedDialect;       // option 150: 1 or 3; 0 prepares in the database's dialect
  uint8_t HasCharset;          // option 151 was set: Charset goes into the parameter buffer
  uint8_t TpbLength;           // options 101, 108 and 152 as a transaction parameter buffer;
  char Tpb[14];                // empty while none of them is set
  uint16_t Charset;            // option 151: Firebird's character set number
  uint16_t Isolation;          // option 108 as given; 0 unset
  uint16_t AccessMode;         // option 101 as given plus 1; 0 unset
  uint16_t LockWait;           // option 152 as given plus 1; 0 unset
  uint16_t LoginTimeout;       // option 103: seconds; 0 no limit
  uint16_t ConnTimeout;        // option 113: seconds each call of the connection's own may take
  uint32_t Running;            // a call is running on the connection (read by SQLCancel)
  int64_t Started;             // when it began (over TCP): the coarse monotonic clock, ms
  uint32_t Sending;            // cancels on their way to the client, each in a thread of its own
  TSharedTransaction* Shared;  // the transaction SQLTransactMdb shares with other connections
  ISC_STATUS LostStatus[20];   // the status vector that reported the loss, its strings copied
  char LostStrings[256];       // into this buffer
  uint32_t CancelGrace;        // option 153 as given plus 1 (0 unset: the default)
  char Peer[128];              // the server's host and port, NUL-terminated each; empty locally
};

struct TIbConnRec {
  isc_db_handle DbHandle;
  ISC_STATUS Status[20];
  isc_tr_handle TrHandle;
  // Package-internal; callers do not touch it.
  TConnState State;
};

struct TBindNode {
  int32_t Index;
  int32_t Size;
  int32_t* SizePtr;
  void* Data;
  uint8_t* NullFlag;
  TBindNode* Next;
};

// The binding of each entry of one side, by entry number, made by the bind operations and kept
// beside the lists so that execution and fetching reach it in constant time.
struct TBindSlot {
  TBindNode* Node;    // nil where nothing is bound
  uint8_t* NullFlag;  // the caller's null flag (of the first row, for parameter arrays)
  int32_t* Length;    // bounded form: the caller's length variable (first row), or nil
  int32_t ValueMax;   // bounded form: the size of the caller's buffer (one row); 0 classic form
  uint8_t Finish;     // what a fetch does after the null flag (package-internal code)
  uint8_t OwnsData;   // the entry's sqldata is a buffer of the package's
  uint8_t Held;       // a column bound to nothing, held by the package for SQLGetData
  int16_t CType;      // bounded form: the caller's C type, converted to and from the entry's
                      // SQL type; 0 where the entry's own type is bound
  uint8_t Check;      // what execution checks of a parameter's value (package-internal code)
  int32_t Checked;    // the text length the check of a single execution found
};

struct TBindIndex {
  TBindSlot* Slots;       // Count slots
  ISC_SHORT* Indicators;  // the entries' sqlind, side by side
  int32_t Count;
  int32_t Bound;       // slots that hold a node
  int32_t Classic;     // slots bound with the classic form
  uint8_t PlanStale;   // the bindings changed since the fetch plan below was made
  uint8_t** Flags;     // fetch plan: each entry's null flag, or nil when they lie side by
  uint8_t* FlagBase;   // side from FlagBase in entry order
  int32_t* Finishing;  // fetch plan: the entries that need work after their null flag
  int32_t FinishingCount;
};

struct TGetData;  // package-internal: what SQLGetData has handed over of the current row
struct TArrays;   // package-internal: the statement's text and its blocks for parameter arrays
struct TAtExec;   // package-internal: the parameters awaiting their data at execution

struct TIbStmtRec {
  isc_stmt_handle StmtHandle;
  ISC_STATUS Status[20];
  TIbConnRec* Conn;
  int16_t ParamsBound, ColsBound, HasParamMarkers;
  XSQLDA* OutSqlda;
  XSQLDA* InSqlda;
  TBindNode *BlobParams, *BlobCols, *DateParams, *DateCols, *VaryParams, *VaryCols, *PlainParams,
      *PlainCols;
  // Package-internal; callers do not touch these.
  TBindIndex ColIndex, ParamIndex;
  TGetData* GetData;
  uint8_t HasRow;         // the last fetch delivered a row that SQLGetData may read
  uint8_t HeldNull;       // where a fetch writes the null flag of a column held for SQLGetData
  uint32_t QueryTimeout;  // statement option 0: seconds each execution and fetch may take
  uint32_t ParamRows;     // SQLParamOptions: rows each execution runs (0 and 1: one)
  uint32_t* RowReached;   // SQLParamOptions: where the row reached is written, or nil
  TArrays* Arrays;
  uint8_t Dialect;       // the SQL dialect the statement was prepared in
  uint8_t RowByRow;      // statement option 150: parameter arrays run row by row
  uint8_t AtExecCancel;  // SQLCancel came: a sequence of data at execution ends at its next call
  TAtExec* AtExec;       // an execution waiting for data at execution, or nil
  char Message[512];     // the texts of the package's last refusal or of a copied error, which
                         // Status points into
};

// C types: a type code below 448 given to the bounded SQLBindCol/SQLBindParameter or to the
// typed SQLGetData names the caller's C type (ODBC's codes), and the package converts between it
// and the entry's SQL type; codes 448 and above keep their meaning (the entry's own type).
constexpr int16_t CChar = 1;        // text, NUL-terminated
constexpr int16_t CLong = 4;        // int32_t
constexpr int16_t CShort = 5;       // int16_t
constexpr int16_t CFloat = 7;       // float
constexpr int16_t CDouble = 8;      // double
constexpr int16_t CBit = -7;        // uint8_t, 0 or 1
constexpr int16_t CSBigInt = -25;   // int64_t
constexpr int16_t CBinary = -2;     // the bytes as stored
constexpr int16_t CDate = 91;       // TDateStruct
constexpr int16_t CTime = 92;       // TTimeStruct
constexpr int16_t CTimestamp = 93;  // TTimestampStruct

struct TDateStruct {
  int16_t year;
  uint16_t month;
  uint16_t day;
};
struct TTimeStruct {
  uint16_t hour;
  uint16_t minute;
  uint16_t second;
};
struct TTimestampStruct {
  int16_t year;
  uint16_t month;
  uint16_t day;
  uint16_t hour;
  uint16_t minute;
  uint16_t second;
  uint32_t fraction;  // nanoseconds
};

// Connections and transactions. fType of SQLTransact/SQLTransactMdb: 0 commit, 1 roll back,
// 2 start.
int32_t SQLAllocConnect(TIbConnRec*& hdbc);
int32_t SQLSetConnectOption(TIbConnRec* hdbc, uint8_t fOption, uint16_t vParam);
int32_t SQLConnect(TIbConnRec* hdbc, const std::string& dbName, const std::string& userName,
                   const std::string& password);
int32_t SQLDisconnect(TIbConnRec*& hdbc);
int32_t SQLTransact(TIbConnRec* hdbc, uint8_t fType);
int16_t SQLTransactMdb(const std::vector<TIbConnRec**>& hdbcs, uint8_t fType, int32_t count);

// Statements. fOption of SQLFreeStmt: 0 close the cursor, 1 drop the statement.
int32_t SQLAllocStmt(TIbConnRec* hdbc, TIbStmtRec*& hstmt);
int16_t SQLPrepare(TIbStmtRec* hstmt, const char* szSqlStr, int32_t cbSqlStr);
int16_t SQLFreeStmt(TIbStmtRec* hstmt, uint8_t fOption);

// Binding lists.
void AddLL(TBindNode*& head, int32_t index, void* data, uint8_t* nullFlag, int32_t* sizePtr,
           int32_t size);
void* SearchLL(TBindNode* head, int32_t index);
uint8_t* IsNullSearchLL(TBindNode* head, int32_t index);
TBindNode* BlobSearchLL(TBindNode* head, int32_t index);
void UpdateIsNullPtr(TBindNode* head, int32_t index, uint8_t value);
void DestroyLL(TBindNode*& head);

// Description and binding. Numbers count from 1.
int16_t SQLGetCol(TIbStmtRec* hstmt, uint8_t icol, int16_t& pfSqlType, int16_t& pcbLen);
int16_t SQLGetParam(TIbStmtRec* hstmt, uint8_t ipar, int16_t& pfSqlType, int16_t& pcbLen);
// Addition of this package, shaped as ODBC's call: column icol's name (its alias, as the
// statement gives it) into szColName, cut to cbColNameMax - 1 bytes and always terminated, with
// its full length in pcbColName; its type code and length as SQLGetCol reports them, its scale
// and whether it admits NULL (1 for an odd type code). Any output may be nil and is then
// skipped; the blob lookup of SQLGetCol is made only when pcbColDef is given. 0, 100 past the
// last column (nothing written), -1 for a nil statement.
int16_t SQLDescribeCol(TIbStmtRec* hstmt, uint8_t icol, char* szColName, int16_t cbColNameMax,
                       int16_t* pcbColName, int16_t* pfSqlType, int32_t* pcbColDef,
                       int16_t* pibScale, int16_t* pfNullable);
// Bounded binding: cbValueMax is the size of the caller's buffer (of one row, for parameter
// arrays); see the top of this header.
int32_t SQLBindCol(TIbStmtRec* hstmt, uint8_t icol, int16_t fSqlType, void* rgbValue,
                   int32_t cbValueMax, uint8_t* pfNull, int32_t* pcbValue);
int32_t SQLBindParameter(TIbStmtRec* hstmt, uint8_t ipar, int16_t fSqlType, void* rgbValue,
                         int32_t cbValueMax, uint8_t* pfNull, int32_t* pcbValue);
// A column of the current row bound to nothing, in pieces of at most cbValueMax bytes (text
// pieces cbValueMax - 1 characters and a NUL): *pcbValue what remains before the call (-1 for
// NULL), 1 while more remains after the piece, 0 for the piece that ends it, 100 after it.
int16_t SQLGetData(TIbStmtRec* hstmt, uint8_t icol, void* rgbValue, int32_t cbValueMax,
                   int32_t* pcbValue);
// The same in a C type (codes 448 and above: the entry's own type, as above). Text comes in
// pieces as above; a fixed-size C type whole, in one call.
int16_t SQLGetData(TIbStmtRec* hstmt, uint8_t icol, int16_t fCType, void* rgbValue,
                   int32_t cbValueMax, int32_t* pcbValue);
// Classic binding: the caller's buffers are trusted to hold every value.
int32_t SQLBindCol(TIbStmtRec* hstmt, uint8_t icol, int16_t fSqlType, void* rgbValue,
                   uint8_t* pfNull, int32_t* pcbValue);
int32_t SQLBindParameter(TIbStmtRec* hstmt, uint8_t ipar, int16_t fSqlType, void* rgbValue,
                         uint8_t* pfNull, int32_t* pcbValue, uint16_t cbSegment);

// Execution and fetching.
int16_t SQLExecute(TIbStmtRec* hstmt);
int16_t SQLFetch(TIbStmtRec* hstmt);

// Data at execution: a parameter bound in the bounded form whose length variable holds -2, or
// -100 - n, at SQLExecute (its null flag not 1) is not read there; SQLExecute checks the others
// and returns 99 (need data). SQLParamData then names each such parameter in turn
// (*prgbValue: the rgbValue it was bound with) and returns 99; SQLPutData sends a piece of its
// value (cbValue bytes, -3 up to a NUL, -1 NULL as the only piece): a blob goes straight to the
// client in segments, text is collected up to the column's length, a fixed-size C type is one
// piece of its size. The SQLParamData after the last parameter executes and returns what
// SQLExecute would. A refused piece ends the sequence with nothing executed; SQLCancel and
// SQLFreeStmt end it too. Other calls on the statement meanwhile are refused with -1, the
// sequence left as it was. Parameter arrays refuse data at execution before anything runs.
int16_t SQLParamData(TIbStmtRec* hstmt, void** prgbValue);
int16_t SQLPutData(TIbStmtRec* hstmt, const void* rgbValue, int32_t cbValue);

// Bounded waits. SQLCancel may be called from any thread while another is inside a call on the
// statement's connection; see the README for the orders allowed. SQLSetStmtOption option 0 is
// the query timeout in seconds (0: none; it bounds SQLPrepare too); option 150 how parameter arrays
// run (0 in blocks where the package can, 1 row by row, for triggers and defaults that must run
// once per row).
int16_t SQLCancel(TIbStmtRec* hstmt);
int32_t SQLSetStmtOption(TIbStmtRec* hstmt, uint16_t fOption, uint32_t vParam);

// Parameter arrays: with crow above 1 each SQLExecute runs the statement for crow rows of the
// parameters bound in the bounded form (row r of parameter i at rgbValue + r * cbValueMax, its
// null flag at pfNull + r, its length at pcbValue + r); all rows or none stay. *pirow receives
// crow, or the 1-based number of the row that failed.
int16_t SQLParamOptions(TIbStmtRec* hstmt, uint32_t crow, uint32_t* pirow);

// Conversions. IBDateToTM writes at most 20 bytes. IBTMToDate throws Framework::EConvertError
// for a field that is not a decimal integer or a date the calendar does not have, leaving the
// date untouched. IBBlobToPtr reads the
// whole blob into buffer (which must hold it) in reads of segmentSize (1 to 65535) bytes and
// returns its length, or -1.
void IBDateToTM(const ISC_QUAD* date, char* text);
void IBTMToDate(ISC_QUAD* date, const char* text);
int32_t IBBlobToPtr(TIbStmtRec* hstmt, const ISC_QUAD* blobId, void* buffer, int32_t segmentSize);

// Error text: appends "|" and each message of the failed record's status vector to the
// NUL-terminated text in szErrorMsg. The four-argument form writes at most cbErrorMsgMax bytes in
// all, the terminator included.
void SQLError(TIbConnRec* hdbc, TIbStmtRec* hstmt, char* szErrorMsg);
void SQLError(TIbConnRec* hdbc, TIbStmtRec* hstmt, char* szErrorMsg, size_t cbErrorMsgMax);

}  // namespace IbDB
