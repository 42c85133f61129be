/*
 * kadrel: a small, read-only FTP server to embed in a program.
 *
 * A host creates one or more server objects, gives each its user accounts,
 * may change its two ports, starts it, and later stops and removes it:
 *
 *     KadrelServer server = newServerObj();
 *     addUser(server, "alice", "secret", "/srv/ftp", false);
 *     setPorts(server, 2121, 2120);
 *     if (start(server)) { ... serve until the host decides to stop ... }
 *     stop(server);
 *     removeServerObj(server);
 *
 * A running server listens on every local IPv4 interface: on the control
 * port for FTP clients, and on the data port for their passive-mode data
 * connections, which are paired with clients by IPv4 address. Each user sees
 * its share directory as "/" and may list directories and download files;
 * nothing on disk is ever changed.
 *
 * Results: every function but newServerObj returns a one-byte boolean, 1 for
 * true, 0 for false. No function throws, logs or writes anywhere. A handle
 * that is not a live server object (never created, or already removed) makes
 * every function return false and do nothing else.
 *
 * Threads: the functions may be called from any thread, and several servers
 * may be driven from several threads at once. Each running server has a
 * listener thread and one thread per connected client, all inside the
 * library. For one handle, the host must not call removeServerObj while
 * another call on that same handle is in progress. stop blocks its caller
 * until every thread of that server has ended (normally within a few
 * milliseconds); do not call it from a context that must never block.
 *
 * Texts are byte strings (the system's narrow code page on Windows); logins,
 * passwords and paths are compared byte for byte, case-sensitively.
 */
#ifndef KADREL_H
#define KADREL_H

#include <stdint.h>

#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(_WIN32)
#define KADREL_CALL __cdecl
#if defined(KADREL_BUILDING_LIBRARY)
#define KADREL_API __declspec(dllexport)
#else
#define KADREL_API __declspec(dllimport)
#endif
#else
#define KADREL_CALL
#if defined(KADREL_BUILDING_LIBRARY)
#define KADREL_API __attribute__((visibility("default")))
#else
#define KADREL_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque handle of a server object. */
typedef struct KadrelServerObj* KadrelServer;

/* Creates a stopped server with no accounts, control port 21 and data port
 * 20. Returns its handle, or a null handle when memory runs out. */
KADREL_API KadrelServer KADREL_CALL newServerObj(void);

/* Stops the server if it is running, then destroys it; the handle is invalid
 * afterwards. False for an invalid handle. */
KADREL_API bool KADREL_CALL removeServerObj(KadrelServer server);

/* True if the handle is a live server object. */
KADREL_API bool KADREL_CALL isValidServerObj(KadrelServer server);

/* Adds an account: login, password, share directory (the user's root "/"),
 * and whether listings show the files as writable. Texts are copied and
 * stored unchanged (empty texts and missing directories included); when two
 * accounts have the same login, the first one added decides. Works in every
 * state; clients logging in afterwards see the account. False for an invalid
 * handle or a null text. */
KADREL_API bool KADREL_CALL addUser(KadrelServer server, const char* login, const char* password,
                                    const char* shareDirectory, bool writable);

/* Sets the control and data ports (each 1 to 65535). Only while stopped:
 * false, changing nothing, when the server is running or a port is out of
 * range. */
KADREL_API bool KADREL_CALL setPorts(KadrelServer server, int32_t controlPort, int32_t dataPort);

/* Binds both ports on every interface and starts serving. True if the server
 * is running afterwards (also when it was running already). False when a
 * port cannot be bound (held by another program, say, or the two ports are
 * the same); the server then stays stopped with nothing left open. */
KADREL_API bool KADREL_CALL start(KadrelServer server);

/* Stops the server: closes both listening ports and every client connection,
 * and returns once all of the server's threads have ended. True at once for a
 * server that is not running; false for an invalid handle. A stopped server
 * can be started again. */
KADREL_API bool KADREL_CALL stop(KadrelServer server);

#ifdef __cplusplus
}
#endif

#endif /* KADREL_H */
