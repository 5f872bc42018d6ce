#pragma once
// A thin object layer over the SQLite 3 C interface. Every failure is thrown as
// one exception type, every SQLite-owned resource (formatted text, statements,
// result tables, connections) is released by the object that holds it, and SQL
// text is built with SQLite's own printf so "%Q" quotes values safely.
//
// None of the classes is thread-safe; open one connection per operation and
// thread.
#include <sqlite3.h>

#include <cstddef>

// The layer's own code for misuse found without SQLite's help.
constexpr int CPPSQLITE_ERROR = 1000;

class CppSQLite3Exception {
public:
    // `message` is released with sqlite3_free when `free_message` is set.
    CppSQLite3Exception(int code, const char* message, bool free_message = true);
    CppSQLite3Exception(const CppSQLite3Exception& other);
    CppSQLite3Exception& operator=(const CppSQLite3Exception& other);
    virtual ~CppSQLite3Exception();

    int errorCode() const { return mnErrCode; }
    // "NAME[code]: text"; never null.
    const char* errorMessage() const { return mpszErrMess ? mpszErrMess : ""; }

    static const char* errorCodeAsString(int code);

private:
    int mnErrCode;
    char* mpszErrMess;
};

class CppSQLite3Buffer {
public:
    CppSQLite3Buffer() = default;
    ~CppSQLite3Buffer();
    CppSQLite3Buffer(const CppSQLite3Buffer&) = delete;
    CppSQLite3Buffer& operator=(const CppSQLite3Buffer&) = delete;

    // Formats with sqlite3_vmprintf (so %Q, %q, %d, %f follow SQLite's rules)
    // and returns the new text, which the buffer owns.
    const char* format(const char* fmt, ...);
    operator const char*() const { return mpBuf; }
    void clear();

private:
    char* mpBuf = nullptr;
};

class CppSQLite3Binary {
public:
    CppSQLite3Binary() = default;
    ~CppSQLite3Binary();
    CppSQLite3Binary(const CppSQLite3Binary&) = delete;
    CppSQLite3Binary& operator=(const CppSQLite3Binary&) = delete;

    void setBinary(const unsigned char* data, int length);
    void setEncoded(const unsigned char* text);
    const unsigned char* getEncoded();
    const unsigned char* getBinary();
    int getBinaryLength();
    unsigned char* allocBuffer(int length);
    void clear();

private:
    unsigned char* mpBuf = nullptr;
    int mnBinaryLen = 0;
    int mnBufferLen = 0;
    int mnEncodedLen = 0;
    bool mbEncoded = false;
};

// Rows of a statement, read forward only. Copying hands the statement over to
// the copy; the source is left without one.
class CppSQLite3Query {
public:
    CppSQLite3Query();
    CppSQLite3Query(sqlite3* db, sqlite3_stmt* vm, bool eof, bool owns_vm = true);
    CppSQLite3Query(const CppSQLite3Query& other);
    CppSQLite3Query& operator=(const CppSQLite3Query& other);
    virtual ~CppSQLite3Query();

    int numFields();
    int fieldIndex(const char* name);
    const char* fieldName(int col);
    const char* fieldDeclType(int col);
    int fieldDataType(int col);

    const char* fieldValue(int col);
    const char* fieldValue(const char* name);

    int getIntField(int col, int null_value = 0);
    int getIntField(const char* name, int null_value = 0);
    long long getInt64Field(int col, long long null_value = 0);
    long long getInt64Field(const char* name, long long null_value = 0);
    double getFloatField(int col, double null_value = 0.0);
    double getFloatField(const char* name, double null_value = 0.0);
    const char* getStringField(int col, const char* null_value = "");
    const char* getStringField(const char* name, const char* null_value = "");
    const unsigned char* getBlobField(int col, int& length);
    const unsigned char* getBlobField(const char* name, int& length);

    bool fieldIsNull(int col);
    bool fieldIsNull(const char* name);

    bool eof();
    void nextRow();
    void finalize();

private:
    void checkVM() const;
    void checkCol(int col);

    sqlite3* mpDB;
    mutable sqlite3_stmt* mpVM;
    bool mbEof;
    int mnCols;
    bool mbOwnVM;
};

// A whole result held in memory (sqlite3_get_table). Copying hands the result
// over to the copy.
class CppSQLite3Table {
public:
    CppSQLite3Table();
    CppSQLite3Table(char** results, int rows, int cols);
    CppSQLite3Table(const CppSQLite3Table& other);
    CppSQLite3Table& operator=(const CppSQLite3Table& other);
    virtual ~CppSQLite3Table();

    int numFields();
    int numRows();
    const char* fieldName(int col);
    const char* fieldValue(int col);
    const char* fieldValue(const char* name);
    int getIntField(int col, int null_value = 0);
    int getIntField(const char* name, int null_value = 0);
    double getFloatField(int col, double null_value = 0.0);
    double getFloatField(const char* name, double null_value = 0.0);
    const char* getStringField(int col, const char* null_value = "");
    const char* getStringField(const char* name, const char* null_value = "");
    bool fieldIsNull(int col);
    bool fieldIsNull(const char* name);
    void setRow(int row);
    void finalize();

private:
    void checkResults() const;
    int entry(int col) const { return (mnCurrentRow + 1) * mnCols + col; }

    int mnCols;
    int mnRows;
    int mnCurrentRow;
    mutable char** mpaszResults;
};

// A prepared statement with bound parameters. Copying hands the statement over.
class CppSQLite3Statement {
public:
    CppSQLite3Statement();
    CppSQLite3Statement(sqlite3* db, sqlite3_stmt* vm);
    CppSQLite3Statement(const CppSQLite3Statement& other);
    CppSQLite3Statement& operator=(const CppSQLite3Statement& other);
    virtual ~CppSQLite3Statement();

    int execDML();
    // The rows stay owned by this statement: keep it alive while reading them.
    CppSQLite3Query execQuery();

    void bind(int param, const char* value);
    void bind(int param, int value);
    void bind(int param, double value);
    void bind(int param, const unsigned char* blob, int length);
    void bindNull(int param);
    int bindParameterIndex(const char* name);
    void bind(const char* name, const char* value) { bind(bindParameterIndex(name), value); }
    void bind(const char* name, int value) { bind(bindParameterIndex(name), value); }
    void bind(const char* name, double value) { bind(bindParameterIndex(name), value); }
    void bind(const char* name, const unsigned char* blob, int length) {
        bind(bindParameterIndex(name), blob, length);
    }
    void bindNull(const char* name) { bindNull(bindParameterIndex(name)); }

    void reset();
    void finalize();

private:
    void checkDB() const;
    void checkVM() const;

    sqlite3* mpDB;
    mutable sqlite3_stmt* mpVM;
};

class CppSQLite3DB {
public:
    CppSQLite3DB();
    virtual ~CppSQLite3DB();
    // One connection, one owner: closing it twice must be impossible.
    CppSQLite3DB(const CppSQLite3DB&) = delete;
    CppSQLite3DB& operator=(const CppSQLite3DB&) = delete;

    // Opens (and creates when missing) the file.
    void open(const char* file);
    // Opens with sqlite3_open_v2 flags, e.g. SQLITE_OPEN_READONLY, which never
    // creates nor changes the file.
    void open(const char* file, int flags);
    // Opens a private in-memory database holding a copy of `size` bytes of a
    // database file: a file's content read and changed without touching it.
    void openImage(const void* image, size_t size);
    void close();

    bool tableExists(const char* table);
    int execDML(const char* sql);
    CppSQLite3Query execQuery(const char* sql);
    int execScalar(const char* sql, int null_value = 0);
    CppSQLite3Table getTable(const char* sql);
    CppSQLite3Statement compileStatement(const char* sql);

    sqlite_int64 lastRowId();
    void interrupt();
    void setBusyTimeout(int ms);
    bool IsAutoCommitOn();
    // No transaction open and no statement half-way through its rows: the
    // connection holds no lock on the file.
    bool isIdle();
    static const char* SQLiteVersion() { return SQLITE_VERSION; }

private:
    void checkDB() const;
    sqlite3_stmt* compile(const char* sql);

    sqlite3* mpDB;
    int mnBusyTimeoutMs;
};

// Binary-to-text encoding whose output holds neither a 0 byte nor an
// apostrophe, so it can stand inside a quoted SQL literal. `out` needs room for
// 3 + (257 * n) / 254 bytes. Returns the encoded length without the terminator.
int sqlite3_encode_binary(const unsigned char* in, int n, unsigned char* out);
// Reverses the encoding (may run in place). Returns the decoded length, or -1
// for text that is not a valid encoding.
int sqlite3_decode_binary(const unsigned char* in, unsigned char* out);
