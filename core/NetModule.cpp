#include "core/NetModule.h"

#include "core/Modules.h"

#include <QObject>

namespace {

class ModuleFetcher final : public QObject, public UrlFetcher {
public:
    ~ModuleFetcher() override { Abort(); }

    using UrlFetcher::Start;
    void Start(const FetchRequest& request, Done done) override {
        Abort();
        if (!Real_ && LoadError_.empty())
            Load();
        if (Real_) {
            Real_->Start(request, std::move(done));
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
        const kelvox::Module module =
            kelvox::Module::Program(QStringLiteral(KELVOX_NET_MODULE_NAME));
        if (const auto make = module.Symbol<NetNewFetcherFunction>(NetNewFetcherSymbol))
            Real_.reset(make());
        // Not found or refused, not loadable (the loader's cause), or a
        // library that is not this program's fetch.
        if (!Real_)
            LoadError_ =
                (module.Loaded() ? module.Path() + QStringLiteral(" is not the network module")
                                 : module.Error())
                    .toLocal8Bit()
                    .toStdString();
    }

    std::unique_ptr<UrlFetcher> Real_;
    std::string LoadError_;
    quint64 Ticket_ = 0;
};

} // namespace

std::unique_ptr<UrlFetcher> NewModuleFetcher() {
    return std::make_unique<ModuleFetcher>();
}
