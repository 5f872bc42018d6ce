#include "store/CppSQLite3.h"
#include "store/usable_file.h"

#include "support/numbers.h"

#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

[[noreturn]] void throw_layer_error(const char* message) {
    throw CppSQLite3Exception(CPPSQLITE_ERROR, message, false);
}

}  // namespace

// ---------------------------------------------------------------------------
// CppSQLite3Exception

CppSQLite3Exception::CppSQLite3Exception(int code, const char* message, bool free_message)
    : mnErrCode(code) {
    mpszErrMess = sqlite3_mprintf("%s[%d]: %s", errorCodeAsString(code), code, message ? message : "");
    if (free_message && message) sqlite3_free(const_cast<char*>(message));
}

CppSQLite3Exception::CppSQLite3Exception(const CppSQLite3Exception& other)
    : mnErrCode(other.mnErrCode), mpszErrMess(nullptr) {
    if (other.mpszErrMess) mpszErrMess = sqlite3_mprintf("%s", other.mpszErrMess);
}

CppSQLite3Exception& CppSQLite3Exception::operator=(const CppSQLite3Exception& other) {
    if (this == &other) return *this;
    char* copy = other.mpszErrMess ? sqlite3_mprintf("%s", other.mpszErrMess) : nullptr;
    sqlite3_free(mpszErrMess);
    mpszErrMess = copy;
    mnErrCode = other.mnErrCode;
    return *this;
}

CppSQLite3Exception::~CppSQLite3Exception() { sqlite3_free(mpszErrMess); }

const char* CppSQLite3Exception::errorCodeAsString(int code) {
    switch (code) {
        case SQLITE_OK: return "SQLITE_OK";
        case SQLITE_ERROR: return "SQLITE_ERROR";
        case SQLITE_INTERNAL: return "SQLITE_INTERNAL";
        case SQLITE_PERM: return "SQLITE_PERM";
        case SQLITE_ABORT: return "SQLITE_ABORT";
        case SQLITE_BUSY: return "SQLITE_BUSY";
        case SQLITE_LOCKED: return "SQLITE_LOCKED";
        case SQLITE_NOMEM: return "SQLITE_NOMEM";
        case SQLITE_READONLY: return "SQLITE_READONLY";
        case SQLITE_INTERRUPT: return "SQLITE_INTERRUPT";
        case SQLITE_IOERR: return "SQLITE_IOERR";
        case SQLITE_CORRUPT: return "SQLITE_CORRUPT";
        case SQLITE_NOTFOUND: return "SQLITE_NOTFOUND";
        case SQLITE_FULL: return "SQLITE_FULL";
        case SQLITE_CANTOPEN: return "SQLITE_CANTOPEN";
        case SQLITE_PROTOCOL: return "SQLITE_PROTOCOL";
        case SQLITE_EMPTY: return "SQLITE_EMPTY";
        case SQLITE_SCHEMA: return "SQLITE_SCHEMA";
        case SQLITE_TOOBIG: return "SQLITE_TOOBIG";
        case SQLITE_CONSTRAINT: return "SQLITE_CONSTRAINT";
        case SQLITE_MISMATCH: return "SQLITE_MISMATCH";
        case SQLITE_MISUSE: return "SQLITE_MISUSE";
        case SQLITE_NOLFS: return "SQLITE_NOLFS";
        case SQLITE_AUTH: return "SQLITE_AUTH";
        case SQLITE_FORMAT: return "SQLITE_FORMAT";
        case SQLITE_RANGE: return "SQLITE_RANGE";
        case SQLITE_ROW: return "SQLITE_ROW";
        case SQLITE_DONE: return "SQLITE_DONE";
        case CPPSQLITE_ERROR: return "CPPSQLITE_ERROR";
        default: return "UNKNOWN_ERROR";
    }
}

// ---------------------------------------------------------------------------
// CppSQLite3Buffer

CppSQLite3Buffer::~CppSQLite3Buffer() { clear(); }

void CppSQLite3Buffer::clear() {
    if (mpBuf) {
        sqlite3_free(mpBuf);
        mpBuf = nullptr;
    }
}

const char* CppSQLite3Buffer::format(const char* fmt, ...) {
    clear();
    va_list args;
    va_start(args, fmt);
    mpBuf = sqlite3_vmprintf(fmt, args);
    va_end(args);
    return mpBuf;
}

// ---------------------------------------------------------------------------
// CppSQLite3Binary

CppSQLite3Binary::~CppSQLite3Binary() { clear(); }

void CppSQLite3Binary::clear() {
    if (mpBuf) {
        std::free(mpBuf);
        mpBuf = nullptr;
    }
    mnBinaryLen = 0;
    mnBufferLen = 0;
}

unsigned char* CppSQLite3Binary::allocBuffer(int length) {
    clear();
    // The worst case of the encoding; computed wide so a huge length cannot wrap.
    const long long size = 3 + (257LL * length) / 254;
    if (length < 0 || size > 0x7fffffffLL) throw_layer_error("Cannot allocate memory");
    mnBinaryLen = length;
    mnBufferLen = static_cast<int>(size);
    mbEncoded = false;
    mpBuf = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(mnBufferLen)));
    if (!mpBuf) throw_layer_error("Cannot allocate memory");
    return mpBuf;
}

void CppSQLite3Binary::setBinary(const unsigned char* data, int length) {
    mpBuf = allocBuffer(length);
    if (length > 0) std::memcpy(mpBuf, data, static_cast<size_t>(length));
}

void CppSQLite3Binary::setEncoded(const unsigned char* text) {
    clear();
    mnEncodedLen = static_cast<int>(std::strlen(reinterpret_cast<const char*>(text)));
    mnBufferLen = mnEncodedLen + 1;
    mpBuf = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(mnBufferLen)));
    if (!mpBuf) throw_layer_error("Cannot allocate memory");
    std::memcpy(mpBuf, text, static_cast<size_t>(mnBufferLen));
    mbEncoded = true;
}

const unsigned char* CppSQLite3Binary::getEncoded() {
    if (!mpBuf) allocBuffer(0);
    if (!mbEncoded) {
        unsigned char* copy = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(mnBinaryLen) + 1));
        if (!copy) throw_layer_error("Cannot allocate memory");
        if (mnBinaryLen > 0) std::memcpy(copy, mpBuf, static_cast<size_t>(mnBinaryLen));
        mnEncodedLen = sqlite3_encode_binary(copy, mnBinaryLen, mpBuf);
        std::free(copy);
        mbEncoded = true;
    }
    return mpBuf;
}

const unsigned char* CppSQLite3Binary::getBinary() {
    if (mbEncoded) {
        mnBinaryLen = sqlite3_decode_binary(mpBuf, mpBuf);
        if (mnBinaryLen == -1) throw_layer_error("Cannot decode binary");
        mbEncoded = false;
    }
    return mpBuf;
}

int CppSQLite3Binary::getBinaryLength() {
    getBinary();
    return mnBinaryLen;
}

// ---------------------------------------------------------------------------
// CppSQLite3Query

CppSQLite3Query::CppSQLite3Query() : mpDB(nullptr), mpVM(nullptr), mbEof(true), mnCols(0), mbOwnVM(false) {}

CppSQLite3Query::CppSQLite3Query(sqlite3* db, sqlite3_stmt* vm, bool eof, bool owns_vm)
    : mpDB(db), mpVM(vm), mbEof(eof), mnCols(sqlite3_column_count(vm)), mbOwnVM(owns_vm) {}

CppSQLite3Query::CppSQLite3Query(const CppSQLite3Query& other)
    : mpDB(other.mpDB), mpVM(other.mpVM), mbEof(other.mbEof), mnCols(other.mnCols), mbOwnVM(other.mbOwnVM) {
    other.mpVM = nullptr;
}

CppSQLite3Query& CppSQLite3Query::operator=(const CppSQLite3Query& other) {
    if (this == &other) return *this;
    try {
        finalize();
    } catch (...) {
    }
    mpDB = other.mpDB;
    mpVM = other.mpVM;
    other.mpVM = nullptr;
    mbEof = other.mbEof;
    mnCols = other.mnCols;
    mbOwnVM = other.mbOwnVM;
    return *this;
}

CppSQLite3Query::~CppSQLite3Query() {
    try {
        finalize();
    } catch (...) {
    }
}

void CppSQLite3Query::checkVM() const {
    if (!mpVM) throw_layer_error("Null Virtual Machine pointer");
}

void CppSQLite3Query::checkCol(int col) {
    checkVM();
    if (col < 0 || col > mnCols - 1) throw_layer_error("Invalid field index requested");
}

int CppSQLite3Query::numFields() {
    checkVM();
    return mnCols;
}

int CppSQLite3Query::fieldIndex(const char* name) {
    checkVM();
    if (name) {
        for (int col = 0; col < mnCols; ++col) {
            const char* column = sqlite3_column_name(mpVM, col);
            if (column && std::strcmp(name, column) == 0) return col;
        }
    }
    throw_layer_error("Invalid field name requested");
}

const char* CppSQLite3Query::fieldName(int col) {
    checkCol(col);
    return sqlite3_column_name(mpVM, col);
}

const char* CppSQLite3Query::fieldDeclType(int col) {
    checkCol(col);
    return sqlite3_column_decltype(mpVM, col);
}

int CppSQLite3Query::fieldDataType(int col) {
    checkCol(col);
    return sqlite3_column_type(mpVM, col);
}

const char* CppSQLite3Query::fieldValue(int col) {
    checkCol(col);
    return reinterpret_cast<const char*>(sqlite3_column_text(mpVM, col));
}

const char* CppSQLite3Query::fieldValue(const char* name) { return fieldValue(fieldIndex(name)); }

int CppSQLite3Query::getIntField(int col, int null_value) {
    if (fieldDataType(col) == SQLITE_NULL) return null_value;
    return sqlite3_column_int(mpVM, col);
}

int CppSQLite3Query::getIntField(const char* name, int null_value) {
    return getIntField(fieldIndex(name), null_value);
}

long long CppSQLite3Query::getInt64Field(int col, long long null_value) {
    if (fieldDataType(col) == SQLITE_NULL) return null_value;
    return sqlite3_column_int64(mpVM, col);
}

long long CppSQLite3Query::getInt64Field(const char* name, long long null_value) {
    return getInt64Field(fieldIndex(name), null_value);
}

double CppSQLite3Query::getFloatField(int col, double null_value) {
    if (fieldDataType(col) == SQLITE_NULL) return null_value;
    return sqlite3_column_double(mpVM, col);
}

double CppSQLite3Query::getFloatField(const char* name, double null_value) {
    return getFloatField(fieldIndex(name), null_value);
}

const char* CppSQLite3Query::getStringField(int col, const char* null_value) {
    if (fieldDataType(col) == SQLITE_NULL) return null_value;
    return reinterpret_cast<const char*>(sqlite3_column_text(mpVM, col));
}

const char* CppSQLite3Query::getStringField(const char* name, const char* null_value) {
    return getStringField(fieldIndex(name), null_value);
}

const unsigned char* CppSQLite3Query::getBlobField(int col, int& length) {
    checkCol(col);
    const unsigned char* blob = static_cast<const unsigned char*>(sqlite3_column_blob(mpVM, col));
    length = sqlite3_column_bytes(mpVM, col);
    return blob;
}

const unsigned char* CppSQLite3Query::getBlobField(const char* name, int& length) {
    return getBlobField(fieldIndex(name), length);
}

bool CppSQLite3Query::fieldIsNull(int col) { return fieldDataType(col) == SQLITE_NULL; }

bool CppSQLite3Query::fieldIsNull(const char* name) { return fieldIsNull(fieldIndex(name)); }

bool CppSQLite3Query::eof() {
    checkVM();
    return mbEof;
}

void CppSQLite3Query::nextRow() {
    checkVM();
    int rc = sqlite3_step(mpVM);
    if (rc == SQLITE_DONE) {
        mbEof = true;
    } else if (rc != SQLITE_ROW) {
        // A borrowed statement is only reset: its owner finalises it later.
        rc = mbOwnVM ? sqlite3_finalize(mpVM) : sqlite3_reset(mpVM);
        mpVM = nullptr;
        throw CppSQLite3Exception(rc, sqlite3_errmsg(mpDB), false);
    }
}

void CppSQLite3Query::finalize() {
    if (mpVM && mbOwnVM) {
        int rc = sqlite3_finalize(mpVM);
        mpVM = nullptr;
        if (rc != SQLITE_OK) throw CppSQLite3Exception(rc, sqlite3_errmsg(mpDB), false);
    }
}

// ---------------------------------------------------------------------------
// CppSQLite3Table

CppSQLite3Table::CppSQLite3Table() : mnCols(0), mnRows(0), mnCurrentRow(0), mpaszResults(nullptr) {}

CppSQLite3Table::CppSQLite3Table(char** results, int rows, int cols)
    : mnCols(cols), mnRows(rows), mnCurrentRow(0), mpaszResults(results) {}

CppSQLite3Table::CppSQLite3Table(const CppSQLite3Table& other)
    : mnCols(other.mnCols), mnRows(other.mnRows), mnCurrentRow(other.mnCurrentRow),
      mpaszResults(other.mpaszResults) {
    other.mpaszResults = nullptr;
}

CppSQLite3Table& CppSQLite3Table::operator=(const CppSQLite3Table& other) {
    if (this == &other) return *this;
    try {
        finalize();
    } catch (...) {
    }
    mpaszResults = other.mpaszResults;
    other.mpaszResults = nullptr;
    mnCols = other.mnCols;
    mnRows = other.mnRows;
    mnCurrentRow = other.mnCurrentRow;
    return *this;
}

CppSQLite3Table::~CppSQLite3Table() {
    try {
        finalize();
    } catch (...) {
    }
}

void CppSQLite3Table::finalize() {
    if (mpaszResults) {
        sqlite3_free_table(mpaszResults);
        mpaszResults = nullptr;
    }
}

void CppSQLite3Table::checkResults() const {
    if (!mpaszResults) throw_layer_error("Null Results pointer");
}

int CppSQLite3Table::numFields() {
    checkResults();
    return mnCols;
}

int CppSQLite3Table::numRows() {
    checkResults();
    return mnRows;
}

const char* CppSQLite3Table::fieldName(int col) {
    checkResults();
    if (col < 0 || col > mnCols - 1) throw_layer_error("Invalid field index requested");
    return mpaszResults[col];
}

const char* CppSQLite3Table::fieldValue(int col) {
    checkResults();
    if (col < 0 || col > mnCols - 1) throw_layer_error("Invalid field index requested");
    // A result without rows holds only the header: there is no row to read.
    if (mnCurrentRow < 0 || mnCurrentRow > mnRows - 1) throw_layer_error("Invalid row index requested");
    return mpaszResults[entry(col)];
}

const char* CppSQLite3Table::fieldValue(const char* name) {
    checkResults();
    if (name) {
        for (int col = 0; col < mnCols; ++col)
            if (mpaszResults[col] && std::strcmp(name, mpaszResults[col]) == 0) return fieldValue(col);
    }
    throw_layer_error("Invalid field name requested");
}

namespace {

// A table holds every field as text. A value beyond the int range is an
// error, the same on a 32-bit board as here; a text that is no number reads 0.
int int_of_field(const char* value, int null_value) {
    if (!value) return null_value;
    long long number = 0;
    switch (tool_read_number(value, INT_MIN, INT_MAX, &number)) {
    case QxNumber::kRead: return static_cast<int>(number);
    case QxNumber::kOutOfRange: throw_layer_error("Integer field out of range");
    case QxNumber::kNotANumber: break;
    }
    return 0;
}

}  // namespace

int CppSQLite3Table::getIntField(int col, int null_value) { return int_of_field(fieldValue(col), null_value); }

int CppSQLite3Table::getIntField(const char* name, int null_value) { return int_of_field(fieldValue(name), null_value); }

double CppSQLite3Table::getFloatField(int col, double null_value) {
    const char* value = fieldValue(col);
    return value ? std::strtod(value, nullptr) : null_value;
}

double CppSQLite3Table::getFloatField(const char* name, double null_value) {
    const char* value = fieldValue(name);
    return value ? std::strtod(value, nullptr) : null_value;
}

const char* CppSQLite3Table::getStringField(int col, const char* null_value) {
    const char* value = fieldValue(col);
    return value ? value : null_value;
}

const char* CppSQLite3Table::getStringField(const char* name, const char* null_value) {
    const char* value = fieldValue(name);
    return value ? value : null_value;
}

bool CppSQLite3Table::fieldIsNull(int col) { return fieldValue(col) == nullptr; }

bool CppSQLite3Table::fieldIsNull(const char* name) { return fieldValue(name) == nullptr; }

void CppSQLite3Table::setRow(int row) {
    checkResults();
    if (row < 0 || row > mnRows - 1) throw_layer_error("Invalid row index requested");
    mnCurrentRow = row;
}

// ---------------------------------------------------------------------------
// CppSQLite3Statement

CppSQLite3Statement::CppSQLite3Statement() : mpDB(nullptr), mpVM(nullptr) {}

CppSQLite3Statement::CppSQLite3Statement(sqlite3* db, sqlite3_stmt* vm) : mpDB(db), mpVM(vm) {}

CppSQLite3Statement::CppSQLite3Statement(const CppSQLite3Statement& other)
    : mpDB(other.mpDB), mpVM(other.mpVM) {
    other.mpVM = nullptr;
}

CppSQLite3Statement& CppSQLite3Statement::operator=(const CppSQLite3Statement& other) {
    if (this == &other) return *this;
    try {
        finalize();
    } catch (...) {
    }
    mpDB = other.mpDB;
    mpVM = other.mpVM;
    other.mpVM = nullptr;
    return *this;
}

CppSQLite3Statement::~CppSQLite3Statement() {
    try {
        finalize();
    } catch (...) {
    }
}

void CppSQLite3Statement::checkDB() const {
    if (!mpDB) throw_layer_error("Database not open");
}

void CppSQLite3Statement::checkVM() const {
    if (!mpVM) throw_layer_error("Null Virtual Machine pointer");
}

int CppSQLite3Statement::execDML() {
    checkDB();
    checkVM();
    int rc = sqlite3_step(mpVM);
    if (rc == SQLITE_DONE) {
        int changes = sqlite3_changes(mpDB);
        rc = sqlite3_reset(mpVM);
        if (rc != SQLITE_OK) throw CppSQLite3Exception(rc, sqlite3_errmsg(mpDB), false);
        return changes;
    }
    rc = sqlite3_reset(mpVM);
    throw CppSQLite3Exception(rc, sqlite3_errmsg(mpDB), false);
}

CppSQLite3Query CppSQLite3Statement::execQuery() {
    checkDB();
    checkVM();
    int rc = sqlite3_step(mpVM);
    if (rc == SQLITE_DONE) return CppSQLite3Query(mpDB, mpVM, true, false);
    if (rc == SQLITE_ROW) return CppSQLite3Query(mpDB, mpVM, false, false);
    rc = sqlite3_reset(mpVM);
    throw CppSQLite3Exception(rc, sqlite3_errmsg(mpDB), false);
}

void CppSQLite3Statement::bind(int param, const char* value) {
    checkVM();
    int rc = sqlite3_bind_text(mpVM, param, value, -1, SQLITE_TRANSIENT);
    if (rc != SQLITE_OK) throw CppSQLite3Exception(rc, "Error binding string param", false);
}

void CppSQLite3Statement::bind(int param, int value) {
    checkVM();
    int rc = sqlite3_bind_int(mpVM, param, value);
    if (rc != SQLITE_OK) throw CppSQLite3Exception(rc, "Error binding int param", false);
}

void CppSQLite3Statement::bind(int param, double value) {
    checkVM();
    int rc = sqlite3_bind_double(mpVM, param, value);
    if (rc != SQLITE_OK) throw CppSQLite3Exception(rc, "Error binding double param", false);
}

void CppSQLite3Statement::bind(int param, const unsigned char* blob, int length) {
    checkVM();
    int rc = sqlite3_bind_blob(mpVM, param, blob, length, SQLITE_TRANSIENT);
    if (rc != SQLITE_OK) throw CppSQLite3Exception(rc, "Error binding blob param", false);
}

void CppSQLite3Statement::bindNull(int param) {
    checkVM();
    int rc = sqlite3_bind_null(mpVM, param);
    if (rc != SQLITE_OK) throw CppSQLite3Exception(rc, "Error binding NULL param", false);
}

int CppSQLite3Statement::bindParameterIndex(const char* name) {
    checkVM();
    int index = sqlite3_bind_parameter_index(mpVM, name);
    if (index == 0) {
        // Sized by SQLite to the name, whatever its length.
        char* message = sqlite3_mprintf("Parameter '%s' is not valid for this statement", name ? name : "");
        throw CppSQLite3Exception(CPPSQLITE_ERROR, message, true);
    }
    return index;
}

void CppSQLite3Statement::reset() {
    if (mpVM) {
        int rc = sqlite3_reset(mpVM);
        if (rc != SQLITE_OK) throw CppSQLite3Exception(rc, sqlite3_errmsg(mpDB), false);
    }
}

void CppSQLite3Statement::finalize() {
    if (mpVM) {
        int rc = sqlite3_finalize(mpVM);
        mpVM = nullptr;
        if (rc != SQLITE_OK) throw CppSQLite3Exception(rc, sqlite3_errmsg(mpDB), false);
    }
}

// ---------------------------------------------------------------------------
// CppSQLite3DB

// A locked file is waited for at most 5 s on every connection: a host call
// must fail with its logged code rather than hang at the till for a minute.
CppSQLite3DB::CppSQLite3DB() : mpDB(nullptr), mnBusyTimeoutMs(5000) {}

CppSQLite3DB::~CppSQLite3DB() {
    try {
        close();
    } catch (...) {
        // Statements still open elsewhere: let SQLite close the connection as
        // soon as the last of them is finalised instead of leaking it.
        sqlite3_close_v2(mpDB);
        mpDB = nullptr;
    }
}

void CppSQLite3DB::open(const char* file) {
    open(file, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
}

void CppSQLite3DB::open(const char* file, int flags) {
    close();
    // SQLite would write through a link planted at the file's or a side
    // file's place, outside the working folder, and wait in open() on a FIFO.
    // Reading through a link (a host's catalogue) is harmless. ":memory:"
    // names no file.
    if (file && std::strcmp(file, ":memory:") != 0) {
        const std::string why = (flags & SQLITE_OPEN_READWRITE) ? db_unusable_reason(file) : db_unreadable_reason(file);
        if (!why.empty()) throw CppSQLite3Exception(SQLITE_CANTOPEN, (why + ": refused").c_str(), false);
    }
    int rc = sqlite3_open_v2(file, &mpDB, flags, nullptr);
    if (rc != SQLITE_OK) {
        CppSQLite3Exception error(rc, mpDB ? sqlite3_errmsg(mpDB) : "out of memory", false);
        sqlite3_close(mpDB);  // SQLite hands out a handle even when the open fails
        mpDB = nullptr;
        throw error;
    }
    setBusyTimeout(mnBusyTimeoutMs);
}

void CppSQLite3DB::openImage(const void* image, size_t size) {
    open(":memory:");
    auto* copy = static_cast<unsigned char*>(sqlite3_malloc64(size > 0 ? size : 1));
    if (!copy) throw CppSQLite3Exception(SQLITE_NOMEM, "out of memory", false);
    if (size > 0) std::memcpy(copy, image, size);
    // SQLite owns the copy from here, and frees it even when this fails.
    const int rc = sqlite3_deserialize(mpDB, "main", copy, static_cast<sqlite3_int64>(size),
                                       static_cast<sqlite3_int64>(size),
                                       SQLITE_DESERIALIZE_FREEONCLOSE | SQLITE_DESERIALIZE_RESIZEABLE);
    if (rc != SQLITE_OK) throw CppSQLite3Exception(rc, sqlite3_errmsg(mpDB), false);
}

void CppSQLite3DB::close() {
    if (!mpDB) return;
    if (sqlite3_close(mpDB) != SQLITE_OK) throw_layer_error("Unable to close database");
    mpDB = nullptr;
}

void CppSQLite3DB::checkDB() const {
    if (!mpDB) throw_layer_error("Database not open");
}

bool CppSQLite3DB::tableExists(const char* table) {
    // Quoted by SQLite, so no name can overflow a buffer or break the statement.
    CppSQLite3Buffer sql;
    sql.format("select count(*) from sqlite_master where type='table' and name=%Q", table);
    return execScalar(sql, 0) > 0;
}

int CppSQLite3DB::execDML(const char* sql) {
    checkDB();
    char* error = nullptr;
    int rc = sqlite3_exec(mpDB, sql, nullptr, nullptr, &error);
    if (rc != SQLITE_OK) throw CppSQLite3Exception(rc, error, true);
    return sqlite3_changes(mpDB);
}

sqlite3_stmt* CppSQLite3DB::compile(const char* sql) {
    checkDB();
    sqlite3_stmt* vm = nullptr;
    int rc = sqlite3_prepare_v2(mpDB, sql, -1, &vm, nullptr);
    if (rc != SQLITE_OK) throw CppSQLite3Exception(rc, sqlite3_errmsg(mpDB), false);
    // Blank text or a lone comment compiles to no statement at all.
    if (!vm) throw_layer_error("Empty SQL statement");
    return vm;
}

CppSQLite3Query CppSQLite3DB::execQuery(const char* sql) {
    sqlite3_stmt* vm = compile(sql);
    int rc = sqlite3_step(vm);
    if (rc == SQLITE_DONE) return CppSQLite3Query(mpDB, vm, true);
    if (rc == SQLITE_ROW) return CppSQLite3Query(mpDB, vm, false);
    rc = sqlite3_finalize(vm);
    throw CppSQLite3Exception(rc, sqlite3_errmsg(mpDB), false);
}

int CppSQLite3DB::execScalar(const char* sql, int null_value) {
    CppSQLite3Query query = execQuery(sql);
    if (query.eof() || query.numFields() < 1) throw_layer_error("Invalid scalar query");
    return query.getIntField(0, null_value);
}

CppSQLite3Table CppSQLite3DB::getTable(const char* sql) {
    checkDB();
    char* error = nullptr;
    char** results = nullptr;
    int rows = 0;
    int cols = 0;
    int rc = sqlite3_get_table(mpDB, sql, &results, &rows, &cols, &error);
    if (rc != SQLITE_OK) throw CppSQLite3Exception(rc, error, true);
    return CppSQLite3Table(results, rows, cols);
}

CppSQLite3Statement CppSQLite3DB::compileStatement(const char* sql) {
    sqlite3_stmt* vm = compile(sql);
    return CppSQLite3Statement(mpDB, vm);
}

sqlite_int64 CppSQLite3DB::lastRowId() {
    checkDB();
    return sqlite3_last_insert_rowid(mpDB);
}

void CppSQLite3DB::interrupt() {
    checkDB();
    sqlite3_interrupt(mpDB);
}

void CppSQLite3DB::setBusyTimeout(int ms) {
    mnBusyTimeoutMs = ms;
    if (mpDB) sqlite3_busy_timeout(mpDB, mnBusyTimeoutMs);
}

bool CppSQLite3DB::IsAutoCommitOn() {
    checkDB();
    return sqlite3_get_autocommit(mpDB) != 0;
}

bool CppSQLite3DB::isIdle() {
    if (!mpDB) return true;
    if (sqlite3_get_autocommit(mpDB) == 0) return false;
    for (sqlite3_stmt* statement = sqlite3_next_stmt(mpDB, nullptr); statement;
         statement = sqlite3_next_stmt(mpDB, statement))
        if (sqlite3_stmt_busy(statement)) return false;
    return true;
}

// ---------------------------------------------------------------------------
// Binary-to-text encoding

int sqlite3_encode_binary(const unsigned char* in, int n, unsigned char* out) {
    if (n <= 0) {
        out[0] = 'x';
        out[1] = 0;
        return 1;
    }
    int count[256] = {0};
    for (int i = 0; i < n; ++i) count[in[i]]++;
    // The offset that makes the fewest bytes land on 0, 1 or the apostrophe,
    // which are the three values that need a two-byte escape.
    int offset = 1;
    int best = n;
    for (int i = 1; i < 256; ++i) {
        if (i == '\'') continue;
        int sum = count[i] + count[(i + 1) & 0xff] + count[(i + '\'') & 0xff];
        if (sum < best) {
            best = sum;
            offset = i;
            if (sum == 0) break;
        }
    }
    int j = 0;
    out[j++] = static_cast<unsigned char>(offset);
    for (int i = 0; i < n; ++i) {
        int c = (in[i] - offset) & 0xff;
        if (c == 0) {
            out[j++] = 1;
            out[j++] = 1;
        } else if (c == 1) {
            out[j++] = 1;
            out[j++] = 2;
        } else if (c == '\'') {
            out[j++] = 1;
            out[j++] = 3;
        } else {
            out[j++] = static_cast<unsigned char>(c);
        }
    }
    out[j] = 0;
    return j;
}

int sqlite3_decode_binary(const unsigned char* in, unsigned char* out) {
    int offset = *in++;
    if (offset == 0) return -1;  // the empty text: not even an offset byte
    int i = 0;
    int c;
    while ((c = *in++) != 0) {
        if (c == 1) {
            c = *in++;
            if (c == 1) {
                c = 0;
            } else if (c == 2) {
                c = 1;
            } else if (c == 3) {
                c = '\'';
            } else {
                return -1;
            }
        }
        out[i++] = static_cast<unsigned char>((c + offset) & 0xff);
    }
    return i;
}
