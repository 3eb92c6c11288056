// The check of a job's document format when it is submitted.
//
// PAPPL 1.3.1 means to refuse a document whose format is not in the printer's
// document-format-supported, but looks that attribute up among the printer's own
// attributes, where it never is (it is among the driver's): every format is accepted,
// and a job whose format nothing prints is aborted once it runs. The application
// therefore takes the place of PAPPL's document check (an exported function that PAPPL
// calls through its symbol table, so a definition in the program comes first): it lets
// PAPPL check the document as before, and then refuses formats that cannot be printed.
#include "printerapp/FormatCheck.h"

#include <dlfcn.h>
#include <pappl/pappl.h>
#include <string.h>

#include <algorithm>
#include <mutex>

#include "printerapp/StreamAdmission.h"

namespace printerapp {

namespace {

struct Formats {
    std::mutex lock;
    std::vector<std::string> printable;
};

Formats &TheFormats() {
    static Formats formats;
    return formats;
}

// The format PAPPL found in the document's first bytes, else the one the client gave.
const char *FormatOf(ipp_t *request) {
    ipp_attribute_t *detected =
        ippFindAttribute(request, "document-format-detected", IPP_TAG_MIMETYPE);
    if (detected != nullptr)
        return ippGetString(detected, 0, nullptr);
    return ippGetString(ippFindAttribute(request, "document-format", IPP_TAG_MIMETYPE), 0, nullptr);
}

// Whether a request of this operation brings a document whose format can be told.
bool BringsDocument(ipp_op_t operation, const char *format) {
    if (operation == IPP_OP_CREATE_JOB)
        return false;  // its documents come with Send-Document
    // Validate-Job has no document to look at: "application/octet-stream" may be anything.
    return !(operation == IPP_OP_VALIDATE_JOB && format != nullptr &&
             strcmp(format, "application/octet-stream") == 0);
}

bool RefuseUnprintable(pappl_client_t *client) {
    ipp_t *request = papplClientGetRequest(client);
    const char *format = FormatOf(request);
    if (!BringsDocument(ippGetOperation(request), format) || IsPrintableFormat(format))
        return true;
    if (format == nullptr || strcmp(format, "application/octet-stream") == 0) {
        papplClientRespondIPP(client, IPP_STATUS_ERROR_DOCUMENT_FORMAT_NOT_SUPPORTED,
                              "The document's format could not be told from its contents");
    } else {
        papplClientRespondIPP(client, IPP_STATUS_ERROR_DOCUMENT_FORMAT_NOT_SUPPORTED,
                              "Documents in the format %s cannot be printed", format);
        ippAddString(papplClientGetResponse(client), IPP_TAG_UNSUPPORTED_GROUP, IPP_TAG_MIMETYPE,
                     "document-format", nullptr, format);
    }
    return false;
}

}  // namespace

void SetPrintableFormats(const std::vector<std::string> &formats) {
    Formats &all = TheFormats();
    std::lock_guard<std::mutex> guard(all.lock);
    all.printable = formats;
}

bool IsPrintableFormat(const char *format) {
    if (format == nullptr)
        return false;
    Formats &all = TheFormats();
    std::lock_guard<std::mutex> guard(all.lock);
    return std::find(all.printable.begin(), all.printable.end(), format) != all.printable.end();
}

}  // namespace printerapp

// PAPPL's name, so that PAPPL's calls come here (see above).
extern "C" bool _papplJobValidateDocumentAttributes(pappl_client_t *client) {
    using Check = bool (*)(pappl_client_t *);
    static const Check papplCheck =
        reinterpret_cast<Check>(dlsym(RTLD_NEXT, "_papplJobValidateDocumentAttributes"));
    if (papplCheck != nullptr && !papplCheck(client))
        return false;
    return printerapp::RefuseUnprintable(client) &&
           printerapp::AdmitDocument(client, printerapp::FormatOf(papplClientGetRequest(client)));
}
