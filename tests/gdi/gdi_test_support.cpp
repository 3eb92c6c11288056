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

ByteSink::Result CollectingSink::Write(const unsigned char *data, size_t size) {
    std::unique_lock<std::mutex> lock(mutex_);
    ++entered_;
    gateChanged_.notify_all();
    if (!gateOpen_) {
        openedInTime_ =
            gateChanged_.wait_for(lock, std::chrono::seconds(60), [this] { return gateOpen_; });
    }
    ++writes_;
    Result result;
    if (abandon_) {
        result.status = Status::kAbandoned;
        return result;
    }
    if (bytes_.size() + size > failAt_) {
        bytes_.insert(bytes_.end(), data, data + (failAt_ - bytes_.size()));
        result.error = failError_;
        result.status = failError_ == EPIPE ? Status::kClosed : Status::kFailed;
        return result;
    }
    bytes_.insert(bytes_.end(), data, data + size);
    return result;
}

void CollectingSink::WaitForWriter() {
    std::unique_lock<std::mutex> lock(mutex_);
    gateChanged_.wait_for(lock, std::chrono::seconds(60), [this] { return entered_ > 0; });
}

void CollectingSink::Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    gateOpen_ = true;
    gateChanged_.notify_all();
}

void CollectingSink::FailAfter(size_t bytes, int error) {
    std::lock_guard<std::mutex> lock(mutex_);
    failAt_ = bytes;
    failError_ = error;
}

std::vector<unsigned char> CollectingSink::Bytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
}

size_t CollectingSink::Writes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
}

void RecordingReporter::PageDone(unsigned page, unsigned copies) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back("PAGE: " + std::to_string(page) + " " + std::to_string(copies));
}

void RecordingReporter::Info(const char *message) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(std::string("INFO: ") + message);
}

void RecordingReporter::Error(const char *message) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(std::string("ERROR: ") + message);
}

std::vector<std::string> RecordingReporter::Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

std::vector<unsigned> RecordingReporter::Pages() {
    std::vector<unsigned> pages;
    for (const std::string &line : Lines()) {
        if (line.rfind("PAGE: ", 0) == 0)
            pages.push_back((unsigned)std::stoul(line.substr(6)));
    }
    return pages;
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
