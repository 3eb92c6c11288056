// The administrator and the job owners, as PAPPL's authorization callback.
#include "printerapp/AccessPolicy.h"

#include <arpa/inet.h>
#include <grp.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace printerapp {

const char kDefaultAdminGroup[] = "lpadmin";
const char kDefaultPamService[] = "gdi-printer-app";

namespace {

struct Policy {
    std::string adminGroup;
    std::string pamService;
};

Policy gPolicy;  // set once before the server runs

// Operations any user may ask for; PAPPL itself sends a job's operations on to the
// administrator check when the user is not the job's owner. Everything else (pausing,
// enabling or disabling a printer, canceling the current or all jobs, the system's
// operations) needs the administrator, whatever PAPPL 1.3 would let through.
constexpr ipp_op_t kOrdinaryOperations[] = {
    IPP_OP_PRINT_JOB,
    IPP_OP_VALIDATE_JOB,
    IPP_OP_CREATE_JOB,
    IPP_OP_SEND_DOCUMENT,
    IPP_OP_CANCEL_JOB,
    IPP_OP_CANCEL_MY_JOBS,
    IPP_OP_CLOSE_JOB,
    IPP_OP_GET_JOB_ATTRIBUTES,
    IPP_OP_GET_JOBS,
    IPP_OP_HOLD_JOB,
    IPP_OP_RELEASE_JOB,
    IPP_OP_GET_PRINTER_ATTRIBUTES,
    IPP_OP_GET_PRINTER_SUPPORTED_VALUES,
    IPP_OP_CREATE_PRINTER_SUBSCRIPTIONS,
    IPP_OP_CREATE_JOB_SUBSCRIPTIONS,
    IPP_OP_GET_SUBSCRIPTION_ATTRIBUTES,
    IPP_OP_GET_SUBSCRIPTIONS,
    IPP_OP_RENEW_SUBSCRIPTION,
    IPP_OP_CANCEL_SUBSCRIPTION,
    IPP_OP_GET_NOTIFICATIONS,
    IPP_OP_IDENTIFY_PRINTER,
};

std::string UserName(uid_t uid) {
    char buffer[16384];
    struct passwd entry, *found = nullptr;
    if (getpwuid_r(uid, &entry, buffer, sizeof(buffer), &found) != 0 || found == nullptr)
        return std::to_string((unsigned)uid);
    return found->pw_name;
}

bool IsMember(const std::string &user, const std::string &group) {
    if (group.empty())
        return false;
    char buffer[16384];
    struct group groupEntry, *groupFound = nullptr;
    if (getgrnam_r(group.c_str(), &groupEntry, buffer, sizeof(buffer), &groupFound) != 0 ||
        groupFound == nullptr)
        return false;
    const gid_t wanted = groupFound->gr_gid;
    char userBuffer[16384];
    struct passwd entry, *found = nullptr;
    if (getpwnam_r(user.c_str(), &entry, userBuffer, sizeof(userBuffer), &found) != 0 ||
        found == nullptr)
        return false;
    if (found->pw_gid == wanted)
        return true;
    int count = 64;
    std::vector<gid_t> groups((size_t)count);
    if (getgrouplist(user.c_str(), found->pw_gid, groups.data(), &count) < 0) {
        groups.resize((size_t)count);
        if (getgrouplist(user.c_str(), found->pw_gid, groups.data(), &count) < 0)
            return false;
    }
    for (int i = 0; i < count; ++i) {
        if (groups[(size_t)i] == wanted)
            return true;
    }
    return false;
}

struct Credentials {
    const char *user;
    const char *password;
};

// PAM asks for the user name and the password; nothing else is answered.
int Converse(int count, const struct pam_message **messages, struct pam_response **responses,
             void *data) {
    const Credentials *credentials = static_cast<const Credentials *>(data);
    struct pam_response *replies =
        static_cast<struct pam_response *>(calloc((size_t)count, sizeof(struct pam_response)));
    if (replies == nullptr)
        return PAM_BUF_ERR;
    for (int i = 0; i < count; ++i) {
        const char *answer = nullptr;
        if (messages[i]->msg_style == PAM_PROMPT_ECHO_ON)
            answer = credentials->user;
        else if (messages[i]->msg_style == PAM_PROMPT_ECHO_OFF)
            answer = credentials->password;
        if (answer != nullptr)
            replies[i].resp = strdup(answer);
    }
    *responses = replies;
    return PAM_SUCCESS;
}

bool CheckPassword(pappl_client_t *client, const char *user, const char *password) {
    Credentials credentials{user, password};
    struct pam_conv conversation = {Converse, &credentials};
    pam_handle_t *pam = nullptr;
    int status = pam_start(gPolicy.pamService.c_str(), user, &conversation, &pam);
    if (status == PAM_SUCCESS)
        status = pam_set_item(pam, PAM_RHOST, papplClientGetHostName(client));
    if (status == PAM_SUCCESS)
        status = pam_authenticate(pam, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
    if (status == PAM_SUCCESS)
        status = pam_acct_mgmt(pam, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
    if (status != PAM_SUCCESS)
        papplLogClient(client, PAPPL_LOGLEVEL_WARN, "Password check of \"%s\" failed: %s", user,
                       pam_strerror(pam, status));
    if (pam != nullptr)
        pam_end(pam, status);
    return status == PAM_SUCCESS;
}

// Who the client is. A Basic "Authorization:" header is checked with PAM; without one,
// a loopback client is the local user that owns its connection.
enum class Identity { kNone, kLocal, kSignedIn, kBadPassword };

Identity IdentifyClient(pappl_client_t *client, std::string *user, bool *isRoot) {
    http_t *http = papplClientGetHTTP(client);
    const char *header = httpGetField(http, HTTP_FIELD_AUTHORIZATION);
    if (header != nullptr && strncmp(header, "Basic ", 6) == 0) {
        char decoded[1024];
        int length = (int)sizeof(decoded) - 1;
        httpDecode64_2(decoded, &length, header + 6);
        decoded[length >= 0 && length < (int)sizeof(decoded) ? length : 0] = '\0';
        char *password = strchr(decoded, ':');
        if (password == nullptr)
            return Identity::kBadPassword;
        *password++ = '\0';
        const std::string name = decoded;
        const bool good = !name.empty() && CheckPassword(client, decoded, password);
        memset(decoded, 0, sizeof(decoded));
        if (!good)
            return Identity::kBadPassword;
        *user = name;
        return Identity::kSignedIn;
    }
    http_addr_t local;
    socklen_t localLength = sizeof(local);
    uid_t uid = 0;
    const http_addr_t *peer = httpGetAddress(http);
    if (peer == nullptr || !httpAddrLocalhost(peer) ||
        getsockname(httpGetFd(http), &local.addr, &localLength) != 0 ||
        !LoopbackPeerUser(peer, &local, &uid))
        return Identity::kNone;
    *user = UserName(uid);
    *isRoot = uid == 0;
    return Identity::kLocal;
}

bool IsAdministrator(const std::string &user, bool isRoot) {
    return isRoot || user == "root" || user == UserName(geteuid()) ||
           IsMember(user, gPolicy.adminGroup);
}

http_status_t Authorize(pappl_client_t *client, const char *group, gid_t groupId, void *data) {
    (void)groupId;
    (void)data;
    // PAPPL asks with the admin group for the administrator, with the printer's print
    // group (none by default) for everything else.
    const bool forAdmin = (group != nullptr && gPolicy.adminGroup == group) ||
                          IsAdministrativeOperation(papplClientGetOperation(client));
    std::string user;
    bool isRoot = false;
    const Identity identity = IdentifyClient(client, &user, &isRoot);
    // The user becomes the owner of the jobs this request makes.
    if (identity == Identity::kLocal || identity == Identity::kSignedIn)
        papplClientSetUsername(client, user.c_str());
    if (identity == Identity::kBadPassword)
        return HTTP_STATUS_UNAUTHORIZED;
    if (!forAdmin && (group == nullptr || *group == '\0'))
        return HTTP_STATUS_CONTINUE;
    if (identity == Identity::kNone)
        return HTTP_STATUS_UNAUTHORIZED;
    const bool allowed = forAdmin ? IsAdministrator(user, isRoot) : IsMember(user, group);
    if (allowed)
        return HTTP_STATUS_CONTINUE;
    papplLogClient(client, PAPPL_LOGLEVEL_WARN, "\"%s\" is not allowed to do this%s", user.c_str(),
                   forAdmin ? ": it needs the administrator" : "");
    // A local user may still sign in as somebody else; a signed-in one is refused.
    return identity == Identity::kLocal ? HTTP_STATUS_UNAUTHORIZED : HTTP_STATUS_FORBIDDEN;
}

// One address of /proc/net/tcp or tcp6: the address words as the kernel prints them
// (each 32-bit word of the address in the machine's own order) and the port.
bool SameAddress(const char *text, const http_addr_t *addr) {
    const char *colon = strchr(text, ':');
    if (colon == nullptr)
        return false;
    const size_t digits = (size_t)(colon - text);
    const unsigned port = (unsigned)strtoul(colon + 1, nullptr, 16);
    uint32_t words[4] = {0, 0, 0, 0};
    const size_t count = digits / 8;
    if (digits % 8 != 0 || count > 4)
        return false;
    for (size_t i = 0; i < count; ++i) {
        char word[9];
        memcpy(word, text + 8 * i, 8);
        word[8] = '\0';
        words[i] = (uint32_t)strtoul(word, nullptr, 16);
    }
    if (addr->addr.sa_family == AF_INET)
        return count == 1 && words[0] == addr->ipv4.sin_addr.s_addr &&
               port == ntohs(addr->ipv4.sin_port);
    if (addr->addr.sa_family == AF_INET6) {
        uint32_t own[4];
        memcpy(own, &addr->ipv6.sin6_addr, sizeof(own));
        return count == 4 && memcmp(words, own, sizeof(own)) == 0 &&
               port == ntohs(addr->ipv6.sin6_port);
    }
    return false;
}

}  // namespace

bool IsAdministrativeOperation(ipp_op_t op) {
    for (ipp_op_t ordinary : kOrdinaryOperations) {
        if (op == ordinary)
            return false;
    }
    return true;
}

bool LoopbackPeerUser(const http_addr_t *peer, const http_addr_t *local, uid_t *uid) {
    const char *table = peer->addr.sa_family == AF_INET6 ? "/proc/net/tcp6" : "/proc/net/tcp";
    FILE *file = fopen(table, "re");
    if (file == nullptr)
        return false;
    char line[512];
    bool found = false;
    while (!found && fgets(line, sizeof(line), file) != nullptr) {
        char localText[64], remoteText[64];
        unsigned long owner = 0;
        // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid
        if (sscanf(line, " %*s %63s %63s %*s %*s %*s %*s %lu", localText, remoteText, &owner) != 3)
            continue;
        // The client's own end: its address is the peer's, its other end ours.
        if (SameAddress(localText, peer) && SameAddress(remoteText, local)) {
            *uid = (uid_t)owner;
            found = true;
        }
    }
    fclose(file);
    return found;
}

void ApplyAccessPolicy(pappl_system_t *system, const char *adminGroup, const char *pamService) {
    gPolicy.adminGroup =
        adminGroup != nullptr && *adminGroup != '\0' ? adminGroup : kDefaultAdminGroup;
    gPolicy.pamService =
        pamService != nullptr && *pamService != '\0' ? pamService : kDefaultPamService;
    papplSystemSetAdminGroup(system, gPolicy.adminGroup.c_str());
    papplSystemSetAuthCallback(system, "Basic", Authorize, nullptr);
}

}  // namespace printerapp
