// Loading a script, and saving a document whole or not at all: the log file, kxb's backup.
#include "driver.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

int DocumentDepth(pugi::xml_node node) {
    // Walked without recursion: a hostile document may nest a million levels. The walk visits
    // every node of the script, so each step asks the library as little as it can.
    int nLevel = 1;
    int nDeepest = 0;
    pugi::xml_node current = node.first_child();
    while (current) {
        pugi::xml_node next = current.first_child();
        if (next) {
            // Only an element has children.
            if (nLevel > nDeepest) nDeepest = nLevel;
            current = next;
            nLevel++;
            continue;
        }
        // A leaf is mostly text; its kind matters only where it would be the deepest so far.
        if (nLevel > nDeepest && current.type() == pugi::node_element) nDeepest = nLevel;
        // Up to the nearest level that has a next sibling; level 0 is the node itself.
        next = current.next_sibling();
        while (!next) {
            current = current.parent();
            if (--nLevel == 0) return nDeepest;
            next = current.next_sibling();
        }
        current = next;
    }
    return nDeepest;
}

namespace {

// How a script is parsed, from a file or from memory.
const unsigned int SCRIPT_PARSE_OPTIONS = pugi::parse_default;

// Judges a parsed script; returns LOAD_OK, LOAD_NOT_XML or LOAD_TOO_DEEP.
int ScriptLoaded(const pugi::xml_document& doc, const pugi::xml_parse_result& loaded) {
    if (!loaded) return LOAD_NOT_XML;
    // No real script nests deeper than a few levels, and the log file's indentation grows with the
    // square of the depth: a deeper document is refused like one that does not load.
    return DocumentDepth(doc) <= SCRIPT_DEPTH_MAX ? LOAD_OK : LOAD_TOO_DEEP;
}

} // namespace

int LoadScriptFile(pugi::xml_document& doc, const std::string& filename, pugi::xml_parse_result* parsed) {
    // A folder opens like a file but reports a nonsense size; it is no script.
    struct stat info;
    if (stat(filename.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return LOAD_FOLDER;
    pugi::xml_parse_result loaded =
        doc.load_file(filename.c_str(), SCRIPT_PARSE_OPTIONS, pugi::encoding_auto);
    if (parsed != nullptr) *parsed = loaded;
    return ScriptLoaded(doc, loaded);
}

int LoadScriptBuffer(pugi::xml_document& doc, const void* contents, size_t size,
                     pugi::xml_parse_result* parsed) {
    pugi::xml_parse_result loaded =
        doc.load_buffer(contents, size, SCRIPT_PARSE_OPTIONS, pugi::encoding_auto);
    if (parsed != nullptr) *parsed = loaded;
    return ScriptLoaded(doc, loaded);
}

bool ReadFileBytes(const std::string& path, std::string* bytes) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bytes->clear();
    char arBuffer[1 << 16];
    ssize_t nRead = 0;
    while ((nRead = read(fd, arBuffer, sizeof arBuffer)) > 0 || (nRead < 0 && errno == EINTR)) {
        if (nRead > 0) bytes->append(arBuffer, static_cast<size_t>(nRead));
    }
    close(fd);
    return nRead == 0;
}

bool LoadScript(pugi::xml_document& doc, const std::string& filename) {
    return LoadScriptFile(doc, filename, nullptr) == LOAD_OK;
}

void WriteDocumentText(const pugi::xml_document& doc, pugi::xml_writer& writer) {
    doc.save(writer, "\t", pugi::format_indent, pugi::encoding_auto);
}

namespace {

// Writes the document into an open file; true when every byte was written. The rename that
// follows makes the file whole or absent for any interruption of the program; forcing it onto the
// disk as well would double the time of the save for the case of a power cut only.
bool WriteDocument(const pugi::xml_document& doc, FILE* file) {
    pugi::xml_writer_file writer(file);
    WriteDocumentText(doc, writer);
    return std::fflush(file) == 0 && !std::ferror(file);
}

// The temporary file's name: the file's name with ".XXXXXX" for mkstemp, in its folder. Where
// that would pass the folder's limit on the length of a name, the name is shortened first:
// a file whose own name fits must not fail to save because of its temporary name.
std::string TemporaryTemplate(const std::string& path) {
    const std::string txtUnique = ".XXXXXX";
    const size_t nSlash = path.rfind('/');
    const size_t nNameBegin = nSlash == std::string::npos ? 0 : nSlash + 1;
    const std::string sFolder = nSlash == std::string::npos ? "."
                                : nSlash == 0               ? "/"
                                                            : path.substr(0, nSlash);
    long nNameMax = pathconf(sFolder.c_str(), _PC_NAME_MAX);
    if (nNameMax <= 0) nNameMax = NAME_MAX;
    const size_t nNameRoom = static_cast<size_t>(nNameMax) > txtUnique.size() + 1
                                 ? static_cast<size_t>(nNameMax) - txtUnique.size()
                                 : 1;
    return path.substr(0, nNameBegin + std::min(path.size() - nNameBegin, nNameRoom)) + txtUnique;
}

} // namespace

bool SaveDocumentWhole(const pugi::xml_document& doc, const std::string& path) {
    // The document is written beside its final name and renamed over it, so that a failed or interrupted
    // save leaves the complete new file or whatever stood there before, never half a file. Signals
    // that would end the program wait until the temporary file is renamed or removed.
    sigset_t blocked;
    sigset_t previous;
    sigemptyset(&blocked);
    for (int nSignal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGXFSZ}) sigaddset(&blocked, nSignal);
    sigprocmask(SIG_BLOCK, &blocked, &previous);

    std::string sTemplate = TemporaryTemplate(path);
    std::vector<char> tempPath(sTemplate.begin(), sTemplate.end());
    tempPath.push_back('\0');
    bool bSaved = false;
    int fd = mkstemp(tempPath.data());
    if (fd >= 0) {
        // The file gets the permissions any new file of the user gets, not the temporary file's.
        mode_t mask = umask(0);
        umask(mask);
        fchmod(fd, 0666 & ~mask);
        FILE* file = fdopen(fd, "wb");
        if (file == nullptr) {
            close(fd);
        } else {
            bSaved = WriteDocument(doc, file);
            if (std::fclose(file) != 0) bSaved = false;
        }
        if (bSaved) bSaved = std::rename(tempPath.data(), path.c_str()) == 0;
        if (!bSaved) unlink(tempPath.data());
    }

    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return bSaved;
}

bool SameFile(const std::string& path, const std::string& other) {
    struct stat info {};
    struct stat otherInfo {};
    return stat(path.c_str(), &info) == 0 && stat(other.c_str(), &otherInfo) == 0 &&
           info.st_dev == otherInfo.st_dev && info.st_ino == otherInfo.st_ino;
}

bool ReserveLogFile(const std::string& filename, std::string* stampTime) {
    // Two runs that start in the same second would otherwise share the name, and the later save
    // would replace the earlier run's log. A day of seconds is more than any station starts at once.
    const int TRIES_MAX = 86400;
    std::string sStamp = *stampTime;
    for (int nTry = 0; nTry < TRIES_MAX; nTry++, sStamp = NextStamp(sStamp)) {
        int fd = open(LogFileName(filename, sStamp).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            close(fd);
            *stampTime = sStamp;
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}
