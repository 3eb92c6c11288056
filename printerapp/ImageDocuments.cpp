// Printing a JPEG or PNG document: one page, the picture fitted to it.
#include "printerapp/ImageDocuments.h"

#include <string.h>

#include <memory>
#include <vector>

#include "printerapp/AppJob.h"
#include "printerapp/ImageFit.h"
#include "printerapp/JobRuns.h"

namespace printerapp {

namespace {

constexpr unsigned kResolution = 600;

// Hundredths of a millimetre as dots.
unsigned Dots(int hundredthsMm) {
    return hundredthsMm > 0 ? (unsigned)((long long)hundredthsMm * kResolution / 2540) : 0;
}

// The page the picture goes on, and the picture's rows placed on it.
class PicturePage : public ImageRows {
public:
    PicturePage(pappl_job_t *job, const PageArea &page, int orientation)
        : job(job), page(page), orientation(orientation) {}

    bool Plan(unsigned width, unsigned height, unsigned *needWidth, unsigned *needHeight,
              std::string *why) override {
        papplLogJob(job, PAPPL_LOGLEVEL_INFO, "The picture is %u x %u pixels", width, height);
        if (!PlaceImage(page, width, height, orientation, &place)) {
            *why = "The page's margins leave no room for the picture";
            return false;
        }
        NeededSize(place, needWidth, needHeight);
        return true;
    }
    bool Start(unsigned width, unsigned height) override {
        papplLogJob(job, PAPPL_LOGLEVEL_DEBUG,
                    "Read at %u x %u, printed at %u x %u dots from %u,%u", width, height,
                    place.width, place.height, place.left, place.top);
        return image.Begin(place, width, height);
    }
    void Row(const unsigned char *grey) override { image.AddRow(grey); }
    bool Stopped() override { return papplJobIsCanceled(job); }

    // Sends the page through the job; false when the job cannot go on.
    bool Print(AppJob &appJob, const cups_page_header2_t &header) {
        if (!appJob.StartPage(header))
            return false;
        std::vector<unsigned char> line(page.width, 255);
        const ImagePlace &at = image.Place();
        for (unsigned y = 0; y < page.height; ++y) {
            const bool inside = y >= at.top && y - at.top < at.height;
            if (inside)
                memcpy(&line[at.left], image.Row(y - at.top), at.width);
            if (!appJob.PutRow(line.data()))
                break;
            if (inside)
                memset(&line[at.left], 255, at.width);
        }
        return appJob.EndPage();
    }

private:
    pappl_job_t *job;
    PageArea page;
    int orientation;
    ImagePlace place;
    FittedImage image;
};

// The page header of the picture's page: the job's paper at 600 dpi, 8-bit grey.
cups_page_header2_t PictureHeader(const pappl_pr_options_t *options) {
    cups_page_header2_t header = options->header;
    header.NumCopies = options->copies > 1 ? (unsigned)options->copies : 1;
    header.Collate = header.NumCopies > 1 ? CUPS_TRUE : CUPS_FALSE;
    header.cupsBytesPerLine = header.cupsWidth;
    header.cupsBitsPerColor = 8;
    header.cupsBitsPerPixel = 8;
    header.cupsColorOrder = CUPS_ORDER_CHUNKED;
    header.cupsColorSpace = CUPS_CSPACE_SW;  // 0 is black, 255 white
    header.cupsNumColors = 1;
    return header;
}

PageArea AreaOf(const pappl_pr_options_t *options) {
    PageArea page;
    page.width = options->header.cupsWidth;
    page.height = options->header.cupsHeight;
    // A filled page has the picture up to the paper's edges, as far as the printer goes.
    if (options->print_scaling != PAPPL_SCALING_FILL) {
        page.left = Dots(options->media.left_margin);
        page.right = Dots(options->media.right_margin);
        page.top = Dots(options->media.top_margin);
        page.bottom = Dots(options->media.bottom_margin);
    }
    return page;
}

using Reader = ImageRead (*)(FILE *, ImageRows &, std::string *);

bool PrintPicture(pappl_job_t *job, pappl_device_t *device, Reader read) {
    pappl_pr_options_t *options = papplJobCreatePrintOptions(job, 1, false);
    if (options == nullptr)
        return false;
    std::unique_ptr<AppJob> appJob = AppJob::Begin(job, options, device);
    if (appJob == nullptr) {
        papplJobDeletePrintOptions(options);
        return false;
    }
    const cups_page_header2_t header = PictureHeader(options);
    PicturePage page(job, AreaOf(options), (int)options->orientation_requested);
    const bool sizedRight = options->header.HWResolution[0] == kResolution &&
                            options->header.HWResolution[1] == kResolution;
    papplJobDeletePrintOptions(options);
    if (!sizedRight) {
        appJob->Fail(PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR,
                     "The printer prints at 600 dpi only");
        appJob->Finish();
        return false;
    }
    FILE *file = fopen(papplJobGetFilename(job), "rb");
    if (file == nullptr) {
        appJob->Fail(PAPPL_JREASON_ABORTED_BY_SYSTEM, "The job's file cannot be read");
        appJob->Finish();
        return false;
    }
    std::string why;
    const ImageRead result = read(file, page, &why);
    fclose(file);
    bool printed = true;
    switch (result) {
        case ImageRead::kRead:
            printed = page.Print(*appJob, header);
            break;
        case ImageRead::kStopped:
            break;
        case ImageRead::kRefused:
            appJob->Fail(PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, "%s", why.c_str());
            printed = false;
            break;
        case ImageRead::kDamaged:
            appJob->Fail(PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, "%s", why.c_str());
            printed = false;
            break;
    }
    return appJob->Finish() && printed;
}

}  // namespace

bool FilterJpeg(pappl_job_t *job, pappl_device_t *device, void *data) {
    (void)data;
    return PrintOnce(job, device,
                     [&](pappl_device_t *output) { return PrintPicture(job, output, ReadJpeg); });
}

bool FilterPng(pappl_job_t *job, pappl_device_t *device, void *data) {
    (void)data;
    return PrintOnce(job, device,
                     [&](pappl_device_t *output) { return PrintPicture(job, output, ReadPng); });
}

}  // namespace printerapp
