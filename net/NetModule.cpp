#include "net/NetModule.h"

#include "app/Modules.h"

#include <QFile>
#include <dlfcn.h>

FetchResult FetchThroughModule(const std::string& url) {
    static NetFetchFunction fetch = nullptr;
    static std::string loadError;
    if (!fetch && loadError.empty()) {
        QString error;
        const QString path = kelvox::ModulePath(QStringLiteral("kelvox-net.so"), &error);
        // Kept loaded for the rest of the run.
        void* module = path.isEmpty()
                           ? nullptr
                           : ::dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
        if (module)
            fetch = reinterpret_cast<NetFetchFunction>(::dlsym(module, NetFetchSymbol));
        if (!fetch)
            loadError = path.isEmpty()
                            ? error.toLocal8Bit().toStdString()
                            : "network module missing: " + path.toLocal8Bit().toStdString();
    }
    FetchResult result;
    if (!fetch) {
        result.Error = loadError;
        return result;
    }
    fetch(&url, &result);
    return result;
}
