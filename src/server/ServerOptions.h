#pragma once

#include "topics/MqttOptions.h"
#include "server/NetworkGuard.h"
#include "record/RecordOptions.h"
#include "serial/FrameFormat.h"
#include "store/VariableStore.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace pontivo {

// HTTPS beside plain HTTP, on when both files are given.
struct TlsOptions {
    std::string certFile; // --tls-cert, PEM
    std::string keyFile;  // --tls-key, PEM, not readable by others
    std::uint16_t httpsPort = 8443; // --https-port
};

// What the command line gives beyond the three settings texts; the window's server takes it too.
struct ServerOptions {
    NetworkGuard guard;                                      // --bind, --allow-origin, --allowed-hosts
    MqttOptions mqtt;                                        // enabled by --mqtt
    std::size_t storeMaxBytes = VariableStore::kDefaultCapacity; // --store-max
    bool restoreBoard = false;                               // --restore-board, or implied by --board-hello
    std::string boardHello;                                  // --board-hello: the frame's name; empty: none
    RecordOptions record;                                    // --record, --restore, --record-keep, --record-max
    FrameFormat frames = FrameFormat::Braces;                // --frames
    std::string usersFile;                                   // --users: empty, no logins
    TlsOptions tls;
};

} // namespace pontivo
