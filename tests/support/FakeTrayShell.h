// A recording notification area for tests, handed to the tray components
// in place of the desktop's. It keeps every request, keeps the icons it has accepted
// (refusing a second add, and a change or removal of an absent icon, as the
// real one does) and reports clicks as the real one does, by Activated.
#pragma once

#include "gui/TrayShell.h"

#include <map>
#include <string>
#include <vector>

class FakeTrayShell : public TrayShell {
public:
    enum class Request { Add, Icon, Tip, Remove };
    struct Call {
        Request request = Request::Add;
        quint32 id = 0;
        QIcon icon;      // Add and Icon
        std::string tip; // Add and Tip, UTF-8
        bool accepted = false;
    };
    struct Shown {
        QIcon icon;
        std::string tip;
    };

    bool Add(quint32 id, const QIcon& icon, const QString& tip) override;
    bool SetIcon(quint32 id, const QIcon& icon) override;
    bool SetToolTip(quint32 id, const QString& tip) override;
    bool Remove(quint32 id) override;

    const std::vector<Call>& Calls() const { return calls_; }
    std::vector<Call> CallsFor(quint32 id) const;
    void ClearCalls() { calls_.clear(); }

    // The shown icon with this id, or nullptr.
    const Shown* Find(quint32 id) const;
    std::size_t ShownCount() const { return shown_.size(); }

    // Reports a click on the icon. False when no such icon is shown (nothing
    // is reported then).
    bool Press(quint32 id, QSystemTrayIcon::ActivationReason reason);

    // When set, every request is refused (a desktop without a tray host).
    bool refuseAll = false;

private:
    bool Record(Request request, quint32 id, const QIcon& icon, const QString& tip);

    std::vector<Call> calls_;
    std::map<quint32, Shown> shown_;
};
