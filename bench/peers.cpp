// The baselines of the benchmark: one write()/read() of the file's bytes,
// OpenSSL's MD5, SQLite in WAL mode, LMDB and a Redis server on loopback, spoken to
// with a minimal client of its protocol (RESP).
#include "peers.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "bench_util.h"

#ifdef OVRT_BENCH_OPENSSL
// The one-shot MD5() is the fastest way OpenSSL offers for many short texts;
// it is deprecated in favour of EVP, whose per-call set-up would only flatter
// the comparison.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>
#endif
#ifdef OVRT_BENCH_SQLITE
#include <sqlite3.h>
#endif
#ifdef OVRT_BENCH_LMDB
#include <lmdb.h>
#endif

extern char** environ;

namespace bench {

// ---------------------------------------------------------------- limit

namespace {

bool WriteAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

}  // namespace

double TimeWriteLimit(const std::string& dir, const std::vector<uint8_t>& bytes) {
    std::string tmp = dir + "/limit.bin.tmp", path = dir + "/limit.bin";
    double t0 = Now();
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return -1;
    // One write() call; a short write (not expected for a regular file) is
    // finished by further calls.
    bool ok = WriteAll(fd, bytes.data(), bytes.size());
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(tmp.c_str(), path.c_str()) == 0;
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ok = ok && dfd >= 0 && ::fsync(dfd) == 0;
    if (dfd >= 0) ::close(dfd);
    double t1 = Now();
    if (!ok) {
        std::fprintf(stderr, "bench: write limit failed in %s: %s\n", dir.c_str(), std::strerror(errno));
        return -1;
    }
    return t1 - t0;
}

double TimeWriteLimitWithCheck(const std::string& dir, const std::vector<uint8_t>& bytes) {
    std::string tmp = dir + "/limit.bin.tmp", path = dir + "/limit.bin";
    std::string checkTmp = dir + "/limit.check.tmp", check = dir + "/limit.check";
    const std::vector<uint8_t> record(76, 0x5A);
    double t0 = Now();
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    int cfd = ::open(checkTmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0 || cfd < 0) return -1;
    bool ok = WriteAll(fd, bytes.data(), bytes.size());
    // The check record is written before the file's fsync, synced after it
    // and renamed before it, as a save does.
    ok = WriteAll(cfd, record.data(), record.size()) && ok;
    ok = ::fsync(fd) == 0 && ok;
    ok = ::fsync(cfd) == 0 && ok;
    ok = ::close(cfd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(checkTmp.c_str(), check.c_str()) == 0;
    ok = ok && ::rename(tmp.c_str(), path.c_str()) == 0;
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ok = ok && dfd >= 0 && ::fsync(dfd) == 0;
    if (dfd >= 0) ::close(dfd);
    double t1 = Now();
    if (!ok) return -1;
    return t1 - t0;
}

double TimeReadLimit(const std::string& path, std::vector<uint8_t>& out) {
    double t0 = Now();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    size_t got = 0;
    while (got < out.size()) {
        ssize_t r = ::read(fd, out.data() + got, out.size() - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<size_t>(r);
    }
    ::close(fd);
    double t1 = Now();
    return got == out.size() ? t1 - t0 : -1;
}

// ---------------------------------------------------------------- MD5

#ifdef OVRT_BENCH_OPENSSL
bool Md5Available() {
    return true;
}

double TimeMd5Fold(const std::vector<const char*>& names, uint32_t* hash) {
    double t0 = Now();
    uint32_t h = 0;
    unsigned char d[MD5_DIGEST_LENGTH];
    for (const char* name : names) {
        MD5(reinterpret_cast<const unsigned char*>(name), std::strlen(name), d);
        h = (h << 1 | h >> 31) + (uint32_t{d[0]} | uint32_t{d[1]} << 8 | uint32_t{d[2]} << 16 | uint32_t{d[3]} << 24);
    }
    double t1 = Now();
    *hash = h;
    return t1 - t0;
}
#else
bool Md5Available() {
    return false;
}
double TimeMd5Fold(const std::vector<const char*>&, uint32_t*) {
    return -1;
}
#endif

// ---------------------------------------------------------------- SQLite

#ifdef OVRT_BENCH_SQLITE
struct Sqlite {
    sqlite3* Db = nullptr;
    sqlite3_stmt* Insert = nullptr;
    sqlite3_stmt* Select = nullptr;
};

namespace {

bool Exec(sqlite3* db, const char* sql) {
    char* err = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &err) == SQLITE_OK) return true;
    std::fprintf(stderr, "bench: sqlite: %s: %s\n", sql, err ? err : "?");
    sqlite3_free(err);
    return false;
}

}  // namespace

bool SqliteAvailable() {
    return true;
}

Sqlite* SqliteOpen(const std::string& path) {
    ::unlink(path.c_str());
    ::unlink((path + "-wal").c_str());
    ::unlink((path + "-shm").c_str());
    auto* s = new Sqlite;
    // Default synchronous level (FULL): the WAL is fsynced at every commit,
    // as the retain file is fsynced at every save.
    if (sqlite3_open(path.c_str(), &s->Db) != SQLITE_OK || !Exec(s->Db, "PRAGMA journal_mode=WAL") ||
        !Exec(s->Db, "CREATE TABLE vars(name TEXT PRIMARY KEY, value BLOB NOT NULL)") ||
        sqlite3_prepare_v2(s->Db, "INSERT OR REPLACE INTO vars(name, value) VALUES(?1, ?2)", -1, &s->Insert, nullptr) !=
            SQLITE_OK ||
        sqlite3_prepare_v2(s->Db, "SELECT name, value FROM vars", -1, &s->Select, nullptr) != SQLITE_OK) {
        std::fprintf(stderr, "bench: sqlite open %s: %s\n", path.c_str(), sqlite3_errmsg(s->Db));
        SqliteClose(s);
        return nullptr;
    }
    return s;
}

double SqliteSave(Sqlite* s, const std::vector<Pair>& pairs) {
    double t0 = Now();
    if (!Exec(s->Db, "BEGIN")) return -1;
    for (const Pair& p : pairs) {
        sqlite3_bind_text(s->Insert, 1, p.Name, -1, SQLITE_STATIC);
        sqlite3_bind_blob(s->Insert, 2, p.Value, p.Size, SQLITE_STATIC);
        if (sqlite3_step(s->Insert) != SQLITE_DONE) {
            std::fprintf(stderr, "bench: sqlite insert: %s\n", sqlite3_errmsg(s->Db));
            sqlite3_reset(s->Insert);
            Exec(s->Db, "ROLLBACK");
            return -1;
        }
        sqlite3_reset(s->Insert);
    }
    if (!Exec(s->Db, "COMMIT")) return -1;
    return Now() - t0;
}

double SqliteLoad(Sqlite* s, std::vector<uint8_t>& out, size_t* rows) {
    double t0 = Now();
    size_t used = 0, n = 0;
    int rc;
    while ((rc = sqlite3_step(s->Select)) == SQLITE_ROW) {
        const void* v = sqlite3_column_blob(s->Select, 1);
        size_t size = static_cast<size_t>(sqlite3_column_bytes(s->Select, 1));
        if (used + size > out.size()) out.resize((used + size) * 2);
        if (size) std::memcpy(out.data() + used, v, size);
        used += size;
        ++n;
    }
    sqlite3_reset(s->Select);
    double t1 = Now();
    *rows = n;
    return rc == SQLITE_DONE ? t1 - t0 : -1;
}

void SqliteClose(Sqlite* s) {
    if (!s) return;
    sqlite3_finalize(s->Insert);
    sqlite3_finalize(s->Select);
    sqlite3_close(s->Db);
    delete s;
}
#else
struct Sqlite {};
bool SqliteAvailable() {
    return false;
}
Sqlite* SqliteOpen(const std::string&) {
    return nullptr;
}
double SqliteSave(Sqlite*, const std::vector<Pair>&) {
    return -1;
}
double SqliteLoad(Sqlite*, std::vector<uint8_t>&, size_t*) {
    return -1;
}
void SqliteClose(Sqlite*) {}
#endif

// ---------------------------------------------------------------- LMDB

#ifdef OVRT_BENCH_LMDB
struct Lmdb {
    MDB_env* Env = nullptr;
    MDB_dbi Dbi = 0;
};

namespace {

bool LmdbOk(int rc, const char* what) {
    if (rc == MDB_SUCCESS) return true;
    std::fprintf(stderr, "bench: lmdb %s: %s\n", what, mdb_strerror(rc));
    return false;
}

}  // namespace

bool LmdbAvailable() {
    return true;
}

Lmdb* LmdbOpen(const std::string& dir, const std::vector<Pair>& pairs) {
    ::mkdir(dir.c_str(), 0750);
    ::unlink((dir + "/data.mdb").c_str());
    ::unlink((dir + "/lock.mdb").c_str());
    // Names, values and per-entry overhead, for the live tree and the copy a
    // transaction that replaces every value writes beside it, with room to
    // spare: pages half full after splits, and the pages a run's earlier
    // transactions freed (4x was too little at 10M pairs). Only what is
    // written takes room on disk.
    size_t bytes = 0;
    for (const Pair& p : pairs) bytes += std::strlen(p.Name) + p.Size + 16;
    const size_t map = (bytes * 12 + (size_t{256} << 20) + 4095) / 4096 * 4096;
    auto* db = new Lmdb;
    MDB_txn* txn = nullptr;
    if (!LmdbOk(mdb_env_create(&db->Env), "env_create") || !LmdbOk(mdb_env_set_mapsize(db->Env, map), "mapsize") ||
        !LmdbOk(mdb_env_open(db->Env, dir.c_str(), 0, 0640), "env_open") ||
        !LmdbOk(mdb_txn_begin(db->Env, nullptr, 0, &txn), "txn_begin") ||
        !LmdbOk(mdb_dbi_open(txn, nullptr, 0, &db->Dbi), "dbi_open") || !LmdbOk(mdb_txn_commit(txn), "commit")) {
        LmdbClose(db);
        return nullptr;
    }
    return db;
}

double LmdbSave(Lmdb* db, const std::vector<Pair>& pairs) {
    double t0 = Now();
    MDB_txn* txn = nullptr;
    if (!LmdbOk(mdb_txn_begin(db->Env, nullptr, 0, &txn), "txn_begin")) return -1;
    for (const Pair& p : pairs) {
        MDB_val key{std::strlen(p.Name), const_cast<char*>(p.Name)};
        MDB_val value{p.Size, const_cast<uint8_t*>(p.Value)};
        if (!LmdbOk(mdb_put(txn, db->Dbi, &key, &value, 0), "put")) {
            mdb_txn_abort(txn);
            return -1;
        }
    }
    // The environment was opened without MDB_NOSYNC or MDB_NOMETASYNC: the
    // commit syncs the data and then the meta page before it returns.
    if (!LmdbOk(mdb_txn_commit(txn), "commit")) return -1;
    return Now() - t0;
}

double LmdbLoad(Lmdb* db, std::vector<uint8_t>& out, size_t* rows) {
    double t0 = Now();
    MDB_txn* txn = nullptr;
    MDB_cursor* cur = nullptr;
    if (!LmdbOk(mdb_txn_begin(db->Env, nullptr, MDB_RDONLY, &txn), "txn_begin")) return -1;
    if (!LmdbOk(mdb_cursor_open(txn, db->Dbi, &cur), "cursor_open")) {
        mdb_txn_abort(txn);
        return -1;
    }
    size_t used = 0, n = 0;
    MDB_val key, value;
    int rc = mdb_cursor_get(cur, &key, &value, MDB_FIRST);
    while (rc == MDB_SUCCESS) {
        if (used + value.mv_size > out.size()) out.resize((used + value.mv_size) * 2);
        if (value.mv_size) std::memcpy(out.data() + used, value.mv_data, value.mv_size);
        used += value.mv_size;
        ++n;
        rc = mdb_cursor_get(cur, &key, &value, MDB_NEXT);
    }
    mdb_cursor_close(cur);
    mdb_txn_abort(txn);
    double t1 = Now();
    *rows = n;
    return rc == MDB_NOTFOUND ? t1 - t0 : (LmdbOk(rc, "cursor_get"), -1);
}

void LmdbClose(Lmdb* db) {
    if (!db) return;
    if (db->Env) mdb_env_close(db->Env);
    delete db;
}
#else
struct Lmdb {};
bool LmdbAvailable() {
    return false;
}
Lmdb* LmdbOpen(const std::string&, const std::vector<Pair>&) {
    return nullptr;
}
double LmdbSave(Lmdb*, const std::vector<Pair>&) {
    return -1;
}
double LmdbLoad(Lmdb*, std::vector<uint8_t>&, size_t*) {
    return -1;
}
void LmdbClose(Lmdb*) {}
#endif

// ---------------------------------------------------------------- Redis

namespace {

void AppendBulk(std::string& out, const void* data, size_t n) {
    char head[32];
    int len = std::snprintf(head, sizeof head, "$%zu\r\n", n);
    out.append(head, static_cast<size_t>(len));
    out.append(static_cast<const char*>(data), n);
    out.append("\r\n", 2);
}

std::string Command(std::initializer_list<std::string> args) {
    char head[32];
    int len = std::snprintf(head, sizeof head, "*%zu\r\n", args.size());
    std::string out(head, static_cast<size_t>(len));
    for (const std::string& a : args) AppendBulk(out, a.data(), a.size());
    return out;
}

bool SendAll(int fd, const std::string& s) {
    size_t off = 0;
    while (off < s.size()) {
        ssize_t w = ::send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        off += static_cast<size_t>(w);
    }
    return true;
}

// Reads one reply line ("+OK", "-LOADING ...", ":42"); the simple replies
// the benchmark asks for have no bulk bodies.
bool ReadLine(int fd, std::string* line) {
    line->clear();
    char c;
    while (true) {
        ssize_t r = ::recv(fd, &c, 1, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        if (c == '\n') break;
        if (c != '\r') *line += c;
    }
    return true;
}

// Reads n reply lines in big gulps; true when none is an error.
bool ReadReplies(int fd, size_t n) {
    char buf[1 << 16];
    bool ok = true;
    bool lineStart = true;
    while (n > 0) {
        ssize_t r = ::recv(fd, buf, sizeof buf, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        for (ssize_t i = 0; i < r; ++i) {
            if (lineStart && buf[i] == '-') ok = false;
            lineStart = buf[i] == '\n';
            if (lineStart) --n;
        }
    }
    return ok;
}

int Connect(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool Ask(Redis* r, std::initializer_list<std::string> args, std::string* reply) {
    return SendAll(r->Fd, Command(args)) && ReadLine(r->Fd, reply);
}

}  // namespace

double RedisStart(Redis* r) {
    std::string port = std::to_string(r->Port);
    std::vector<std::string> args = {r->Server,
                                     "--port",
                                     port,
                                     "--bind",
                                     "127.0.0.1",
                                     "--dir",
                                     r->Dir,
                                     "--dbfilename",
                                     "dump.rdb",
                                     "--save",
                                     "",
                                     "--appendonly",
                                     "no",
                                     "--pidfile",
                                     r->Dir + "/redis.pid",
                                     "--logfile",
                                     r->Dir + "/redis.log"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    double t0 = Now();
    pid_t pid;
    if (posix_spawn(&pid, r->Server.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
        std::fprintf(stderr, "bench: cannot start %s\n", r->Server.c_str());
        return -1;
    }
    r->Pid = pid;
    while (Now() - t0 < 120) {
        int status;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            std::fprintf(stderr, "bench: redis-server ended at start-up (see %s/redis.log)\n", r->Dir.c_str());
            r->Pid = -1;
            return -1;
        }
        if (r->Fd < 0) r->Fd = Connect(r->Port);
        std::string reply;
        if (r->Fd >= 0) {
            if (Ask(r, {"PING"}, &reply) && reply == "+PONG") return Now() - t0;
            if (reply.rfind("-LOADING", 0) != 0) {  // a dropped connection: try anew
                ::close(r->Fd);
                r->Fd = -1;
            }
        }
        ::usleep(200);
    }
    std::fprintf(stderr, "bench: redis-server did not answer within 120 s\n");
    return -1;
}

bool RedisFill(Redis* r, const std::vector<Pair>& pairs) {
    std::string reply;
    if (!Ask(r, {"FLUSHALL"}, &reply) || reply != "+OK") return false;
    const size_t batch = 10000;
    for (size_t i = 0; i < pairs.size(); i += batch) {
        size_t n = std::min(batch, pairs.size() - i);
        std::string out;
        for (size_t k = i; k < i + n; ++k) {
            out += "*3\r\n$3\r\nSET\r\n";
            AppendBulk(out, pairs[k].Name, std::strlen(pairs[k].Name));
            AppendBulk(out, pairs[k].Value, pairs[k].Size);
        }
        if (!SendAll(r->Fd, out) || !ReadReplies(r->Fd, n)) return false;
    }
    return true;
}

double RedisSave(Redis* r) {
    std::string reply;
    double t0 = Now();
    if (!Ask(r, {"SAVE"}, &reply) || reply != "+OK") {
        std::fprintf(stderr, "bench: redis SAVE: %s\n", reply.c_str());
        return -1;
    }
    return Now() - t0;
}

long RedisDbSize(Redis* r) {
    std::string reply;
    if (!Ask(r, {"DBSIZE"}, &reply) || reply.empty() || reply[0] != ':') return -1;
    return std::stol(reply.substr(1));
}

void RedisStop(Redis* r) {
    if (r->Fd >= 0) {
        SendAll(r->Fd, Command({"SHUTDOWN", "NOSAVE"}));
        ::close(r->Fd);
        r->Fd = -1;
    }
    if (r->Pid > 0) {
        double t0 = Now();
        int status;
        while (::waitpid(r->Pid, &status, WNOHANG) == 0) {
            if (Now() - t0 > 10) {
                ::kill(r->Pid, SIGKILL);
                ::waitpid(r->Pid, &status, 0);
                break;
            }
            ::usleep(1000);
        }
        r->Pid = -1;
    }
}

}  // namespace bench
