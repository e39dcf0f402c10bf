// SQLite on re5zor4's critical sections.
//
// SQLite lets the host supply its mutexes (sqlite3_config with
// SQLITE_CONFIG_MUTEX, before sqlite3_initialize). Every SQLite mutex here is
// a ZnCritSect from ZnCritSect::Make: plain, or deadlock-detecting when the
// flag is set before SQLite is initialised (the flag is read as each section
// is made, and SQLite makes its fixed "static" mutexes at initialisation). The
// same nine functions plug the library into any C library with a mutex
// interface of this shape.
//
// Then a short workload checks its own results: threads share one serialised
// connection, then each writes through a connection of its own; the row
// counts, the per-thread sums and PRAGMA integrity_check must come out right.
//
//   re5zor4_sqlite [--detect] [--threads N] [--rows N]
//
// Exit status 0 when every check passes.
#include <sqlite3.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "re5zor4/critsect.h"
#include "re5zor4/module.h"

// SQLite leaves the mutex type to whoever supplies the mutexes.
struct sqlite3_mutex {
  ZnCritSect* section;
};

namespace {

// Types 2 and up are SQLite's fixed mutexes, one of each for the process.
constexpr int kFirstStatic = SQLITE_MUTEX_STATIC_MAIN;
constexpr int kStaticCount = 16;
const char* const kStaticNames[kStaticCount] = {"",
                                                "",
                                                "sqlite main",
                                                "sqlite mem",
                                                "sqlite open",
                                                "sqlite prng",
                                                "sqlite lru",
                                                "sqlite pmem",
                                                "sqlite app1",
                                                "sqlite app2",
                                                "sqlite app3",
                                                "sqlite vfs1",
                                                "sqlite vfs2",
                                                "sqlite vfs3",
                                                "sqlite 14",
                                                "sqlite 15"};
sqlite3_mutex g_static[kStaticCount];

std::atomic<long> g_enters{0};
std::atomic<long> g_misuses{0};  // a Leave by a thread that does not hold the mutex

// SQLite calls xMutexInit from every sqlite3_initialize, from any thread,
// without xMutexEnd in between: only the first call makes anything.
std::mutex g_initLock;
bool g_made = false;  // guarded by g_initLock

int MutexInit() {
  std::lock_guard<std::mutex> hold(g_initLock);
  if (g_made) return SQLITE_OK;
  g_made = true;
  for (int type = kFirstStatic; type < kStaticCount; ++type) {
    g_static[type].section = ZnCritSect::Make(kStaticNames[type]);
    if (g_static[type].section == nullptr) return SQLITE_NOMEM;
  }
  return SQLITE_OK;
}

int MutexEnd() {
  std::lock_guard<std::mutex> hold(g_initLock);
  if (!g_made) return SQLITE_OK;
  g_made = false;
  for (int type = kFirstStatic; type < kStaticCount; ++type) {
    delete g_static[type].section;
    g_static[type].section = nullptr;
  }
  return SQLITE_OK;
}

sqlite3_mutex* MutexAlloc(int type) {
  if (type == SQLITE_MUTEX_FAST || type == SQLITE_MUTEX_RECURSIVE) {
    // Our sections are recursive; SQLite never re-enters a "fast" one.
    ZnCritSect* section = ZnCritSect::Make(type == SQLITE_MUTEX_FAST ? "sqlite fast" : "sqlite");
    if (section == nullptr) return nullptr;
    sqlite3_mutex* mutex = new (std::nothrow) sqlite3_mutex{section};
    if (mutex == nullptr) delete section;
    return mutex;
  }
  if (type < kFirstStatic || type >= kStaticCount) return nullptr;
  return &g_static[type];
}

void MutexFree(sqlite3_mutex* mutex) {
  if (mutex == nullptr || (mutex >= g_static && mutex < g_static + kStaticCount)) return;
  delete mutex->section;
  delete mutex;
}

void MutexEnter(sqlite3_mutex* mutex) {
  mutex->section->Begin();
  g_enters.fetch_add(1, std::memory_order_relaxed);
}

int MutexTry(sqlite3_mutex* mutex) {
  return mutex->section->TryBegin() != 0 ? SQLITE_OK : SQLITE_BUSY;
}

void MutexLeave(sqlite3_mutex* mutex) {
  if (mutex->section->HeldByCaller() == 0) g_misuses.fetch_add(1, std::memory_order_relaxed);
  mutex->section->Exit();
}

// SQLite's debug builds assert with these; a null mutex counts as held and
// as not held alike.
int MutexHeld(sqlite3_mutex* mutex) {
  return mutex == nullptr || mutex->section->HeldByCaller() != 0;
}
int MutexNotheld(sqlite3_mutex* mutex) {
  return mutex == nullptr || mutex->section->HeldByCaller() == 0;
}

const sqlite3_mutex_methods kMethods = {MutexInit, MutexEnd,   MutexAlloc, MutexFree,   MutexEnter,
                                        MutexTry,  MutexLeave, MutexHeld,  MutexNotheld};

int g_failures = 0;

void Check(bool ok, const std::string& what) {
  if (ok) return;
  std::fprintf(stderr, "sqlite example: FAILED: %s\n", what.c_str());
  ++g_failures;
}

bool Exec(sqlite3* db, const std::string& sql) {
  char* error = nullptr;
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
  if (rc != SQLITE_OK) {
    std::fprintf(stderr, "sqlite example: %s: %s\n", sql.c_str(), error ? error : "?");
    sqlite3_free(error);
  }
  return rc == SQLITE_OK;
}

// The first column of the first row as text ("" when there is none).
std::string Query(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* statement = nullptr;
  std::string result;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW) {
    const unsigned char* text = sqlite3_column_text(statement, 0);
    if (text != nullptr) result = reinterpret_cast<const char*>(text);
  }
  sqlite3_finalize(statement);
  return result;
}

sqlite3* Open(const char* path) {
  sqlite3* db = nullptr;
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
  if (sqlite3_open_v2(path, &db, flags, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, 20000);
  return db;
}

// Each thread inserts rows (thread, i) one statement at a time through the
// shared connection: SQLite serialises them on the connection's mutex.
void SharedWriter(sqlite3* db, int thread, int rows) {
  sqlite3_stmt* insert = nullptr;
  if (sqlite3_prepare_v2(db, "INSERT INTO shared(thread, i) VALUES(?, ?)", -1, &insert, nullptr) !=
      SQLITE_OK) {
    Check(false, "prepare on the shared connection");
    return;
  }
  for (int i = 0; i < rows; ++i) {
    sqlite3_bind_int(insert, 1, thread);
    sqlite3_bind_int(insert, 2, i);
    Check(sqlite3_step(insert) == SQLITE_DONE, "insert on the shared connection");
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
}

// Each thread writes through its own connection in batches, each batch one
// immediate transaction: the connections meet on the file lock and on
// SQLite's process-wide mutexes.
void OwnWriter(const char* path, int thread, int rows) {
  sqlite3* db = Open(path);
  if (db == nullptr) {
    Check(false, "open of a connection of its own");
    return;
  }
  constexpr int kBatch = 25;
  for (int first = 0; first < rows; first += kBatch) {
    std::string sql = "BEGIN IMMEDIATE;";
    for (int i = first; i < first + kBatch && i < rows; ++i) {
      sql += "INSERT INTO own(thread, i) VALUES(" + std::to_string(thread) + ", " +
             std::to_string(i) + ");";
    }
    sql += "COMMIT;";
    Check(Exec(db, sql), "batch on a connection of its own");
  }
  sqlite3_close(db);
}

}  // namespace

int main(int argc, char** argv) {
  bool detect = false;
  int threads = 4;
  int rows = 200;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--detect") == 0) {
      detect = true;
    } else if (std::strcmp(argv[i], "--threads") == 0 && i + 1 < argc) {
      threads = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--rows") == 0 && i + 1 < argc) {
      rows = std::atoi(argv[++i]);
    }
  }

  ___ZnExtendedContext(1);
  // Before sqlite3_initialize: SQLite makes its fixed mutexes there.
  ZnSetDeadLockDetection(detect ? 1 : 0);
  if (sqlite3_config(SQLITE_CONFIG_MUTEX, &kMethods) != SQLITE_OK ||
      sqlite3_initialize() != SQLITE_OK) {
    std::fprintf(stderr, "sqlite example: SQLite refused the mutex methods\n");
    return 1;
  }
  for (int type = kFirstStatic; type < kStaticCount; ++type) {
    Check(g_static[type].section->DetectsDeadlocks() == (detect ? 1 : 0),
          std::string(kStaticNames[type]) + " is of the kind the flag selected");
  }

  const char* const path = "sqlite_example.db";
  std::remove(path);
  sqlite3* db = Open(path);
  if (db == nullptr) {
    std::fprintf(stderr, "sqlite example: cannot open %s\n", path);
    return 1;
  }
  Check(Exec(db,
             "PRAGMA journal_mode=WAL; PRAGMA synchronous=OFF;"
             "CREATE TABLE shared(thread INTEGER, i INTEGER);"
             "CREATE TABLE own(thread INTEGER, i INTEGER);"),
        "schema");

  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) workers.emplace_back(SharedWriter, db, t, rows);
  for (std::thread& worker : workers) worker.join();
  workers.clear();
  for (int t = 0; t < threads; ++t) workers.emplace_back(OwnWriter, path, t, rows);
  for (std::thread& worker : workers) worker.join();

  const long expected = static_cast<long>(threads) * rows;
  const long perThreadSum = static_cast<long>(rows) * (rows - 1) / 2;
  for (const char* table : {"shared", "own"}) {
    const std::string name(table);
    Check(Query(db, "SELECT count(*) FROM " + name) == std::to_string(expected),
          name + " row count");
    Check(Query(db, "SELECT count(*) FROM (SELECT thread FROM " + name +
                        " GROUP BY thread HAVING count(*) = " + std::to_string(rows) +
                        " AND sum(i) = " + std::to_string(perThreadSum) + ")") ==
              std::to_string(threads),
          name + " rows of every thread");
  }
  Check(Query(db, "PRAGMA integrity_check") == "ok", "integrity_check");
  sqlite3_close(db);
  Check(g_enters.load() > 0, "SQLite entered our sections");
  Check(g_misuses.load() == 0, "every Leave by the holder");
  sqlite3_shutdown();
  ___ZnExtendedContext(0);
  std::remove(path);
  std::remove("sqlite_example.db-wal");
  std::remove("sqlite_example.db-shm");

  if (g_failures != 0) return 1;
  std::printf("sqlite example (%s sections): %ld rows in two tables, %ld section entries, ok\n",
              detect ? "deadlock-detecting" : "plain", 2 * expected, g_enters.load());
  return 0;
}
