#include "support/FakeTrayShell.h"

bool FakeTrayShell::Add(quint32 id, const QIcon& icon, const QString& tip) {
    return Record(Request::Add, id, icon, tip);
}

bool FakeTrayShell::SetIcon(quint32 id, const QIcon& icon) {
    return Record(Request::Icon, id, icon, {});
}

bool FakeTrayShell::SetToolTip(quint32 id, const QString& tip) {
    return Record(Request::Tip, id, {}, tip);
}

bool FakeTrayShell::Remove(quint32 id) {
    return Record(Request::Remove, id, {}, {});
}

bool FakeTrayShell::Record(Request request, quint32 id, const QIcon& icon, const QString& tip) {
    Call call{request, id, icon, tip.toStdString(), false};
    auto it = shown_.find(id);
    const bool there = it != shown_.end();
    if (!refuseAll && there != (request == Request::Add)) {
        call.accepted = true;
        if (request == Request::Add)
            shown_.emplace(id, Shown{icon, call.tip});
        else if (request == Request::Icon)
            it->second.icon = icon;
        else if (request == Request::Tip)
            it->second.tip = call.tip;
        else
            shown_.erase(it);
    }
    calls_.push_back(call);
    return call.accepted;
}

std::vector<FakeTrayShell::Call> FakeTrayShell::CallsFor(quint32 id) const {
    std::vector<Call> result;
    for (const Call& c : calls_)
        if (c.id == id)
            result.push_back(c);
    return result;
}

const FakeTrayShell::Shown* FakeTrayShell::Find(quint32 id) const {
    auto it = shown_.find(id);
    return it == shown_.end() ? nullptr : &it->second;
}

bool FakeTrayShell::Press(quint32 id, QSystemTrayIcon::ActivationReason reason) {
    if (!Find(id))
        return false;
    emit Activated(id, reason);
    return true;
}
