#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

// A thin RAII layer over the SQLite C API: the history needs its exact open flags and error codes (a corrupt,
// full, locked or read-only file each takes its own way), which a heavier wrapper would hide.
namespace history::sql {

// A failed SQLite call, with its extended result code.
class Error : public std::runtime_error {
public:
    Error(int code, const std::string& what) : std::runtime_error(what), m_code(code) {}
    int Code() const { return m_code; }
    int Primary() const { return m_code & 0xFF; }
    bool Corrupt() const { return Primary() == SQLITE_CORRUPT || Primary() == SQLITE_NOTADB; }

private:
    int m_code;
};

struct CloseDatabase {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using DatabasePtr = std::unique_ptr<sqlite3, CloseDatabase>;

// Opens `file` with `flags` (SQLITE_OPEN_*); throws Error when it cannot be opened.
DatabasePtr Open(const std::string& file, int flags);

// Runs SQL without results (one or more statements).
void Exec(sqlite3* db, const char* sql);

// One prepared statement; bind, step, read, reset.
class Statement {
public:
    Statement(sqlite3* db, std::string_view sql);
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& Bind(int index, std::int64_t value);
    Statement& Bind(int index, std::string_view bytes);  // as a BLOB: names and lines are GBK
    Statement& BindText(int index, std::string_view utf8);
    Statement& BindNull(int index);
    // True while there is a row to read.
    bool Step();
    // Steps once and resets, for statements without results.
    void Run();
    void Reset();

    std::int64_t Int(int column) const { return sqlite3_column_int64(m_stmt, column); }
    bool IsNull(int column) const { return sqlite3_column_type(m_stmt, column) == SQLITE_NULL; }
    std::string Bytes(int column) const;

private:
    sqlite3* m_db;
    sqlite3_stmt* m_stmt = nullptr;
};

// BEGIN IMMEDIATE ... COMMIT, rolled back when left without Commit.
class Transaction {
public:
    explicit Transaction(sqlite3* db);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void Commit();

private:
    sqlite3* m_db;
    bool m_open = true;
};

[[noreturn]] void Throw(sqlite3* db, int code);

}  // namespace history::sql
