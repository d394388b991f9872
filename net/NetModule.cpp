#include "net/NetModule.h"

#include "app/Modules.h"

#include <QFile>
#include <dlfcn.h>

FetchResult FetchThroughModule(const std::string& url) {
    static NetFetchFunction fetch = nullptr;
    static std::string loadError;
    if (!fetch && loadError.empty()) {
        const QString path = kelvox::ModulePath(QStringLiteral("kelvox-net.so"));
        // Kept loaded for the rest of the run.
        if (void* module = ::dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL))
            fetch = reinterpret_cast<NetFetchFunction>(::dlsym(module, NetFetchSymbol));
        if (!fetch)
            loadError = "network module missing: " + path.toStdString();
    }
    FetchResult result;
    if (!fetch) {
        result.Error = loadError;
        return result;
    }
    fetch(&url, &result);
    return result;
}
