#include "core/NetModule.h"

#include "core/Modules.h"

#include <QFile>
#include <QObject>
#include <dlfcn.h>

namespace {

class ModuleFetcher final : public QObject, public UrlFetcher {
public:
    ~ModuleFetcher() override { Abort(); }

    void Start(const std::string& url, Done done) override {
        Abort();
        if (!Real_ && LoadError_.empty())
            Load();
        if (Real_) {
            Real_->Start(url, std::move(done));
            return;
        }
        // Through the event loop, as the module's fetcher would answer.
        FetchResult result;
        result.Error = LoadError_;
        const quint64 ticket = Ticket_;
        QMetaObject::invokeMethod(
            this,
            [this, ticket, done = std::move(done), result] {
                if (ticket == Ticket_)
                    done(result);
            },
            Qt::QueuedConnection);
    }

    void Abort() override {
        ++Ticket_;
        if (Real_)
            Real_->Abort();
    }

private:
    void Load() {
        QString error;
        const QString path = kelvox::ModulePath(QStringLiteral("kelvox-net.so"), &error);
        // Kept loaded for the rest of the run: the fetcher's code is there.
        void* module = path.isEmpty()
                           ? nullptr
                           : ::dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
        NetNewFetcherFunction make = nullptr;
        if (module)
            make = reinterpret_cast<NetNewFetcherFunction>(::dlsym(module, NetNewFetcherSymbol));
        if (make)
            Real_.reset(make());
        if (!Real_)
            LoadError_ = path.isEmpty()
                             ? error.toLocal8Bit().toStdString()
                             : "network module missing: " + path.toLocal8Bit().toStdString();
    }

    std::unique_ptr<UrlFetcher> Real_;
    std::string LoadError_;
    quint64 Ticket_ = 0;
};

} // namespace

std::unique_ptr<UrlFetcher> NewModuleFetcher() {
    return std::make_unique<ModuleFetcher>();
}
