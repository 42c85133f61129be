/* A host written in C: creates, starts, stops and removes a server through
 * the public header and the shared library alone. Exits non-zero on the
 * first surprise. */
#include <stdio.h>
#include <stdlib.h>

#include "kadrel.h"

#define CHECK(condition)                                         \
    do {                                                         \
        if (!(condition)) {                                      \
            fprintf(stderr, "c_host: failed: %s\n", #condition); \
            return 1;                                            \
        }                                                        \
    } while (0)

int main(void) {
    KadrelServer server = newServerObj();
    CHECK(server != NULL);
    CHECK(isValidServerObj(server));
    CHECK(addUser(server, "alice", "secret", ".", true));
    CHECK(!setPorts(server, 0, 20));

    int started = 0;
    for (int32_t port = 31000; port < 31200 && !started; port += 2) {
        CHECK(setPorts(server, port, port + 1));
        started = start(server);
    }
    CHECK(started);
    CHECK(isValidServerObj(server));
    CHECK(stop(server));
    CHECK(removeServerObj(server));
    CHECK(!isValidServerObj(server));
    CHECK(!stop(server));
    puts("c_host: ok");
    return 0;
}
