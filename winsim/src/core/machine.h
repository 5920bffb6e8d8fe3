// The simulated machine: a directory named by WINSIM_MACHINE holding state.db (SQLite), the drives
// (drives/<letter>/) and the sockets (run/). Every process of the machine opens the same database;
// SQLite's locking in WAL mode makes that safe across processes, and each thread has its own
// connection so that a transaction is never shared between threads.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace winsim {

// The machine directory of this process; aborts with a clear message when none is set.
const std::string& MachineDir();
// Switches the process to another machine directory (tests use a fresh one each); an empty path
// re-reads WINSIM_MACHINE.
void UseMachine(const std::string& dir);
bool HasMachine();

// Creates the machine directory, its drives and Windows folders and its default state. Existing
// state is kept, so init may be run again.
void InitMachine(const std::string& dir);

class Statement {
 public:
  Statement(sqlite3* db, const char* sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int index, int64_t value);
  Statement& Bind(int index, const std::string& text);
  Statement& Bind(int index, const char* text);
  Statement& BindBlob(int index, const std::vector<uint8_t>& blob);
  Statement& BindNull(int index);
  // Steps once: true while a row is available, false when done. Throws on errors.
  bool Step();
  void Reset();

  int64_t Int(int column) const;
  std::string Text(int column) const;
  std::vector<uint8_t> Blob(int column) const;
  bool IsNull(int column) const;

 private:
  sqlite3* m_db;
  sqlite3_stmt* m_stmt = nullptr;
};

class Database {
 public:
  // The calling thread's connection to the current machine's database.
  static Database& Get();
  void Exec(const char* sql);
  // Runs the CREATE statements of one subsystem once per connection.
  void EnsureSchema(const char* name, const char* sql);
  int64_t LastInsertId() const;
  int Changes() const;
  sqlite3* Raw() const { return m_db; }

  explicit Database(const std::string& path);
  ~Database();

 private:
  sqlite3* m_db = nullptr;
  std::vector<std::string> m_schemas;
};

// BEGIN IMMEDIATE … COMMIT; rolled back when not committed. Nests: only the outermost one commits.
class Transaction {
 public:
  Transaction();
  ~Transaction();
  void Commit();

 private:
  bool m_outer = false;
  bool m_done = false;
};

}  // namespace winsim
