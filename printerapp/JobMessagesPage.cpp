// The printer's job messages page.
#include "printerapp/JobMessagesPage.h"

#include <stdint.h>

namespace printerapp {

const char kJobMessagesTitle[] = "Job Messages";
const char kJobMessageHeading[] = "Message";

namespace {

// The newest jobs a page lists.
constexpr int kListedJobs = 100;

void EscapedCell(pappl_client_t *client, const char *text) {
    papplClientHTMLPuts(client, "<td>");
    papplClientHTMLEscape(client, text != nullptr ? text : "", 0);
    papplClientHTMLPuts(client, "</td>");
}

void ListJob(pappl_job_t *job, void *data) {
    pappl_client_t *client = static_cast<pappl_client_t *>(data);
    papplClientHTMLPrintf(client, "              <tr><td>%d</td>", papplJobGetID(job));
    EscapedCell(client, papplJobGetName(job));
    EscapedCell(client, ippEnumString("job-state", (int)papplJobGetState(job)));
    EscapedCell(client, papplJobGetMessage(job));
    papplClientHTMLPuts(client, "</tr>\n");
}

// The page holds the printer's number, not the printer: a deleted printer leaves a page
// that answers "not found".
bool ShowJobMessages(pappl_client_t *client, void *data) {
    pappl_printer_t *printer =
        papplSystemFindPrinter(papplClientGetSystem(client), nullptr, (int)(intptr_t)data, nullptr);
    if (printer == nullptr) {
        papplClientRespond(client, HTTP_STATUS_NOT_FOUND, nullptr, nullptr, 0, 0);
        return true;
    }
    papplClientHTMLPrinterHeader(client, printer, kJobMessagesTitle, 0, nullptr, nullptr);
    papplClientHTMLPrintf(client,
                          "          <table class=\"list\" summary=\"%s\">\n"
                          "            <thead><tr><th>%s</th><th>%s</th><th>%s</th><th>%s</th>"
                          "</tr></thead>\n"
                          "            <tbody>\n",
                          papplClientGetLocString(client, kJobMessagesTitle),
                          papplClientGetLocString(client, "Job #"),
                          papplClientGetLocString(client, "Name"),
                          papplClientGetLocString(client, "Status"),
                          papplClientGetLocString(client, kJobMessageHeading));
    papplPrinterIterateAllJobs(printer, ListJob, client, 1, kListedJobs);
    papplClientHTMLPuts(client, "            </tbody>\n          </table>\n");
    papplClientHTMLPrinterFooter(client);
    return true;
}

}  // namespace

void AddJobMessagesPage(pappl_printer_t *printer) {
    char path[256];
    if (papplPrinterGetPath(printer, "messages", path, sizeof(path)) == nullptr)
        return;
    pappl_system_t *system = papplPrinterGetSystem(printer);
    papplSystemRemoveResource(system, path);  // a page left by a deleted printer of that name
    papplSystemAddResourceCallback(system, path, "text/html", ShowJobMessages,
                                   (void *)(intptr_t)papplPrinterGetID(printer));
    papplPrinterAddLink(printer, kJobMessagesTitle, path,
                        (pappl_loptions_t)(PAPPL_LOPTIONS_NAVIGATION | PAPPL_LOPTIONS_STATUS));
}

}  // namespace printerapp
