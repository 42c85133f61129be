// The library's seven exported functions. Each one catches everything: no
// exception may cross into the host, and running out of memory becomes a
// false result or a null handle.
#include "kadrel.h"
#include "server/server_obj.h"

namespace {

template <class Operation>
bool guarded(Operation operation) noexcept {
    try {
        return operation();
    } catch (...) {
        return false;
    }
}

}  // namespace

extern "C" {

KADREL_API KadrelServer KADREL_CALL newServerObj(void) {
    try {
        return reinterpret_cast<KadrelServer>(kadrel::newServerObj());
    } catch (...) {
        return nullptr;
    }
}

KADREL_API bool KADREL_CALL removeServerObj(KadrelServer server) {
    return guarded([&] { return kadrel::removeServerObj(server); });
}

KADREL_API bool KADREL_CALL isValidServerObj(KadrelServer server) {
    return guarded([&] { return kadrel::isValidServerObj(server); });
}

KADREL_API bool KADREL_CALL addUser(KadrelServer server, const char* login, const char* password,
                                    const char* shareDirectory, bool writable) {
    return guarded(
        [&] { return kadrel::addUser(server, login, password, shareDirectory, writable); });
}

KADREL_API bool KADREL_CALL setPorts(KadrelServer server, int32_t controlPort, int32_t dataPort) {
    return guarded([&] { return kadrel::setPorts(server, controlPort, dataPort); });
}

KADREL_API bool KADREL_CALL start(KadrelServer server) {
    return guarded([&] { return kadrel::start(server); });
}

KADREL_API bool KADREL_CALL stop(KadrelServer server) {
    return guarded([&] { return kadrel::stop(server); });
}

}  // extern "C"
