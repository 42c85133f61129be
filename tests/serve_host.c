/* A host for tests and benchmarks that drive kadrel with real clients:
 *
 *   serve_host <first port> <login> <password> <share> <writable> [...]
 *
 * Starts a server on the first free pair of ports from <first port> on
 * (control, control + 1), prints "ready <control> <data>" and serves until
 * a line (or the end) arrives on standard input; then stops and removes it. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kadrel.h"

int main(int argc, char** argv) {
    if (argc < 2 || (argc - 2) % 4 != 0) {
        fprintf(stderr, "usage: serve_host <first port> [login password share writable]...\n");
        return 2;
    }
    KadrelServer server = newServerObj();
    for (int i = 2; i + 3 < argc; i += 4) {
        addUser(server, argv[i], argv[i + 1], argv[i + 2], strcmp(argv[i + 3], "1") == 0);
    }
    int first = atoi(argv[1]);
    int port = 0;
    for (int candidate = first; candidate < first + 400 && port == 0; candidate += 2) {
        if (setPorts(server, candidate, candidate + 1) && start(server)) port = candidate;
    }
    if (port == 0) {
        fprintf(stderr, "serve_host: no free ports from %d on\n", first);
        return 1;
    }
    printf("ready %d %d\n", port, port + 1);
    fflush(stdout);
    char line[64];
    if (fgets(line, sizeof line, stdin) == NULL) {
        /* end of input: stop as well */
    }
    stop(server);
    removeServerObj(server);
    return 0;
}
