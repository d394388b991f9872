#include "core/MosquittoLib.h"

#include <dlfcn.h>
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
        void* lib = ::dlopen("libmosquitto.so.1", RTLD_NOW | RTLD_LOCAL);
        if (!lib) {
            failure = QStringLiteral("the MQTT library cannot be loaded: %1")
                          .arg(QString::fromLocal8Bit(::dlerror()));
            return;
        }
#define KELVOX_MOSQ_RESOLVE(name)                                                                  \
    name##_ = reinterpret_cast<decltype(name##_)>(::dlsym(lib, "mosquitto_" #name));               \
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
