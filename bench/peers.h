// peers.h - what the retain service is measured against: the one-call file
// limit, OpenSSL's MD5, and the stores a user would otherwise pick (SQLite,
// LMDB, Redis).
//
// Called from the benchmark's main thread only. Each operation returns its
// elapsed time in seconds, or a negative value when it could not be done
// (with a line on standard error); availability is asked first through the
// *Available functions, so a machine without a peer just skips it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// One name and value pair, as the retain file holds it.
struct Pair {
    const char* Name;
    const uint8_t* Value;
    uint16_t Size;
};

// --- the physical limit ---
// Writes bytes with one write() into a temporary file in dir, then as the
// save does: fsync, close, rename over dir/limit.bin, fsync of dir.
double TimeWriteLimit(const std::string& dir, const std::vector<uint8_t>& bytes);
// The same with a 76-byte check record staged, synced and renamed beside it
// as a save does it.
double TimeWriteLimitWithCheck(const std::string& dir, const std::vector<uint8_t>& bytes);
// Reads path with one read() into out (sized to the file beforehand).
double TimeReadLimit(const std::string& path, std::vector<uint8_t>& out);

// --- MD5 of the layout hash ---
bool Md5Available();
// Folds the first four bytes of each name's MD5 digest (OpenSSL) as the
// layout hash does; *hash receives the fold.
double TimeMd5Fold(const std::vector<const char*>& names, uint32_t* hash);

// --- SQLite ---
bool SqliteAvailable();
struct Sqlite;
// Opens (creating) a WAL database at path with the table of pairs.
Sqlite* SqliteOpen(const std::string& path);
// Writes every pair in one transaction (insert or replace).
double SqliteSave(Sqlite* db, const std::vector<Pair>& pairs);
// Reads every pair back into out (the values, one after another); *rows
// receives the number of rows read.
double SqliteLoad(Sqlite* db, std::vector<uint8_t>& out, size_t* rows);
void SqliteClose(Sqlite* db);

// --- LMDB ---
bool LmdbAvailable();
struct Lmdb;
// Creates (emptying) an environment in directory dir, its map large enough
// for pairs (names, values and the B-tree's pages, twice over for the
// copy-on-write of a full rewrite).
Lmdb* LmdbOpen(const std::string& dir, const std::vector<Pair>& pairs);
// Puts every pair in one write transaction and commits it with the
// environment's default durability (the data and meta pages synced).
double LmdbSave(Lmdb* db, const std::vector<Pair>& pairs);
// Walks every pair in one read transaction with a cursor, copying the
// values into out; *rows receives the number of pairs read.
double LmdbLoad(Lmdb* db, std::vector<uint8_t>& out, size_t* rows);
void LmdbClose(Lmdb* db);

// --- Redis ---
struct Redis {
    std::string Server;  // path of redis-server
    std::string Dir;     // its working directory (dump file, log, pid file)
    int Port = 0;
    pid_t Pid = -1;
    int Fd = -1;
};
// Starts redis-server on 127.0.0.1:Port in Dir and waits until it answers
// PING (not "LOADING"); returns the time from the spawn to that answer.
double RedisStart(Redis* r);
// Empties the database and sets every pair (pipelined, not timed).
bool RedisFill(Redis* r, const std::vector<Pair>& pairs);
// Times one SAVE.
double RedisSave(Redis* r);
// Number of keys, or -1.
long RedisDbSize(Redis* r);
// Ends the server without saving and waits for it.
void RedisStop(Redis* r);

}  // namespace bench
