#include "tests/gdi/gdi_test_support.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <stdexcept>

#include "common/CUPSDebug.h"

namespace gditest {

StdoutCapture::StdoutCapture(bool gated) : gateOpen_(!gated) {
    fflush(stdout);
    int fds[2];
    if (pipe(fds) != 0)
        throw std::runtime_error("pipe");
    savedStdout_ = dup(1);
    if (savedStdout_ < 0 || dup2(fds[1], 1) < 0)
        throw std::runtime_error("dup2");
    close(fds[1]);
    readEnd_ = fds[0];
    reader_ = std::thread([this] { ReadAll(); });
}

StdoutCapture::~StdoutCapture() {
    if (!finished_)
        Finish();
}

void StdoutCapture::Open() {
    std::lock_guard<std::mutex> lock(gateMutex_);
    gateOpen_ = true;
    gateChanged_.notify_all();
}

void StdoutCapture::ReadAll() {
    {
        std::unique_lock<std::mutex> lock(gateMutex_);
        openedInTime_ =
            gateChanged_.wait_for(lock, std::chrono::seconds(60), [this] { return gateOpen_; });
    }
    unsigned char buffer[65536];
    for (;;) {
        const ssize_t got = read(readEnd_, buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        bytes_.insert(bytes_.end(), buffer, buffer + got);
    }
}

std::vector<unsigned char> StdoutCapture::Finish() {
    if (finished_)
        return bytes_;
    finished_ = true;
    Open();
    fflush(stdout);
    dup2(savedStdout_, 1);  // closes the last write end of the pipe
    close(savedStdout_);
    reader_.join();
    close(readEnd_);
    return bytes_;
}

SpoolDirectory::SpoolDirectory() {
    const char *current = getenv("TMPDIR");
    if (current != nullptr) {
        hadTmpdir_ = true;
        savedTmpdir_ = current;
    }
    char pattern[] = "/tmp/gdi-spool-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        throw std::runtime_error("mkdtemp");
    path_ = pattern;
    setenv("TMPDIR", path_.c_str(), 1);
}

SpoolDirectory::~SpoolDirectory() {
    for (const std::string &name : Entries())
        unlink((path_ + "/" + name).c_str());
    rmdir(path_.c_str());
    if (hadTmpdir_) {
        setenv("TMPDIR", savedTmpdir_.c_str(), 1);
    } else {
        unsetenv("TMPDIR");
    }
}

std::vector<std::string> SpoolDirectory::Entries() const {
    std::vector<std::string> names;
    DIR *dir = opendir(path_.c_str());
    if (dir == nullptr)
        return names;
    while (const struct dirent *entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
            names.push_back(entry->d_name);
        }
    }
    closedir(dir);
    return names;
}

LogCapture::LogCapture() : file_(tmpfile()), saved_(gDebugFile) {
    if (file_ == nullptr)
        throw std::runtime_error("tmpfile");
    gDebugFile = file_;
}

LogCapture::~LogCapture() {
    gDebugFile = saved_;
    fclose(file_);
}

std::string LogCapture::Text() const {
    fflush(file_);
    std::string text;
    rewind(file_);
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof(buffer), file_)) > 0)
        text.append(buffer, got);
    return text;
}

int LogCapture::Count(const std::string &message) const {
    const std::string text = Text();
    int count = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        if (line.size() >= message.size() &&
            line.compare(line.size() - message.size(), message.size(), message) == 0) {
            ++count;
        }
        start = end + 1;
    }
    return count;
}

QNVCUPSFilter MakeOptions(const char *title, const char *options) {
    setenv("PPD", "/nonexistent/gdi-stream-test.ppd", 1);
    const char *argv[] = {"printer", "1", "user", title, "1", options};
    return QNVCUPSFilter(6, argv);
}

cups_page_header_s MakePageHeader(unsigned width, unsigned height, unsigned dpi,
                                  unsigned marginPoints) {
    cups_page_header_s header;
    memset(&header, 0, sizeof(header));
    header.cupsWidth = width;
    header.cupsHeight = height;
    header.cupsBytesPerLine = width;
    header.cupsBitsPerPixel = 8;
    header.cupsBitsPerColor = 8;
    header.HWResolution[0] = header.HWResolution[1] = dpi;
    header.Margins[0] = header.Margins[1] = marginPoints;
    header.PageSize[0] = 595;
    header.PageSize[1] = 842;
    header.NumCopies = 1;
    return header;
}

std::vector<unsigned char> Bytes(const std::string &text) {
    return std::vector<unsigned char>(text.begin(), text.end());
}

}  // namespace gditest
