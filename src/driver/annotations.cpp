// Run stamps and the names they give: the annotations of every pass, and the log file; each with
// the parser that kxb reads them back with.
#include "driver.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

const std::string txtDEVICE_SUFFIX = "_device";
const std::string txtVERIFY_SUFFIX = "_verify";
// A run stamp is "t" and 14 digits; keyboard indices beyond this many digits are no keyboard's.
const size_t STAMP_LENGTH = 15;
const size_t INDEX_DIGITS_MAX = 4;

bool AllDigits(const char* txtText, size_t nLength) {
    for (size_t i = 0; i < nLength; i++) {
        if (!std::isdigit(static_cast<unsigned char>(txtText[i]))) return false;
    }
    return true;
}

// The run stamp of a local time.
std::string StampOf(const struct tm& local) {
    return "t" + std::to_string(local.tm_year + 1900) + ToTwoDigitDec(local.tm_mon + 1) +
           ToTwoDigitDec(local.tm_mday) + ToTwoDigitDec(local.tm_hour) + ToTwoDigitDec(local.tm_min) +
           ToTwoDigitDec(local.tm_sec);
}

} // namespace

std::string timestamp() {
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    return StampOf(local);
}

std::string TimestampDevice(const std::string& stampTime, int i) {
    return stampTime + txtDEVICE_SUFFIX + std::to_string(i);
}

std::string TimestampVerify(const std::string& timestampDevice) {
    return timestampDevice + txtVERIFY_SUFFIX;
}

bool ParseTimestampDevice(const char* name, std::string* stampTime, int* i, bool* bVerify) {
    size_t nLength = std::strlen(name);
    if (nLength < STAMP_LENGTH || name[0] != 't' || !AllDigits(name + 1, STAMP_LENGTH - 1)) return false;
    *stampTime = std::string(name, STAMP_LENGTH);
    *i = -1;
    if (bVerify != nullptr) *bVerify = false;
    if (nLength == STAMP_LENGTH) return true;
    const char* txtRest = name + STAMP_LENGTH;
    if (std::strncmp(txtRest, txtDEVICE_SUFFIX.c_str(), txtDEVICE_SUFFIX.size()) != 0) return false;
    const char* txtIndex = txtRest + txtDEVICE_SUFFIX.size();
    size_t nDigits = std::strspn(txtIndex, "0123456789");
    // The read-back's own annotation follows the keyboard's index.
    if (txtIndex[nDigits] != '\0') {
        if (bVerify == nullptr || txtVERIFY_SUFFIX != txtIndex + nDigits) return false;
        *bVerify = true;
    }
    // The index is written without leading zeros.
    if (nDigits == 0 || nDigits > INDEX_DIGITS_MAX || (txtIndex[0] == '0' && nDigits > 1)) return false;
    *i = std::atoi(std::string(txtIndex, nDigits).c_str());
    return true;
}

std::string LogFileName(const std::string& filename, const std::string& stampTime) {
    return filename + "_" + stampTime;
}

bool ParseLogFileName(const std::string& path, std::string* stampTime) {
    size_t nSlash = path.rfind('/');
    std::string sName = nSlash == std::string::npos ? path : path.substr(nSlash + 1);
    size_t nUnderscore = sName.rfind('_');
    int nIndex = 0;
    return nUnderscore != std::string::npos &&
           ParseTimestampDevice(sName.c_str() + nUnderscore + 1, stampTime, &nIndex) && nIndex < 0;
}

std::string NextStamp(const std::string& stampTime) {
    struct tm local {};
    if (stampTime.size() != STAMP_LENGTH || !AllDigits(stampTime.c_str() + 1, STAMP_LENGTH - 1))
        return stampTime;
    auto Field = [&](size_t nAt, size_t nLength) {
        return std::atoi(stampTime.substr(nAt, nLength).c_str());
    };
    local.tm_year = Field(1, 4) - 1900;
    local.tm_mon = Field(5, 2) - 1;
    local.tm_mday = Field(7, 2);
    local.tm_hour = Field(9, 2);
    local.tm_min = Field(11, 2);
    local.tm_sec = Field(13, 2) + 1;
    local.tm_isdst = -1;
    // mktime carries the second over into the minute, the hour, the day and so on.
    time_t next = mktime(&local);
    localtime_r(&next, &local);
    return StampOf(local);
}
