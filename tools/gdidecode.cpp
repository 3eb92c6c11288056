// gdidecode: lists and checks a GDI printer stream, and optionally decodes its pages.
#include <errno.h>
#include <getopt.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#ifdef GDI_HAVE_PNG
#include <png.h>
#endif

#include "tools/gdi_decode.h"

namespace {

const char kUsage[] =
    "Usage: gdidecode [OPTION]... [FILE]\n"
    "Reads a GDI printer stream from FILE (standard input when FILE is missing or \"-\"),\n"
    "checks every record and prints one line per record.\n"
    "\n"
    "Checks: record tags and lengths, the constant and reserved fields, page flags and\n"
    "page numbers, the duplex page order (even page first, the appended blank page,\n"
    "the one-page duplex job), band flags, band widths against the page width, band\n"
    "line counts adding up to the page height, the band data padding, and the job end\n"
    "marker as the last record of each job. A capture of several jobs, one after the\n"
    "other, is checked job by job, and the summary gives each job's page count. With\n"
    "--decode every band is also decoded as a JBIG image.\n"
    "\n"
    "Options:\n"
    "  -d, --decode DIR  decode every page and write it to DIR (made if missing) as\n"
    "                    page-NNNN.pbm"
#ifdef GDI_HAVE_PNG
    " and page-NNNN.png (NNNN is the page number;\n"
    "                    job-JJ-page-NNNN for the second and later jobs)\n"
    "      --no-png      with --decode, write PBM files only\n"
#else
    " (NNNN is the page number;\n"
    "                    job-JJ-page-NNNN for the second and later jobs)\n"
#endif
    "  -q, --quiet       print no listing, only the summary\n"
    "  -h, --help        show this help and exit\n"
    "\n"
    "A malformed stream is reported on standard error as\n"
    "  gdidecode: offset N (0xHEX): reason\n"
    "an empty input as \"gdidecode: no records\", and a file or folder that cannot be\n"
    "read, made or written as \"gdidecode: I/O error: ...\".\n"
    "\n"
    "Exit status: 0 the stream is well formed (and every band decoded), 1 the stream is\n"
    "malformed or empty, 2 usage or input/output error.\n";

// Makes a folder and the folders above it that are missing, as mkdir -p does; 0 or the
// reason it could not.
int MakeDirectories(const std::string &path) {
    struct stat info;
    if (stat(path.c_str(), &info) == 0)
        return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
    const size_t slash = path.find_last_of('/', path.find_last_not_of('/'));
    if (slash != std::string::npos && slash > 0) {
        const int above = MakeDirectories(path.substr(0, slash));
        if (above != 0)
            return above;
    }
    return mkdir(path.c_str(), 0777) == 0 || errno == EEXIST ? 0 : errno;
}

// One page image, written band by band as PBM (and PNG) rows.
class PageImage {
public:
    ~PageImage() { Close(); }

    bool Open(const std::string &directory, unsigned job, unsigned page, unsigned width,
              unsigned height, bool withPng, std::string *error) {
        Close();
        char name[64];
        if (job > 1)
            snprintf(name, sizeof(name), "/job-%02u-page-%04u", job, page);
        else
            snprintf(name, sizeof(name), "/page-%04u", page);
        pbmPath_ = directory + name + ".pbm";
        pbm_ = fopen(pbmPath_.c_str(), "wb");
        if (pbm_ == nullptr) {
            *error = "cannot create " + pbmPath_ + ": " + strerror(errno);
            return false;
        }
        fprintf(pbm_, "P4\n%u %u\n", width, height);
#ifdef GDI_HAVE_PNG
        if (withPng && width > 0 && height > 0) {
            pngPath_ = directory + name + ".png";
            errno = 0;
            if (!OpenPng(width, height)) {
                *error = "cannot create " + pngPath_;
                if (errno != 0)
                    *error += std::string(": ") + strerror(errno);
                return false;
            }
        }
#else
        (void)withPng;
#endif
        return true;
    }

    bool WriteRows(const uint8_t *rows, unsigned rowBytes, unsigned count) {
        if (pbm_ == nullptr)
            return false;
        if (fwrite(rows, 1, (size_t)rowBytes * count, pbm_) != (size_t)rowBytes * count) {
            return false;
        }
#ifdef GDI_HAVE_PNG
        if (pngReady_) {
            for (unsigned i = 0; i < count; ++i) {
                if (!WritePngRow(rows + (size_t)i * rowBytes))
                    return false;
            }
        }
#endif
        return true;
    }

    bool Close() {
        bool ok = true;
#ifdef GDI_HAVE_PNG
        if (png_ != nullptr || pngFile_ != nullptr)
            ok = FinishPng() && ok;
#endif
        if (pbm_ != nullptr) {
            ok = fclose(pbm_) == 0 && ok;
            pbm_ = nullptr;
        }
        return ok;
    }

private:
#ifdef GDI_HAVE_PNG
    // libpng reports errors by longjmp; the frames between setjmp and png calls hold no
    // objects with destructors.
    bool OpenPng(unsigned width, unsigned height) {
        pngFile_ = fopen(pngPath_.c_str(), "wb");
        if (pngFile_ == nullptr)
            return false;
        png_ = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
        if (png_ == nullptr)
            return false;
        info_ = png_create_info_struct(png_);
        if (info_ == nullptr)
            return false;
        if (setjmp(png_jmpbuf(png_)))
            return false;
        png_init_io(png_, pngFile_);
        png_set_IHDR(png_, info_, width, height, 1, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
        png_write_info(png_, info_);
        png_set_invert_mono(png_);  // the bitmap has 1 for black, PNG grey 0 is black
        pngReady_ = true;
        return true;
    }
    bool WritePngRow(const uint8_t *row) {
        if (setjmp(png_jmpbuf(png_)))
            return false;
        png_write_row(png_, const_cast<png_bytep>(row));
        return true;
    }
    bool EndPng() {
        if (setjmp(png_jmpbuf(png_)))
            return false;
        png_write_end(png_, nullptr);
        return true;
    }
    bool FinishPng() {
        bool ok = pngReady_ && EndPng();
        pngReady_ = false;
        if (png_ != nullptr)
            png_destroy_write_struct(&png_, &info_);
        png_ = nullptr;
        info_ = nullptr;
        if (pngFile_ != nullptr) {
            ok = fclose(pngFile_) == 0 && ok;
            pngFile_ = nullptr;
        }
        return ok;
    }
    bool pngReady_ = false;  // the header is written and rows may follow
    png_structp png_ = nullptr;
    png_infop info_ = nullptr;
    FILE *pngFile_ = nullptr;
    std::string pngPath_;
#endif
    FILE *pbm_ = nullptr;
    std::string pbmPath_;
};

class Lister : public gdidecode::Visitor {
public:
    Lister(bool quiet, const char *decodeDirectory, bool withPng)
        : quiet_(quiet), decodeDirectory_(decodeDirectory), withPng_(withPng) {}

    bool OnRecord(const gdidecode::Record &record, std::string *error) override {
        if (!quiet_)
            printf("%s\n", gdidecode::DescribeRecord(record).c_str());
        switch (record.type) {
            case gdidecode::RecordType::kPageHeader:
                ++pages_;
                ++jobPages_;
                if (decodeDirectory_ != nullptr) {
                    if (!image_.Open(decodeDirectory_, jobs_ + 1, record.page.pageNumber,
                                     record.page.width, record.page.height, withPng_, &ioError_)) {
                        *error = ioError_;
                        return false;
                    }
                    errno = 0;
                    if (record.page.bandCount == 0 && !image_.Close())
                        return FailWriting(error);
                }
                break;
            case gdidecode::RecordType::kBand:
                ++bands_;
                break;
            case gdidecode::RecordType::kJobHeader:
                ++jobHeaders_;
                break;
            case gdidecode::RecordType::kCommand:
                ++commands_;
                break;
            case gdidecode::RecordType::kJobEnd:
                ++jobs_;
                jobPageCounts_.push_back(jobPages_);
                jobPages_ = 0;
                break;
        }
        return true;
    }

    bool OnBandData(const gdidecode::Record &band, const uint8_t *data, size_t size,
                    std::string *error) override {
        if (decodeDirectory_ == nullptr)
            return true;
        if (!gdidecode::DecodeBand(data, size, band.band.width, band.band.lines, &bits_, error)) {
            *error = "band " + std::to_string(band.band.index + 1) + " of page " +
                     std::to_string(band.page.pageNumber) + ": " + *error;
            return false;
        }
        errno = 0;
        if (!image_.WriteRows(bits_.data(), band.band.width / 8, band.band.lines))
            return FailWriting(error);
        if ((band.band.flags & 2) != 0 && !image_.Close())
            return FailWriting(error);
        return true;
    }

    // Set when a page image could not be made or written: not a fault of the stream.
    const std::string &IoError() const { return ioError_; }

    void Summary(uint64_t size) const {
        // A capture of several jobs: each job's pages, in the summary.
        for (size_t i = 0; jobPageCounts_.size() > 1 && i < jobPageCounts_.size(); ++i)
            printf("job %zu: %u page(s)\n", i + 1, jobPageCounts_[i]);
        printf(
            "stream OK: %llu bytes, %u job(s), %u job header(s), %u page(s), %u band(s), "
            "%u command(s)%s\n",
            (unsigned long long)size, jobs_, jobHeaders_, pages_, bands_, commands_,
            decodeDirectory_ != nullptr ? ", every band decoded" : "");
    }

private:
    bool FailWriting(std::string *error) {
        ioError_ = std::string("cannot write the page image in ") + decodeDirectory_;
        if (errno != 0)
            ioError_ += std::string(": ") + strerror(errno);
        *error = ioError_;
        return false;
    }

    bool quiet_;
    const char *decodeDirectory_;
    bool withPng_;
    PageImage image_;
    std::vector<uint8_t> bits_;
    unsigned jobHeaders_ = 0, pages_ = 0, bands_ = 0, commands_ = 0;
    unsigned jobs_ = 0, jobPages_ = 0;  // jobs ended, pages of the job being read
    std::vector<unsigned> jobPageCounts_;
    std::string ioError_;
};

// Counts what the parser has read, for the summary.
class CountingSource : public gdidecode::ByteSource {
public:
    explicit CountingSource(gdidecode::FileSource &inner) : inner_(inner) {}
    size_t Read(uint8_t *destination, size_t count) override {
        errno = 0;
        const size_t got = inner_.Read(destination, count);
        total_ += got;
        if (inner_.Failed() && readErrno_ == 0)
            readErrno_ = errno != 0 ? errno : EIO;
        return got;
    }
    uint64_t Total() const { return total_; }
    // The reason of the first read that failed, 0 when none did.
    int ReadErrno() const { return readErrno_; }

private:
    gdidecode::FileSource &inner_;
    uint64_t total_ = 0;
    int readErrno_ = 0;
};

int IoFailure(const std::string &what) {
    fflush(stdout);
    fprintf(stderr, "gdidecode: I/O error: %s\n", what.c_str());
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    enum { kNoPng = 1000 };
    static const struct option kOptions[] = {{"decode", required_argument, nullptr, 'd'},
                                             {"no-png", no_argument, nullptr, kNoPng},
                                             {"quiet", no_argument, nullptr, 'q'},
                                             {"help", no_argument, nullptr, 'h'},
                                             {nullptr, 0, nullptr, 0}};
    const char *decodeDirectory = nullptr;
    bool quiet = false;
    bool withPng = true;
    int option;
    while ((option = getopt_long(argc, argv, "d:qh", kOptions, nullptr)) != -1) {
        switch (option) {
            case 'd':
                decodeDirectory = optarg;
                break;
            case kNoPng:
                withPng = false;
                break;
            case 'q':
                quiet = true;
                break;
            case 'h':
                fputs(kUsage, stdout);
                return 0;
            default:
                fputs(kUsage, stderr);
                return 2;
        }
    }
    if (argc - optind > 1) {
        fputs(kUsage, stderr);
        return 2;
    }
    FILE *input = stdin;
    const char *inputName = "standard input";
    if (optind < argc && strcmp(argv[optind], "-") != 0) {
        inputName = argv[optind];
        input = fopen(inputName, "rb");
        if (input == nullptr)
            return IoFailure(std::string("cannot open ") + inputName + ": " + strerror(errno));
    }
    const int directoryError = decodeDirectory != nullptr ? MakeDirectories(decodeDirectory) : 0;
    if (directoryError != 0) {
        if (input != stdin)
            fclose(input);
        return IoFailure(std::string("cannot create directory ") + decodeDirectory + ": " +
                         strerror(directoryError));
    }

    gdidecode::FileSource file(input);
    CountingSource source(file);
    Lister lister(quiet, decodeDirectory, withPng);
    gdidecode::ParseError error;
    const bool ok = gdidecode::ParseStream(source, lister, &error);
    if (input != stdin)
        fclose(input);
    if (file.Failed()) {
        return IoFailure(std::string("cannot read ") + inputName + ": " +
                         strerror(source.ReadErrno()));
    }
    if (!lister.IoError().empty())
        return IoFailure(lister.IoError());
    if (!ok) {
        fflush(stdout);
        fprintf(stderr, "gdidecode: offset %llu (0x%llX): %s\n", (unsigned long long)error.offset,
                (unsigned long long)error.offset, error.reason.c_str());
        return 1;
    }
    if (source.Total() == 0) {
        fprintf(stderr, "gdidecode: no records: %s is empty\n", inputName);
        return 1;
    }
    lister.Summary(source.Total());
    if (fflush(stdout) != 0 || ferror(stdout))
        return IoFailure(std::string("cannot write the listing: ") + strerror(errno));
    return 0;
}
