// Connections per client. PAPPL 1.3 serves each connection in a thread of its own until
// it has been idle for 30 s, and stops accepting new ones while it holds as many as its
// limit: one client that opens that many connections and sends nothing would keep
// everybody else out. The accept() the server's listeners use is therefore this
// program's own: it counts the connections each client address holds and closes a new
// one beyond the limit at once.
#ifndef GDI_PRINTERAPP_CLIENTLIMITS_H
#define GDI_PRINTERAPP_CLIENTLIMITS_H

namespace printerapp {

// The most connections one client address may hold; 0 takes away the limit.
void SetConnectionsPerClient(int limit);

// Whether the connection just accepted on `fd` is within its client's limit; it is
// counted when it is. Local (domain socket) connections are not limited.
bool AdmitConnection(int fd);

}  // namespace printerapp

#endif
