/* A Windows host that knows kadrel.dll only by name, the way a host written
 * in another language uses it: it loads the DLL at run time, looks the seven
 * functions up by their plain (undecorated) names and calls them as cdecl
 * functions with one-byte results. It holds a Winsock reference and a socket
 * of its own throughout, as a host that does its own networking would.
 * Exits non-zero on the first surprise. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>
/* winsock2.h must come before windows.h */
/* clang-format off */
#include <winsock2.h>
#include <windows.h>
/* clang-format on */

#include "kadrel.h"

/* Results are taken as the byte the DLL returns, so that any value other
 * than 0 or 1 shows. */
typedef KadrelServer(KADREL_CALL* NewServerObjFn)(void);
typedef uint8_t(KADREL_CALL* HandleFn)(KadrelServer);
typedef uint8_t(KADREL_CALL* AddUserFn)(KadrelServer, const char*, const char*, const char*, bool);
typedef uint8_t(KADREL_CALL* SetPortsFn)(KadrelServer, int32_t, int32_t);

struct Kadrel {
    NewServerObjFn newServerObj;
    HandleFn removeServerObj;
    HandleFn isValidServerObj;
    AddUserFn addUser;
    SetPortsFn setPorts;
    HandleFn start;
    HandleFn stop;
};

#define CHECK(condition)                                                      \
    do {                                                                      \
        if (!(condition)) {                                                   \
            fprintf(stderr, "dll_host: line %d: %s\n", __LINE__, #condition); \
            return 1;                                                         \
        }                                                                     \
    } while (0)

static FARPROC lookUp(HMODULE dll, const char* name) {
    FARPROC function = GetProcAddress(dll, name);
    if (function == NULL) fprintf(stderr, "dll_host: no export named %s\n", name);
    return function;
}

static int loadKadrel(HMODULE dll, struct Kadrel* api) {
    api->newServerObj = (NewServerObjFn)(void (*)(void))lookUp(dll, "newServerObj");
    api->removeServerObj = (HandleFn)(void (*)(void))lookUp(dll, "removeServerObj");
    api->isValidServerObj = (HandleFn)(void (*)(void))lookUp(dll, "isValidServerObj");
    api->addUser = (AddUserFn)(void (*)(void))lookUp(dll, "addUser");
    api->setPorts = (SetPortsFn)(void (*)(void))lookUp(dll, "setPorts");
    api->start = (HandleFn)(void (*)(void))lookUp(dll, "start");
    api->stop = (HandleFn)(void (*)(void))lookUp(dll, "stop");
    return api->newServerObj && api->removeServerObj && api->isValidServerObj && api->addUser &&
           api->setPorts && api->start && api->stop;
}

/* Connects to 127.0.0.1:port; receives give up after 5 s. */
static SOCKET connectLocal(int port) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    struct sockaddr_in address;
    DWORD timeoutMs = 5000;
    if (s == INVALID_SOCKET) return s;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons((u_short)port);
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, (const char*)&timeoutMs, sizeof timeoutMs);
    if (connect(s, (const struct sockaddr*)&address, sizeof address) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

/* Reads up to and including the first LF; the line, or "" on failure. */
static const char* readLine(SOCKET s, char* line, int capacity) {
    int length = 0;
    while (length < capacity - 1) {
        int n = recv(s, line + length, 1, 0);
        if (n <= 0) break;
        length += n;
        if (line[length - 1] == '\n') break;
    }
    line[length] = '\0';
    return line;
}

int main(void) {
    WSADATA winsock;
    struct Kadrel api;
    KadrelServer server;
    SOCKET own;
    SOCKET client;
    struct sockaddr_in ownAddress;
    int ownLength = sizeof ownAddress;
    int port = 0;
    int attempt;
    char line[256];
    HMODULE dll;

    CHECK(WSAStartup(MAKEWORD(2, 2), &winsock) == 0);
    /* The host's own socket: bound, so that it can be asked its address. */
    own = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    CHECK(own != INVALID_SOCKET);
    memset(&ownAddress, 0, sizeof ownAddress);
    ownAddress.sin_family = AF_INET;
    ownAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    CHECK(bind(own, (const struct sockaddr*)&ownAddress, sizeof ownAddress) == 0);

    dll = LoadLibraryA("kadrel.dll");
    CHECK(dll != NULL);
    CHECK(loadKadrel(dll, &api));

    server = api.newServerObj();
    CHECK(server != NULL);
    CHECK(api.isValidServerObj(server) == 1);
    CHECK(api.addUser(server, "alice", "secret", "C:\\", true) == 1);
    CHECK(api.addUser(server, NULL, "secret", "C:\\", true) == 0);
    CHECK(api.setPorts(server, 0, 20) == 0);
    CHECK(api.setPorts(server, 21, 65536) == 0);

    /* Ports some other program holds are skipped. */
    for (attempt = 0; attempt < 50 && port == 0; ++attempt) {
        int control = 32000 + 2 * attempt;
        CHECK(api.setPorts(server, control, control + 1) == 1);
        if (api.start(server) == 1) port = control;
    }
    CHECK(port != 0);
    CHECK(api.start(server) == 1);
    CHECK(api.setPorts(server, port + 10, port + 11) == 0);

    client = connectLocal(port);
    CHECK(client != INVALID_SOCKET);
    CHECK(strcmp(readLine(client, line, sizeof line), "220 Service ready for new user.\r\n") == 0);
    CHECK(api.stop(server) == 1);
    CHECK(recv(client, line, sizeof line, 0) <= 0);
    closesocket(client);
    CHECK(api.stop(server) == 1); /* stopped already: true at once */

    /* Stopping gave back only the server's own Winsock reference. */
    CHECK(getsockname(own, (struct sockaddr*)&ownAddress, &ownLength) == 0);

    CHECK(api.start(server) == 1);
    client = connectLocal(port);
    CHECK(client != INVALID_SOCKET);
    CHECK(strcmp(readLine(client, line, sizeof line), "220 Service ready for new user.\r\n") == 0);
    closesocket(client);

    CHECK(api.removeServerObj(server) == 1);
    CHECK(api.isValidServerObj(server) == 0);
    CHECK(api.stop(server) == 0);
    CHECK(api.removeServerObj(server) == 0);
    CHECK(getsockname(own, (struct sockaddr*)&ownAddress, &ownLength) == 0);

    CHECK(FreeLibrary(dll));
    closesocket(own);
    WSACleanup();
    puts("dll_host: ok");
    return 0;
}
