#include "history/sqlite_handle.h"

namespace history::sql {

void Throw(sqlite3* db, int code) {
    const int extended = db != nullptr ? sqlite3_extended_errcode(db) : code;
    const char* message = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code);
    throw Error((extended & 0xFF) == (code & 0xFF) ? extended : code, message != nullptr ? message : "");
}

DatabasePtr Open(const std::string& file, int flags) {
    sqlite3* raw = nullptr;
    const int code = sqlite3_open_v2(file.c_str(), &raw, flags, nullptr);
    DatabasePtr db(raw);
    if (code != SQLITE_OK) Throw(db.get(), code);
    sqlite3_extended_result_codes(db.get(), 1);
    return db;
}

void Exec(sqlite3* db, const char* sql) {
    const int code = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    if (code != SQLITE_OK) Throw(db, code);
}

Statement::Statement(sqlite3* db, std::string_view sql) : m_db(db) {
    const int code = sqlite3_prepare_v3(db, sql.data(), static_cast<int>(sql.size()),
                                        SQLITE_PREPARE_PERSISTENT, &m_stmt, nullptr);
    if (code != SQLITE_OK) Throw(db, code);
}

Statement& Statement::Bind(int index, std::int64_t value) {
    if (const int code = sqlite3_bind_int64(m_stmt, index, value); code != SQLITE_OK) Throw(m_db, code);
    return *this;
}

Statement& Statement::Bind(int index, std::string_view bytes) {
    const int code = sqlite3_bind_blob64(m_stmt, index, bytes.data(), bytes.size(), SQLITE_TRANSIENT);
    if (code != SQLITE_OK) Throw(m_db, code);
    return *this;
}

Statement& Statement::BindText(int index, std::string_view utf8) {
    const int code =
        sqlite3_bind_text64(m_stmt, index, utf8.data(), utf8.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    if (code != SQLITE_OK) Throw(m_db, code);
    return *this;
}

Statement& Statement::BindNull(int index) {
    if (const int code = sqlite3_bind_null(m_stmt, index); code != SQLITE_OK) Throw(m_db, code);
    return *this;
}

bool Statement::Step() {
    const int code = sqlite3_step(m_stmt);
    if (code == SQLITE_ROW) return true;
    if (code == SQLITE_DONE) return false;
    sqlite3_reset(m_stmt);
    Throw(m_db, code);
}

void Statement::Run() {
    while (Step()) {
    }
    Reset();
}

void Statement::Reset() {
    sqlite3_reset(m_stmt);
    sqlite3_clear_bindings(m_stmt);
}

std::string Statement::Bytes(int column) const {
    const void* data = sqlite3_column_blob(m_stmt, column);
    const int size = sqlite3_column_bytes(m_stmt, column);
    if (data == nullptr || size <= 0) return {};
    return std::string(static_cast<const char*>(data), static_cast<std::size_t>(size));
}

Transaction::Transaction(sqlite3* db) : m_db(db) {
    Exec(db, "BEGIN IMMEDIATE");
}

Transaction::~Transaction() {
    if (m_open) sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::Commit() {
    Exec(m_db, "COMMIT");
    m_open = false;
}

}  // namespace history::sql
