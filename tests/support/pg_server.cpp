#include "pg_server.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <memory>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

const char* const PG_SUPERUSER = "kavel";

namespace {

const char* const PG_PORT = "5432";
const int READY_SECONDS = 60;
const int STOP_SECONDS = 30;

// Whom the server runs as: nobody when this program is root (the server refuses root), else the
// program's own user.
bool ServerUser(uid_t* uid, gid_t* gid) {
    if (geteuid() != 0) {
        *uid = geteuid();
        *gid = getegid();
        return true;
    }
    struct passwd* nobody = getpwnam("nobody");
    if (nobody == nullptr) return false;
    *uid = nobody->pw_uid;
    *gid = nobody->pw_gid;
    return true;
}

// In a child: become the server's user and leave libpq's variables of the tests' environment out.
void BecomeServerUser(bool bSwitch, uid_t uid, gid_t gid) {
    if (bSwitch && (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)) _exit(126);
}

void DropPgVariables() {
    std::vector<std::string> arNames;
    for (char** entry = environ; *entry != nullptr; entry++) {
        std::string sEntry = *entry;
        if (sEntry.rfind("PG", 0) == 0) arNames.push_back(sEntry.substr(0, sEntry.find('=')));
    }
    for (const std::string& sName : arNames) unsetenv(sName.c_str());
}

std::vector<char*> Pointers(std::vector<std::string>& arText) {
    std::vector<char*> arPointer;
    for (std::string& s : arText) arPointer.push_back(s.data());
    arPointer.push_back(nullptr);
    return arPointer;
}

// Runs a program (as the server's user where bAsServer) and collects its output and error; returns
// its exit status, or -1 when it did not exit.
int RunCollecting(std::vector<std::string> arArgs, bool bAsServer, const std::string& sDir,
                  std::string* sOutput) {
    uid_t uid = 0;
    gid_t gid = 0;
    if (bAsServer && !ServerUser(&uid, &gid)) return -1;
    int arPipe[2];
    if (pipe(arPipe) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        close(arPipe[0]);
        dup2(arPipe[1], 1);
        dup2(arPipe[1], 2);
        close(arPipe[1]);
        if (!sDir.empty() && chdir(sDir.c_str()) != 0) _exit(126);
        BecomeServerUser(bAsServer && geteuid() == 0, uid, gid);
        DropPgVariables();
        std::vector<char*> arArgv = Pointers(arArgs);
        execv(arArgv[0], arArgv.data());
        _exit(127);
    }
    close(arPipe[1]);
    sOutput->clear();
    std::vector<char> arBuffer(4096);
    ssize_t nRead;
    while ((nRead = read(arPipe[0], arBuffer.data(), arBuffer.size())) != 0) {
        if (nRead < 0) {
            if (errno == EINTR) continue;
            break;
        }
        sOutput->append(arBuffer.data(), static_cast<size_t>(nRead));
    }
    close(arPipe[0]);
    int nStatus = 0;
    if (pid < 0 || waitpid(pid, &nStatus, 0) != pid) return -1;
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

std::string Psql(const PgServer& server) {
    return server.sBinDir + "/psql";
}

} // namespace

std::string PgServerBinDir() {
    std::string sBest;
    int nBest = -1;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", error)) {
        std::string sName = entry.path().filename().string();
        char* pEnd = nullptr;
        long lVersion = std::strtol(sName.c_str(), &pEnd, 10);
        if (pEnd == sName.c_str() || *pEnd != '\0') continue;
        std::string sBin = entry.path().string() + "/bin";
        if (access((sBin + "/postgres").c_str(), X_OK) != 0 || access((sBin + "/initdb").c_str(), X_OK) != 0)
            continue;
        if (lVersion > nBest) {
            nBest = static_cast<int>(lVersion);
            sBest = sBin;
        }
    }
    return sBest;
}

bool PgServerStart(PgServer* server, bool bDurable, std::string* sError) {
    *server = PgServer();
    server->sBinDir = PgServerBinDir();
    if (server->sBinDir.empty()) {
        *sError = "no PostgreSQL server under /usr/lib/postgresql (Debian package postgresql)";
        return false;
    }
    uid_t uid = 0;
    gid_t gid = 0;
    if (!ServerUser(&uid, &gid)) {
        *sError = "there is no user nobody to run the server as";
        return false;
    }
    std::string sPattern = (std::filesystem::temp_directory_path() / "kavel-pg-XXXXXX").string();
    std::vector<char> arPattern(sPattern.begin(), sPattern.end());
    arPattern.push_back('\0');
    if (mkdtemp(arPattern.data()) == nullptr) {
        *sError = std::string("cannot make a folder for the server: ") + std::strerror(errno);
        return false;
    }
    server->sDir = arPattern.data();
    if (chown(server->sDir.c_str(), uid, gid) != 0) {
        *sError = std::string("cannot give the server's folder to its user: ") + std::strerror(errno);
        PgServerStop(server);
        return false;
    }
    std::string sOutput;
    int nStatus = RunCollecting({server->sBinDir + "/initdb", "-D", server->sDir + "/data", "-U",
                                 PG_SUPERUSER, "--auth=trust", "--no-sync", "-E", "UTF8", "--locale=C"},
                                true, server->sDir, &sOutput);
    if (nStatus != 0) {
        *sError = "initdb failed (" + std::to_string(nStatus) + "): " + sOutput;
        PgServerStop(server);
        return false;
    }
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(server->sDir.c_str()) != 0) _exit(126);
        BecomeServerUser(geteuid() == 0, uid, gid);
        // The server ends when this program does, however it ends.
        prctl(PR_SET_PDEATHSIG, SIGQUIT);
        if (getppid() != parent) _exit(0);
        int fd = open((server->sDir + "/log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        DropPgVariables();
        std::vector<std::string> arArgs = {server->sBinDir + "/postgres",
                                           "-D",
                                           server->sDir + "/data",
                                           "-p",
                                           PG_PORT,
                                           "-k",
                                           server->sDir,
                                           "-c",
                                           "listen_addresses=",
                                           "-c",
                                           bDurable ? "fsync=on" : "fsync=off"};
        std::vector<char*> arArgv = Pointers(arArgs);
        execv(arArgv[0], arArgv.data());
        _exit(127);
    }
    if (pid < 0) {
        *sError = std::string("cannot start the server: ") + std::strerror(errno);
        PgServerStop(server);
        return false;
    }
    server->pid = pid;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(READY_SECONDS);
    while (!PgServerSql(*server, "postgres", "SELECT 1", &sOutput)) {
        int nChild = 0;
        if (waitpid(pid, &nChild, WNOHANG) == pid || std::chrono::steady_clock::now() > deadline) {
            if (waitpid(pid, &nChild, WNOHANG) == pid) server->pid = 0;
            std::string sLog;
            RunCollecting({"/bin/cat", server->sDir + "/log"}, false, "", &sLog);
            *sError = "the server did not start: " + sOutput + "\n" + sLog;
            PgServerStop(server);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

void PgServerStop(PgServer* server) {
    if (server->pid > 0) {
        // A fast shutdown: clients are cut off, nothing is waited for.
        kill(server->pid, SIGINT);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(STOP_SECONDS);
        int nStatus = 0;
        while (waitpid(server->pid, &nStatus, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(server->pid, SIGKILL);
                waitpid(server->pid, &nStatus, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        server->pid = 0;
    }
    if (!server->sDir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(server->sDir, ignored);
        server->sDir.clear();
    }
}

std::string PgServerUri(const PgServer& server, const std::string& sDatabase, const std::string& sRole,
                        const std::string& sPassword) {
    return "postgresql://" + sRole + (sPassword.empty() ? "" : ":" + sPassword) + "@/" + sDatabase +
           "?host=" + server.sDir + "&port=" + PG_PORT;
}

bool PgServerSql(const PgServer& server, const std::string& sDatabase, const std::string& sSql,
                 std::string* sOutput) {
    return RunCollecting({Psql(server), "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1", "-h", server.sDir,
                          "-p", PG_PORT, "-U", PG_SUPERUSER, "-d", sDatabase, "-c", sSql},
                         false, "", sOutput) == 0;
}

std::string PgServerNewDatabase(PgServer* server, std::string* sError) {
    std::string sName = "record" + std::to_string(++server->nDatabases);
    if (!PgServerSql(*server, "postgres", "CREATE DATABASE " + sName, sError)) return "";
    return sName;
}
