#include "core/machine.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "core/init_hooks.h"

namespace winsim {
namespace {

std::mutex g_machineLock;
std::string g_machineDir;
bool g_machineRead = false;
std::atomic<uint64_t> g_machineGeneration{1};

[[noreturn]] void Fatal(const std::string& message) {
  std::fprintf(stderr, "winsim: %s\n", message.c_str());
  std::fflush(stderr);
  std::abort();
}

struct ThreadConnection {
  uint64_t generation = 0;
  std::unique_ptr<Database> db;
};
thread_local ThreadConnection t_connection;
thread_local int t_transactionDepth = 0;

}  // namespace

bool HasMachine() {
  std::lock_guard<std::mutex> lock(g_machineLock);
  if (!g_machineRead) {
    const char* env = std::getenv("WINSIM_MACHINE");
    g_machineDir = env ? env : "";
    g_machineRead = true;
  }
  return !g_machineDir.empty();
}

const std::string& MachineDir() {
  if (!HasMachine()) Fatal("no machine: set WINSIM_MACHINE to a directory made by 'winsim init'");
  return g_machineDir;
}

void UseMachine(const std::string& dir) {
  std::lock_guard<std::mutex> lock(g_machineLock);
  if (dir.empty()) {
    const char* env = std::getenv("WINSIM_MACHINE");
    g_machineDir = env ? env : "";
  } else {
    g_machineDir = std::filesystem::absolute(dir).string();
  }
  g_machineRead = true;
  g_machineGeneration++;
}

Database& Database::Get() {
  uint64_t gen = g_machineGeneration.load();
  if (!t_connection.db || t_connection.generation != gen) {
    const std::string& dir = MachineDir();
    std::string path = dir + "/state.db";
    if (access(path.c_str(), F_OK) != 0) Fatal("the machine at " + dir + " has no state: run 'winsim init' first");
    t_connection.db.reset();
    t_connection.db = std::make_unique<Database>(path);
    t_connection.generation = gen;
  }
  return *t_connection.db;
}

Database::Database(const std::string& path) {
  if (sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    Fatal("cannot open " + path + ": " + (m_db ? sqlite3_errmsg(m_db) : "out of memory"));
  }
  sqlite3_busy_timeout(m_db, 30000);
  Exec("PRAGMA journal_mode=WAL");
  Exec("PRAGMA synchronous=NORMAL");
  Exec("PRAGMA foreign_keys=ON");
}

Database::~Database() {
  if (m_db) sqlite3_close_v2(m_db);
}

void Database::Exec(const char* sql) {
  char* error = nullptr;
  int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, &error);
  if (rc != SQLITE_OK) {
    std::string message = error ? error : sqlite3_errstr(rc);
    sqlite3_free(error);
    throw std::runtime_error("winsim database: " + message + " in: " + sql);
  }
}

void Database::EnsureSchema(const char* name, const char* sql) {
  for (const auto& done : m_schemas) {
    if (done == name) return;
  }
  Exec(sql);
  m_schemas.emplace_back(name);
}

int64_t Database::LastInsertId() const { return sqlite3_last_insert_rowid(m_db); }
int Database::Changes() const { return sqlite3_changes(m_db); }

Statement::Statement(sqlite3* db, const char* sql) : m_db(db) {
  if (sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) != SQLITE_OK) {
    throw std::runtime_error(std::string("winsim database: ") + sqlite3_errmsg(db) + " in: " + sql);
  }
}
Statement::~Statement() { sqlite3_finalize(m_stmt); }

Statement& Statement::Bind(int index, int64_t value) {
  sqlite3_bind_int64(m_stmt, index, value);
  return *this;
}
Statement& Statement::Bind(int index, const std::string& text) {
  sqlite3_bind_text(m_stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  return *this;
}
Statement& Statement::Bind(int index, const char* text) {
  sqlite3_bind_text(m_stmt, index, text, -1, SQLITE_TRANSIENT);
  return *this;
}
Statement& Statement::BindBlob(int index, const std::vector<uint8_t>& blob) {
  sqlite3_bind_blob(m_stmt, index, blob.empty() ? "" : static_cast<const void*>(blob.data()),
                    static_cast<int>(blob.size()), SQLITE_TRANSIENT);
  return *this;
}
Statement& Statement::BindNull(int index) {
  sqlite3_bind_null(m_stmt, index);
  return *this;
}

bool Statement::Step() {
  int rc = sqlite3_step(m_stmt);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  throw std::runtime_error(std::string("winsim database: ") + sqlite3_errmsg(m_db));
}
void Statement::Reset() {
  sqlite3_reset(m_stmt);
  sqlite3_clear_bindings(m_stmt);
}

int64_t Statement::Int(int column) const { return sqlite3_column_int64(m_stmt, column); }
std::string Statement::Text(int column) const {
  const unsigned char* t = sqlite3_column_text(m_stmt, column);
  return t ? std::string(reinterpret_cast<const char*>(t), sqlite3_column_bytes(m_stmt, column)) : std::string();
}
std::vector<uint8_t> Statement::Blob(int column) const {
  const uint8_t* p = static_cast<const uint8_t*>(sqlite3_column_blob(m_stmt, column));
  int n = sqlite3_column_bytes(m_stmt, column);
  return p ? std::vector<uint8_t>(p, p + n) : std::vector<uint8_t>();
}
bool Statement::IsNull(int column) const { return sqlite3_column_type(m_stmt, column) == SQLITE_NULL; }

Transaction::Transaction() {
  if (t_transactionDepth++ == 0) {
    m_outer = true;
    Database::Get().Exec("BEGIN IMMEDIATE");
  }
}
Transaction::~Transaction() {
  if (m_outer && !m_done) {
    try {
      Database::Get().Exec("ROLLBACK");
    } catch (...) {
    }
  }
  --t_transactionDepth;
}
void Transaction::Commit() {
  if (m_outer && !m_done) Database::Get().Exec("COMMIT");
  m_done = true;
}

void InitMachine(const std::string& dirIn) {
  namespace fs = std::filesystem;
  fs::path dir = fs::absolute(dirIn);
  fs::create_directories(dir / "run" / "rpc");
  fs::create_directories(dir / "run" / "services");
  fs::create_directories(dir / "drives" / "c");
  {
    // Create the database file, then make every later connection use it.
    Database db((dir / "state.db").string());
  }
  UseMachine(dir.string());
  RunInitHooks();
}

}  // namespace winsim
