#include "core/MosquittoLib.h"

#include "core/Modules.h"

#include <mutex>

namespace mosqlib {

#define KELVOX_MOSQ_DEFINE(name) decltype(&::mosquitto_##name) name##_ = nullptr;
KELVOX_MOSQ_FUNCTIONS(KELVOX_MOSQ_DEFINE)
#undef KELVOX_MOSQ_DEFINE

bool Load(QString* error) {
    static std::once_flag once;
    static QString failure;
    std::call_once(once, [] {
        // Kept loaded for the rest of the run.
        const kelvox::Module lib = kelvox::Module::System("libmosquitto.so.1");
        if (!lib.Loaded()) {
            failure = QStringLiteral("the MQTT library cannot be loaded: %1").arg(lib.Error());
            return;
        }
#define KELVOX_MOSQ_RESOLVE(name)                                                                  \
    name##_ = lib.Symbol<decltype(name##_)>("mosquitto_" #name);                                   \
    if (!name##_) {                                                                                \
        failure = QStringLiteral("the MQTT library lacks mosquitto_" #name);                       \
        return;                                                                                    \
    }
        KELVOX_MOSQ_FUNCTIONS(KELVOX_MOSQ_RESOLVE)
#undef KELVOX_MOSQ_RESOLVE
        lib_init_();
    });
    if (!failure.isEmpty() && error)
        *error = failure;
    return failure.isEmpty();
}

} // namespace mosqlib
