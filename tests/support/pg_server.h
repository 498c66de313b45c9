// A PostgreSQL server of the test suite's own, from the system's server package: made with initdb in
// a fresh folder, listening only on a Unix socket in that folder, run as a user that is not root
// (nobody, when the tests run as root), stopped and removed at the end of the test program, and
// ended by the kernel when the test program dies first.
#ifndef KAVELWRITE_TESTS_PG_SERVER_H
#define KAVELWRITE_TESTS_PG_SERVER_H

#include <string>

#include <sys/types.h>

struct PgServer {
    std::string sBinDir; // initdb, postgres and psql
    std::string sDir;    // data (in data/), socket and log; owned by the server's user
    pid_t pid = 0;       // the server's main process, a child of this program
    int nDatabases = 0;  // databases made so far, which names the next one
};

// The superuser that the suite's servers know; it connects without a password.
extern const char* const PG_SUPERUSER;

// Returns the folder of the newest server programs under /usr/lib/postgresql, or "" when there is none.
std::string PgServerBinDir();
// Makes and starts a server (with fsync off unless bDurable); returns true, or false with *sError
// saying why (nothing is left behind then).
bool PgServerStart(PgServer* server, bool bDurable, std::string* sError);
// Stops the server and removes its folder; does nothing for a server that is not running.
void PgServerStop(PgServer* server);
// Returns the URI of database on the server as role, with password where it is not empty.
std::string PgServerUri(const PgServer& server, const std::string& sDatabase,
                        const std::string& sRole = PG_SUPERUSER, const std::string& sPassword = "");
// Runs sql (one or more statements) in database as the superuser with psql; returns true, or false
// with *sOutput holding what psql said. *sOutput receives the rows, unaligned, one per line.
bool PgServerSql(const PgServer& server, const std::string& sDatabase, const std::string& sSql,
                 std::string* sOutput);
// Creates a fresh database; returns its name, or "" with *sError.
std::string PgServerNewDatabase(PgServer* server, std::string* sError);

// ---- pg_server_shared.cpp

// The test program's own server, started at its first use and stopped when the program's tests
// end; returns null with *sError when it cannot be started.
PgServer* SharedPgServer(std::string* sError);

#endif
