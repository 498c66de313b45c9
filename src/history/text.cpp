// The values that the record's tables hold and how a target is named: times, run ids, hashes, a
// command line and a server URI without their passwords.
#include "history.h"

#include "pq.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <random>
#include <sys/random.h>
#include <unistd.h>
#include <vector>

namespace {

const char* const txtSCHEMES[] = {"postgresql://", "postgres://"};
// Characters that a shell takes as they are in an argument.
const char* const txtSHELL_PLAIN = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_@%+=:,./-";
const size_t SHA256_BYTES = 32;
const size_t FILE_PIECE = 65536;

struct ConninfoCloser {
    void operator()(PQconninfoOption* options) const { Pq().conninfoFree(options); }
};
struct DigestCloser {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

std::string Hex(const unsigned char* p, size_t n) {
    const char* const txtDigits = "0123456789abcdef";
    std::string sHex;
    sHex.reserve(2 * n);
    for (size_t i = 0; i < n; i++) {
        sHex += txtDigits[p[i] >> 4];
        sHex += txtDigits[p[i] & 0x0f];
    }
    return sHex;
}

// Where a server URI begins in text, or npos.
size_t FindScheme(const std::string& sText) {
    size_t nFirst = std::string::npos;
    for (const char* txtScheme : txtSCHEMES) nFirst = std::min(nFirst, sText.find(txtScheme));
    return nFirst;
}

// Returns the text of the n digits at p as a number, or -1 when one is not a digit.
int Digits(const char* p, int n) {
    int nValue = 0;
    for (int i = 0; i < n; i++) {
        if (p[i] < '0' || p[i] > '9') return -1;
        nValue = nValue * 10 + (p[i] - '0');
    }
    return nValue;
}

// Returns whether the fields make a real moment: a day that its month has, a time within the day.
bool ValidMoment(int nYear, int nMonth, int nDay, int nHour, int nMinute, int nSecond) {
    if (nYear < 1 || nMonth < 1 || nMonth > 12 || nDay < 1 || nHour > 23 || nMinute > 59 || nSecond > 59) {
        return false;
    }
    const int arDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool bLeap = (nYear % 4 == 0 && nYear % 100 != 0) || nYear % 400 == 0;
    int nDays = arDays[nMonth - 1] + (nMonth == 2 && bLeap ? 1 : 0);
    return nDay <= nDays && nHour >= 0 && nMinute >= 0 && nSecond >= 0;
}

std::string FormatTime(const struct tm& moment, int nMilliseconds) {
    char buffer[64];
    int nLength = std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ",
                                moment.tm_year + 1900, moment.tm_mon + 1, moment.tm_mday, moment.tm_hour,
                                moment.tm_min, moment.tm_sec, nMilliseconds);
    if (nLength < 0 || static_cast<size_t>(nLength) >= sizeof buffer) return std::string();
    return std::string(buffer, static_cast<size_t>(nLength));
}

// Fills n bytes at p with random bytes from the kernel; returns false when it has none to give.
bool RandomBytes(unsigned char* p, size_t n) {
    size_t nDone = 0;
    while (nDone < n) {
        ssize_t nGot = getrandom(p + nDone, n - nDone, 0);
        if (nGot < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        nDone += static_cast<size_t>(nGot);
    }
    return true;
}

} // namespace

bool HistoryIsServer(const std::string& sTarget) {
    return FindScheme(sTarget) == 0;
}

std::string HistoryTargetText(const std::string& sTarget) {
    if (!HistoryIsServer(sTarget)) return sTarget;
    std::string sReason;
    const PqLibrary* pq = LoadPq(&sReason);
    if (pq == nullptr) return "postgresql://(a URI that is not shown without libpq)";
    char* txtError = nullptr;
    std::unique_ptr<PQconninfoOption, ConninfoCloser> options(pq->conninfoParse(sTarget.c_str(), &txtError));
    if (txtError != nullptr) pq->freemem(txtError);
    // The URI itself may hold the password anywhere, so it is never shown as it was written.
    if (!options) return "postgresql://(a URI that libpq cannot read)";
    std::string sHost, sPort, sDatabase, sService;
    for (const PQconninfoOption* option = options.get(); option->keyword != nullptr; option++) {
        if (option->val == nullptr) continue;
        std::string sKeyword = option->keyword;
        if (sKeyword == "host") sHost = option->val;
        if (sKeyword == "port") sPort = option->val;
        if (sKeyword == "dbname") sDatabase = option->val;
        if (sKeyword == "service") sService = option->val;
    }
    // A socket folder is a path, which a URI carries as a parameter.
    bool bSocket = !sHost.empty() && sHost[0] == '/';
    std::string sText = "postgresql://";
    std::string sQuery;
    if (bSocket) {
        sQuery = "host=" + sHost + (sPort.empty() ? "" : "&port=" + sPort);
    } else {
        sText += sHost + (sPort.empty() ? "" : ":" + sPort);
    }
    sText += "/" + sDatabase;
    if (!sService.empty()) sQuery += (sQuery.empty() ? "" : "&") + std::string("service=") + sService;
    if (!sQuery.empty()) sText += "?" + sQuery;
    return sText;
}

std::string HistoryRedactArgument(const std::string& sArgument) {
    size_t nScheme = FindScheme(sArgument);
    // A URI runs to the end of its argument ("--history=postgresql://..." included).
    if (nScheme == std::string::npos) return sArgument;
    return sArgument.substr(0, nScheme) + HistoryTargetText(sArgument.substr(nScheme));
}

std::string HistoryRedactArguments(const std::vector<std::string>& arArguments) {
    std::string sLine;
    for (const std::string& sArgument : arArguments) {
        std::string sShown = HistoryRedactArgument(sArgument);
        if (!sLine.empty()) sLine += ' ';
        if (!sShown.empty() && sShown.find_first_not_of(txtSHELL_PLAIN) == std::string::npos) {
            sLine += sShown;
            continue;
        }
        sLine += '\'';
        for (char c : sShown) {
            if (c == '\'') {
                sLine += "'\\''";
            } else {
                sLine += c;
            }
        }
        sLine += '\'';
    }
    return sLine;
}

std::string HistoryNewRunId() {
    unsigned char arBytes[16];
    if (!RandomBytes(arBytes, sizeof arBytes)) {
        // A kernel without getrandom still has a random device behind std::random_device.
        std::random_device device;
        for (unsigned char& b : arBytes) b = static_cast<unsigned char>(device() & 0xff);
    }
    arBytes[6] = static_cast<unsigned char>((arBytes[6] & 0x0f) | 0x40); // version 4
    arBytes[8] = static_cast<unsigned char>((arBytes[8] & 0x3f) | 0x80); // the RFC's variant
    std::string sHex = Hex(arBytes, sizeof arBytes);
    return sHex.substr(0, 8) + "-" + sHex.substr(8, 4) + "-" + sHex.substr(12, 4) + "-" + sHex.substr(16, 4) +
           "-" + sHex.substr(20);
}

std::string HistoryDefaultStation() {
    const char* txtStation = std::getenv("KAVELWRITE_STATION");
    if (txtStation != nullptr && *txtStation != '\0') return txtStation;
    std::vector<char> arName(HOST_NAME_MAX + 2, '\0');
    if (gethostname(arName.data(), arName.size() - 1) != 0) return "localhost";
    return std::string(arName.data());
}

std::string HistoryUtcNow() {
    struct timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm moment = {};
    gmtime_r(&now.tv_sec, &moment);
    return FormatTime(moment, static_cast<int>(now.tv_nsec / 1000000));
}

bool HistoryIsTime(const std::string& sTime) {
    const char* p = sTime.c_str();
    if (sTime.size() != 24 || p[4] != '-' || p[7] != '-' || p[10] != 'T' || p[13] != ':' || p[16] != ':' ||
        p[19] != '.' || p[23] != 'Z' || Digits(p + 20, 3) < 0) {
        return false;
    }
    return ValidMoment(Digits(p, 4), Digits(p + 5, 2), Digits(p + 8, 2), Digits(p + 11, 2), Digits(p + 14, 2),
                       Digits(p + 17, 2));
}

bool HistoryParseTime(const std::string& sText, bool bEndOfDay, std::string* sTime) {
    std::string s = sText;
    if (!s.empty() && (s.back() == 'Z' || s.back() == 'z')) s.pop_back();
    const char* p = s.c_str();
    if (s.size() < 10 || p[4] != '-' || p[7] != '-') return false;
    struct tm moment = {};
    int nMilliseconds = 0;
    int nYear = Digits(p, 4), nMonth = Digits(p + 5, 2), nDay = Digits(p + 8, 2);
    int nHour = 0, nMinute = 0, nSecond = 0;
    bool bDateOnly = s.size() == 10;
    if (!bDateOnly) {
        // "HH:MM", then optionally ":SS" and a fraction of one to three digits.
        if ((p[10] != 'T' && p[10] != ' ') || s.size() < 16 || p[13] != ':') return false;
        nHour = Digits(p + 11, 2);
        nMinute = Digits(p + 14, 2);
        size_t nAt = 16;
        if (s.size() > nAt) {
            if (p[nAt] != ':' || s.size() < nAt + 3) return false;
            nSecond = Digits(p + nAt + 1, 2);
            nAt += 3;
        }
        if (s.size() > nAt) {
            size_t nFraction = s.size() - nAt - 1;
            if (p[nAt] != '.' || nFraction < 1 || nFraction > 3) return false;
            int nDigits = Digits(p + nAt + 1, static_cast<int>(nFraction));
            if (nDigits < 0) return false;
            nMilliseconds = nDigits * (nFraction == 1 ? 100 : nFraction == 2 ? 10 : 1);
        }
    }
    if (!ValidMoment(nYear, nMonth, nDay, nHour, nMinute, nSecond)) return false;
    moment.tm_year = nYear - 1900;
    moment.tm_mon = nMonth - 1;
    moment.tm_mday = nDay;
    moment.tm_hour = nHour;
    moment.tm_min = nMinute;
    moment.tm_sec = nSecond;
    if (bDateOnly && bEndOfDay) {
        time_t tNext = timegm(&moment) + 24 * 60 * 60;
        gmtime_r(&tNext, &moment);
    }
    *sTime = FormatTime(moment, nMilliseconds);
    return !sTime->empty();
}

std::string Sha256Hex(const void* p, size_t n) {
    unsigned char arDigest[EVP_MAX_MD_SIZE];
    unsigned int nDigest = 0;
    if (EVP_Digest(p, n, arDigest, &nDigest, EVP_sha256(), nullptr) != 1 || nDigest != SHA256_BYTES) {
        return std::string();
    }
    return Hex(arDigest, nDigest);
}

bool Sha256FileHex(const std::string& sPath, std::string* sHex) {
    int fd = open(sPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::unique_ptr<EVP_MD_CTX, DigestCloser> context(EVP_MD_CTX_new());
    bool bOk = context && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) == 1;
    std::vector<unsigned char> arPiece(FILE_PIECE);
    while (bOk) {
        ssize_t nRead = read(fd, arPiece.data(), arPiece.size());
        if (nRead < 0 && errno == EINTR) continue;
        if (nRead <= 0) {
            bOk = nRead == 0;
            break;
        }
        bOk = EVP_DigestUpdate(context.get(), arPiece.data(), static_cast<size_t>(nRead)) == 1;
    }
    close(fd);
    unsigned char arDigest[EVP_MAX_MD_SIZE];
    unsigned int nDigest = 0;
    if (!bOk || EVP_DigestFinal_ex(context.get(), arDigest, &nDigest) != 1 || nDigest != SHA256_BYTES)
        return false;
    *sHex = Hex(arDigest, nDigest);
    return true;
}
