// libmosquitto, loaded when MQTT is first switched on: a program without a
// broker (most of them) does not carry it and the TLS libraries it brings.
// The functions keep their library's names and signatures.
//
// Load() may be called from any thread; the functions are usable once it
// returned true.
#pragma once

#include <QString>
#include <mosquitto.h>

namespace mosqlib {

// Loads libmosquitto.so.1 once; false (with the reason) when it cannot be.
bool Load(QString* error);

#define KELVOX_MOSQ_FUNCTIONS(X)                                                                   \
    X(connack_string)                                                                              \
    X(connect_async)                                                                               \
    X(connect_callback_set)                                                                        \
    X(destroy)                                                                                     \
    X(disconnect)                                                                                  \
    X(int_option)                                                                                  \
    X(lib_init)                                                                                    \
    X(log_callback_set)                                                                            \
    X(loop_misc)                                                                                   \
    X(loop_read)                                                                                   \
    X(loop_write)                                                                                  \
    X(message_callback_set)                                                                        \
    X(new)                                                                                         \
    X(publish)                                                                                     \
    X(publish_callback_set)                                                                        \
    X(socket)                                                                                      \
    X(strerror)                                                                                    \
    X(subscribe)                                                                                   \
    X(tls_set)                                                                                     \
    X(unsubscribe)                                                                                 \
    X(username_pw_set)                                                                             \
    X(want_write)                                                                                  \
    X(will_set)

#define KELVOX_MOSQ_DECLARE(name) extern decltype(&::mosquitto_##name) name##_;
KELVOX_MOSQ_FUNCTIONS(KELVOX_MOSQ_DECLARE)
#undef KELVOX_MOSQ_DECLARE

} // namespace mosqlib
