// Who may do what. Anybody may print, and see and cancel their own jobs; changing
// printers, devices, the system's settings and other users' jobs needs the
// administrator: a member of the admin group who signs in with the password of their
// account (PAM), root, or the user the server itself runs as (the owner of a server of
// one's own). A local program on the loopback is known by the user that owns its
// connection, without a password; the control socket is only reachable by the
// server's own user and root (its folder is theirs alone).
#ifndef GDI_PRINTERAPP_ACCESSPOLICY_H
#define GDI_PRINTERAPP_ACCESSPOLICY_H

#include <pappl/pappl.h>
#include <sys/types.h>

#include <string>

namespace printerapp {

// The admin group when the server options name none.
extern const char kDefaultAdminGroup[];
// The PAM service that checks passwords when the server options name none.
extern const char kDefaultPamService[];

// Puts the rules in force: PAPPL calls the policy for every request that needs a user
// (web pages that change something, IPP operations on printers and jobs).
void ApplyAccessPolicy(pappl_system_t *system, const char *adminGroup, const char *pamService);

// Whether an IPP operation needs the administrator whoever owns the job it names.
bool IsAdministrativeOperation(ipp_op_t op);

// The local user that owns the loopback TCP connection from `peer` to `local`, as the
// kernel lists it in /proc/net/tcp (tcp6 for IPv6). False when it is not listed.
bool LoopbackPeerUser(const http_addr_t *peer, const http_addr_t *local, uid_t *uid);

}  // namespace printerapp

#endif
